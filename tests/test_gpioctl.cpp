// The hardware layer on the simulated board: mapping and SoC detection, the
// pins' safe and idle states, kernel settings saved and restored, board
// detection, the floppy lines of both roles on the three boards, timed bus
// actions, SPI, I2C and PWM.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "sim_fixture.h"

namespace {

const int kInterfacePins[21] = {18, 17, 5, 6, 19, 21, 26, 0, 12, 1, 7, 23, 16, 20, 13, 27, 25, 24, 22, 8, 11};
const int kBoards[3] = {1, 2, 3};  // TypeA, TypeB, TypeC
const GPIOCTL::mode_e kModes[2] = {GPIOCTL::MODE_EMULATOR, GPIOCTL::MODE_CONTROLLER};

// ---- Mapping, SoC, kernel settings ---------------------------------------------

struct SocCase {
    int soc;
    uint64_t base;
    int mailbox;
    int corefreq;
};

TEST(GpioctlInit, SocTypeBaseAndCoreClock) {
    const SocCase cases[] = {
        {1, 0x20000000, 1, 400000}, {2, 0x3F000000, 1, 400000}, {3, 0x3F000000, 1, 400000},
        {4, 0xFE000000, 1, 400000}, {3, 0x3F000000, 0, 400000}, {4, 0xFE000000, 0, 500000},
    };
    for (const SocCase &c : cases) {
        SCOPED_TRACE("soc " + std::to_string(c.soc) + " mailbox " + std::to_string(c.mailbox));
        SimConfig cfg = BoardConfig(2, c.soc);
        cfg.vcio = c.mailbox;
        SimRig rig(cfg);
        ASSERT_TRUE(rig.board) << rig.error;
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
        EXPECT_EQ(c.base, rig.g.baseaddr);
        EXPECT_EQ(c.soc, rig.g.soctype);
        EXPECT_EQ(c.corefreq, rig.g.corefreq);
        rig.g.Cleanup();
    }
}

TEST(GpioctlInit, MailboxAnswersTheCoreClock) {
    SimConfig cfg = BoardConfig(2);
    cfg.core_khz = 250000;
    SimRig rig(cfg);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    EXPECT_EQ(250000, rig.g.corefreq);
}

TEST(GpioctlInit, KernelSettingsChangedAndRestored) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    EXPECT_EQ("performance", rig.ReadPlatformFile("scaling_governor"));
    EXPECT_EQ("-1", rig.ReadPlatformFile("sched_rt_runtime_us"));
    rig.g.Cleanup();
    EXPECT_EQ("ondemand\n", rig.ReadPlatformFile("scaling_governor"));
    EXPECT_EQ("950000\n", rig.ReadPlatformFile("sched_rt_runtime_us"));
}

