// The emulator role's side of the simulated bus (host controller, front
// panel) and the simulation file with its report.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_fixture.h"

namespace {

// Waits (polling the lines as the emulator does) until line reaches state; returns the time in us.
int64_t WaitLine(SimRig &rig, int line, int state) {
    for (int i = 0; i < 10000000; i++) {
        rig.g.Aquire();
        if (rig.g.GetSignal(line) == state) return rig.NowUs();
    }
    return -1;
}

TEST(SimHost, ScriptDrivesTheHostLines) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(2);
    cfg.host_log = scratch.Name("host.log");  // a host with a log is attached
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    SimHost *host = SimCurrentHost();
    std::string err;
    ASSERT_TRUE(host->AddScriptLine("5 assert ds1", &err)) << err;
    ASSERT_TRUE(host->AddScriptLine("5 assert mot  # motor on", &err)) << err;
    ASSERT_TRUE(host->AddScriptLine("6 assert dir", &err)) << err;
    ASSERT_TRUE(host->AddScriptLine("7 step 3 4 3", &err)) << err;
    ASSERT_TRUE(host->AddScriptLine("30 release ds1", &err)) << err;
    EXPECT_FALSE(host->AddScriptLine("8 assert nothing", &err));
    EXPECT_FALSE(host->AddScriptLine("8 jump", &err));

    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    rig.g.Reset();
    EXPECT_NEAR(5000, WaitLine(rig, LINE_DS1, 1), 1);
    EXPECT_EQ(1, rig.g.GetMOT());
    EXPECT_EQ(0, rig.g.GetDS0());
    int64_t steps[3];
    for (int64_t &s : steps) {
        s = WaitLine(rig, LINE_STP, 1);
        int64_t end = WaitLine(rig, LINE_STP, 0);
        EXPECT_NEAR(4, end - s, 1);
    }
    EXPECT_NEAR(3000, steps[1] - steps[0], 1);
    EXPECT_NEAR(3000, steps[2] - steps[1], 1);
    EXPECT_EQ(1, rig.g.GetDIR());
    EXPECT_NEAR(30000, WaitLine(rig, LINE_DS1, 0), 1);
}

TEST(SimHost, CapturesReadDataAndIndexAndFeedsWriteData) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(1);
    cfg.host_log = scratch.Name("host.log");
    cfg.host_script = scratch.Put("host.txt", "0 assert ds0\n0 assert wtg\n0 writedata 500 44894489\n");
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    SimHost *host = SimCurrentHost();
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_EMULATOR));
    g.Reset();

    // Read data toward the host: 0x88 at 500 kHz is a pulse every 4 cells (8 us).
    g.SetIDX(1);
    g.StartSpi(500);
    for (int i = 0; i < 20; i++) {
        while (!g.IsSpiTx()) g.ClearSpiRx();
        g.TxSpi(0x88);
    }
    while (!g.IsSpiDone()) g.ClearSpiRx();
    g.SetIDX(0);
    g.ResetSpi();
    ASSERT_EQ(40u, host->read_pulses.size());
    for (size_t i = 1; i < host->read_pulses.size(); i++)
        EXPECT_EQ(8 * SIM_PS_PER_US, host->read_pulses[i] - host->read_pulses[i - 1]);
    std::vector<SimHostEvent> idx;
    for (const SimHostEvent &e : host->seen)
        if (e.line == LINE_IDX) idx.push_back(e);
    ASSERT_EQ(2u, idx.size());
    EXPECT_LE(idx[0].t, host->read_pulses.front());
    EXPECT_GE(idx[1].t, host->read_pulses.back());

    // Write data from the host, sampled at eight samples per cell: 4489 = cells 0100 0100 1000 1001.
    g.StartSpi(4000);
    std::vector<int> edges;
    int prev = 0, n = 0;
    while (edges.size() < 40) {
        if (g.IsSpiTx()) g.TxSpi(0);
        if (!g.IsSpiRx()) continue;
        uint8_t b = (uint8_t)g.RxSpi();
        for (int k = 7; k >= 0; k--, n++) {
            int bit = (b >> k) & 1;
            if (bit && !prev) edges.push_back(n);
            prev = bit;
        }
    }
    g.ResetSpi();
    const int gaps[5] = {32, 24, 32, 24, 16};  // 4, 3, 4, 3, 2 cells between the pulses of 4489 4489
    for (size_t i = 1; i < edges.size(); i++) {
        int d = edges[i] - edges[i - 1];
        bool known = false;
        for (int gap : gaps) known |= d == gap;
        EXPECT_TRUE(known) << "interval " << d << " at " << i;
    }
    const long long first_ns = (host->read_pulses.front() + 500) / 1000;
    SimShutdown();
    std::string log = SimScratch::Slurp(cfg.host_log);
    EXPECT_NE(std::string::npos, log.find(" IDX 1\n"));
    EXPECT_NE(std::string::npos, log.find("read_pulses = 40\n"));
    // The pulse times follow as ns after the previous pulse.
    size_t at = log.find("# read pulses: ns after the previous pulse\n");
    ASSERT_NE(std::string::npos, at);
    std::istringstream pulses(log.substr(log.find('\n', at) + 1));
    std::vector<long long> ns;
    for (long long v; pulses >> v;) ns.push_back(v);
    ASSERT_EQ(40u, ns.size());
    EXPECT_EQ(first_ns, ns[0]);
    for (size_t i = 1; i < ns.size(); i++) EXPECT_EQ(8000, ns[i]);
}

