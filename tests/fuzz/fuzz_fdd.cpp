// Fuzz target: the FDD reader, and the writer on what it read.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".FDD");
    Filepath path = file.Write(data, size);
    VDisk disk;
    if (disk.ImportFDD(path)) disk.ExportFDD(file.Out());
    return 0;
}
