// What a host on the simulated bus reads from drivesim, decoded the way its
// floppy controller would: the pulses of one revolution (index to index) are
// turned back into cells and decoded into sectors, which must be those of the
// sector dump the image was made from. Also which drive plays when both
// selects are asserted, and that a protected disk takes no write.
#include <memory>

#include "drivesim_util.h"
#include "fdi.h"
#include "filepath.h"
#include "zeldisk.h"

namespace {

// The sample dumps of mkimage: cylinders x 2 heads x sectors of 128 << n bytes.
struct Geometry {
    const char *name;
    int cylinders, sectors, n;
    int Size() const { return 128 << n; }
};
const Geometry k2HD = {"2hd", 77, 8, 3};
const Geometry k2DD = {"2dd", 80, 9, 2};

// One stretch of the host's script: the head on cylinder/side from `from` to
// `to` (ms of virtual time).
struct Window {
    int cylinder, side;
    double from, to;
};

// The host selects drive 0 and reads each (cylinder, side) for a window of
// about 2.5 revolutions, enough for one whole revolution between two index
// pulses. At the end it steps the empty drive 1 to cylinder 1: once the drive
// table shows that, the script is done.
std::string ReadScript(const std::vector<std::pair<int, int>> &tracks, double rev_ms,
                       std::vector<Window> *windows) {
    std::string s = "100 assert mot\n110 assert ds0\n";
    char buf[200];
    double t = 130;
    int cyl = 0, side = 0;
    for (const auto &tr : tracks) {
        if (tr.first != cyl) {
            int n = std::abs(tr.first - cyl);
            snprintf(buf, sizeof buf, "%.0f %s dir\n%.0f step %d 100 3\n", t,
                     tr.first > cyl ? "assert" : "release", t + 1, n);
            s += buf;
            t += 1 + 3.0 * n + 5;
            cyl = tr.first;
        }
        if (tr.second != side) {
            snprintf(buf, sizeof buf, "%.0f %s sid\n", t, tr.second ? "assert" : "release");
            s += buf;
            side = tr.second;
        }
        windows->push_back(Window{cyl, side, t, t + 2.5 * rev_ms + 20});
        t = windows->back().to;
    }
    snprintf(buf, sizeof buf, "%.0f release ds0\n%.0f assert ds1\n%.0f assert dir\n%.0f step 1 100 3\n", t,
             t + 5, t + 10, t + 15);
    return s + buf;
}

// Cells of one revolution rebuilt from the read pulses between two index
// pulses (ns): each interval becomes whole cells of cell_ns, the last a 1.
// The pulse that closes the revolution stands for the first one again.
std::vector<uint8_t> RevolutionCells(const std::vector<int64_t> &pulses, int64_t from, int64_t to,
                                     double cell_ns, int *count) {
    std::vector<uint8_t> cells(TRACK_ENC_BYTES);
    *count = 0;
    auto p = std::lower_bound(pulses.begin(), pulses.end(), from);
    if (p == pulses.end()) return cells;
    for (int64_t last = *p++; p != pulses.end(); last = *p++) {
        long n = std::lround((double)(*p - last) / cell_ns);
        if (n < 1) n = 1;
        if (*count + n > TRACK_MAX_CELLS) {
            *count = 0;
            return cells;
        }
        *count += (int)n;
        cells[(size_t)(*count - 1) / 8] |= (uint8_t)(0x80 >> ((*count - 1) % 8));
        if (*p >= to) return cells;
    }
    *count = 0;  // the capture ended before the revolution did
    return cells;
}

// "" when the decoded track holds exactly the dump's sectors of that
// cylinder and side, intact; otherwise what differs.
std::string CompareWithDump(const VTrack &track, const std::string &dump, const Geometry &g, int c, int h) {
    std::ostringstream err;
    std::vector<int> seen(g.sectors + 1);
    for (const VSector *s = track.sectors; s; s = s->next) {
        err.str("");
        err << "C" << (int)s->c << " H" << (int)s->h << " R" << (int)s->r << ": ";
        if (s->c != c || s->h != h || s->r < 1 || s->r > g.sectors || s->n != g.n)
            return err.str() + "bad ID";
        if (s->status != 0) return err.str() + "status " + std::to_string(s->status);
        if (s->length != g.Size() || !s->data) return err.str() + "length " + std::to_string(s->length);
        size_t at = ((size_t)(c * 2 + h) * g.sectors + s->r - 1) * g.Size();
        if (at + g.Size() > dump.size() || memcmp(s->data, dump.data() + at, (size_t)g.Size()) != 0)
            return err.str() + "data differ";
        seen[s->r]++;
    }
    for (int r = 1; r <= g.sectors; r++)
        if (seen[r] != 1) return "R" + std::to_string(r) + " found " + std::to_string(seen[r]) + " times";
    return "";
}

// What the host read: read pulses (ns) and index assertions (us).
struct Capture {
    explicit Capture(const std::string &log) : pulses(ReadPulses(log)), index(LineTimes(log, "IDX", 1)) {}
    std::vector<int64_t> pulses;
    std::vector<double> index;
    // Pulses and index assertions from `from` to `to` (ms).
    size_t PulsesIn(double from, double to) const { return CountIn(pulses, from * 1e6, to * 1e6); }
    size_t IndexIn(double from, double to) const { return CountIn(index, from * 1e3, to * 1e3); }
    template <class T> static size_t CountIn(const std::vector<T> &v, double from, double to) {
        return (size_t)(std::lower_bound(v.begin(), v.end(), (T)to) -
                        std::lower_bound(v.begin(), v.end(), (T)from));
    }
};

// The first whole revolution the host read from 15 ms into the window (past
// settling and the restart of the transmitter), decoded; null when it saw none.
std::unique_ptr<VTrack> DecodeWindow(const Capture &cap, const Window &w, double cell_ns) {
    const std::vector<int64_t> &pulses = cap.pulses;
    const std::vector<double> &index = cap.index;
    auto i = std::lower_bound(index.begin(), index.end(), (w.from + 15) * 1000);
    if (i == index.end() || i + 1 == index.end() || *(i + 1) > w.to * 1000) return nullptr;
    int count = 0;
    std::vector<uint8_t> cells =
        RevolutionCells(pulses, (int64_t)(*i * 1000), (int64_t)(*(i + 1) * 1000), cell_ns, &count);
    if (count == 0) return nullptr;
    std::unique_ptr<VTrack> track(new VTrack);
    track->Decode(0, cells.data(), count, ANALYZE_UPD765);
    return track;
}

// "" when the host read the dump's sectors in the window, else what differs.
std::string WindowMatchesDump(const Capture &cap, const Window &w, const std::string &dump, const Geometry &g,
                              double cell_ns) {
    std::unique_ptr<VTrack> track = DecodeWindow(cap, w, cell_ns);
    if (!track) return "no revolution";
    return CompareWithDump(*track, dump, g, w.cylinder, w.side);
}

struct ReadCase {
    const char *what;
    Geometry g;
    std::string image;  // file name; its extension chooses the format
    bool raw;
    double rev_ms, cell_ns;
};

// Cylinders 0, 1 and the last, both sides: the head steps in both directions
// and every track is a full revolution (the whole disk would take minutes).
TEST(ControlPort, DrivesimHostReadsTheImagesSectors) {
    const ReadCase cases[] = {
        {"D88 2HD at 360 rpm", k2HD, "D.d88", false, 60000.0 / 360, 1000},
        {"ZEL encode 2DD at 300 rpm", k2DD, "E.ZEL", false, 200, 2000},
        {"ZEL raw 2DD at 300 rpm", k2DD, "R.ZEL", true, 200, 2000},  // pulses on a 4 MHz sample grid
    };
    for (const ReadCase &c : cases) {
        ScratchDir dir;
        std::string img = MakeImage(dir, c.g.name, c.image, 5, c.raw);
        ASSERT_FALSE(img.empty()) << c.what;
        ASSERT_EQ(0, RunProgram("mkimage", {c.g.name, dir / "dump.xdf", "5"}).status);
        const int last = c.g.cylinders - 1;
        std::vector<Window> windows;
        std::string script =
            ReadScript({{0, 0}, {0, 1}, {1, 1}, {1, 0}, {last, 0}, {last, 1}}, c.rev_ms, &windows);
        ASSERT_TRUE(WriteFileBytes(dir / "host.txt", script));
        Emulator emu(dir, {"board = B", "host.script = host.txt"});
        ASSERT_TRUE(emu.Start({"-0", img, "-o", "x0"})) << emu.Err();
        EXPECT_TRUE(emu.WaitForTable(Row(1, "--", 1, "EMPTY"))) << c.what;
        ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();
        Capture cap(emu.HostLog());
        std::string dump = ReadFileText(dir / "dump.xdf");
        for (const Window &w : windows)
            EXPECT_EQ("", WindowMatchesDump(cap, w, dump, c.g, c.cell_ns))
                << c.what << " C" << w.cylinder << " H" << w.side;
        EXPECT_EQ("0", emu.Report()["spi_underruns"]) << c.what;
    }
}

}  // namespace

