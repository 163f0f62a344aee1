// Fuzz target: the FDI reader, and the writer on what it read.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".FDI");
    Filepath path = file.Write(data, size);
    VDisk disk;
    if (disk.ImportFDI(path)) disk.ExportFDI(file.Out());
    return 0;
}
