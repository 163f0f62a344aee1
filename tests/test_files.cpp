// File names and exact-length file I/O.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>

#include "fileio.h"
#include "filepath.h"

namespace {

// A fresh directory under $ZELMO_TEST_TMP (or /tmp), removed with its files.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string root = base && *base ? base : "/tmp";
        mkdir(root.c_str(), 0777);
        std::string tmpl = root + "/files-XXXXXX";
        path = mkdtemp(&tmpl[0]) ? tmpl : "";
    }
    ~ScratchDir() {
        if (!path.empty()) system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void Touch(const std::string &path, const std::string &text = "") {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

struct SplitCase {
    const char *path, *dir, *name, *ext, *shortname;
};

}  // namespace

class FilepathSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FilepathSplit, Pieces) {
    const SplitCase &t = GetParam();
    Filepath p;
    ASSERT_EQ(1, p.SetPath(t.path));
    EXPECT_STREQ(t.path, p.GetPath());
    EXPECT_STREQ(t.dir, p.GetDir());
    EXPECT_STREQ(t.name, p.GetName());
    EXPECT_STREQ(t.ext, p.GetExt());
    EXPECT_STREQ(t.shortname, p.GetShort());
}

INSTANTIATE_TEST_SUITE_P(Paths, FilepathSplit,
                         ::testing::Values(SplitCase{"disk", "./", "disk", "", "disk"},
                                           SplitCase{"/a/b/c.ZEL", "/a/b/", "c", ".ZEL", "c.ZEL"},
                                           SplitCase{"/a/b.c/disk", "/a/b.c/", "disk", "", "disk"},
                                           SplitCase{"/x/archive.tar.ZEL", "/x/", "archive.tar", ".ZEL",
                                                     "archive.tar.ZEL"},
                                           SplitCase{"/top.d88", "/", "top", ".d88", "top.d88"},
                                           SplitCase{"rel/dir/", "rel/", "dir", "", "dir"}));

TEST(Filepath, ShortNameCutPathKept) {
    std::string name(70, 'n');
    std::string path = "/d/" + name + ".ZEL";
    Filepath p;
    ASSERT_EQ(1, p.SetPath(path.c_str()));
    EXPECT_EQ(name.substr(0, 59), p.GetShort());
    EXPECT_EQ(path, p.GetPath());
    EXPECT_EQ(name, p.GetName());
}

TEST(Filepath, RefusesPathsThatDoNotFit) {
    Filepath p;
    p.SetPath("/keep/me.ZEL");
    EXPECT_EQ(0, p.SetPath(nullptr));
    EXPECT_TRUE(p.IsClear());

    std::string longest = "/" + std::string(200, 'a') + "/" + std::string(57, 'b');  // 259 characters: fits
    EXPECT_EQ(1, p.SetPath(longest.c_str()));
    EXPECT_EQ(longest, p.GetPath());
    EXPECT_EQ(0, p.SetPath((longest + "b").c_str()));
    EXPECT_TRUE(p.IsClear());

    // A 259-character path whose directory part (with its slash) overflows
    // the directory storage.
    std::string deep = "/" + std::string(254, 'd') + "/x.y";
    EXPECT_EQ(0, p.SetPath(deep.c_str()));
    EXPECT_TRUE(p.IsClear());
}

TEST(Filepath, CopyMakeAndExtension) {
    Filepath a, b;
    a.SetPath("/img/Disk.zel");
    b = a;
    Filepath c(b);
    EXPECT_STREQ("/img/Disk.zel", c.GetPath());
    EXPECT_STREQ("Disk.zel", c.GetShort());
    EXPECT_TRUE(c.HasExt(".ZEL"));
    EXPECT_TRUE(c.HasExt(".zel"));
    EXPECT_FALSE(c.HasExt(".D88"));
    EXPECT_FALSE(c.HasExt(nullptr));

    a.SetPath("plain");
    a.Make();
    EXPECT_STREQ("./plain", a.GetPath());
    a = a;  // self-assignment keeps the path
    EXPECT_STREQ("./plain", a.GetPath());

    a.Clear();
    EXPECT_TRUE(a.IsClear());
    EXPECT_EQ(1, a.SetPath(""));
    EXPECT_TRUE(a.IsClear());
}

TEST(Fileio, ExactTransfersKeepPositionOnFailure) {
    ScratchDir dir;
    std::string f = dir / "data.bin";
    Fileio io;
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::WriteOnly));
    EXPECT_EQ(1, io.Write("0123456789", 10));
    EXPECT_EQ(10, io.GetFilePos());
    io.Close();
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(0, io.GetFilePos());

    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::ReadOnly));
    EXPECT_EQ(10, io.GetFileSize());
    char buf[16] = {};
    ASSERT_EQ(1, io.Read(buf, 4));
    EXPECT_EQ(4, io.GetFilePos());
    EXPECT_EQ(0, io.Read(buf, 7));  // only 6 left: fails, position unchanged
    EXPECT_EQ(4, io.GetFilePos());
    EXPECT_EQ(0, io.Write("x", 1));  // read-only descriptor
    ASSERT_EQ(1, io.Read(buf, 6));
    EXPECT_EQ(0, memcmp(buf, "456789", 6));

    EXPECT_EQ(1, io.Seek(-3, 1));
    EXPECT_EQ(7, io.GetFilePos());
    EXPECT_EQ(1, io.Seek(7, 0));  // already there
    EXPECT_EQ(0, io.Seek(-1, 0));
    EXPECT_EQ(0, io.Seek(INT64_MAX, 1));
    EXPECT_EQ(7, io.GetFilePos());
    EXPECT_EQ(10, io.GetFileSize());
    EXPECT_EQ(7, io.GetFilePos());
    ASSERT_EQ(1, io.Read(buf, 3));
    EXPECT_EQ(0, memcmp(buf, "789", 3));
}