// Each writedata line plays its own cells from its own time on; pulses move
// by the write jitter but stay inside their cell.
TEST(SimHost, WriteDataFeedsFollowTheScript) {
    for (int jitter : {0, 200}) {
        SimScratch scratch;
        SimConfig cfg = BoardConfig(1);
        cfg.host_write_jitter_ns = jitter;
        cfg.host_script = scratch.Put("host.txt", "0 assert wtg\n0 writedata 1000 88\n2 writedata 1000 AA\n");
        SimRig rig(cfg);
        ASSERT_TRUE(rig.board) << rig.error;
        SimHost *host = SimCurrentHost();
        // The start of each pulse, sampled every 10 ns, against its cell (1 us).
        std::vector<int64_t> starts;
        int last = 0;
        for (int64_t t = 0; t < 4000 * SIM_PS_PER_US; t += 10000) {
            int on = host->DataAsserted(t);
            if (on && !last) starts.push_back(t);
            last = on;
        }
        size_t first = 0, second = 0;  // pulses in 0.5-1.5 ms and in 2.5-3.5 ms
        for (int64_t s : starts) {
            int64_t shift = (s + 500000) % 1000000 - 500000;
            EXPECT_LE(std::abs(shift), (int64_t)jitter * 1000) << s;
            if (s >= 500500000 && s < 1500500000) first++;  // cells 501 to 1500
            if (s >= 2500500000 && s < 3500500000) second++;
        }
        EXPECT_EQ(250u, first) << "88: a pulse every 4 cells";
        EXPECT_EQ(500u, second) << "AA: every 2 cells";
        bool moved = false;
        for (int64_t s : starts) moved = moved || s % 1000000 != 0;
        EXPECT_EQ(jitter != 0, moved);
    }
}

// An idle yield longer than a host pulse stops at its edges: a loop that
// yields between looks still sees every step pulse of the script.
TEST(SimHost, IdleYieldsStopAtScriptedEdges) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(2);
    cfg.host_script = scratch.Put("host.txt", "20 step 3 4 3\n");
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    ASSERT_TRUE(rig.g.Init(GPIOCTL::MODE_EMULATOR));
    int pulses = 0, prev = 0;
    while (rig.NowUs() < 40000) {
        rig.g.Aquire();
        int stp = rig.g.GetSignal(LINE_STP);
        pulses += stp && !prev;
        prev = stp;
        GPIOCTL::Yield(0);  // 50 us by default
    }
    EXPECT_EQ(3, pulses);
}

// "on": the host answers a line the Pi drives, once, after the delay, and
// only from the time the line of the script names.
TEST(SimHost, ReactsOnceToTheLinesThePiDrives) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(1);
    cfg.host_script = scratch.Put("host.txt", "0 on int 1 5 assert os1\n0 on int 0 5 release os1\n"
                                              "20 on idx 1 1 on idx 0 2 assert ds1\n");
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    std::string err;
    EXPECT_FALSE(SimCurrentHost()->AddScriptLine("0 on int 1 5 jump", &err));
    EXPECT_FALSE(SimCurrentHost()->AddScriptLine("0 on int 2 5 assert os1", &err));
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_EMULATOR));
    g.Reset();

    auto at = [&](int64_t us) {  // the host's lines as the emulator samples them at us
        while (rig.NowUs() < us) g.Aquire();
        return g.Aquire();
    };
    EXPECT_EQ(0, (at(2000) >> LINE_OS1) & 1);
    g.SetINT(1);
    EXPECT_EQ(0, (at(6900) >> LINE_OS1) & 1);
    EXPECT_EQ(1, (at(7100) >> LINE_OS1) & 1);
    g.SetINT(0);
    EXPECT_EQ(0, (at(12200) >> LINE_OS1) & 1);
    g.SetINT(1);  // fired already: no answer
    EXPECT_EQ(0, (at(19000) >> LINE_OS1) & 1);

    // Index before 20 ms is not answered; after it, the chained "on" waits
    // for the release and asserts DS1 2 ms later.
    g.SetIDX(1);
    g.SetIDX(0);
    EXPECT_EQ(0, (at(20500) >> LINE_DS1) & 1);
    g.SetIDX(1);
    at(22000);
    g.SetIDX(0);
    EXPECT_EQ(0, (at(23900) >> LINE_DS1) & 1);
    EXPECT_EQ(1, (at(24100) >> LINE_DS1) & 1);
}

