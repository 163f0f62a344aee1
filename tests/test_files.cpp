// File names and exact-length file I/O.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>

#include "fileio.h"
#include "filepath.h"
#include "scratch_dir.h"
#include "test_names.h"

namespace {

void Touch(const std::string &path, const char *text = "") {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(text, f);
    fclose(f);
}

struct SplitCase {
    const char *path, *dir, *name, *ext;
};

}  // namespace

class FilepathSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FilepathSplit, Pieces) {
    const SplitCase &t = GetParam();
    Filepath p;
    ASSERT_EQ(1, p.SetPath(t.path));
    EXPECT_STREQ(t.dir, p.GetDir());
    EXPECT_STREQ(t.name, p.GetName());
    EXPECT_STREQ(t.ext, p.GetExt());
    EXPECT_EQ(std::string(t.name) + t.ext, p.GetShort());
}

INSTANTIATE_TEST_SUITE_P(Paths, FilepathSplit,
                         ::testing::Values(SplitCase{"disk", "./", "disk", ""},
                                           SplitCase{"/a/b.c/disk", "/a/b.c/", "disk", ""},
                                           SplitCase{"/x/archive.tar.ZEL", "/x/", "archive.tar", ".ZEL"},
                                           SplitCase{"/top.d88", "/", "top", ".d88"},
                                           SplitCase{"rel/dir/", "rel/", "dir", ""}),
                         [](const ::testing::TestParamInfo<SplitCase> &info) { return TestName(info.param.path); });

TEST(Filepath, LimitsCopiesAndExtensions) {
    Filepath p;
    std::string name(70, 'n'), path = "/d/" + name + ".zel";
    ASSERT_EQ(1, p.SetPath(path.c_str()));
    EXPECT_EQ(name.substr(0, 59), p.GetShort());  // only the short name is cut
    EXPECT_EQ(path, p.GetPath());
    EXPECT_TRUE(p.HasExt(".ZEL"));
    EXPECT_FALSE(p.HasExt(".D88"));
    Filepath q(p);
    EXPECT_EQ(path, q.GetPath());

    // Every path the system takes is taken (a 299-character one among
    // them); longer ones, or a name longer than a file name can be, are
    // refused whole: never cut into another path.
    std::string deep = "/" + std::string(200, 'a') + "/" + std::string(97, 'b');  // 299 characters
    EXPECT_EQ(1, p.SetPath(deep.c_str()));
    EXPECT_EQ(deep, p.GetPath());
    std::string fits;
    while (fits.size() + 101 <= 4095) fits += "/" + std::string(100, 'a');
    fits += "/" + std::string(4095 - fits.size() - 1, 'b');  // 4095 characters
    ASSERT_EQ(4095u, fits.size());
    EXPECT_EQ(1, p.SetPath(fits.c_str()));
    for (const std::string &bad : {fits + "c", "/d/" + std::string(256, 'n') + ".y"}) {
        EXPECT_EQ(0, p.SetPath(bad.c_str()));
        EXPECT_TRUE(p.IsClear());
    }
    EXPECT_EQ(0, p.SetPath(nullptr));

    p.SetPath("plain");
    p.Make();
    EXPECT_STREQ("./plain", p.GetPath());
}

TEST(Fileio, ExactTransfersAndLines) {
    ScratchDir dir;
    std::string f = dir / "data.bin";
    Fileio io;
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::WriteOnly));
    ASSERT_EQ(1, io.Write("0123456789", 10));
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::ReadOnly));
    char buf[16] = {};
    ASSERT_EQ(1, io.Read(buf, 4));
    EXPECT_EQ(0, io.Read(buf, 7));  // only 6 left
    EXPECT_EQ(0, io.Write("x", 1));
    EXPECT_EQ(0, io.Seek(-5, 1));
    EXPECT_EQ(4, io.GetFilePos());
    EXPECT_EQ(10, io.GetFileSize());
    ASSERT_EQ(1, io.Read(buf, 6));  // the failures moved nothing
    EXPECT_EQ(0, memcmp(buf, "456789", 6));

    Touch(f, "one\ntwo-long\nlast");
    ASSERT_EQ(1, io.Open(f.c_str(), Fileio::ReadOnly));
    EXPECT_EQ(0, io.ReadLine(buf, 1));
    // A line is cut after size - 1 bytes; the last needs no line feed.
    const struct {
        int size;
        const char *want;
    } lines[] = {{8, "one\n"}, {5, "two-"}, {8, "long\n"}, {8, "last"}};
    for (auto &l : lines) {
        ASSERT_EQ(1, io.ReadLine(buf, l.size));
        EXPECT_STREQ(l.want, buf);
    }
    EXPECT_EQ(0, io.ReadLine(buf, 8));
    EXPECT_STREQ("last", buf);  // untouched when nothing is read
}

