// ZEL image file speed: a whole double-density image (168 tracks of 100000
// cells, 2.1 MB) saved in full (temporary file, fsync, rename), loaded, and
// saved with one changed track in place (the emulator's write-back).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

#include "filepath.h"
#include "zeldisk.h"

namespace {

struct BenchImage {
    std::string dir;
    Filepath path;
    ZELDisk disk;
    BenchImage() {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bench-zel-XXXXXX";
        mkdir(tmpl.substr(0, tmpl.rfind('/')).c_str(), 0777);
        dir = mkdtemp(&tmpl[0]) ? tmpl : "/tmp";
        path.SetPath((dir + "/bench.ZEL").c_str());
        disk.Init(ZEL_TYPE_2DD, 0, 0, 0);
        // MFM-like content: not all zeros, so nothing is cheaper than real data.
        uint32_t seed = 1;
        for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
            for (int h = 0; h < ZEL_MAX_HEADS; ++h) {
                uint8_t *p = disk.GetTrackData(c, h);
                for (int i = 0; i < 12500; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    p[i] = (uint8_t)((seed >> 16) & 0x55) | 0x88;
                }
            }
    }
    ~BenchImage() {
        unlink(path.GetPath());
        rmdir(dir.c_str());
    }
};

int64_t FileBytes() { return 256 + 168 * 12800; }

void BM_ZelSaveFull(benchmark::State &state) {
    BenchImage img;
    for (auto _ : state)
        if (!img.disk.Save(img.path, 1)) state.SkipWithError("save failed");
    state.SetBytesProcessed(state.iterations() * FileBytes());
}

void BM_ZelLoad(benchmark::State &state) {
    BenchImage img;
    if (!img.disk.Save(img.path, 1)) state.SkipWithError("save failed");
    ZELDisk disk;
    for (auto _ : state)
        if (!disk.Load(img.path, 0)) state.SkipWithError("load failed");
    state.SetBytesProcessed(state.iterations() * FileBytes());
}

void BM_ZelSaveFullAndLoad(benchmark::State &state) {
    BenchImage img;
    ZELDisk disk;
    for (auto _ : state)
        if (!img.disk.Save(img.path, 1) || !disk.Load(img.path, 0)) state.SkipWithError("save or load failed");
    state.SetBytesProcessed(state.iterations() * FileBytes() * 2);
}

void BM_ZelSaveOneChangedTrack(benchmark::State &state) {
    BenchImage img;
    ZELDisk disk;
    if (!img.disk.Save(img.path, 1) || !disk.Load(img.path, 0)) state.SkipWithError("setup failed");
    for (auto _ : state) {
        disk.UpdateTrack(40, 1);
        if (!disk.Save(img.path, 0)) state.SkipWithError("save failed");
    }
}

}  // namespace

BENCHMARK(BM_ZelSaveFull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZelLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZelSaveFullAndLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZelSaveOneChangedTrack)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