TEST(GpioctlInit, WithoutDevMemNothingIsTouched) {
    SimConfig cfg = BoardConfig(2);
    cfg.devmem = 0;
    SimRig rig(cfg);
    uint64_t before = rig.board->TotalWrites();
    EXPECT_EQ(0, rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    rig.g.Cleanup();  // harmless after a failed Init
    EXPECT_EQ(before, rig.board->TotalWrites());
    EXPECT_EQ("ondemand\n", rig.ReadPlatformFile("scaling_governor"));
    EXPECT_EQ("950000\n", rig.ReadPlatformFile("sched_rt_runtime_us"));
}

TEST(GpioctlInit, MissingSettingFilesAreSkipped) {
    SimConfig cfg = BoardConfig(2);
    cfg.governor.clear();
    SimRig rig(cfg);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    EXPECT_EQ(0, rig.g.governor[0]);
    rig.g.Cleanup();
    EXPECT_EQ("<missing>", rig.ReadPlatformFile("scaling_governor"));
    EXPECT_EQ("950000\n", rig.ReadPlatformFile("sched_rt_runtime_us"));
}

TEST(GpioctlInit, PlatformRefusesEverythingOutsideItsFolder) {
    SimRig rig(BoardConfig(2));
    HwPlatform *p = rig.board;
    EXPECT_LT(p->OpenFile("/etc/hostname", O_RDONLY), 0);
    EXPECT_LT(p->OpenFile("/proc/cpuinfo", O_RDWR), 0);
    EXPECT_EQ(1, p->SetScheduling(1 /* SCHED_FIFO */, 1));
    EXPECT_EQ(1, rig.board->RealtimeRequests());
}

TEST(GpioctlInit, IdleYieldsMoveVirtualTime) {
    SimRig rig(BoardConfig(2));
    int64_t t0 = rig.NowUs();
    GPIOCTL::Yield(0);
    EXPECT_EQ(t0 + 50, rig.NowUs());
    SimIdle(200);
    EXPECT_EQ(t0 + 250, rig.NowUs());
}

// ---- Pins: safe state, idle state, cleanup -----------------------------------------

TEST(GpioctlPins, InitResetCleanupOnEveryBoardAndRole) {
    for (int type : kBoards) {
        for (GPIOCTL::mode_e mode : kModes) {
            SCOPED_TRACE("board " + std::to_string(type) + " mode " + std::to_string(mode));
            SimRig rig(BoardConfig(type));
            SimBoard *b = rig.board;
            GPIOCTL &g = rig.g;
            uint32_t pads = b->Pads();
            ASSERT_TRUE(g.Init(mode));

            // Safe state: inputs without pulls, latches at 0 (GPIO 19 drives board detection on TypeB/TypeC).
            EXPECT_EQ(7u, b->Pads() & 7);
            for (int pin : kInterfacePins) {
                EXPECT_EQ(pin == 19 && type != 1 ? GPIO_OUTPUT : GPIO_INPUT, b->Function(pin)) << pin;
                EXPECT_EQ(PULL_NONE, b->Pull(pin)) << pin;
                EXPECT_EQ(0, b->Latch(pin)) << pin;
            }
            for (int pin : {4, 14, 15}) EXPECT_EQ(PULL_UP, b->Pull(pin));
            EXPECT_EQ(type == 1 ? 1 : 2, g.board);
            EXPECT_EQ(type == 3 ? 1 : 0, g.pro);

            // Idle state: every line released, 18 sets the board's direction.
            g.Reset();
            uint32_t asserted = b->PiAsserted() & ~(1u << 17 | 1u << 18);
            EXPECT_EQ(0u, asserted);
            EXPECT_EQ(GPIO_OUTPUT, b->Function(17));
            EXPECT_EQ(0, b->Latch(17));
            EXPECT_EQ(GPIO_OUTPUT, b->Function(18));
            EXPECT_EQ(mode == GPIOCTL::MODE_CONTROLLER ? 1 : 0, b->Latch(18));
            EXPECT_EQ(GPIO_OUTPUT, b->Function(10));
            EXPECT_EQ(type == 1 ? 1 : 0, b->Latch(10));
            EXPECT_EQ(GPIO_INPUT, b->Function(9));
            int line = mode == GPIOCTL::MODE_CONTROLLER ? LINE_DS0 : LINE_IDX;  // one line the Pi drives
            EXPECT_EQ(type == 1 ? GPIO_INPUT : GPIO_OUTPUT, b->Function(line));
            if (type != 1) {
                EXPECT_EQ(1, b->Latch(line));
            }

            g.Cleanup();
            for (int pin : kInterfacePins) {
                EXPECT_EQ(GPIO_INPUT, b->Function(pin)) << pin;
                EXPECT_EQ(PULL_NONE, b->Pull(pin)) << pin;
            }
            for (int pin : {4, 9, 10, 14, 15}) EXPECT_EQ(GPIO_INPUT, b->Function(pin));
            for (int pin : {4, 14, 15}) EXPECT_EQ(PULL_NONE, b->Pull(pin));
            EXPECT_EQ(pads, b->Pads());
            EXPECT_EQ(0u, b->PiAsserted());
        }
    }
}

TEST(GpioctlPins, PullsOnBothRegisterSets) {
    for (int soc : {3, 4}) {
        SCOPED_TRACE("soc " + std::to_string(soc));
        SimRig rig(BoardConfig(2, soc));
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
        rig.g.PullConfig(20, PULL_DOWN);
        rig.g.PullConfig(3, PULL_UP);
        EXPECT_EQ(PULL_DOWN, rig.board->Pull(20));
        EXPECT_EQ(PULL_UP, rig.board->Pull(3));
        uint64_t writes = rig.board->TotalWrites();
        rig.g.PullConfig(-1, PULL_UP);
        EXPECT_EQ(writes, rig.board->TotalWrites());
        if (soc == 4) {
            rig.g.PullConfig(20, 3);  // not a pull code on the BCM2711
            EXPECT_EQ(writes, rig.board->TotalWrites());
        }
    }
}

TEST(GpioctlPins, NegativePinsDoNothing) {
    SimRig rig(BoardConfig(1));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    uint64_t writes = rig.board->TotalWrites();
    rig.g.PinConfig(-1, GPIO_OUTPUT);
    rig.g.PinSetSignal(-3, 1);
    EXPECT_EQ(0, rig.g.PinGetSignal(-1));
    EXPECT_EQ(writes, rig.board->TotalWrites());
}

TEST(GpioctlPins, DrvConfigKeepsTheOtherPadBits) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    EXPECT_EQ(0x5A00001Au, rig.g.DrvConfig(2));
    EXPECT_EQ(0x1Au, rig.board->Pads());
}

