// Fuzz target: the ZEL reader.
#include "fdi.h"
#include "fuzz_file.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".ZEL");
    Filepath path = file.Write(data, size);
    ZELDisk image;
    image.Load(path, size && (data[0] & 1));
    return 0;
}
