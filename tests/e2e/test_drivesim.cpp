// drivesim on the simulated board: start-up and help, the control protocol
// through simctl and raw requests, the single-instance guard, the README's
// example, and what a scripted host sees when it selects a drive and reads.
#include "drivesim_util.h"

namespace {

TEST(Drivesim, HelpNeedsNoHardware) {
    RunResult r = RunProgram("drivesim", {"-H"}, {"ZELMO_SIM="});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(Contains(r.out, "\nFloppy disk drive emulation\n\nUsage: "));
    EXPECT_TRUE(Contains(r.out, "  Default setting is '-o x1 -o q0 -o m1 -o c0'.\n"));
}

TEST(ControlPort, DrivesimControlSession) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2hd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.d88", 2);
    std::string c = MakeImage(dir, "2dd", "C.d88", 3);
    ASSERT_FALSE(a.empty() || b.empty() || c.empty());
    // Two D88 disks in one file: the second is chosen with "/2".
    std::string multi = dir / "MULTI.D88";
    ASSERT_EQ(0, system(("cat '" + b + "' '" + c + "' > '" + multi + "'").c_str()));

    Emulator emu(dir, {"board = B"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a) + Row(1, "--", 0, "EMPTY")));

    auto simctl = [&](std::vector<std::string> args) { return emu.Simctl(args).status; };
    // An imported image is shown write-protected until protection is lifted.
    EXPECT_EQ(0, simctl({"-i", "1", "-c", "insert", multi + "/2"}));
    EXPECT_TRUE(Contains(emu.Table(), Row(1, "ON", 0, multi)));
    EXPECT_EQ(0, simctl({"-i", "1", "-c", "protect"}));
    EXPECT_TRUE(Contains(emu.Table(), Row(1, "--", 0, multi)));
    // list is recognised by its first four characters, in any case.
    EXPECT_TRUE(Contains(emu.Request("LISTING please\n"), Row(1, "--", 0, multi)));
    EXPECT_EQ(0, simctl({"-i", "1", "-c", "eject"}));
    EXPECT_TRUE(Contains(emu.Table(), Row(1, "--", 0, "EMPTY")));

    // Requests that must change nothing: a line that never ends and a line
    // longer than the request buffer (dropped), a path longer than a
    // Filepath holds (which must not eject the disk in the drive), bad drive
    // and command; the drive commands say why.
    EXPECT_EQ("", emu.Request("1 1 " + b));
    EXPECT_EQ("", emu.Request("1 1 " + b + std::string(9000, 'x') + "\n"));
    EXPECT_EQ("Error : Invalid file path\n", emu.Request("0 1 /" + std::string(300, 'p') + ".ZEL\n"));
    EXPECT_EQ("Error : Invalid ID\n", emu.Request("7 2 -\n"));
    EXPECT_EQ("Error : Invalid Command\n", emu.Request("0 9 -\n"));
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a) + Row(1, "--", 0, "EMPTY")));

    // Insert into an occupied drive: the old disk goes first. An insert that
    // cannot load fails and leaves the disk in place.
    EXPECT_EQ(0, simctl({"-i", "0", "-c", "insert", b}));
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "ON", 0, b)));
    RunResult missing = emu.Simctl({"-i", "0", "-c", "insert", dir / "missing.d88"});
    EXPECT_EQ(14, missing.status);
    EXPECT_EQ("Error : Can't load " + dir / "missing.d88" + "\n", missing.err);
    RunResult third = emu.Simctl({"-i", "1", "-c", "insert", multi + "/3"});  // no third disk in the file
    EXPECT_EQ(14, third.status);
    EXPECT_EQ("Error : Can't load " + multi + "\n", third.err);
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "ON", 0, b) + Row(1, "--", 0, "EMPTY")));
    // Every drive command is answered with its result.
    EXPECT_EQ("Error : No disk in drive 1\n", emu.Request("1 3 -\n"));
    EXPECT_EQ("Result             : Success\n", emu.Request("0 3 -\n"));

    // A relative path is taken from simctl's folder, not drivesim's.
    ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
    RunResult relative = emu.Simctl({"-i", "1", "-c", "insert", "../C.d88"}, dir / "sub");
    EXPECT_EQ(0, relative.status) << relative.err;
    EXPECT_TRUE(Contains(emu.Table(), Row(1, "ON", 0, dir / "sub/../C.d88")));

    RunResult second = RunProgram("drivesim", {"-o", "x0"}, {"ZELMO_SIM=" + dir / "sim.txt"});
    EXPECT_EQ(1, second.status);
    EXPECT_EQ("Error : Already running?\n", second.err);

    // A stop is answered once the images are saved.
    EXPECT_EQ("Result             : Success\n", emu.Request("stopper\n"));
    EXPECT_EQ(0, emu.Wait(30)) << emu.Err();
    EXPECT_EQ("<no server>", emu.Request("list\n"));
    EXPECT_TRUE(Contains(emu.Out(), "Floppy disk drive emulation(I2C_OLED, TypeB shiled)\n\n")) << emu.Out();
}

