// An independent reader: MAME's floptool (Debian mame-tools) opens the
// sector and flux images written here and turns them into a plain 77 x 2 x
// 8 x 1024 dump, which must hold every sector's data in its place; and the
// flux images it writes read here with every sector. Skipped where the tool
// is not installed.
#include <cstdlib>
#include <cstring>

#include "formats_fixture.h"
#include "zeldisk.h"

namespace {

bool HaveFloptool() { return system("command -v floptool >/dev/null 2>&1") == 0; }

// The disk's sectors in R order, cylinder by cylinder, head 0 then 1.
std::vector<uint8_t> PlainDump(const VDisk &d, int cylinders = 77, int sectors = 8) {
    std::vector<uint8_t> out;
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= sectors; r++)
                for (const VSector *s = d.tracks[c][h]->sectors; s; s = s->next)
                    if (s->r == r) out.insert(out.end(), s->data, s->data + s->length);
    return out;
}

TEST(Peer, FloptoolReadsEverySectorOfOurImages) {
    if (!HaveFloptool()) GTEST_SKIP() << "floptool (Debian mame-tools) is not installed";
    ScratchDir dir;
    for (bool interleaved : {false, true}) {
        VDisk d;
        FillDisk(d, {"peer", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}, interleaved ? 31 : 30);
        if (interleaved)
            for (int c = 0; c < 77; c++)
                for (int h = 0; h < 2; h++) {
                    // 1, 4, 7, 2, 5, 8, 3, 6: move the sectors into that order.
                    VTrack *t = d.tracks[c][h];
                    std::vector<VSector *> v;
                    for (VSector *s = t->sectors; s; s = s->next) v.push_back(s);
                    t->sectors = nullptr;
                    t->mfmcount = t->fmcount = 0;
                    for (int r : {1, 4, 7, 2, 5, 8, 3, 6}) t->AddSector(v[r - 1]);
                }
        const std::vector<uint8_t> want = PlainDump(d);
        // Through a track image too: the way a dump of a real disk goes.
        ASSERT_EQ(1, d.Export(dir.File("src.D88")));
        ZELDisk z;
        ASSERT_EQ(1, z.Import(dir.File("src.D88"), 1));
        const struct {
            const char *ext, *format;
        } formats[] = {{".D88", "d88"}, {".DIM", "dim"}, {".FDI", "pc98_fdi"}, {".FDD", "fdd"}, {".NFD", "nfd"},
                       {".IMD", "imd"}, {".MFI", "mfi"}, {"raw.MFI", "mfi"}};
        for (const auto &f : formats) {
            SCOPED_TRACE(std::string(f.ext) + (interleaved ? " interleaved" : ""));
            std::string name = std::string("ours") + f.ext;
            // The flux of a raw image, as a dump of a real disk has it.
            if (!strncmp(f.ext, "raw", 3)) {
                ASSERT_EQ(1, z.ConvertRaw());
            }
            ASSERT_EQ(1, z.Export(dir.File(name), ANALYZE_UPD765));
            std::string cmd = std::string("floptool flopconvert ") + f.format + " xdf '" + dir.Path(name) + "' '" +
                              dir.Path("peer.xdf") + "' >/dev/null 2>&1";
            unlink(dir.Path("peer.xdf").c_str());
            ASSERT_EQ(0, system(cmd.c_str()));
            std::vector<uint8_t> got = ReadAll(dir.Path("peer.xdf"));
            ASSERT_EQ(want.size(), got.size());
            EXPECT_TRUE(want == got) << HexDiff(want.data(), got.data(), (int)want.size());
        }
    }
}

// floptool's own MFI files, made of plain dumps (a PC-98 1.2 MB disk at 360
// rpm, a 1.44 MB disk at 300 rpm), import with every sector.
TEST(Peer, FloptoolsMfiImportsWithEverySector) {
    if (!HaveFloptool()) GTEST_SKIP() << "floptool (Debian mame-tools) is not installed";
    ScratchDir dir;
    const struct {
        geometry_t g;
        const char *format, *ext;
        int rate, rpm;
    } disks[] = {
        {{"xdf", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}, "xdf", ".xdf", 8000, 360},
        {{"pc", VDisk::TYPE_2HD, 80, 18, 2, false, false, {}}, "pc", ".img", 8000, 300},
    };
    for (const auto &d : disks) {
        SCOPED_TRACE(d.format);
        VDisk want;
        FillDisk(want, d.g, 40);
        const std::vector<uint8_t> plain = PlainDump(want, d.g.cylinders, d.g.sectors);
        WriteAll(dir.Path(std::string("src") + d.ext), plain);
        std::string cmd = std::string("floptool flopconvert ") + d.format + " mfi '" + dir.Path(std::string("src") + d.ext) +
                          "' '" + dir.Path("peer.mfi") + "' >/dev/null 2>&1";
        unlink(dir.Path("peer.mfi").c_str());
        ASSERT_EQ(0, system(cmd.c_str()));
        ZELDisk z;
        ASSERT_EQ(1, z.Import(dir.File("peer.mfi"), 1));
        EXPECT_EQ(ZEL_TYPE_RAW, z.header.type);
        EXPECT_EQ(d.rate, z.header.rate);
        EXPECT_EQ(d.rpm, z.header.rpm);
        VDisk got;
        z.Sectors(got, ANALYZE_UPD765);
        EXPECT_TRUE(SameSectors(want, got, true, true));
    }
}

}  // namespace
