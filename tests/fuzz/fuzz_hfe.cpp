// Fuzz target: the HFE reader, and the writer on what it read.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".HFE");
    Filepath path = file.Write(data, size);
    ZELDisk image;
    if (image.ImportHFE(path)) image.ExportHFE(file.Out());
    return 0;
}