namespace {

// Drive 0 holds a 2HD disk, drive 1 a 2DD one. With both selects asserted the
// drive selected last is served only if it is drive 0; selected the other
// way round, neither drive plays (no data, no index).
TEST(ControlPort, DrivesimBothSelectsAsserted) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2hd", "A.d88", 1);
    std::string b = MakeImage(dir, "2dd", "B.ZEL", 2);
    ASSERT_FALSE(a.empty() || b.empty());
    ASSERT_EQ(0, RunProgram("mkimage", {"2hd", dir / "dump.xdf", "1"}).status);
    const double rev = 60000.0 / 360;
    const Window drive0 = {0, 0, 400, 400 + 2.5 * rev + 20};  // ds1 at 110, then ds0 at 400
    const Window neither = {0, 0, 1300, 1800};                // ds0 at 1000, then ds1 at 1300
    // At the end drive 1 alone steps: the script is done.
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n110 assert ds1\n400 assert ds0\n"
                                                 "900 release ds0\n905 release ds1\n"
                                                 "1000 assert ds0\n1300 assert ds1\n1800 release ds0\n"
                                                 "1805 assert dir\n1810 step 1 100 3\n"));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-1", b, "-o", "x0"})) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(1, "--", 1, b)));
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

    Capture cap(emu.HostLog());
    EXPECT_EQ("", WindowMatchesDump(cap, drive0, ReadFileText(dir / "dump.xdf"), k2HD, 1000));
    EXPECT_GT(cap.PulsesIn(neither.from - 200, neither.from), 1000u) << "drive 0 alone plays";
    // A byte already in the shifter may still go out after the selection.
    EXPECT_EQ(0u, cap.PulsesIn(neither.from + 0.1, neither.to));
    EXPECT_EQ(0u, cap.IndexIn(neither.from, neither.to));
}

