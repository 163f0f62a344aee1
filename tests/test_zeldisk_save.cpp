// Saving a ZEL image in place after it has been written whole to another
// file: the changed-track flags then refer to that other file, so the first
// file must be rewritten whole, never patched with records of another size
// or with only the tracks changed since the other save.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "fileio.h"
#include "filepath.h"
#include "scratch_dir.h"
#include "zeldisk.h"

namespace {

// Fills every track with bytes derived from its number and seed.
void Fill(ZELDisk &d, int seed) {
    for (int c = 0; c < d.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            uint8_t *p = d.GetTrackData(c, h);
            for (int i = 0; i < 12000; i++) p[i] = (uint8_t)(i * 7 + c * 3 + h + seed);
        }
}

// "" when the file loads and holds exactly the image's tracks.
std::string SameTracks(const Filepath &path, const ZELDisk &want) {
    ZELDisk got;
    if (!got.Load(path, 0)) return "does not load";
    for (int c = 0; c < want.header.cylinders; ++c)
        for (int h = 0; h < 2; ++h) {
            int len = want.GetTrackLen(c, h);
            if (got.GetTrackLen(c, h) != len) return "length of C" + std::to_string(c) + " H" + std::to_string(h);
            if (memcmp(got.GetTrackData(c, h), want.GetTrackData(c, h), (size_t)(len + 7) / 8) != 0)
                return "data of C" + std::to_string(c) + " H" + std::to_string(h);
        }
    return "";
}

ino_t Inode(const Filepath &path) {
    struct stat st;
    return stat(path.GetPath(), &st) == 0 ? st.st_ino : 0;
}

TEST(ZELDiskSave, InPlaceAfterSaveAsRewritesTheFirstFile) {
    ScratchDir dir;
    Filepath a = dir.File("A.ZEL"), b = dir.File("B.ZEL"), c = dir.File("C.ZEL");
    {
        ZELDisk d;
        ASSERT_EQ(1, d.Init(1, 0, 0, 0));
        Fill(d, 1);
        ASSERT_EQ(1, d.Save(a, 1));  // records of 12800 bytes
    }

    // Saved as B with a longer track, the image takes B's larger records;
    // A, saved in place afterwards, must not get B's record size.
    ZELDisk e;
    ASSERT_EQ(1, e.Load(a, 0));
    ASSERT_EQ(1, e.SetTrackLen(5, 1, 102272));
    e.UpdateTrack(5, 1);
    ASSERT_EQ(1, e.Save(b, 1));
    ASSERT_EQ(13312, e.header.tracksize);
    memset(e.GetTrackData(7, 0), 0x5A, 64);
    e.UpdateTrack(7, 0);
    ASSERT_EQ(1, e.Save(a, 0));
    EXPECT_EQ("", SameTracks(a, e));

    // Same record size: a change made before the save as C is in C only, so
    // A saved in place afterwards must still get it.
    ZELDisk f;
    ASSERT_EQ(1, f.Load(a, 0));
    memset(f.GetTrackData(3, 0), 0x11, 64);
    f.UpdateTrack(3, 0);
    ASSERT_EQ(1, f.Save(c, 1));
    ASSERT_EQ(13312, f.header.tracksize);
    memset(f.GetTrackData(9, 1), 0x22, 64);
    f.UpdateTrack(9, 1);
    ASSERT_EQ(1, f.Save(a, 0));
    EXPECT_EQ("", SameTracks(a, f));

    // Written whole, A is the file the flags refer to: the next save of A
    // changes it in place (the same file, not a new one renamed over it).
    ino_t before = Inode(a);
    memset(f.GetTrackData(11, 0), 0x33, 64);
    f.UpdateTrack(11, 0);
    ASSERT_EQ(1, f.Save(a, 0));
    EXPECT_EQ(before, Inode(a));
    EXPECT_EQ("", SameTracks(a, f));
    // C was not saved since the changes to tracks 9 and 11: written whole.
    ASSERT_EQ(1, f.Save(c, 0));
    EXPECT_EQ("", SameTracks(c, f));
}

// A file whose header no longer has the image's layout (replaced behind the
// image's back by a file of another record size) is rewritten whole.
TEST(ZELDiskSave, InPlaceIntoAFileOfAnotherLayoutRewritesIt) {
    ScratchDir dir;
    Filepath a = dir.File("A.ZEL"), other = dir.File("O.ZEL");
    ZELDisk d, o;
    ASSERT_EQ(1, d.Init(1, 0, 0, 0));
    Fill(d, 2);
    ASSERT_EQ(1, d.Save(a, 1));
    ASSERT_EQ(1, o.Init(2, 0, 0, 0));  // 2HD: records of 20992 bytes
    ASSERT_EQ(1, o.Save(other, 1));

    ZELDisk e;
    ASSERT_EQ(1, e.Load(a, 0));
    ASSERT_EQ(0, rename(other.GetPath(), a.GetPath()));
    memset(e.GetTrackData(2, 1), 0x44, 64);
    e.UpdateTrack(2, 1);
    ASSERT_EQ(1, e.Save(a, 0));
    EXPECT_EQ("", SameTracks(a, e));
}

}  // namespace