TEST(Fileio, OpenModes) {
    ScratchDir dir;
    std::string f = dir / "m.bin";
    Fileio io;
    EXPECT_EQ(0, io.Open(f.c_str(), Fileio::ReadWrite));  // missing
    EXPECT_EQ(0, io.Open("", Fileio::ReadOnly));
    EXPECT_EQ(0, io.Open(f.c_str(), 7));
    EXPECT_FALSE(io.IsOpen());

    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::Append));
    ASSERT_EQ(1, io.Write("ab", 2));
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::Append));
    ASSERT_EQ(1, io.Write("cd", 2));
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::ReadWrite));
    ASSERT_EQ(1, io.Seek(1, 0));
    ASSERT_EQ(1, io.Write("X", 1));
    io.Close();

    char buf[4];
    Filepath p;
    p.SetPath(f.c_str());
    ASSERT_EQ(1, io.Load(p, buf, 4));
    EXPECT_EQ(0, memcmp(buf, "aXcd", 4));
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(0, io.Load(p, buf, 5));  // short file
    EXPECT_FALSE(io.IsOpen());

    // The owner-write bit decides read-write access, even for root.
    chmod(f.c_str(), 0444);
    EXPECT_EQ(0, io.Open(f.c_str(), Fileio::ReadWrite));
    EXPECT_EQ(1, io.Open(f.c_str(), Fileio::ReadOnly));

    EXPECT_EQ(0, io.Create(f.c_str()));  // exists
    std::string g = dir / "new.bin";
    EXPECT_EQ(1, io.Create(g.c_str()));
    EXPECT_EQ(1, io.Write("z", 1));
    EXPECT_EQ(1, io.Sync());
    io.Close();
    p.SetPath(g.c_str());
    EXPECT_EQ(1, io.Save(p, "hello", 5));
    EXPECT_EQ(1, io.Load(p, buf, 4));
    EXPECT_EQ(0, memcmp(buf, "hell", 4));
}

TEST(Fileio, ReadLine) {
    ScratchDir dir;
    std::string f = dir / "lines.txt";
    Touch(f, "one\ntwo-long\nlast");
    Fileio io;
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::ReadOnly));
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(0, io.ReadLine(buf, 1));
    EXPECT_EQ('#', buf[0]);
    EXPECT_EQ(0, io.GetFilePos());

    ASSERT_EQ(1, io.ReadLine(buf, sizeof buf));
    EXPECT_STREQ("one\n", buf);
    ASSERT_EQ(1, io.ReadLine(buf, 5));  // cut at size - 1 bytes
    EXPECT_STREQ("two-", buf);
    ASSERT_EQ(1, io.ReadLine(buf, sizeof buf));
    EXPECT_STREQ("long\n", buf);
    ASSERT_EQ(1, io.ReadLine(buf, sizeof buf));  // no line feed at the end
    EXPECT_STREQ("last", buf);
    EXPECT_EQ(0, io.ReadLine(buf, sizeof buf));
    EXPECT_STREQ("last", buf);
}

TEST(Fileio, IsExistAndListEntries) {
    ScratchDir dir;
    Touch(dir / "b.ZEL");
    Touch(dir / "a.ZEL");
    mkdir((dir / "sub").c_str(), 0755);
    EXPECT_EQ(1, Fileio::IsExist((dir / "a.ZEL").c_str()));
    EXPECT_EQ(0, Fileio::IsExist(dir.path.c_str()));
    EXPECT_EQ(-1, Fileio::IsExist((dir / "none").c_str()));
    EXPECT_EQ(-1, Fileio::IsExist("/dev/null"));

    static char entries[99][260];
    ASSERT_EQ(2, Fileio::ListEntries(dir.path.c_str(), 1, entries, 99, 260));
    EXPECT_STREQ("a.ZEL", entries[0]);
    EXPECT_STREQ("b.ZEL", entries[1]);
    ASSERT_EQ(1, Fileio::ListEntries(dir.path.c_str(), 0, entries, 99, 260));
    EXPECT_STREQ("sub", entries[0]);
    EXPECT_EQ(0, Fileio::ListEntries(dir.path.c_str(), 2, entries, 99, 260));
    EXPECT_EQ(-1, Fileio::ListEntries((dir / "none").c_str(), 1, entries, 99, 260));

    // Entry length cuts the stored names.
    ASSERT_EQ(2, Fileio::ListEntries(dir.path.c_str(), 1, entries, 99, 3));
    EXPECT_STREQ("a.", entries[0]);
}

TEST(Fileio, ListEntriesStopsAtMaximum) {
    ScratchDir dir;
    for (int i = 0; i < 150; ++i) Touch(dir / ("f" + std::to_string(1000 + i)));
    static char entries[100][260];
    memset(entries[99], 0x55, sizeof entries[99]);
    ASSERT_EQ(99, Fileio::ListEntries(dir.path.c_str(), 1, entries, 99, 260));
    EXPECT_EQ(0x55, (unsigned char)entries[99][0]);  // nothing past the maximum
    for (int i = 1; i < 99; ++i) EXPECT_LT(strcmp(entries[i - 1], entries[i]), 0);
}
