// Bitstream core on whole 2HD tracks: 166,666 cells, or one revolution of
// 1,333,333 samples at 8 MHz, with MFM data, one-sample jitter and (for noise
// cancelling) a sprinkling of spikes as a read from a real drive has them.
// The raw-sample loops of the drive tools run on the streams those tools
// hand them: a lap as sampled (one sample per pulse) for pulse shaping, a
// revolution of three-sample pulses for the noise fill and the longest
// flux-free stretch. A revolution of random bits stands for a stretch
// without flux, which a real drive reads as noise. The edge scan is the
// reference for the raw-sample loops: it visits every pulse start of a
// buffer, 64 samples a load.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bytes.h"
#include "fdd.h"
#include "zel.h"

namespace {

constexpr int kCells = 166666;
constexpr int kSamples = 1333333;

struct Track {
    std::vector<uint8_t> cells, raw, noisy, random, lap;

    Track() : cells((kCells + 7) / 8), raw(kSamples / 8 + 64), noisy(raw.size()), random((kSamples + 7) / 8),
              lap((kSamples + 7) / 8) {
        // MFM of random data, with a sector-like sync field (12 x 00, then
        // A1 A1 A1 FE as an ID mark) every 200 bytes.
        std::mt19937 rng(42);
        int prev = 0, nbytes = kCells / 16;
        for (int i = 0; i < nbytes; i++) {
            int k = i % 200;
            uint8_t d = k < 12 ? 0 : k < 15 ? 0xA1 : k == 15 ? 0xFE : (uint8_t)rng();
            uint16_t w = 0;
            for (int b = 7; b >= 0; b--) {
                int bit = d >> b & 1;
                w = (uint16_t)(w << 2 | (!prev && !bit) << 1 | bit);
                prev = bit;
            }
            if (d == 0xA1 && k < 15) w = 0x4489;  // the missing clock of the sync mark
            cells[2 * i] = (uint8_t)(w >> 8);
            cells[2 * i + 1] = (uint8_t)w;
        }
        // Pulses at their cells' place scaled to one revolution, each moved by
        // up to one sample; every 2000th gap gets a spike in its middle.
        for (int i = 0, n = 0; i < kCells; i++) {
            if (!BfGetBit(cells.data(), i)) continue;
            int64_t p = (int64_t)i * kSamples / kCells + (int)(rng() % 3) - 1;
            for (int k = 0; k < 3; k++) {
                BfSetBit(raw.data(), (int)((p + k + kSamples) % kSamples));
                BfSetBit(noisy.data(), (int)((p + k + kSamples) % kSamples));
            }
            if (++n % 2000 == 0) BfSetBit(noisy.data(), (int)((p + 11) % kSamples));
        }
        // Random samples (the bits past the end of the stream stay 0), and
        // the lap a read would sample: the first sample of every pulse.
        std::mt19937 noise(1333333);
        for (int i = 0; i < kSamples / 8; i++) random[i] = (uint8_t)noise();
        random[kSamples / 8] = (uint8_t)(noise() & 0xF8);
        for (int i = 0; i < kSamples; i++)
            if (BfGetBit(raw.data(), i) && !(i > 0 && BfGetBit(raw.data(), i - 1))) BfSetBit(lap.data(), i);
    }
};

const Track &Data() {
    static const Track t;
    return t;
}

void BM_Raw2Encode(benchmark::State &state) {
    std::vector<uint8_t> out(786432 / 8);
    for (auto _ : state) benchmark::DoNotOptimize(Raw2Encode(Data().raw.data(), kSamples, out.data(), 786432));
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_Raw2EncodeNoise(benchmark::State &state) {
    std::vector<uint8_t> out(786432 / 8);
    for (auto _ : state) benchmark::DoNotOptimize(Raw2Encode(Data().random.data(), kSamples, out.data(), 786432));
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_Encode2Raw(benchmark::State &state) {
    std::vector<uint8_t> out(kCells + 8);
    for (auto _ : state) benchmark::DoNotOptimize(Encode2Raw(Data().cells.data(), kCells, out.data(), kCells * 8));
    state.SetItemsProcessed(state.iterations() * kCells);
}

// Stretches to 1 % longer and back, alternately.
void BM_StrechRaw(benchmark::State &state) {
    std::vector<uint8_t> buf(Data().raw.begin(), Data().raw.end());
    buf.resize(kSamples / 8 + kSamples / 800 + 64);
    int len = kSamples, other = kSamples + kSamples / 100;
    for (auto _ : state) {
        benchmark::DoNotOptimize(StrechRaw(buf.data(), len, other));
        std::swap(len, other);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// In-place functions work on a fresh copy each time (the 167 kB copy is timed too).
template <class F>
void InPlace(benchmark::State &state, const std::vector<uint8_t> &src, F fn) {
    std::vector<uint8_t> buf(src.size());
    for (auto _ : state) {
        memcpy(buf.data(), src.data(), src.size());
        benchmark::DoNotOptimize(fn(buf.data()));
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_AlignRaw(benchmark::State &state) {
    InPlace(state, Data().raw, [](uint8_t *b) { return AlignRaw(b, kSamples); });
}

void BM_NoiseCancelRaw(benchmark::State &state) {
    InPlace(state, Data().noisy, [](uint8_t *b) { return NoiseCancelRaw(b, kSamples, 8); });
}

void BM_NoiseCancelRawNoise(benchmark::State &state) {
    InPlace(state, Data().random, [](uint8_t *b) { return NoiseCancelRaw(b, kSamples, 8); });
}

// The reference for the raw-sample loops: the positions of all pulse starts
// (a set sample after a clear one; on a sampled lap, every set sample) of a
// stream, 64 samples a load (a byte at a time for the last few).
__attribute__((noinline)) uint64_t EdgeScan(const uint8_t *buf, int len) {
    uint64_t sum = 0, before = 0;
    int words = len / 64;
    for (int i = 0; i < words; i++) {
        uint64_t w = GetBE64(buf + 8 * i);
        uint64_t e = w & ~(w >> 1 | before << 63);
        before = w & 1;
        for (; e; e &= e - 1) sum += (uint64_t)(64 * i + 63 - __builtin_ctzll(e));
    }
    for (int i = words * 64; i < len; i++) {
        int bit = BfGetBit(buf, i);
        if (bit && !before) sum += (uint64_t)i;
        before = (uint64_t)bit;
    }
    return sum;
}

// arg 0: the revolution of three-sample pulses, 1: the sampled lap.
void BM_EdgeScan(benchmark::State &state) {
    const std::vector<uint8_t> &buf = state.range(0) ? Data().lap : Data().raw;
    for (auto _ : state) benchmark::DoNotOptimize(EdgeScan(buf.data(), kSamples));
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// Pulse shaping rewrites the lap it is given: each pass gets a fresh copy,
// made with the clock stopped.
void BM_ShapePulseRaw(benchmark::State &state) {
    std::vector<uint8_t> buf(Data().lap.size());
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(buf.data(), Data().lap.data(), buf.size());
        state.ResumeTiming();
        ShapePulseRaw(buf.data(), kSamples, 0xE0);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// A formatted revolution has no stretch the noise fill touches: the same
// buffer serves every pass (checked once).
void BM_MakeNoiseRaw(benchmark::State &state) {
    std::vector<uint8_t> buf((kSamples + 7) / 8);
    memcpy(buf.data(), Data().raw.data(), buf.size());
    MakeNoiseRaw(0, buf.data(), kSamples);
    if (memcmp(buf.data(), Data().raw.data(), buf.size()) != 0) state.SkipWithError("the fill changed the track");
    for (auto _ : state) {
        MakeNoiseRaw(0, buf.data(), kSamples);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_FindMaxUnf(benchmark::State &state) {
    std::vector<uint8_t> buf(Data().raw.begin(), Data().raw.begin() + (kSamples + 7) / 8);
    for (auto _ : state) {
        int size = 0;
        benchmark::DoNotOptimize(FindMaxUnf(buf.data(), kSamples, &size));
        benchmark::DoNotOptimize(size);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// The MFM index mark (4 x 00, C2 C2 C2 FC) on a track that has none: the
// search scans the whole track, passing every sync field on the way.
void BM_BfFindAbsentMark(benchmark::State &state) {
    const uint8_t mark[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                              0x52, 0x24, 0x52, 0x24, 0x52, 0x24, 0x55, 0x52};
    for (auto _ : state) {
        int r = BfFind(Data().cells.data(), kCells, 0, kCells, mark, 128);
        if (r != -1) state.SkipWithError("mark found where there is none");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}

}  // namespace

BENCHMARK(BM_Raw2Encode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Raw2EncodeNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode2Raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StrechRaw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlignRaw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BfFindAbsentMark)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NoiseCancelRaw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NoiseCancelRawNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EdgeScan)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShapePulseRaw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MakeNoiseRaw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindMaxUnf)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
