// What drivesim does with a host's writes: a native ZEL image gets them 60 s
// (virtual) after the host last wrote, or when drivesim stops; an imported
// image is never changed.
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
