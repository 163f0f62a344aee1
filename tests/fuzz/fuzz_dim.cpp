// Fuzz target: the DIM reader, and the writer on what it read.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".DIM");
    Filepath path = file.Write(data, size);
    VDisk disk;
    if (disk.ImportDIM(path)) disk.ExportDIM(file.Out());
    return 0;
}