// ---- Floppy lines --------------------------------------------------------------------

struct LineOp {
    const char *name;
    GPIOCTL::mode_e mode;
    int boards;  // bit 0 TypeA, bit 1 TypeB, bit 2 TypeC
    int pin;
    void (*set)(GPIOCTL &, int);
};

const int ALL = 7, A = 1, BC = 6;
const LineOp kLineOps[] = {
    {"SetIDX", GPIOCTL::MODE_EMULATOR, ALL, 27, [](GPIOCTL &g, int on) { g.SetIDX(on); }},
    {"SetRDY", GPIOCTL::MODE_EMULATOR, ALL, 22, [](GPIOCTL &g, int on) { g.SetRDY(on); }},
    {"SetTRZ", GPIOCTL::MODE_EMULATOR, A, 25, [](GPIOCTL &g, int on) { g.SetTRZ(on); }},
    {"SetTRZ 0", GPIOCTL::MODE_EMULATOR, BC, 25, [](GPIOCTL &g, int on) { g.SetTRZ(0, on); }},
    {"SetTRZ 1", GPIOCTL::MODE_EMULATOR, BC, 6, [](GPIOCTL &g, int on) { g.SetTRZ(1, on); }},
    {"SetWTP", GPIOCTL::MODE_EMULATOR, A, 24, [](GPIOCTL &g, int on) { g.SetWTP(on); }},
    {"SetWTP 0", GPIOCTL::MODE_EMULATOR, BC, 24, [](GPIOCTL &g, int on) { g.SetWTP(0, on); }},
    {"SetWTP 1", GPIOCTL::MODE_EMULATOR, BC, 5, [](GPIOCTL &g, int on) { g.SetWTP(1, on); }},
    {"SetDIN", GPIOCTL::MODE_EMULATOR, A, 8, [](GPIOCTL &g, int on) { g.SetDIN(on); }},
    {"SetINT", GPIOCTL::MODE_EMULATOR, A, 11, [](GPIOCTL &g, int on) { g.SetINT(on); }},
    {"SetDS0", GPIOCTL::MODE_CONTROLLER, ALL, 21, [](GPIOCTL &g, int on) { g.SetDS0(on); }},
    {"SetDS 1", GPIOCTL::MODE_CONTROLLER, ALL, 26, [](GPIOCTL &g, int on) { g.SetDS(1, on); }},
    {"SetMOT", GPIOCTL::MODE_CONTROLLER, ALL, 0, [](GPIOCTL &g, int on) { g.SetMOT(on); }},
    {"SetDIR", GPIOCTL::MODE_CONTROLLER, ALL, 12, [](GPIOCTL &g, int on) { g.SetDIR(on); }},
    {"SetSTP", GPIOCTL::MODE_CONTROLLER, ALL, 1, [](GPIOCTL &g, int on) { g.SetSTP(on); }},
    {"SetSID", GPIOCTL::MODE_CONTROLLER, ALL, 23, [](GPIOCTL &g, int on) { g.SetSID(on); }},
    {"SetWTG", GPIOCTL::MODE_CONTROLLER, ALL, 7, [](GPIOCTL &g, int on) { g.SetWTG(on); }},
    {"SetOS 1", GPIOCTL::MODE_CONTROLLER, ALL, 20, [](GPIOCTL &g, int on) { g.SetOS(1, on); }},
    {"SetOS0", GPIOCTL::MODE_CONTROLLER, ALL, 16, [](GPIOCTL &g, int on) { g.SetOS0(on); }},
    {"SetFD2", GPIOCTL::MODE_CONTROLLER, ALL, 5, [](GPIOCTL &g, int on) { g.SetFD2(on); }},
    {"SetFD4", GPIOCTL::MODE_CONTROLLER, ALL, 6, [](GPIOCTL &g, int on) { g.SetFD4(on); }},
    {"SetFD12", GPIOCTL::MODE_CONTROLLER, ALL, 19, [](GPIOCTL &g, int on) { g.SetFD12(on); }},
};

