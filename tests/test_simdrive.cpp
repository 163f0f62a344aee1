// The simulated floppy drive read and written through the hardware layer
// alone, the way the dumping programs do it: select, motor, recalibrate and
// seek, sample a revolution through the SPI receiver, convert and decode.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"
#include "sim_fixture.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

const int kCells = 100000;  // one revolution of a 2DD disk: 500 kHz at 300 rpm

// Nine MFM sectors of 512 bytes of random data on cylinder c, head h.
std::unique_ptr<VTrack> BuildTrack(int c, int h, unsigned seed) {
    std::unique_ptr<VTrack> t(new VTrack);
    std::mt19937 rng(seed);
    for (int r = 1; r <= 9; r++) {
        VSector *s = NewSector(1, c, h, r, 2, 512, 0);
        for (int i = 0; i < s->length; i++) s->data[i] = (uint8_t)rng();
        t->AddSector(s);
    }
    return t;
}

std::vector<uint8_t> Cells(VTrack &t) {
    std::vector<uint8_t> b(kCells / 8 + 1, 0);
    t.Encode(0, b.data(), kCells);
    return b;
}

::testing::AssertionResult SameSectors(VTrack &want, const VTrack &got) {
    int n = 0;
    for (const VSector *s = got.sectors; s; s = s->next) n++;
    if (n != 9) return ::testing::AssertionFailure() << n << " sectors decoded";
    for (const VSector *w = want.sectors, *s = got.sectors; w; w = w->next, s = s->next) {
        if (s->c != w->c || s->h != w->h || s->r != w->r || s->n != w->n)
            return ::testing::AssertionFailure() << "ID of sector " << (int)w->r;
        if (s->status != 0) return ::testing::AssertionFailure() << "status " << (int)s->status << " of R " << (int)s->r;
        if (s->length != w->length || memcmp(s->data, w->data, (size_t)w->length) != 0)
            return ::testing::AssertionFailure() << "data of sector " << (int)w->r;
    }
    return ::testing::AssertionSuccess();
}

// Select drive 0, start its motor, step to cylinder 0 and on to cylinder.
void Seek(GPIOCTL &g, int cylinder, int side) {
    g.SetDS0(1);
    g.SetMOT(1);
    g.SetDIR(0);
    for (int i = 0; i < 90 && !((g.StepPulse(1) >> LINE_TRZ) & 1); i++) {
    }
    g.SetDIR(1);
    for (int i = 0; i < cylinder; i++) g.StepPulse(1);
    g.SetSID(side);
    g.Settling();
}

// period us from the index (or from now) through the SPI receiver at rate
// kHz, each pulse reduced to its first sample.
std::vector<uint8_t> SampleRevolution(GPIOCTL &g, int rate, uint32_t period, bool from_index = true) {
    std::vector<uint8_t> raw;
    g.StartSpi(rate);
    if (from_index) g.WaitRise(LINE_IDX);
    uint32_t t0 = SysTimer::GetTimerLow();
    uint8_t prev = 0;
    while (SysTimer::GetTimerLow() - t0 < period) {
        g.TxSpi(0);
        if (!g.IsSpiRx()) continue;
        uint8_t b = (uint8_t)g.RxSpi();
        raw.push_back((uint8_t)(b & ~((b >> 1) | (prev << 7))));
        prev = b;
    }
    g.ResetSpi();
    return raw;
}

std::unique_ptr<VTrack> Decode(const std::vector<uint8_t> &raw) {
    std::vector<uint8_t> cells(raw.size() + 16, 0);
    int n = Raw2Encode(raw.data(), (int)raw.size() * 8, cells.data(), (int)cells.size() * 8);
    std::unique_ptr<VTrack> t(new VTrack);
    t->Decode(0, cells.data(), n, ANALYZE_UPD765);
    return t;
}

struct DriveCase {
    int board;
    int jitter_ns;
    double speed_error;
};

class SimDriveRead : public ::testing::TestWithParam<DriveCase> {};

