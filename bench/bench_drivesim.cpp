// Speed of drivesim's FIFO refill: one SendData call that finds the 64-byte
// transmit FIFO empty and fills it with ReadData from a 2HD MFM track
// (eight 1024-byte sectors, 166,666 cells). At 1000 kHz the FIFO lasts
// 512 us, so a refill must take a small fraction of that.
//
// The registers are served by a stand-in platform that reports room for
// exactly 64 bytes: each register access is a virtual call here, where the
// real board makes a plain load or store, so the figure is an upper bound.
// BM_ReadData64 times the 64 ReadData calls alone, without the register
// traffic.
//
// BM_SampleLoop is the dumper's side: Sample (fdd_hw.cpp) taking bytes from
// the receive FIFO at 8000 kHz, against a stand-in that always has a byte
// waiting and moves the timer on by one microsecond a read, so that every
// pass of the loop receives one byte.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "../programs/drivesim_fifo.cpp"
#include "../programs/drivesim_stream.cpp"
#include "fdd.h"
#include "fdi.h"
#include "fdi_disk.h"

GPIOCTL gpioctl;

namespace {

const int kCells = 166666;

class FifoPlatform : public HwPlatform {
  public:
    uint32_t Read(uint32_t offset) override {
        if (offset == SPI0_OFFSET + SPI_CS) return queued < 64 ? (uint32_t)SPI_CS_TXD : 0u;
        return 0;
    }
    void Write(uint32_t offset, uint32_t) override {
        if (offset == SPI0_OFFSET + SPI_FIFO) queued++;
    }
    int queued = 0;
};

std::vector<uint8_t> Track2HD() {
    VTrack t;
    for (int r = 1; r <= 8; r++) {
        VSector *s = NewSector(1, 0, 0, r, 3, 1024, 0);
        for (int k = 0; k < 1024; k++) s->data[k] = (uint8_t)(k * 31 + r);
        t.AddSector(s);
    }
    std::vector<uint8_t> cells((kCells + 7) / 8 + 1);
    t.Encode(0, cells.data(), kCells);
    return cells;
}

// d as a 2HD drive playing the track from its start.
void Play(fdd_t &d, std::vector<uint8_t> &track) {
    d.type = 2;
    d.trackdata = track.data();
    d.tracklen = kCells;
    d.feedpos = 0;
}

void BM_SendData64(benchmark::State &state) {
    std::vector<uint8_t> track = Track2HD();
    FifoPlatform fifo;
    GPIOCTL::SetPlatform(&fifo);
    fdd_t d;
    Play(d, track);
    for (auto _ : state) {
        fifo.queued = 0;
        SendData(d);
    }
    benchmark::DoNotOptimize(d.feedpos);
    GPIOCTL::SetPlatform(nullptr);
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_SendData64);

void BM_ReadData64(benchmark::State &state) {
    std::vector<uint8_t> track = Track2HD();
    fdd_t d;
    Play(d, track);
    for (auto _ : state) {
        for (int i = 0; i < 64; i++) {
            benchmark::DoNotOptimize(ReadData(d));
            d.feedpos = WrapPos(d.feedpos + 8, d.tracklen);
        }
    }
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ReadData64);

// Every pass finds a byte: RXD set, the FIFO answering a byte of a 2HD
// track's samples, the timer a microsecond on at each read. The level
// register toggles so the wait for the index edge ends at once.
class SamplePlatform : public HwPlatform {
  public:
    uint32_t Read(uint32_t offset) override {
        if (offset == SPI0_OFFSET + SPI_CS) return (uint32_t)(SPI_CS_RXD | SPI_CS_TXD);
        if (offset == SPI0_OFFSET + SPI_FIFO) return next++ & 0x4242;
        if (offset == SYST_OFFSET + SYST_CLO) return clock++;
        if (offset == GPIO_OFFSET + GPIO_LEV0) return (level = ~level);
        return 0;
    }
    void Write(uint32_t, uint32_t) override {}
    uint32_t next = 0, clock = 0, level = 0;
};

void BM_SampleLoop(benchmark::State &state) {
    SamplePlatform board;
    GPIOCTL::SetPlatform(&board);
    std::unique_ptr<dump_t> d(new dump_t);
    int64_t bytes = 0;
    for (auto _ : state) {
        Sample(&gpioctl, d.get(), 8000, 4096);
        bytes += d->rawlen / 8;
    }
    GPIOCTL::SetPlatform(nullptr);
    state.SetItemsProcessed(bytes);
}
BENCHMARK(BM_SampleLoop);

}  // namespace

BENCHMARK_MAIN();