TEST(GpioctlLines, EachLineInTheBoardsManner) {
    for (int type : kBoards) {
        for (GPIOCTL::mode_e mode : kModes) {
            SimRig rig(BoardConfig(type));
            SimBoard *b = rig.board;
            ASSERT_TRUE(rig.g.Init(mode));
            rig.g.Reset();
            for (const LineOp &op : kLineOps) {
                SCOPED_TRACE(std::string(op.name) + " board " + std::to_string(type) + " mode " + std::to_string(mode));
                uint32_t before = b->PiAsserted();
                uint64_t writes = b->TotalWrites();
                if (op.mode != mode || !(op.boards & (1 << (type - 1)))) {
                    op.set(rig.g, 1);
                    EXPECT_EQ(writes, b->TotalWrites());
                    EXPECT_EQ(before, b->PiAsserted());
                    continue;
                }
                op.set(rig.g, 1);
                EXPECT_EQ(before | 1u << op.pin, b->PiAsserted());
                EXPECT_EQ(GPIO_OUTPUT, b->Function(op.pin));
                op.set(rig.g, 1);  // TypeA: the shadow saves the second write
                if (type == 1) {
                    EXPECT_EQ(writes + 1, b->TotalWrites());
                }
                op.set(rig.g, 0);
                EXPECT_EQ(before & ~(1u << op.pin), b->PiAsserted());
                EXPECT_EQ(type == 1 ? GPIO_INPUT : GPIO_OUTPUT, b->Function(op.pin));
            }
        }
    }
}

TEST(GpioctlLines, InputsComeFromTheSampledWord) {
    Recorder rec;
    SimRig rig(BoardConfig(2));
    rig.board->Attach(&rec);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rec.lines = 1u << LINE_DS1 | 1u << LINE_STP | 1u << LINE_OS0;
    EXPECT_EQ(0, rig.g.GetDS1());  // not sampled yet
    rig.g.Aquire();
    EXPECT_EQ(1, rig.g.GetDS1());
    EXPECT_EQ(1, rig.g.GetDS(1));
    EXPECT_EQ(0, rig.g.GetDS0());
    EXPECT_EQ(1, rig.g.GetSTP());
    EXPECT_EQ(1, rig.g.GetOS(0));
    EXPECT_EQ(0, rig.g.GetMOT());
}

