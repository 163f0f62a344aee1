// Image converter speed, the two directions a user runs most: a 2HD plain
// dump (77 x 2 x 8 x 1024, 1.2 MB) imported and saved as a ZEL image
// (temporary file, fsync, rename), and that ZEL image loaded and exported
// back to a plain dump. Each iteration is the whole conversion but for the
// process start.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <string>
#include <vector>

#include "filepath.h"
#include "zeldisk.h"

namespace {

struct Sample {
    std::string dir;
    Filepath dump, zel, back;
    int ok = 0;

    Sample() {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bench-conv-XXXXXX";
        mkdir(tmpl.substr(0, tmpl.rfind('/')).c_str(), 0777);
        if (!mkdtemp(&tmpl[0])) return;
        dir = tmpl;
        dump.SetPath((dir + "/s.2HD").c_str());
        zel.SetPath((dir + "/s.ZEL").c_str());
        back.SetPath((dir + "/b.2HD").c_str());
        // Pseudo-random sector contents: plain data, nothing a mark search
        // could skip cheaply.
        std::vector<uint8_t> data(77 * 2 * 8 * 1024);
        uint32_t x = 1;
        for (auto &b : data) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b = (uint8_t)x;
        }
        FILE *f = fopen(dump.GetPath(), "wb");
        if (!f) return;
        ok = fwrite(data.data(), 1, data.size(), f) == data.size();
        ok &= fclose(f) == 0;
        ZELDisk disk;
        ok = ok && disk.Import(dump, 0) && disk.Save(zel, 1);
    }
    ~Sample() {
        unlink(dump.GetPath());
        unlink(zel.GetPath());
        unlink(back.GetPath());
        if (!dir.empty()) rmdir(dir.c_str());
    }
};

void BM_ConvertDumpToZel(benchmark::State &state) {
    Sample s;
    if (!s.ok) state.SkipWithError("sample setup failed");
    for (auto _ : state) {
        ZELDisk disk;
        if (!disk.Import(s.dump, 0) || !disk.Save(s.zel, 1)) state.SkipWithError("import or save failed");
    }
}

void BM_ConvertZelToDump(benchmark::State &state) {
    Sample s;
    if (!s.ok) state.SkipWithError("sample setup failed");
    for (auto _ : state) {
        ZELDisk disk;
        if (!disk.Load(s.zel, 0) || !disk.Export(s.back, 0)) state.SkipWithError("load or export failed");
    }
}

}  // namespace

BENCHMARK(BM_ConvertDumpToZel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertZelToDump)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
