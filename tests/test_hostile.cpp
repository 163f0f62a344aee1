// Hostile and accidental input: files of another kind under a known name,
// claims no disk can hold, files that are not files, links, and writes that
// are cut short. Every case ends in a clean refusal with its reason, never
// a blank disk passed off as an import, a stall or debris.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bytes.h"
#include "fdi_loss.h"
#include "fileio.h"
#include "formats_fixture.h"
#include "zeldisk.h"

namespace {

// Names in the folder that start with a dot (temporary files).
std::vector<std::string> Hidden(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] == '.' && strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// A file of another kind, or of nothing, under a D88 name is refused, and
// the refusal says what the file looks like.
TEST(Hostile, OtherFormatsUnderAD88NameAreRefused) {
    ScratchDir dir;
    VDisk d;
    FillDisk(d, {"x", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}, 1);
    ASSERT_EQ(1, d.Export(dir.File("a.FDI")));
    rename(dir.Path("a.FDI").c_str(), dir.Path("fdi.D88").c_str());
    WriteAll(dir.Path("zeros.D88"), std::vector<uint8_t>(2000, 0));
    struct {
        const char *name, *reason;
    } cases[] = {
        {"fdi.D88", "fdi.D88 is not a D88 image: it looks like an FDI image"},
        {"zeros.D88", "zeros.D88 is not a D88 image"},
    };
    for (const auto &c : cases) {
        ZELDisk z;
        LossReport report;
        EXPECT_EQ(0, z.Import(dir.File(c.name), 1, &report)) << c.name;
        EXPECT_NE(std::string::npos, report.Refusal().find(c.reason)) << report.Refusal();
        EXPECT_EQ(0, z.valid);
    }
}

// Claims beyond what a track holds are refused before they are acted on: a
// D88 track of 65535 sectors (alone or shared by every table entry), an FDI
// of 255 sectors of 16 KB a track, an FDD whose fill sectors would expand a
// small file a thousandfold.
TEST(Hostile, ClaimsBeyondATrackAreRefused) {
    ScratchDir dir;
    std::vector<uint8_t> d88(0x2B0 + 16, 0);
    d88[0x1B] = 0x20;
    PutLE32(&d88[0x1C], (uint32_t)d88.size());
    PutLE32(&d88[0x20], 0x2B0);
    PutLE16(&d88[0x2B0 + 4], 65535);
    WriteAll(dir.Path("one.D88"), d88);
    for (int i = 0; i < 164; i++) PutLE32(&d88[0x20 + 4 * i], 0x2B0);
    WriteAll(dir.Path("all.D88"), d88);

    std::vector<uint8_t> fdi(4096, 0);
    PutLE32(&fdi[0x04], 0x90);
    PutLE32(&fdi[0x08], 4096);
    PutLE32(&fdi[0x10], 16384);
    PutLE32(&fdi[0x14], 255);
    PutLE32(&fdi[0x18], 2);
    PutLE32(&fdi[0x1C], 2);
    PutLE32(&fdi[0x0C], 16384u * 255 * 2 * 2);
    WriteAll(dir.Path("big.FDI"), fdi);
    ASSERT_EQ(0, truncate(dir.Path("big.FDI").c_str(), 4096 + 16384L * 255 * 2 * 2));  // sparse

    std::vector<uint8_t> fdd(50172, 0xFF);
    memcpy(fdd.data(), "VFD1.00", 8);
    for (int e = 0; e < 160 * 26; e++) {
        uint8_t *p = &fdd[0xDC + 12 * e];
        p[0] = (uint8_t)(e / 52), p[1] = (uint8_t)(e / 26 % 2), p[2] = (uint8_t)(e % 26 + 1), p[3] = 7;
        p[4] = 0xE5, p[5] = 0, p[6] = 1, p[7] = 1;
    }
    WriteAll(dir.Path("fill.FDD"), fdd);

    for (const char *name : {"one.D88", "all.D88", "big.FDI", "fill.FDD"}) {
        VDisk v;
        EXPECT_EQ(0, v.Import(dir.File(name), 1)) << name;
    }
}

// Only regular files are read: a FIFO or a folder is refused at once.
TEST(Hostile, FifosAndFoldersAreNotImages) {
    ScratchDir dir;
    ASSERT_EQ(0, mkfifo(dir.Path("pipe.D88").c_str(), 0600));
    ASSERT_EQ(0, mkfifo(dir.Path("pipe.ZEL").c_str(), 0600));
    ASSERT_EQ(0, mkdir(dir.Path("folder.D88").c_str(), 0700));
    for (const char *name : {"pipe.D88", "folder.D88"}) {
        ZELDisk z;
        LossReport report;
        EXPECT_EQ(0, z.Import(dir.File(name), 1, &report)) << name;
        EXPECT_NE(std::string::npos, report.Refusal().find(name)) << report.Refusal();
    }
    ZELDisk z;
    std::string why;
    EXPECT_EQ(0, z.Load(dir.File("pipe.ZEL"), 0, &why));
    EXPECT_NE(std::string::npos, why.find("is not a regular file")) << why;
}

// What loads can be saved again: a header whose revolution or whose track
// no save could write is refused when it is loaded, with the field named.
TEST(Hostile, LoadAcceptsWhatSaveCanWrite) {
    ScratchDir dir;
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 0, 0, 0));
    ASSERT_EQ(1, z.Save(dir.File("ok.ZEL"), 1));
    std::vector<uint8_t> f = ReadAll(dir.Path("ok.ZEL"));
    std::vector<uint8_t> fast = f;
    PutLE32(&fast[80], 8000000);  // rate
    PutLE32(&fast[84], 1);        // rpm
    WriteAll(dir.Path("fast.ZEL"), fast);
    std::string why;
    EXPECT_EQ(0, z.Load(dir.File("fast.ZEL"), 0, &why));
    EXPECT_NE(std::string::npos, why.find("longer than a track record can hold")) << why;

    // One track of 1 MB records filled to the last bit.
    std::vector<uint8_t> big(256, 0);
    memcpy(big.data(), f.data(), 256);
    PutLE32(&big[72], 1);           // cylinders
    PutLE32(&big[76], 1);           // heads
    PutLE32(&big[100], 0x100000);   // tracksize
    big.resize(256 + 0x100000, 0);
    PutLE32(&big[256 + 12], (0x100000 - 16) * 8);
    WriteAll(dir.Path("big.ZEL"), big);
    EXPECT_EQ(0, z.Load(dir.File("big.ZEL"), 0, &why));
    EXPECT_NE(std::string::npos, why.find("track 0")) << why;
    PutLE32(&big[256 + 12], 100000);  // the same record with a real track is fine
    WriteAll(dir.Path("big.ZEL"), big);
    ASSERT_EQ(1, z.Load(dir.File("big.ZEL"), 0, &why)) << why;
    EXPECT_EQ(1, z.Save(dir.File("again.ZEL"), 1));
}

