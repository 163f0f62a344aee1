// Fuzz target: a .SCP file from its bytes through the whole pipeline
// (import, encoder, decoder, every export). The input's last byte picks
// the disk of a multi-disk file and the analyze mode.
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".SCP");
    const uint8_t last = size ? data[size - 1] : 0;
    FuzzPipeline(file, file.Write(data, size), (last & 1) + 1, (last >> 1) & 1);
    return 0;
}