TEST(GpioctlLines, SetIRWTOnTypeAIsOneWrite) {
    SimRig rig(BoardConfig(1));
    SimBoard *b = rig.board;
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    uint32_t lines = 1u << 27 | 1u << 22 | 1u << 24 | 1u << 25;
    uint64_t writes = b->TotalWrites(), fsel2 = b->WriteCount(GPIO_OFFSET + 8);
    rig.g.SetIRWT(1, 1, 1, 1);
    EXPECT_EQ(lines, b->PiAsserted() & lines);
    rig.g.SetIRWT(0, 1, 0, 1);
    EXPECT_EQ(1u << 22 | 1u << 25, b->PiAsserted() & lines);
    rig.g.SetIRWT(0, 0, 0, 0);
    EXPECT_EQ(0u, b->PiAsserted() & lines);
    EXPECT_EQ(writes + 3, b->TotalWrites());
    EXPECT_EQ(fsel2 + 3, b->WriteCount(GPIO_OFFSET + 8));
}

TEST(GpioctlLines, SetIRWTOnTypeBDrivesIndexOnly) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rig.g.SetIRWT(1, 1, 1, 1);
    EXPECT_EQ(1u << 27, rig.board->PiAsserted() & (1u << 27 | 1u << 22 | 1u << 24 | 1u << 25));
}

TEST(GpioctlLines, SharedFunctionWordsKeepTheSpiPins) {
    // DIN (8) and INT (11) share GPFSEL0/1 with the SPI pins 9 and 10.
    SimRig rig(BoardConfig(1));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rig.g.StartSpi(1000);
    rig.g.SetDIN(1);
    rig.g.SetINT(1);
    EXPECT_EQ(GPIO_ALT0, rig.board->Function(9));
    EXPECT_EQ(GPIO_ALT0, rig.board->Function(10));
}

TEST(GpioctlLines, SetDiskLoadsTheBoardLatch) {
    SimRig rig(BoardConfig(3));
    SimBoard *b = rig.board;
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    for (int disks = 0; disks < 4; disks++) {
        rig.g.SetDisk(disks & 1, disks >> 1);
        EXPECT_EQ(disks, b->BoardLatch());
        EXPECT_EQ(GPIO_INPUT, b->Function(16));
        EXPECT_EQ(GPIO_INPUT, b->Function(20));
        EXPECT_EQ(GPIO_OUTPUT, b->Function(8));
        EXPECT_EQ(1, b->Latch(8));
    }
}

TEST(GpioctlLines, X68000OptionLine) {
    for (int type : {2, 3}) {
        for (int on : {1, 0}) {
            SCOPED_TRACE("board " + std::to_string(type) + " on " + std::to_string(on));
            Recorder rec;
            SimRig rig(BoardConfig(type));
            rig.board->Attach(&rec);
            ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
            rig.g.Reset();
            rec.changes.clear();
            int64_t t0 = rig.board->Now();
            rig.g.EnableX68KOpt(on);
            std::vector<Recorder::Change> seen = rec.On(19);
            if (type == 2) {
                ASSERT_EQ(on ? 1u : 0u, seen.size());  // level-driven; released already
                continue;
            }
            // TypeC: low, 10 us high, the option level for 2 ms, then low for the sound output.
            ASSERT_EQ(3u, seen.size());
            EXPECT_EQ(1, seen[0].asserted);
            EXPECT_EQ(0, seen[1].asserted);
            EXPECT_NEAR(10, (seen[1].t - seen[0].t) / SIM_PS_PER_US, 1);
            EXPECT_EQ(1, seen[2].asserted);
            EXPECT_NEAR(on ? 10 : 2010, (seen[2].t - seen[1].t) / SIM_PS_PER_US, 2);
            EXPECT_LT(seen[0].t - t0, SIM_PS_PER_US);
            EXPECT_EQ(1, rig.board->PiAsserted() >> 19 & 1);
        }
    }
}

// ---- Timed bus actions ------------------------------------------------------------------

SimConfig DriveConfig(int board, double rpm, int disk = 1) {
    SimConfig cfg = BoardConfig(board);
    cfg.drives = 1;
    cfg.drive[0].rpm = rpm;
    cfg.drive[0].disk = disk;
    cfg.tick_ps = SIM_PS_PER_US;  // revolutions are long: poll once a microsecond
    return cfg;
}