// "+" presses: timed from the first display data written after the previous
// press has ended, and only from data that shows the bytes named by "when".
TEST(SimPanel, WaitingPressesFollowTheDisplay) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(3);
    cfg.panel_script = scratch.Put("panel.txt", "+5 press C 10\n+2 press B 10 when 1 4 A55A\n");
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    std::string err;
    EXPECT_FALSE(SimCurrentPanel()->AddScriptLine("+2 press B 10 when 1 127 A55A", &err));  // past the edge
    EXPECT_FALSE(SimCurrentPanel()->AddScriptLine("+2 press B 10 when 1 4 A5G", &err));
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_EMULATOR));
    auto pressed = [&](int pin, int64_t us) {  // the button as read at us
        while (rig.NowUs() < us) g.PinGetSignal(pin);
        return g.PinGetSignal(pin) == 0;
    };
    auto draw = [&](uint8_t page, uint8_t a, uint8_t b) {  // two bytes at column 4
        const uint8_t cmd[] = {0x00, (uint8_t)(0xB0 | page), 0x04, 0x10};
        const uint8_t data[] = {0x40, a, b};
        g.Send2SSD1306(cmd, sizeof cmd);
        int64_t at = rig.NowUs();
        g.Send2SSD1306(data, sizeof data);
        return at;
    };
    EXPECT_FALSE(pressed(15, 3000));  // no update yet
    int64_t t = draw(0, 1, 2);
    EXPECT_FALSE(pressed(15, t + 4900));
    EXPECT_TRUE(pressed(15, t + 5100));
    draw(1, 0xA5, 0x5A);  // while C is held: too early for B
    EXPECT_FALSE(pressed(14, t + 16000));
    t = draw(1, 0xA5, 0x00);  // not what B waits for
    EXPECT_FALSE(pressed(14, t + 3000));
    t = draw(1, 0xA5, 0x5A);
    EXPECT_FALSE(pressed(14, t + 1900));
    EXPECT_TRUE(pressed(14, t + 2100));
    EXPECT_FALSE(pressed(14, t + 12100));
}

TEST(SimPanel, DecodesTheDisplayAndPressesButtons) {
    SimScratch scratch;
    SimConfig cfg = BoardConfig(3);
    cfg.panel_script = scratch.Put("panel.txt", "# button A for 50 ms\n2 press A 50\n");
    SimRig rig(cfg);
    ASSERT_TRUE(rig.board) << rig.error;
    GPIOCTL &g = rig.g;
    ASSERT_TRUE(g.Init(GPIOCTL::MODE_EMULATOR));
    SimPanel *panel = SimCurrentPanel();

    // The start-up transfer of the display, then one column pattern on each page.
    const uint8_t init[] = {0x00, 0xAE, 0xD5, 0x80, 0xA8, 0x1F, 0xD3, 0x00, 0x40, 0x8D, 0x14, 0x20, 0x00,
                            0xA1, 0xC8, 0xDA, 0x02, 0x81, 0x01, 0xD9, 0xF1, 0xDB, 0x40, 0xA4, 0xA6};
    g.Send2SSD1306(init, sizeof init);
    const uint8_t window[] = {0x00, 0x21, 10, 11, 0x22, 0, 3};
    g.Send2SSD1306(window, sizeof window);
    const uint8_t data[] = {0x40, 0x01, 0x80, 0xFF, 0x00, 0x0F, 0xF0, 0x81, 0x18};
    g.Send2SSD1306(data, sizeof data);
    const uint8_t on[] = {0x80, 0xAF};
    g.Send2SSD1306(on, sizeof on);
    EXPECT_EQ(1, panel->DisplayOn());
    EXPECT_EQ(1, panel->Pixel(10, 0));   // page 0, column 10: 0x01
    EXPECT_EQ(1, panel->Pixel(11, 7));   // page 0, column 11: 0x80
    EXPECT_EQ(0, panel->Pixel(11, 6));
    for (int y = 8; y < 16; y++) EXPECT_EQ(1, panel->Pixel(10, y));  // page 1: 0xFF
    EXPECT_EQ(1, panel->Pixel(10, 16));  // page 2: 0x0F, 0xF0
    EXPECT_EQ(0, panel->Pixel(10, 20));
    EXPECT_EQ(1, panel->Pixel(11, 20));
    EXPECT_EQ(1, panel->Pixel(11, 27));  // page 3, column 11: 0x18 = rows 3 and 4
    EXPECT_EQ(0, panel->Pixel(12, 0));

    // Switched off at exit, the display still holds its last picture.
    const uint8_t off[] = {0x80, 0xAE};
    g.Send2SSD1306(off, sizeof off);
    EXPECT_EQ(0, panel->DisplayOn());
    std::string pgm = scratch.Name("shot.pgm"), png = scratch.Name("shot.png");
    ASSERT_TRUE(panel->SavePicture(pgm.c_str()));
    ASSERT_TRUE(panel->SavePicture(png.c_str()));
    std::string p = SimScratch::Slurp(pgm);
    ASSERT_EQ(std::string("P5\n128 32\n255\n").size() + 128 * 32, p.size());
    EXPECT_EQ(0, p.compare(0, 14, "P5\n128 32\n255\n"));
    EXPECT_EQ('\xFF', p[14 + 10]);
    EXPECT_EQ(0, SimScratch::Slurp(png).compare(0, 8, "\x89PNG\r\n\x1A\n"));

    // Button A (GPIO 4) reads low from 2 ms to 52 ms.
    EXPECT_EQ(1, g.PinGetSignal(4));
    SysTimer::DelayUs(3000);
    EXPECT_EQ(0, g.PinGetSignal(4));
    EXPECT_EQ(1, g.PinGetSignal(14));
    SysTimer::DelayUs(50000);
    EXPECT_EQ(1, g.PinGetSignal(4));
}

