// What drivesim does with a host's writes: a ZEL image gets them 60 s
// (virtual) after the host last wrote, on eject, or when drivesim stops; an
// image that cannot take them (read-only, protected, imported) is shown
// protected and, once protection is lifted, they go to a rescue file beside
// it. No write is lost in silence.
#include <fcntl.h>
#include <signal.h>

#include <functional>

#include "drivesim_util.h"

namespace {

std::string ReadBytes(const std::string &path) { return ReadFileText(path); }

// First and last byte offsets where two files differ (-1, -1 when equal).
std::pair<long, long> DiffRange(const std::string &a, const std::string &b) {
    long first = -1, last = -1;
    for (size_t i = 0; i < std::max(a.size(), b.size()); i++) {
        if (i < a.size() && i < b.size() && a[i] == b[i]) continue;
        if (first < 0) first = (long)i;
        last = (long)i;
    }
    return {first, last};
}

long TrackSize(const std::string &zel) {
    if (zel.size() < 104) return 0;
    const uint8_t *p = (const uint8_t *)zel.data() + 100;
    return (long)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24);
}

// The host's write data: MFM-like cells (intervals of 3 cells) whenever its
// write gate is open.
const char kWriteData[] = "100 assert mot\n100 writedata 1000 9249\n";

// The host writes on cylinder 0 side 0 of drive `drive` from ms for 50 ms.
std::string WriteScript(int drive, int ms) {
    std::string ds = drive ? "ds1" : "ds0";
    char buf[300];
    snprintf(buf, sizeof buf, "%d assert %s\n%d assert wtg\n%d release wtg\n%d release %s\n", ms, ds.c_str(),
             ms + 20, ms + 70, ms + 80, ds.c_str());
    return buf;
}

TEST(ControlPort, DrivesimWritesBackAfterSixtySecondsOfQuiet) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2hd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    std::string a0 = ReadBytes(a);
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", kWriteData + WriteScript(0, 200)));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();

    bool saved = false;
    for (int i = 0; i < 600 && !saved; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        saved = ReadBytes(a) != a0;
    }
    EXPECT_TRUE(saved) << "no write-back";
    EXPECT_EQ(0, emu.Simctl({"--stop"}).status);
    EXPECT_EQ(0, emu.Wait(30));
    EXPECT_GE(std::stoll(emu.Report()["virtual_time_us"]), 60000000);

    // Only the first track record (cylinder 0, head 0) changed.
    std::string a1 = ReadBytes(a);
    auto range = DiffRange(a0, a1);
    EXPECT_EQ(a0.size(), a1.size());
    EXPECT_GE(range.first, 256);
    EXPECT_LT(range.second, 256 + TrackSize(a0));
    EXPECT_EQ("", emu.Err());
}

TEST(ControlPort, DrivesimSavesChangedImagesWhenStopped) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2hd", "A.ZEL", 1);
    std::string c = MakeImage(dir, "2hd", "C.xdf", 3);
    ASSERT_FALSE(a.empty() || c.empty());
    std::string a0 = ReadBytes(a), c0 = ReadBytes(c);
    // After the writes drive 1 steps to cylinder 1, which the drive table shows.
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt",
                               kWriteData + WriteScript(0, 200) + WriteScript(1, 400) +
                                   "600 assert ds1\n600 assert dir\n610 step 1 100 3\n650 release ds1\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", c, "-o", "x0"})) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(1, "ON", 1, c)));
    EXPECT_EQ(0, emu.Signal(SIGTERM));

    auto report = emu.Report();
    ASSERT_FALSE(report["virtual_time_us"].empty());
    // How far virtual time ran before the stop depends on the machine: past
    // 60 s the write-back, not the stop, may have saved drive 0.
    EXPECT_GE(std::stoll(report["virtual_time_us"]), 500000) << "stopped before the host wrote";
    EXPECT_TRUE(ReadBytes(a) != a0) << "changes lost at stop";
    EXPECT_TRUE(ReadBytes(c) == c0) << "imported image written back";
}

}  // namespace