TEST(GpioctlTimed, IndexPeriodOfDrives) {
    const struct {
        int board;
        double rpm, error;
    } cases[] = {{2, 300, 0}, {1, 360, -0.5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.rpm) + " rpm");
        SimConfig cfg = DriveConfig(c.board, c.rpm);
        cfg.drive[0].speed_error = c.error;
        SimRig rig(cfg);
        ASSERT_TRUE(rig.StartDrive0());
        double want = 60e6 / (c.rpm * (1 + c.error / 100));
        EXPECT_NEAR(want, rig.g.GetIndexPeriod(), want * 0.001);
        // WaitRise returns at the leading edge of the index pulse.
        ASSERT_EQ(1, rig.g.WaitRise(27));
        int64_t rot = (int64_t)(want * SIM_PS_PER_US);
        EXPECT_LT(rig.board->Now() % rot, 2 * SIM_PS_PER_US);
    }
}

TEST(GpioctlTimed, NoIndexWithoutDisk) {
    SimConfig cfg = DriveConfig(2, 300, 0);
    SimRig rig(cfg);
    ASSERT_TRUE(rig.StartDrive0());
    EXPECT_EQ(0, rig.g.GetIndexPeriod());
}

TEST(GpioctlTimed, StepPulseAndSettlingTakeTheirTimes) {
    for (int fast : {1, 0}) {
        Recorder rec;
        SimConfig cfg = DriveConfig(2, 300);
        cfg.tick_ps = 100000;
        SimRig rig(cfg);
        rig.board->Attach(&rec);
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
        rig.g.Reset();
        rig.g.SetDS0(1);
        rig.g.SetDIR(1);
        int64_t t0 = rig.NowUs();
        rig.g.StepPulse(fast);
        EXPECT_NEAR(fast ? 3000 : 6000, rig.NowUs() - t0, 3);
        std::vector<Recorder::Change> stp = rec.On(LINE_STP);
        ASSERT_EQ(2u, stp.size());
        EXPECT_NEAR(10, (stp[1].t - stp[0].t) / SIM_PS_PER_US, 1);
        EXPECT_EQ(1, SimCurrentDrive(0)->Cylinder());
        t0 = rig.NowUs();
        rig.g.Settling();
        EXPECT_NEAR(20000, rig.NowUs() - t0, 3);
    }
}

// ---- SPI -----------------------------------------------------------------------------------

TEST(GpioctlSpi, CalcFreqSpi) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    const int cases[][2] = {{4800, 4878}, {4000, 4000}, {8000, 8000}, {1000, 1000}, {0, 0}, {400001, 0}};
    for (const auto &c : cases) EXPECT_EQ(c[1], rig.g.CalcFreqSpi(c[0])) << c[0];
}

// Streams bytes from StartSpi on, discarding what shifts in as the emulator
// does; returns when the last byte has left.
void Stream(GPIOCTL &g, int rate, const std::vector<uint8_t> &bytes) {
    g.StartSpi(rate);
    for (uint8_t v : bytes) {
        while (!g.IsSpiTx()) g.ClearSpiRx();
        g.TxSpi(v);
    }
    while (!g.IsSpiDone()) g.ClearSpiRx();
}

