// Fuzz target: plain sector dumps through the whole pipeline. Plain dumps
// are recognised by size, so the input is stretched or cut to the size of a
// geometry chosen by its first byte (or to an odd size none has).
#include <vector>

#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".XDF");
    static const int sizes[] = {1261568, 1228800, 1474560, 737280, 368640, 1000};
    std::vector<uint8_t> buf(data, data + size);
    buf.resize((size_t)sizes[size ? data[0] % 6 : 0]);
    FuzzPipeline(file, file.Write(buf.data(), buf.size()), 1, size > 1 && (data[1] & 1));
    return 0;
}