namespace {

// The write-back runs while the host goes on. Here the save cannot open the
// file until the host has started writing (the test holds a lease on it, the
// way slow storage holds a save up): what the host writes after the save has
// taken the track must still reach the file.
TEST(ControlPort, DrivesimKeepsAWriteMadeWhileSaving) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    const std::string a0 = ReadBytes(a);
    // Intervals of 2 cells (AAAA), later of 4 (8888). Drive 1's WTP line
    // (GPIO 5), toggled by the test with "protect", paces the host: asserted,
    // the host writes a little (the write-back is due 60 s later); released,
    // it writes on cylinder 0 and, after a step, on cylinder 1 with its gate
    // kept open; asserted again, it writes the second pattern for five
    // revolutions and steps drive 1 to show that it is done.
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n100 writedata 500 AAAA\n"
                                                 "0 on 5 1 100 assert ds0\n0 on 5 1 130 assert wtg\n"
                                                 "0 on 5 1 180 release wtg\n0 on 5 1 190 release ds0\n"
                                                 "0 on 5 0 100 assert ds0\n0 on 5 0 130 assert wtg\n"
                                                 "0 on 5 0 140 assert dir\n0 on 5 0 141 step 1 100 3\n"
                                                 "0 on 5 0 0 on 5 1 0 writedata 500 8888\n"
                                                 "0 on 5 0 0 on 5 1 1000 release wtg\n"
                                                 "0 on 5 0 0 on 5 1 1010 release ds0\n"
                                                 "0 on 5 0 0 on 5 1 1020 assert ds1\n"
                                                 "0 on 5 0 0 on 5 1 1030 step 1 100 3\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt", "host.write_jitter_ns = 200"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", b, "-o", "x0"})) << emu.Err();
    auto toggle = [&] { EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status); };
    auto until = [](const std::function<bool()> &done) {
        for (int i = 0; i < 1200; i++) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };

    signal(SIGIO, SIG_IGN);  // the lease is given up by hand
    int fd = open(a.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, fcntl(fd, F_SETLEASE, F_RDLCK));
    toggle();
    // The write-back waits for the lease, which is being broken.
    EXPECT_TRUE(until([&] { return fcntl(fd, F_GETLEASE) == F_UNLCK; })) << "no write-back";
    toggle();
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 1, a)));  // the host writes on cylinder 1
    fcntl(fd, F_SETLEASE, F_UNLCK);
    close(fd);
    EXPECT_TRUE(until([&] { return ReadBytes(a) != a0; })) << "the write-back did not end";
    toggle();
    EXPECT_TRUE(emu.WaitForTable(Row(1, "ON", 1, b))) << emu.Table();
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

    EXPECT_NEAR(0.25, OnesIn(a, 1, 0), 0.05) << "the end of the write was lost";
    EXPECT_EQ("", emu.Err());
}

struct Unwritable {
    const char *what, *image, *rescue;
};

// Images that cannot take the host's writes are shown write-protected.
// Once the user lifts the protection, what the host writes goes to a rescue
// file beside the image, and drivesim says so; the image stays as it was.
TEST(ControlPort, DrivesimWritesToAnUnwritableImageGoToARescueFile) {
    const Unwritable cases[] = {
        {"read-only file", "A.ZEL", "A.RESCUE.ZEL"},
        {"write-protect flag", "A.ZEL", "A.RESCUE.ZEL"},
        {"imported image", "X.xdf", "X.RESCUE.ZEL"},
    };
    for (const Unwritable &c : cases) {
        ScratchDir dir;
        std::string img = MakeImage(dir, "2dd", c.image, 4);
        ASSERT_FALSE(img.empty()) << c.what;
        if (std::string(c.what) == "read-only file") {
            ASSERT_EQ(0, chmod(img.c_str(), 0444));
        } else if (std::string(c.what) == "write-protect flag") {
            Filepath fp;
            ZELDisk d;
            ASSERT_TRUE(fp.SetPath(img.c_str()) && d.Load(fp, 0));
            d.header.writeprotect = 1;
            ASSERT_TRUE(d.Save(fp, 1));
        }
        std::string before = ReadBytes(img);
        // Once drive 0's protection is lifted (its WTP line released) the
        // host writes a revolution and more of cylinder 0, then steps the
        // empty drive 1.
        ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 writedata 500 8888\n0 on wtp 0 100 assert mot\n"
                                                     "0 on wtp 0 100 assert ds0\n0 on wtp 0 130 assert wtg\n"
                                                     "0 on wtp 0 400 release wtg\n0 on wtp 0 410 release ds0\n"
                                                     "0 on wtp 0 420 assert ds1\n0 on wtp 0 425 assert dir\n"
                                                     "0 on wtp 0 430 step 1 100 3\n"));
        Emulator emu(dir, {"board = B", "host.script = host.txt"});
        ASSERT_TRUE(emu.Start({"-0", img, "-o", "x0"})) << emu.Err();
        EXPECT_TRUE(Contains(emu.Table(), Row(0, "ON", 0, img))) << c.what;
        EXPECT_EQ(0, emu.Simctl({"-i", "0", "-c", "protect"}).status) << c.what;
        EXPECT_TRUE(emu.WaitForTable(Row(1, "--", 1, "EMPTY"))) << c.what;
        RunResult eject = emu.Simctl({"-i", "0", "-c", "eject"});
        EXPECT_EQ(0, eject.status) << c.what << eject.err;
        ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

        const std::string told = "Warning : Can't save " + img + ", changes written to " + dir / c.rescue + "\n";
        EXPECT_EQ(told, emu.Err()) << c.what;
        EXPECT_TRUE(ReadBytes(img) == before) << c.what << ": image changed";
        EXPECT_NEAR(0.25, OnesIn(dir / c.rescue, 0, 0), 0.05) << c.what << ": write lost";
    }
}