TEST(GpioctlSpi, TransmitReachesTheBusBitForBit) {
    const struct {
        int board, rate, even;
        int64_t bitps;
    } cases[] = {{1, 1000, 1, 1000000}, {2, 1000, 1, 1000000}, {3, 4000, 1, 250000},
                 {2, 4800, 1, 205000},  {2, 4800, 0, 207500}};
    std::vector<uint8_t> bytes = {0x80, 0x55, 0xF0, 0x01, 0x00, 0xFF, 0x3C, 0x92};
    for (int i = 0; i < 100; i++) bytes.push_back((uint8_t)(i * 37 + 11));
    for (const auto &c : cases) {
        SCOPED_TRACE("board " + std::to_string(c.board) + " rate " + std::to_string(c.rate));
        Recorder rec;
        SimConfig cfg = BoardConfig(c.board);
        cfg.spi_even_divider = c.even;
        SimRig rig(cfg);
        rig.board->Attach(&rec);
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
        rig.g.Reset();
        Stream(rig.g, c.rate, bytes);
        ASSERT_EQ(bytes.size() * 8, rec.bits.size());
        for (size_t i = 0; i < rec.bits.size(); i++) {
            ASSERT_EQ((bytes[i / 8] >> (7 - i % 8)) & 1, rec.bits[i].bit) << "bit " << i;
            ASSERT_EQ((int64_t)i * c.bitps, rec.bits[i].t - rec.bits[0].t) << "bit " << i;
        }
        EXPECT_EQ(0, rig.board->SpiUnderruns());
    }
}

TEST(GpioctlSpi, ReceiveSamplesTheBus) {
    for (int type : kBoards) {
        SCOPED_TRACE("board " + std::to_string(type));
        Recorder rec;
        SimRig rig(BoardConfig(type));
        rig.board->Attach(&rec);
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
        rig.g.Reset();
        rig.g.StartSpi(4000);
        rig.g.TxSpi(0);
        int64_t t0 = rig.board->Now(), bit = 250000;
        rec.data = [&](int64_t t) { return (int)(((t - t0) / bit) % 3 == 0); };
        std::vector<uint8_t> got;
        while (got.size() < 24) {
            if (rig.g.IsSpiTx()) rig.g.TxSpi(0);
            if (rig.g.IsSpiRx()) got.push_back((uint8_t)rig.g.RxSpi());
        }
        rig.g.ResetSpi();
        for (int i = 0; i < 24 * 8; i++) ASSERT_EQ(i % 3 == 0, (got[i / 8] >> (7 - i % 8)) & 1) << "sample " << i;
    }
}

TEST(GpioctlSpi, ShiftingHaltsWhileTheReceiveFifoIsFull) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_CONTROLLER));
    rig.g.Reset();
    rig.g.StartSpi(4000);
    for (int i = 0; i < 74; i++) {
        if (i == 64) SysTimer::DelayUs(200);  // 64 bytes shift in 128 us and fill the receive FIFO
        rig.g.TxSpi((uint8_t)i);
    }
    SysTimer::DelayUs(200);
    EXPECT_FALSE(rig.g.IsSpiDone());  // ten bytes wait for room
    int64_t before = rig.board->SpiBytes();
    EXPECT_EQ(64, before);
    for (int i = 0; i < 64; i++) rig.g.RxSpi();
    SysTimer::DelayUs(100);
    EXPECT_TRUE(rig.g.IsSpiDone());
    EXPECT_EQ(74, rig.board->SpiBytes());
}

TEST(GpioctlSpi, NineClocksPerByteWithoutDlen) {
    Recorder rec;
    SimRig rig(BoardConfig(2));
    rig.board->Attach(&rec);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rig.g.StartSpi(1000);
    hwseam::RegWrite(SPI0_OFFSET + SPI_DLEN, 1);
    rig.g.TxSpi(0xAA);
    rig.g.TxSpi(0xAA);
    while (!rig.g.IsSpiDone()) {
    }
    ASSERT_EQ(16u, rec.bits.size());
    EXPECT_EQ(9 * SIM_PS_PER_US, rec.bits[8].t - rec.bits[0].t);
}

TEST(GpioctlSpi, DataReachesTheBusOnlyInAlt0) {
    Recorder rec;
    SimRig rig(BoardConfig(2));
    rig.board->Attach(&rec);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rig.g.StartSpi(1000);
    rig.g.PinConfig(10, GPIO_OUTPUT);
    rig.g.TxSpi(0xFF);
    while (!rig.g.IsSpiDone()) {
    }
    EXPECT_TRUE(rec.bits.empty());
    rig.g.ResetSpi();
    EXPECT_EQ(GPIO_OUTPUT, rig.board->Function(10));
    EXPECT_EQ(0, rig.board->Latch(10));
}

