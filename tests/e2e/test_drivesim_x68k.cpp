// drivesim's X68000 option lines on the simulated board. The host answers the
// emulator's lines ("on" lines of its script) the way an X68000 does, so the
// order of events holds however fast virtual time runs while the emulator
// idles; the option thread polls in wall-clock time, so every line the host
// holds is held for four virtual seconds (yield_us = 1 keeps idle virtual time
// within a few dozen times the wall clock).
#include "drivesim_util.h"

namespace {

struct LineEvent {
    double ms;
    std::string line;
    int asserted;
};

// The changes of the named lines the host saw, in order.
std::vector<LineEvent> Events(const std::string &log, const std::vector<std::string> &names) {
    std::vector<LineEvent> ev;
    std::istringstream in(log);
    std::string text, name;
    double us;
    int a;
    while (std::getline(in, text)) {
        std::istringstream l(text);
        if (l >> us >> name >> a && std::find(names.begin(), names.end(), name) != names.end())
            ev.push_back(LineEvent{us / 1000, name, a});
    }
    return ev;
}

// The host's option-select answer to the disk-change interrupt of drive 1,
// then its eject request for drive 1. Times are ms after INT changes.
const char kX68kHost[] =
    "0 on int 1 1000 assert os0\n"
    "0 on int 1 5000 release os0\n"  // drive 0 acknowledged: INT stays for drive 1
    "0 on int 1 9000 assert os1\n"
    "0 on int 1 13000 release os1\n"  // drive 1 acknowledged: INT released
    "0 on int 1 0 on int 0 4000 assert os1\n"
    "0 on int 1 0 on int 0 8000 assert ejc\n"
    "0 on int 1 0 on int 0 12000 release os1\n"  // with EJC: eject drive 1
    "0 on int 1 0 on int 0 16000 release ejc\n";

// TypeA: drivesim drives DIN and INT itself. Inserting a disk raises the
// disk-change interrupt, which stays until every changed drive has been
// option-selected and released; DIN shows whether the option-selected drive
// holds a disk; releasing an option line with EJC asserted ejects that drive.
TEST(ControlPort, DrivesimX68000LinesOnTypeA) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", kX68kHost));
    Emulator emu(dir, {"board = A", "yield_us = 1", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a})) << emu.Err();
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "insert", b}).status);
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 0, a) + Row(1, "--", 0, "EMPTY"))) << "no eject";
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
    EXPECT_TRUE(Contains(emu.Out(), "TypeA shiled, X68000 Option enabled)"));

    std::vector<LineEvent> irq = Events(emu.HostLog(), {"INT"});
    ASSERT_EQ(2u, irq.size());
    ASSERT_EQ(1, irq[0].asserted);
    ASSERT_EQ(0, irq[1].asserted);
    const double on = irq[0].ms, off = irq[1].ms;
    EXPECT_GE(off, on + 13000) << "released before drive 1 was acknowledged";
    EXPECT_LT(off, on + 17000);

    // DIN asserted while an option line with a disk behind it is asserted.
    const double din[3][2] = {{on + 1000, on + 5000}, {on + 9000, on + 13000}, {off + 4000, off + 12000}};
    std::vector<LineEvent> ev = Events(emu.HostLog(), {"DIN"});
    ASSERT_EQ(6u, ev.size());
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(1, ev[2 * i].asserted);
        EXPECT_EQ(0, ev[2 * i + 1].asserted);
        EXPECT_GE(ev[2 * i].ms, din[i][0]) << i;
        EXPECT_LT(ev[2 * i].ms, din[i][1]) << i;
        EXPECT_GE(ev[2 * i + 1].ms, din[i][1]) << i;
        EXPECT_LT(ev[2 * i + 1].ms, din[i][1] + 4000) << i;
    }
}