TEST_P(SimDriveRead, FindsTheSectorsOfTheMedium) {
    const DriveCase &c = GetParam();
    SimConfig cfg = BoardConfig(c.board);
    cfg.drives = 1;
    cfg.drive[0].jitter_ns = c.jitter_ns;
    cfg.drive[0].speed_error = c.speed_error;
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    SimDrive *drive = SimCurrentDrive(0);
    std::unique_ptr<VTrack> want = BuildTrack(2, 1, 7);
    std::vector<uint8_t> cells = Cells(*want);
    drive->SetTrackCells(2, 1, cells.data(), kCells, 500);
    std::unique_ptr<VTrack> other = BuildTrack(2, 0, 8);
    std::vector<uint8_t> cells0 = Cells(*other);
    drive->SetTrackCells(2, 0, cells0.data(), kCells, 500);

    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_CONTROLLER));
    g.Reset();
    for (int i = 0; i < 5; i++) {
        g.SetDS0(1);
        g.SetDIR(1);
        g.StepPulse(1);
    }
    Seek(g, 2, 1);
    EXPECT_EQ(2, drive->Cylinder());
    g.Aquire();
    EXPECT_EQ(0, g.GetTRZ());
    EXPECT_EQ(1, g.GetRDY());
    int period = (int)(200000 / (1 + c.speed_error / 100));

    std::unique_ptr<VTrack> got = Decode(SampleRevolution(g, 4000, (uint32_t)period));
    EXPECT_TRUE(SameSectors(*want, *got));
    g.Cleanup();
}

INSTANTIATE_TEST_SUITE_P(Drives, SimDriveRead,
                         ::testing::Values(DriveCase{1, 0, 0}, DriveCase{2, 150, 1.0}, DriveCase{3, 100, -1.5}),
                         [](const ::testing::TestParamInfo<DriveCase> &info) {
                             const DriveCase &c = info.param;
                             return "board" + std::to_string(c.board) + "_jitter" + std::to_string(c.jitter_ns) +
                                    (c.speed_error > 0 ? "ns_fast" : c.speed_error < 0 ? "ns_slow" : "ns_exact");
                         });

// Pulses on a track without flux over a quarter revolution: noise spikes at
// the set count a revolution, and random pulses once a stretch without flux
// is long enough.
TEST(SimDriveNoise, SpikesAndFluxFreeStretches) {
    const struct {
        int spikes, flux_free_us;
        size_t lo, hi;
    } cases[] = {{0, 0, 0, 0}, {40, 0, 9, 11}, {0, 1000, 10000, 15000}};
    for (const auto &c : cases) {
        SimConfig cfg = BoardConfig(2);
        cfg.drives = 1;
        cfg.drive[0].noise_spikes = c.spikes;
        cfg.drive[0].flux_free_us = c.flux_free_us;
        SimRig rig(cfg);
        ASSERT_TRUE(rig.StartDrive0());
        std::vector<uint8_t> raw = SampleRevolution(rig.g, 4000, 50000, false);
        size_t pulses = 0;
        for (uint8_t b : raw) pulses += (size_t)__builtin_popcount(b);
        EXPECT_GE(pulses, c.lo) << c.spikes << " " << c.flux_free_us;
        EXPECT_LE(pulses, c.hi) << c.spikes << " " << c.flux_free_us;
    }
}

// The samples taken in a stretch of virtual time are what the rate that
// CalcFreqSpi reports gives, odd dividers included (4800 kHz from 400 MHz).
TEST(SimSpi, ClockRunsAtTheReportedRate) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    for (int rate : {4800, 4000, 8000, 600}) {
        int64_t bytes = rig.board->SpiBytes();
        std::vector<uint8_t> raw = SampleRevolution(rig.g, rate, 20000, false);
        EXPECT_EQ((int64_t)raw.size(), rig.board->SpiBytes() - bytes);
        double khz = raw.size() * 8 / 20.0;
        EXPECT_NEAR(rig.g.CalcFreqSpi(rate), khz, rig.g.CalcFreqSpi(rate) / 500.0) << rate;
    }
}

