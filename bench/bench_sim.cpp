// The simulated board under the busiest loads the programs give it: one
// simulated second of the emulator streaming a 2HD track (1000 kHz, the FIFO
// kept full, the lines sampled every pass), and one of the dumper sampling
// the read line at 8000 kHz. The figure that matters is wall time per
// simulated second.
#include <benchmark/benchmark.h>

#include "gpioctl.h"
#include "sim.h"

namespace {

struct Board {
    explicit Board(GPIOCTL::mode_e mode) {
        SimConfig cfg;
        cfg.board = 2;
        cfg.drives = mode == GPIOCTL::MODE_CONTROLLER ? 1 : 0;
        std::string error;
        ok = SimInstall(cfg, &error) && g.Init(mode);
        if (ok) g.Reset();
    }
    ~Board() {
        g.Cleanup();
        SimShutdown();
    }
    bool ok = false;
    GPIOCTL g;
};

// The emulator's pass: sample the lines, top up the FIFO, drop what shifted in.
void BM_SimStreamOneSecond(benchmark::State &state) {
    Board b(GPIOCTL::MODE_EMULATOR);
    if (!b.ok) {
        state.SkipWithError("no simulated board");
        return;
    }
    uint64_t writes = 0;
    for (auto _ : state) {
        uint64_t w0 = SimCurrent()->TotalWrites();
        b.g.StartSpi(1000);
        uint32_t t0 = SysTimer::GetTimerLow();
        uint8_t v = 0;
        while (SysTimer::GetTimerLow() - t0 < 1000000) {
            b.g.Aquire();
            while (b.g.IsSpiTx()) b.g.TxSpi(v++);
            b.g.ClearSpiRx();
        }
        b.g.ResetSpi();
        writes += SimCurrent()->TotalWrites() - w0;
    }
    state.counters["min_tx_fill"] = SimCurrent()->SpiMinFill();
    state.counters["underruns"] = SimCurrent()->SpiUnderruns();
    state.counters["writes_per_s"] = benchmark::Counter((double)writes / (double)state.iterations());
}
BENCHMARK(BM_SimStreamOneSecond)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// The dumper's sampling loop over a spinning, selected drive.
void BM_SimSampleOneSecond(benchmark::State &state) {
    Board b(GPIOCTL::MODE_CONTROLLER);
    if (!b.ok) {
        state.SkipWithError("no simulated board");
        return;
    }
    b.g.SetDS0(1);
    b.g.SetMOT(1);
    int64_t bytes = 0;
    for (auto _ : state) {
        b.g.StartSpi(8000);
        uint32_t t0 = SysTimer::GetTimerLow();
        while (SysTimer::GetTimerLow() - t0 < 1000000) {
            b.g.TxSpi(0);
            if (b.g.IsSpiRx()) {
                benchmark::DoNotOptimize(b.g.RxSpi());
                bytes++;
            }
        }
        b.g.ResetSpi();
    }
    state.counters["bytes_per_s"] = benchmark::Counter((double)bytes / (double)state.iterations());
}
BENCHMARK(BM_SimSampleOneSecond)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