// The host writes a whole revolution and more on cylinder 0 side 0, then
// reads it back. A protected disk still plays its sectors and its file is
// untouched at the stop; without protection the write replaced the track.
TEST(ControlPort, DrivesimProtectedDiskTakesNoWrite) {
    for (bool protect : {true, false}) {
        ScratchDir dir;
        std::string a = MakeImage(dir, "2dd", "A.ZEL", 3);
        ASSERT_FALSE(a.empty());
        ASSERT_EQ(0, RunProgram("mkimage", {"2dd", dir / "dump.xdf", "3"}).status);
        if (protect) {  // the write-protect flag of the image header
            Filepath fp;
            ZELDisk img;
            ASSERT_TRUE(fp.SetPath(a.c_str()) && img.Load(fp, 0));
            img.header.writeprotect = 1;
            ASSERT_TRUE(img.Save(fp, 1));
        }
        std::string before = ReadFileText(a);
        const Window readback = {0, 0, 460, 460 + 2.5 * 200 + 20};
        ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n100 writedata 500 9249\n"
                                                     "110 assert ds0\n200 assert wtg\n450 release wtg\n"
                                                     "980 release ds0\n985 assert ds1\n990 assert dir\n"
                                                     "995 step 1 100 3\n"));
        Emulator emu(dir, {"board = B", "host.script = host.txt"});
        ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
        EXPECT_TRUE(emu.WaitForTable(Row(0, protect ? "ON" : "--", 0, a) + Row(1, "--", 1, "EMPTY")));
        ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

        Capture cap(emu.HostLog());
        std::unique_ptr<VTrack> track = DecodeWindow(cap, readback, 2000);
        ASSERT_TRUE(track) << protect;
        if (protect) {
            EXPECT_EQ("", CompareWithDump(*track, ReadFileText(dir / "dump.xdf"), k2DD, 0, 0));
            EXPECT_FALSE(LineTimes(emu.HostLog(), "WTP", 1).empty()) << "the host is not told";
            EXPECT_TRUE(ReadFileText(a) == before) << "protected image written";
        } else {
            EXPECT_EQ(0, track->SectorCount());
            EXPECT_TRUE(ReadFileText(a) != before) << "write lost";
        }
    }
}

}  // namespace