// A medium carries the speed it was recorded at: a 300-rpm 2DD track in a
// 360-rpm drive passes in 1/6 s, and is saved back as it was recorded.
TEST(SimDriveMedium, RecordedAt300rpmTurnsIn360rpmDrive) {
    SimScratch dir;
    ASSERT_FALSE(dir.dir.empty());
    std::unique_ptr<VTrack> want = BuildTrack(0, 0, 5);
    std::vector<uint8_t> cells = Cells(*want);
    ZELDisk disk;
    ASSERT_TRUE(disk.Init(ZEL_TYPE_2DD, 500, 300, 0));
    ASSERT_TRUE(disk.SetTrackLen(0, 0, kCells));
    memcpy(disk.GetTrackData(0, 0), cells.data(), kCells / 8);
    Filepath fp;
    std::string src = dir.Name("dd300.zel"), saved = dir.Name("saved.zel");
    fp.SetPath(src.c_str());
    ASSERT_TRUE(disk.Save(fp, 1));

    SimDriveConfig cfg;
    cfg.rpm = 360;
    SimDrive drive(cfg);
    ASSERT_TRUE(drive.LoadImage(src.c_str()));
    const std::vector<int64_t> &flux = drive.Flux(0, 0);
    ASSERT_FALSE(flux.empty());
    EXPECT_LT(flux.back(), drive.RevolutionPs());
    EXPECT_GT(flux.back(), drive.RevolutionPs() * 99 / 100) << "the track spans the whole revolution";

    ASSERT_TRUE(drive.SaveImage(saved.c_str()));
    ZELDisk back;
    fp.SetPath(saved.c_str());
    ASSERT_TRUE(back.Load(fp, 0));
    EXPECT_EQ(300, back.header.rpm);
    EXPECT_EQ(500, back.header.rate);
    ASSERT_EQ(kCells, back.GetTrackLen(0, 0));
    EXPECT_EQ(0, memcmp(back.GetTrackData(0, 0), cells.data(), kCells / 8));
}

TEST(SimDriveWrite, WrittenTrackReadsBackAndIsSaved) {
    SimScratch dir;
    ASSERT_FALSE(dir.dir.empty());
    SimConfig cfg = BoardConfig(2);
    cfg.drives = 1;
    SimRig rig(cfg);
    SimDrive *drive = SimCurrentDrive(0);
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_CONTROLLER));
    g.Reset();
    Seek(g, 3, 0);

    // One revolution written from the index, one SPI bit per cell.
    std::unique_ptr<VTrack> want = BuildTrack(3, 0, 11);
    std::vector<uint8_t> cells = Cells(*want);
    g.StartSpi(500);
    g.WaitRise(LINE_IDX);
    g.SetWTG(1);
    for (int i = 0; i < kCells / 8; i++) {
        while (!g.IsSpiTx()) g.ClearSpiRx();
        g.TxSpi(cells[(size_t)i]);
    }
    while (!g.IsSpiDone()) g.ClearSpiRx();
    g.SetWTG(0);
    g.ResetSpi();
    EXPECT_EQ(1, drive->writes);
    EXPECT_EQ(0, rig.board->SpiUnderruns());

    std::unique_ptr<VTrack> got = Decode(SampleRevolution(g, 4000, 200000));
    EXPECT_TRUE(SameSectors(*want, *got));

    // Saved as a ZEL image, the track decodes the same.
    std::string path = dir.Name("saved.zel");
    ASSERT_TRUE(drive->SaveImage(path.c_str()));
    Filepath fp;
    fp.SetPath(path.c_str());
    ZELDisk disk;
    ASSERT_TRUE(disk.Load(fp, 0));
    std::unique_ptr<VTrack> saved(disk.Analyze(3, 0, ANALYZE_UPD765));
    ASSERT_TRUE(saved);
    EXPECT_TRUE(SameSectors(*want, *saved));

    // Loaded back into a fresh drive as its medium.
    SimDrive again(SimDriveConfig{});
    ASSERT_TRUE(again.LoadImage(path.c_str()));
    EXPECT_EQ(drive->Flux(3, 0).size(), again.Flux(3, 0).size());
}

TEST(SimDriveWrite, ProtectedDiskIsNotWritten) {
    SimConfig cfg = BoardConfig(2);
    cfg.drives = 1;
    cfg.drive[0].write_protect = 1;
    SimRig rig(cfg);
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_CONTROLLER));
    g.Reset();
    Seek(g, 0, 0);
    EXPECT_EQ(1, g.GetWTP());
    g.StartSpi(500);
    g.SetWTG(1);
    for (int i = 0; i < 100; i++) {
        while (!g.IsSpiTx()) g.ClearSpiRx();
        g.TxSpi(0x44);
    }
    g.SetWTG(0);
    g.ResetSpi();
    EXPECT_EQ(0, SimCurrentDrive(0)->writes);
    EXPECT_TRUE(SimCurrentDrive(0)->Flux(0, 0).empty());
}

}  // namespace
