// Fuzz target: the D88 reader (second disk of a file too). What it reads is
// the most varied sector disk any reader makes (any IDs, sizes, densities and
// status), so it is also handed to every sector-image writer, and the file is
// taken through a track image (encoder) and back out (decoder).
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".D88");
    static const char *const outputs[] = {"x.D88", "x.IMG", "x.2HQ", "x.DIM", "x.FDI", "x.FDD", "x.NFD"};
    Filepath path = file.Write(data, size);
    int diskno = size && (data[size - 1] & 1) ? 2 : 1;
    VDisk disk;
    if (!disk.ImportD68(path, diskno)) return 0;
    for (const char *name : outputs) {
        Filepath out = file.Out(name);
        disk.Export(out);
    }
    ZELDisk image;
    if (image.Import(path, diskno)) image.Export(file.Out("y.D88"), size && (data[0] & 1));
    return 0;
}