TEST(GpioctlSpi, CoreClockChangeMovesTheRate) {
    Recorder rec;
    SimConfig cfg = BoardConfig(2);
    cfg.core_change_at_us = 50000;
    cfg.core_change_khz = 500000;
    SimRig rig(cfg);
    rig.board->Attach(&rec);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    EXPECT_EQ(400000, rig.g.corefreq);
    SysTimer::DelayUs(60000);
    Stream(rig.g, 1000, {0x80, 0x80});
    ASSERT_EQ(16u, rec.bits.size());
    EXPECT_EQ(8 * 800000, rec.bits[8].t - rec.bits[0].t);
}

TEST(GpioctlSpi, UnderrunsAndFillAreReported) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    rig.g.StartSpi(1000);
    for (int i = 0; i < 10; i++) rig.g.TxSpi(0x11);
    SysTimer::DelayUs(200);  // the FIFO runs dry
    rig.g.TxSpi(0x11);
    EXPECT_EQ(1, rig.board->SpiUnderruns());
    EXPECT_EQ(0, rig.board->SpiMinFill());
}

// ---- I2C and PWM ----------------------------------------------------------------------------

TEST(GpioctlI2c, DisplayTransfersReachThePanel) {
    SimRig rig(BoardConfig(2));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    EXPECT_EQ(1, rig.g.i2cavail);
    ASSERT_GE(rig.g.i2cfd, 0);
    SimPanel *panel = SimCurrentPanel();
    EXPECT_EQ(1, panel->transfers);  // display off
    const uint8_t on[] = {0x80, 0xAF};
    rig.g.Send2SSD1306(on, 2);
    EXPECT_EQ(1, panel->DisplayOn());
    rig.g.Cleanup();
    EXPECT_EQ(-1, rig.g.i2cfd);
}

TEST(GpioctlI2c, NoDisplayNoTransfer) {
    SimConfig cfg = BoardConfig(2);
    cfg.i2c = 0;
    SimRig rig(cfg);
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    EXPECT_EQ(0, rig.g.i2cavail);
    EXPECT_EQ(-1, rig.g.i2cfd);
    const uint8_t on[] = {0x80, 0xAF};
    rig.g.Send2SSD1306(on, 2);
    EXPECT_EQ(0, SimCurrentPanel()->transfers);
}

TEST(GpioctlPwm, ClockSetUpAndPlayingPacedByTheFifo) {
    for (int soc : {3, 4}) {
        SCOPED_TRACE("soc " + std::to_string(soc));
        SimRig rig(BoardConfig(3, soc));
        ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
        EXPECT_EQ(soc == 4 ? 132u << 12 : 88u << 12, hwseam::RegRead(CLK_OFFSET + CM_PWMDIV));
        EXPECT_EQ(0x96u, hwseam::RegRead(CLK_OFFSET + CM_PWMCTL));  // running from PLLD
        rig.g.EnablePWM();
        EXPECT_EQ(GPIO_ALT5, rig.board->Function(19));
        std::vector<uint8_t> samples(400, 0x80);
        int64_t t0 = rig.NowUs();
        rig.g.PlayPWM(samples.data(), (int)samples.size());
        // 256 clocks of 88 (132) PLLD cycles a sample; the first eight fill the FIFO.
        EXPECT_NEAR(392 * 45.056, rig.NowUs() - t0, 45);
        EXPECT_EQ(800, rig.board->PwmSamples());
        rig.g.CleanupPWM();
        EXPECT_EQ(GPIO_INPUT, rig.board->Function(19));
    }
}

TEST(GpioctlPwm, StoppedPwmDoesNotHang) {
    SimRig rig(BoardConfig(3));
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.CleanupPWM();
    std::vector<uint8_t> samples(100, 0x80);
    int64_t t0 = rig.NowUs();
    rig.g.PlayPWM(samples.data(), (int)samples.size());
    EXPECT_LT(rig.NowUs() - t0, 20000);
}

}  // namespace