// While the front-panel menu is open, control requests are still answered
// at once: the drive table, and "busy, try again" for drive commands, which
// change nothing and make simctl fail.
TEST(ControlPort, DrivesimAnswersWhileTheMenuIsOpen) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    // Button A once the display shows the drive table: the menu opens and
    // stays open (no other button is pressed).
    ASSERT_TRUE(WriteFileBytes(dir / "panel.txt", "+100 press A 300\n"));
    Emulator emu(dir, {"board = C", "yield_us = 1", "panel.script = panel.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    const std::string busy = "Error : The front panel menu is in use, try again later\n";
    std::string reply;
    for (int i = 0; i < 200 && reply != busy; i++) {
        reply = emu.Request("1 3 -\n", 30);
        ASSERT_FALSE(reply.empty()) << "no answer while the menu runs";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_EQ(busy, reply);
    RunResult eject = emu.Simctl({"-i", "0", "-c", "eject"});
    EXPECT_EQ(14, eject.status);
    EXPECT_EQ(busy, eject.err);
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a)));
    EXPECT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
}

// A stop that comes while an eject is under way ends the emulator with the
// disk saved: neither waits for the other.
TEST(ControlPort, DrivesimStopsDuringAnEject) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    std::string before = ReadFileText(a);
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n100 writedata 500 8888\n110 assert ds0\n"
                                                 "130 assert wtg\n400 release wtg\n410 release ds0\n"
                                                 "420 assert ds1\n425 assert dir\n430 step 1 100 3\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(1, "--", 1, "EMPTY")));
    std::thread eject([&] { emu.Simctl({"-i", "0", "-c", "eject"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the eject pauses the loop meanwhile
    EXPECT_EQ(0, emu.Signal(SIGTERM)) << "the stop hung";
    eject.join();
    EXPECT_TRUE(ReadFileText(a) != before) << "changes lost";
}

// A simulated run never touches port 6869, where the drivesim of a real
// board listens: the test stands in for that one and counts its callers.
TEST(ControlPort, DrivesimLeavesTheRealControlPortAlone) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(6869);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0) close(fd);
        GTEST_SKIP() << "port 6869 is in use here";
    }
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    {
        Emulator emu(dir, {"board = B"});
        EXPECT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
        EXPECT_EQ(0, emu.Simctl({"-i", "0", "-c", "protect"}).status);
        EXPECT_EQ(0, emu.Simctl({"-l"}).status);
        EXPECT_EQ(0, emu.Simctl({"--stop"}).status);
        EXPECT_EQ(0, emu.Wait(30)) << emu.Err();
    }
    EXPECT_LT(accept(fd, nullptr, nullptr), 0) << "a simulated run called port 6869";
    close(fd);
}

