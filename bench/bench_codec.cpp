// Speed of the FM/MFM codec on a 2HD track: eight 1024-byte MFM sectors in
// 166,666 cells (one revolution at 1000 kcells/s and 360 rpm).
#include <benchmark/benchmark.h>

#include <vector>

#include "fdi.h"
#include "zel.h"

namespace {

const int kCells = 166666;

void Fill2HD(VTrack &t) {
    for (int i = 0; i < 8; i++) {
        VSector *s = new VSector;
        s->mfm = 1;
        s->r = (uint8_t)(i + 1);
        s->n = 3;
        s->length = 1024;
        s->data = new uint8_t[1024];
        for (int k = 0; k < 1024; k++)
            s->data[k] = (uint8_t)(k * 31 + i);
        s->gap2 = 22;
        s->gap3 = 116;
        t.AddSector(s);
    }
}

std::vector<uint8_t> Track2HD() {
    VTrack t;
    Fill2HD(t);
    std::vector<uint8_t> cells((kCells + 7) / 8);
    t.Encode(0, cells.data(), kCells);
    return cells;
}

void BM_Decode2HD(benchmark::State &state) {
    std::vector<uint8_t> cells = Track2HD();
    for (auto _ : state) {
        VTrack t;
        t.Decode(0, cells.data(), kCells, ANALYZE_UPD765);
        if (t.SectorCount() != 8) state.SkipWithError("decode lost sectors");
        benchmark::DoNotOptimize(t.sectors);
    }
}
BENCHMARK(BM_Decode2HD)->Unit(benchmark::kMicrosecond);

void BM_Encode2HD(benchmark::State &state) {
    VTrack t;
    Fill2HD(t);
    std::vector<uint8_t> cells((kCells + 7) / 8);
    for (auto _ : state) {
        t.Encode(0, cells.data(), kCells);
        benchmark::DoNotOptimize(cells.data());
    }
}
BENCHMARK(BM_Encode2HD)->Unit(benchmark::kMicrosecond);

// A 128-bit mark the track does not hold (A1 A1 A1 with mark byte FD after
// four MFM 00), so the search runs over all 166,666 cells.
void BM_BfFindMark2HD(benchmark::State &state) {
    std::vector<uint8_t> cells = Track2HD();
    const uint8_t mark[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                              0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x51};
    for (auto _ : state) {
        int at = BfFind(cells.data(), kCells, 0, kCells, mark, 128);
        if (at != -1) state.SkipWithError("mark unexpectedly found");
        benchmark::DoNotOptimize(at);
    }
}
BENCHMARK(BM_BfFindMark2HD)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