TEST(Fileio, OpenModesAndWholeFiles) {
    ScratchDir dir;
    std::string f = dir / "m.bin";
    Fileio io;
    EXPECT_EQ(0, io.Open(f.c_str(), Fileio::ReadWrite));  // must exist
    EXPECT_EQ(0, io.Open(f.c_str(), 7));
    for (const char *part : {"ab", "cd"}) ASSERT_TRUE(io.Open(f.c_str(), Fileio::Append) && io.Write(part, 2));
    ASSERT_TRUE(io.Open(f.c_str(), Fileio::ReadWrite) && io.Seek(1, 0) && io.Write("X", 1));
    io.Close();

    char buf[4];
    Filepath p;
    p.SetPath(f.c_str());
    ASSERT_EQ(1, io.Load(p, buf, 4));
    EXPECT_EQ(0, memcmp(buf, "aXcd", 4));
    EXPECT_EQ(0, io.Load(p, buf, 5));
    EXPECT_FALSE(io.IsOpen());

    // The owner-write bit decides read-write access, even for root.
    chmod(f.c_str(), 0444);
    EXPECT_EQ(0, io.Open(f.c_str(), Fileio::ReadWrite));
    EXPECT_EQ(0, io.Create(f.c_str()));  // exists
    EXPECT_EQ(1, io.Create((dir / "new").c_str()));
}

TEST(Fileio, IsExistAndListEntries) {
    ScratchDir dir;
    Touch(dir / "b.ZEL");
    Touch(dir / "a.ZEL");
    mkdir((dir / "sub").c_str(), 0755);
    EXPECT_EQ(1, Fileio::IsExist((dir / "a.ZEL").c_str()));
    EXPECT_EQ(0, Fileio::IsExist(dir.path().c_str()));
    EXPECT_EQ(-1, Fileio::IsExist((dir / "none").c_str()));

    static char entries[100][260];
    ASSERT_EQ(2, Fileio::ListEntries(dir.path().c_str(), 1, entries, 99, 260));
    EXPECT_STREQ("a.ZEL", entries[0]);
    EXPECT_STREQ("b.ZEL", entries[1]);
    ASSERT_EQ(1, Fileio::ListEntries(dir.path().c_str(), 0, entries, 99, 260));
    EXPECT_STREQ("sub", entries[0]);
    EXPECT_EQ(-1, Fileio::ListEntries((dir / "none").c_str(), 1, entries, 99, 260));

    for (int i = 0; i < 150; ++i) Touch(dir / ("f" + std::to_string(1000 + i)));
    entries[99][0] = '#';
    ASSERT_EQ(99, Fileio::ListEntries(dir.path().c_str(), 1, entries, 99, 260));
    EXPECT_EQ('#', entries[99][0]);  // nothing stored past the maximum
    for (int i = 1; i < 99; ++i) EXPECT_LT(strcmp(entries[i - 1], entries[i]), 0);
}

TEST(FileReplace, ReplacesThroughLinksOrNotAtAll) {
    ScratchDir dir;
    std::string real = dir / "real.img", link = dir / "link.img";
    Touch(real, "old");
    ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
    static char entries[8][260];
    {
        FileReplace r;  // dropped before Commit: the temporary file goes
        ASSERT_EQ(1, r.Begin(link.c_str()));
        ASSERT_EQ(1, r.File().Write("junk", 4));
    }
    EXPECT_EQ(2, Fileio::ListEntries(dir.path().c_str(), 1, entries, 8, 260));

    FileReplace r;
    ASSERT_TRUE(r.Begin(link.c_str()) && r.File().Write("new", 3));
    ASSERT_EQ(1, r.Commit());
    char buf[4] = {};
    Filepath p;
    p.SetPath(real.c_str());
    Fileio io;
    ASSERT_EQ(1, io.Load(p, buf, 3));
    EXPECT_STREQ("new", buf);
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(0, r.Begin(dir.path().c_str()));  // not a regular file
}