// TypeB: the board answers the X68000's disk lines from a latch drivesim
// loads with which drives hold a disk (GPIO 16 and 20 read on the rising edge
// of GPIO 8); drivesim never drives INT. An option line the host releases
// while its drive holds a disk is an eject request.
TEST(ControlPort, DrivesimX68000LinesOnTypeB) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    // Both option lines held; drive 0's released 2 s after the test has
    // protected drive 1 (WTP of drive 1 is GPIO 5).
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "0 assert os0\n0 assert os1\n0 on 5 1 2000 release os0\n"));
    Emulator emu(dir, {"board = B", "yield_us = 1", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", b})) << emu.Err();
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status);
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 0, "EMPTY") + Row(1, "ON", 0, b))) << "no eject";
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

    std::string log = emu.HostLog();
    EXPECT_TRUE(Events(log, {"INT"}).empty());
    std::vector<LineEvent> wtp = Events(log, {"WTP1"});
    ASSERT_FALSE(wtp.empty());
    const double request = wtp[0].ms + 2000;
    // Each latch load: which drives held a disk, and when.
    struct Latch {
        double ms;
        bool disk0, disk1;
    };
    std::vector<Latch> loads;
    bool os0 = false, os1 = false;
    for (const LineEvent &e : Events(log, {"OS0", "OS1", "DIN"})) {
        if (e.line == "OS0") os0 = e.asserted;
        else if (e.line == "OS1") os1 = e.asserted;
        else if (!e.asserted) loads.push_back(Latch{e.ms, os0, os1});
    }
    // Loaded at each insertion at the start, after the eject with drive 1's
    // disk only, and with none after the eject at the stop.
    ASSERT_EQ(4u, loads.size());
    EXPECT_TRUE(loads[0].disk0 && !loads[0].disk1);
    EXPECT_TRUE(loads[1].disk0 && loads[1].disk1);
    EXPECT_TRUE(!loads[2].disk0 && loads[2].disk1);
    EXPECT_GE(loads[2].ms, request) << "ejected while the host held the option line";
    EXPECT_TRUE(!loads[3].disk0 && !loads[3].disk1);
}

}  // namespace

namespace {

// An X68000 eject request for a disk whose changes cannot be saved (its file
// became read-only after insertion): the disk stays, drivesim says so once
// and takes no new request until the host has asked again; then, the file
// writable again, the eject goes through. Drive 1's WTP line (GPIO 5),
// toggled by the test with "protect", tells the host when to write and ask.
TEST(ControlPort, DrivesimX68000EjectThatCannotSave) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "0 assert os0\n0 assert os1\n100 writedata 500 8888\n"
                                                 "100 assert mot\n0 on 5 1 100 assert ds0\n"
                                                 "0 on 5 1 130 assert wtg\n0 on 5 1 200 release wtg\n"
                                                 "0 on 5 1 210 release ds0\n"
                                                 "0 on 5 1 500 release os0\n"       // first request
                                                 "0 on 5 0 500 assert os0\n"        // the host takes it back
                                                 "0 on 5 0 0 on 5 1 500 release os0\n"));  // and asks again
    Emulator emu(dir, {"board = B", "yield_us = 1", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", b})) << emu.Err();
    ASSERT_EQ(0, chmod(a.c_str(), 0444));
    const std::string kept = "Warning : Can't save " + a + ", disk kept in drive 0\n";
    auto told = [&] {
        std::string err = emu.Err();
        size_t n = 0;
        for (size_t at = err.find(kept); at != std::string::npos; at = err.find(kept, at + 1)) n++;
        return n;
    };
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status);
    for (int i = 0; i < 300 && told() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The option thread looks at the lines once a second: time for retries.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_EQ(1u, told()) << emu.Err();
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a)));

    ASSERT_EQ(0, chmod(a.c_str(), 0644));
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the option thread sees the line asserted
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status);
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 0, "EMPTY")));
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
    EXPECT_EQ(1u, told());
    EXPECT_NEAR(0.25, OnesIn(a, 0, 0), 0.1) << "write lost";
}

}  // namespace
