// Fuzz target: the plain-dump reader. Plain dumps are recognised by size, so
// the input is stretched or cut to the size of a geometry chosen by its first
// byte; the D88 writer then takes what was read.
#include <vector>

#include "fdi.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzFile file(".XDF");
    static const int sizes[] = {1261568, 1228800, 1474560, 737280, 368640, 1000};
    std::vector<uint8_t> buf(data, data + size);
    buf.resize((size_t)sizes[size ? data[0] % 6 : 0]);
    Filepath path = file.Write(buf.data(), buf.size());
    VDisk disk;
    if (disk.Import(path, 1)) disk.ExportD68(file.Out());
    return 0;
}