// The README's example of drivesim on the simulated board works as written:
// its settings, its host script and its command line keep the disk in the
// drive (the X68000 option, on by default, is switched off), and the host's
// narrow step pulses move the head.
TEST(ControlPort, DrivesimReadmeExample) {
    std::string readme = ReadFileText(std::string(ZELMO_BIN_DIR) + "/../README.md");
    if (readme.empty()) GTEST_SKIP() << "no README.md beside the build folder";
    // The text printf writes into a file of the example ("" when none).
    auto printed = [&](const std::string &file) {
        size_t end = readme.find("' > " + file + "\n");
        size_t start = readme.rfind("printf '", end);
        if (end == std::string::npos || start == std::string::npos) return std::string();
        std::string text = readme.substr(start + 8, end - start - 8), out;
        for (size_t i = 0; i < text.size(); i++) {
            if (text.compare(i, 2, "\\n") == 0) {
                out += '\n';
                i++;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::string sim = printed("run.sim"), host = printed("host.txt");
    const std::string command = "ZELMO_SIM=run.sim build/drivesim ";
    size_t at = readme.find(command);
    ASSERT_FALSE(sim.empty() || host.empty() || at == std::string::npos) << "the example is not in the README";
    std::istringstream line(readme.substr(at + command.size(), readme.find('&', at) - at - command.size()));
    std::vector<std::string> args;
    for (std::string word; line >> word;) args.push_back(word);

    ScratchDir dir;
    ASSERT_FALSE(MakeImage(dir, "2dd", "disk.zel").empty());
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", host));
    std::vector<std::string> settings;
    std::istringstream lines(sim);
    for (std::string s; std::getline(lines, s);)
        if (!s.empty() && s.compare(0, 12, "control_port") != 0) settings.push_back(s);  // a private port instead
    Emulator emu(dir, settings);
    ASSERT_TRUE(emu.Start(args)) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 3, "disk.zel"))) << emu.Table();
    EXPECT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
}

// The index pulses the host saw after selecting drive 0 at 110 ms.
struct IndexRun {
    std::vector<double> on, off;
    std::map<std::string, std::string> report;
};

IndexRun RunHostRead(const std::string &geometry, const std::vector<std::string> &options,
                     const std::string &extra_script = "") {
    ScratchDir dir;
    IndexRun r;
    bool raw = geometry.size() > 4 && geometry.substr(geometry.size() - 4) == "-raw";
    std::string img = MakeImage(dir, geometry.substr(0, geometry.find('-')), "D.ZEL", 1, raw);
    EXPECT_FALSE(img.empty());
    // At the end the head steps to cylinder 1: the drive table shows when the
    // script is done.
    EXPECT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n110 assert ds0\n" + extra_script +
                                                     "900 assert dir\n901 step 1 100 3\n950 release ds0\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    std::vector<std::string> args = {"-0", img};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_TRUE(emu.Start(args)) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 1, img)));
    EXPECT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
    r.on = LineTimes(emu.HostLog(), "IDX", 1);
    r.off = LineTimes(emu.HostLog(), "IDX", 0);
    r.report = emu.Report();
    return r;
}

TEST(ControlPort, DrivesimHostReadTimingAndFifo) {
    struct Case {
        const char *name, *geometry;
        std::vector<std::string> options;
        double period_ms;
    };
    const Case cases[] = {
        {"2HD at 360 rpm", "2hd", {"-o", "x0"}, 60000.0 / 360},
        {"2DD at 300 rpm", "2dd", {"-o", "x0"}, 60000.0 / 300},
        {"raw 2DD at 300 rpm", "2dd-raw", {"-o", "x0"}, 60000.0 / 300},
        // A PC-98 plays a 300-rpm 2HD disk 1.2 times faster while its mode
        // line asks for 360 rpm (released).
        {"PC-98 1.44M, mode 360", "2hq", {"-o", "q1"}, 60000.0 / 360},
    };
    for (const Case &c : cases) {
        IndexRun r = RunHostRead(c.geometry, c.options);
        ASSERT_GE(r.on.size(), 3u) << c.name;
        ASSERT_GE(r.off.size(), 3u) << c.name;
        // Nothing for the 10 ms of settling after the selection at 110 ms. The
        // first pulse may be cut short: the track starts at a phase set by the clock.
        EXPECT_GE(r.on[0], 120000) << c.name;
        // Full revolutions (within 1%: an image's tracks may be a little
        // shorter than nominal), each starting with 3 ms of index.
        for (size_t i = 1; i + 1 < r.on.size(); i++)
            EXPECT_NEAR(c.period_ms * 1000, r.on[i + 1] - r.on[i], c.period_ms * 10) << c.name;
        for (size_t i = 1; i < r.off.size() && i < r.on.size(); i++)
            EXPECT_NEAR(3000, r.off[i] - r.on[i], 30) << c.name;
        EXPECT_EQ("0", r.report["spi_underruns"]) << c.name;
        EXPECT_GT(std::stoi(r.report["spi_min_tx_fill"]), 0) << c.name;
    }
}

}  // namespace