namespace {

// TypeA drives one WTP line for the selected drive: protection toggled while
// the host keeps the drive selected reaches it at once, and a write the host
// makes once it sees the protection lifted reaches the file.
TEST(ControlPort, DrivesimTypeAProtectionReachesTheSelectedHost) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 3);
    ASSERT_FALSE(a.empty());
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", "100 assert mot\n100 writedata 500 8888\n110 assert ds0\n"
                                                 "0 on wtp 0 20 assert wtg\n0 on wtp 0 300 release wtg\n"
                                                 "0 on wtp 0 310 assert dir\n0 on wtp 0 320 step 1 100 3\n"));
    Emulator emu(dir, {"board = A", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    EXPECT_EQ(0, emu.Simctl({"-i", "0", "-c", "protect"}).status);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0, emu.Simctl({"-i", "0", "-c", "protect"}).status);
    EXPECT_TRUE(emu.WaitForTable(Row(0, "--", 1, a)));
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

    // The host selects drive 0 at 110 ms and never lets go.
    std::string log = emu.HostLog();
    std::vector<double> on = LineTimes(log, "WTP", 1), off = LineTimes(log, "WTP", 0);
    ASSERT_EQ(1u, on.size());
    ASSERT_EQ(1u, off.size());
    EXPECT_GT(on[0], 110000);
    EXPECT_GT(off[0], on[0]);
    EXPECT_NEAR(0.25, OnesIn(a, 0, 0), 0.05) << "write lost";
}

// The disk keeps turning while no drive is selected: after every
// reselection the index comes where a spinning disk puts it, one whole
// number of revolutions after the index of the first selection.
TEST(ControlPort, DrivesimDiskTurnsWhileDeselected) {
    ScratchDir dir;
    std::string a = MakeImage(dir, "2dd", "A.ZEL", 1);
    ASSERT_FALSE(a.empty());
    // Three selections of drive 0, the gaps between them no multiple of a
    // revolution; then drive 1 (empty) steps to show the script is done.
    const double select[3][2] = {{110, 700}, {1013, 1600}, {2237, 2900}};
    std::string script = "100 assert mot\n";
    for (const auto &s : select)
        script += std::to_string((int)s[0]) + " assert ds0\n" + std::to_string((int)s[1]) + " release ds0\n";
    script += "2910 assert ds1\n2915 assert dir\n2920 step 1 100 3\n";
    ASSERT_TRUE(WriteFileBytes(dir / "host.txt", script));
    Emulator emu(dir, {"board = B", "host.script = host.txt"});
    ASSERT_TRUE(emu.Start({"-0", a, "-o", "x0"})) << emu.Err();
    EXPECT_TRUE(emu.WaitForTable(Row(1, "--", 1, "EMPTY")));
    ASSERT_EQ(0, emu.Signal(SIGTERM)) << emu.Err();

    // Index pulses at least 20 ms into each selection (past settling, and
    // past a first pulse that may be cut short).
    std::vector<double> idx = LineTimes(emu.HostLog(), "IDX", 1);
    std::vector<std::vector<double>> runs(3);
    for (double t : idx)
        for (int i = 0; i < 3; i++)
            if (t >= (select[i][0] + 20) * 1000 && t < select[i][1] * 1000) runs[i].push_back(t);
    for (const auto &r : runs) ASSERT_GE(r.size(), 2u);
    const double period = runs[0][1] - runs[0][0];
    EXPECT_NEAR(200000, period, 2000);
    for (int i = 1; i < 3; i++) {
        double turns = (runs[i][0] - runs[0][0]) / period;
        EXPECT_NEAR(std::round(turns), turns, 0.01) << "selection " << i;
    }
}

}  // namespace
