// Fuzz target: the D88 reader (second disk of a file too), and the writer on what it read.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".D88");
    Filepath path = file.Write(data, size);
    VDisk disk;
    if (disk.ImportD68(path, size && (data[size - 1] & 1) ? 2 : 1)) disk.ExportD68(file.Out());
    return 0;
}