// Writing through links: a dangling link gets its file made, a loop of
// links is refused; the temporary file is never readable by more people
// than the file it replaces, and a signal handler can remove it.
TEST(Hostile, LinksModesAndInterruptedWrites) {
    ScratchDir dir;
    std::vector<uint8_t> bytes = {1, 2, 3};
    ASSERT_EQ(0, symlink("made.img", dir.Path("dangling.img").c_str()));
    ASSERT_EQ(1, SaveImageFile(dir.File("dangling.img"), bytes));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.Path("dangling.img").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(bytes, ReadAll(dir.Path("made.img")));

    ASSERT_EQ(0, symlink("loop2.img", dir.Path("loop1.img").c_str()));
    ASSERT_EQ(0, symlink("loop1.img", dir.Path("loop2.img").c_str()));
    EXPECT_EQ(0, SaveImageFile(dir.File("loop1.img"), bytes));
    ASSERT_EQ(0, lstat(dir.Path("loop1.img").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the loop is left as it was";

    WriteAll(dir.Path("private.img"), bytes);
    ASSERT_EQ(0, chmod(dir.Path("private.img").c_str(), 0600));
    {
        FileReplace r;
        ASSERT_EQ(1, r.Begin(dir.Path("private.img").c_str()));
        std::vector<std::string> temps = Hidden(dir.path());
        ASSERT_EQ(1u, temps.size());
        ASSERT_EQ(0, stat(dir.Path(temps[0]).c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        RemovePendingTempFiles();  // what the tools' signal handlers do
        EXPECT_TRUE(Hidden(dir.path()).empty());
    }
    EXPECT_EQ(bytes, ReadAll(dir.Path("private.img")));
}

}  // namespace
