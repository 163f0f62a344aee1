// Speed of the real-drive track work on a 2HD track: eight 1024-byte MFM
// sectors in 166,666 cells (1000 kcells/s at 360 rpm), sampled at 8000 kHz.
//  - ReadTrackProcessing: everything ReadTrack does after Sample on a window
//    of two revolutions (rescale check, cells, lap search, cut, rotation,
//    pulse shaping, noise cancelling at the default level, cells, decoding).
//  - MakeRestoreData: one track of a 2HD image prepared for a drive turning
//    at exactly 360 rpm (expansion, stretch, cells, decoding, splice rules,
//    noise fill).
//  - ReadTrackProcessingSpi8064 and MakeRestoreDataSlowDrive: the same where
//    the samples do not fall on the cell grid: an SPI clock of 8064 kHz for
//    8000 asked (a 500 MHz core clock), and a drive 0.5 % slow.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "fdd.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

const int kCells = 166666;
const int kRate = 8000;
const int kPeriod = 166666; // us per revolution at 360 rpm

std::vector<uint8_t> Track2HD() {
    VTrack t;
    for (int r = 1; r <= 8; r++) {
        VSector *s = NewSector(1, 0, 0, r, 3, 1024, 0);
        for (int k = 0; k < 1024; k++)
            s->data[k] = (uint8_t)(k * 31 + r);
        t.AddSector(s);
    }
    std::vector<uint8_t> cells((kCells + 7) / 8 + 1);
    t.Encode(0, cells.data(), kCells);
    return cells;
}

// The window Sample would store: the first sample of every pulse, from the
// index on, over two revolutions.
void FillWindow(dump_t *d, const std::vector<uint8_t> &cells) {
    memset(d->raw, 0, sizeof d->raw);
    d->rawlen = kCells * 16;
    for (int i = 0; i < d->rawlen; i += 8)
        if (BfGetBit(cells.data(), (i / 8) % kCells)) BfSetBit(d->raw, i);
}

void BM_ReadTrackProcessing(benchmark::State &state) {
    std::vector<uint8_t> cells = Track2HD();
    std::unique_ptr<dump_t> window(new dump_t);
    FillWindow(window.get(), cells);
    std::unique_ptr<dump_t> d(new dump_t);
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(d->raw, window->raw, (size_t)window->rawlen / 8);
        d->rawlen = window->rawlen;
        state.ResumeTiming();
        ProcessTrack(d.get(), kPeriod, kRate, kRate, 8, 8, ANALYZE_UPD765);
        if (!d->found || d->track.SectorCount() != 8) state.SkipWithError("track not read back");
    }
}
BENCHMARK(BM_ReadTrackProcessing)->Unit(benchmark::kMillisecond);

void BM_ReadTrackProcessingSpi8064(benchmark::State &state) {
    const int spirate = 8064;
    std::vector<uint8_t> cells = Track2HD();
    std::unique_ptr<dump_t> window(new dump_t);
    FillWindow(window.get(), cells);
    window->rawlen =
        StrechSmp(0, window->raw, window->rawlen, (int)((int64_t)window->rawlen * spirate / kRate));
    std::unique_ptr<dump_t> d(new dump_t);
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(d->raw, window->raw, (size_t)(window->rawlen + 7) / 8);
        d->rawlen = window->rawlen;
        state.ResumeTiming();
        ProcessTrack(d.get(), kPeriod, kRate, spirate, 8, 8, ANALYZE_UPD765);
        if (!d->found || d->track.SectorCount() != 8) state.SkipWithError("track not read back");
    }
}
BENCHMARK(BM_ReadTrackProcessingSpi8064)->Unit(benchmark::kMillisecond);

// One image track prepared, again and again, for a drive turning once in
// period samples.
void RestoreTrack(benchmark::State &state, int period) {
    std::vector<uint8_t> cells = Track2HD();
    ZELDisk disk;
    disk.Init(ZEL_TYPE_2HD, 1000, 360, 0);
    disk.SetTrackLen(0, 0, kCells);
    memcpy(disk.GetTrackData(0, 0), cells.data(), (kCells + 7) / 8);
    std::unique_ptr<restore_t> r(new restore_t);
    for (auto _ : state) {
        if (!PrepareRestore(r.get(), period, kRate, &disk, 0, 0, ANALYZE_UPD765) || r->track.SectorCount() != 8)
            state.SkipWithError("track not prepared");
    }
}

void BM_MakeRestoreData(benchmark::State &state) { RestoreTrack(state, kPeriod); }
BENCHMARK(BM_MakeRestoreData)->Unit(benchmark::kMillisecond);

// A drive 0.5 % slow: the samples leave the cell grid.
void BM_MakeRestoreDataSlowDrive(benchmark::State &state) { RestoreTrack(state, kPeriod * 1005 / 1000); }
BENCHMARK(BM_MakeRestoreDataSlowDrive)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