// One file in both drives would lose one drive's writes: refused, under any
// name; a copy is another file.
TEST(ControlPort, DrivesimRefusesAFileThatIsInTheOtherDrive) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    ASSERT_EQ(0, system(("cp '" + a + "' '" + dir / "B.ZEL" + "'").c_str()));
    Emulator emu(dir, {"board = B"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    for (const std::string &same : {a, dir / "./A.ZEL"}) {
        RunResult r = emu.Simctl({"-i", "1", "-c", "insert", same});
        EXPECT_EQ(14, r.status) << same;
        EXPECT_EQ("Error : " + same + " is in drive 0\n", r.err);
    }
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a) + Row(1, "--", 0, "EMPTY")));
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "insert", dir / "B.ZEL"}).status);
    EXPECT_TRUE(Contains(emu.Table(), Row(1, "--", 0, dir / "B.ZEL")));
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
}

// A file that became read-only after insertion: the eject is refused and the
// disk kept (simctl says so and fails); at the stop the changes go to a
// rescue file, and when every rescue name is taken drivesim says the
// changes are lost and exits 14.
TEST(ControlPort, DrivesimSaysWhenChangesCannotBeSaved) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    for (const char *n : {"", "1", "2", "3", "4", "5", "6", "7", "8", "9"})
        ASSERT_TRUE(WriteFileBytes(dir / ("A.RESCUE" + std::string(n) + ".ZEL"), "taken"));
    // Once drive 1's WTP line (GPIO 5) is asserted the host writes on drive
    // 0, then steps drive 1.
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n100 writedata 1000 9249\n"
                                                 "0 on 5 1 100 assert ds0\n0 on 5 1 120 assert wtg\n"
                                                 "0 on 5 1 170 release wtg\n0 on 5 1 180 release ds0\n"
                                                 "0 on 5 1 190 assert ds1\n0 on 5 1 195 assert dir\n"
                                                 "0 on 5 1 230 step 1 100 3\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", b, "-o", "x0"})) << emu.Err();
    ASSERT_EQ(0, chmod(a.c_str(), 0444));
    EXPECT_EQ(0, emu.Simctl({"-i", "1", "-c", "protect"}).status);
    std::string before = ReadBytes(a);
    EXPECT_TRUE(emu.WaitForTable(Row(1, "ON", 1, b)));
    RunResult eject = emu.Simctl({"-i", "0", "-c", "eject"});
    EXPECT_EQ(14, eject.status);
    EXPECT_EQ("Warning : Can't save " + a + ", disk kept in drive 0\n", eject.err);
    EXPECT_TRUE(Contains(emu.Table(), Row(0, "--", 0, a)));
    // Asked to stop, drivesim answers with the loss and exits 14.
    RunResult stop = emu.Simctl({"--stop"});
    EXPECT_EQ(14, stop.status);
    EXPECT_EQ("Error : Changes of " + a + " could not be saved\n", stop.err);
    EXPECT_EQ(14, emu.Wait(30));
    EXPECT_TRUE(Contains(emu.Err(), "Error : Changes of " + a + " could not be saved\n")) << emu.Err();
    EXPECT_TRUE(ReadBytes(a) == before);
}

}  // namespace