TEST(SimFile, SettingsReportAndInstallFromEnvironment) {
    SimScratch scratch;
    std::string file = scratch.Put("board.sim",
                                   "# a Pi 4 with a TypeC board\n"
                                   "board = C\n"
                                   "soc = bcm2711\n"
                                   "core_clock_mhz = 500\n"
                                   "tick_ns = 50\n"
                                   "governor = schedutil\n"
                                   "report = report.txt\n"
                                   "drive1.rpm = 360\n"
                                   "drive1.speed_error = -0.5\n"
                                   "drive1.write_protect = 1\n");
    SimConfig cfg;
    std::string err;
    ASSERT_TRUE(SimParseFile(file.c_str(), &cfg, &err)) << err;
    EXPECT_EQ(3, cfg.board);
    EXPECT_EQ(4, cfg.soc);
    EXPECT_EQ(500000, cfg.core_khz);
    EXPECT_EQ(50000, cfg.tick_ps);
    EXPECT_EQ("schedutil\n", cfg.governor);
    EXPECT_EQ(scratch.dir + "/report.txt", cfg.report);
    EXPECT_EQ(2, cfg.drives);
    EXPECT_EQ(360, cfg.drive[1].rpm);
    EXPECT_EQ(-0.5, cfg.drive[1].speed_error);
    EXPECT_EQ(1, cfg.drive[1].write_protect);

    const char *bad[][2] = {{"board = D\n", "line 1"}, {"\nfrobnicate = 1\n", "line 2"},
                            {"drive0.last_cylinder = 90\n", "line 1"}, {"just words\n", "line 1"}};
    for (const auto &b : bad) {
        std::string f = scratch.Put("bad.sim", b[0]);
        SimConfig c;
        EXPECT_FALSE(SimParseFile(f.c_str(), &c, &err)) << b[0];
        EXPECT_NE(std::string::npos, err.find(b[1])) << err;
    }

    scratch.Name("report.txt");
    setenv("ZELMO_SIM", file.c_str(), 1);
    ASSERT_EQ(1, SimInstallFromEnv()) << SimError();
    unsetenv("ZELMO_SIM");
    {
        GPIOCTL g;
        ASSERT_TRUE(g.Init(GPIOCTL::MODE_EMULATOR));
        EXPECT_EQ(4, g.soctype);
        EXPECT_EQ(1, g.pro);
        EXPECT_EQ(500000, g.corefreq);
        g.Reset();
        g.SetIDX(1);  // left asserted on purpose
    }
    SimShutdown();
    std::string report = SimScratch::Slurp(scratch.dir + "/report.txt");
    EXPECT_NE(std::string::npos, report.find("pins_asserted_at_exit = 17 18 27\n")) << report;
    EXPECT_NE(std::string::npos, report.find("writes.GPFSEL2 = ")) << report;
    EXPECT_NE(std::string::npos, report.find("spi_min_tx_fill = -1\n")) << report;
    EXPECT_EQ(0, SimInstallFromEnv());
}

}  // namespace
