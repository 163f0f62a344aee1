// Disks shaped like real ones, through every conversion: each shape is
// written in every format that takes it, and each of those sources is
// converted into every destination format. A conversion either gives back
// every sector (ID, density, status, data) when the destination is read
// again, or fails, names the track, and leaves the destination as it was.
// Some shapes must get through to given formats and must fail for others:
// a converter that refused everything would not pass.
#include <functional>
#include <random>
#include <set>

#include "fdi_loss.h"
#include "formats_fixture.h"
#include "zeldisk.h"
#include "test_names.h"

namespace {

struct shape_t {
    const char *name;
    std::function<void(VDisk &)> make;
    std::set<std::string> ok;    // destinations that must take it whole
    std::set<std::string> fail;  // destinations that must refuse it
};

const std::vector<std::string> kDestinations = {".D88", ".HDM", ".2HC", ".2HQ", ".2DD", ".2D",     ".DIM",
                                                ".FDI", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI",    ".SCP",
                                                ".ZEL", "raw.ZEL", "raw.MFI", "raw.SCP"};
// Flux images are made of the track image only (they are large): of its
// cells, or ("raw.") of its samples.
bool TrackDestination(const std::string &dest) {
    Filepath p;
    p.SetPath(dest.c_str());
    return dest.find(".ZEL") != std::string::npos || ZELDisk::IsTrackFormat(p);
}
const std::set<std::string> kAll(kDestinations.begin(), kDestinations.end());

// A sector of random data (its full 128 << n bytes).
VSector *Sec(std::mt19937 &rng, int mfm, int c, int h, int r, int n, int status = 0) {
    VSector *s = NewSector(mfm, c, h, r, n, 128 << n, status);
    for (int i = 0; i < s->length; i++) s->data[i] = (uint8_t)rng();
    return s;
}

// Every track: count sectors of size code n, R (and H) as the functions say.
void Uniform(VDisk &d, int type, int cyls, int count, int n, std::function<int(int, int, int)> r,
             std::function<int(int, int, int)> hid = nullptr, int mfm = 1) {
    std::mt19937 rng(cyls * 131 + count * 7 + n);
    d.Init(type, cyls, 2);
    snprintf(d.name, sizeof d.name, "corpus");
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++)
            for (int i = 0; i < count; i++)
                d.tracks[c][h]->AddSector(Sec(rng, mfm, c, hid ? hid(c, h, i) : h, r(c, h, i), n));
}

int Plain(int, int, int i) { return i + 1; }

const std::vector<shape_t> &Shapes() {
    static const std::vector<shape_t> shapes = {
        {"2HD 8x1024",
         [](VDisk &d) { Uniform(d, VDisk::TYPE_2HD, 77, 8, 3, Plain); },
         {".D88", ".HDM", ".DIM", ".FDI", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.ZEL", "raw.MFI",
          "raw.SCP"},
         {".2HQ", ".2DD"}},
        {"2HD interleaved 1,4,7,2,5,8,3,6",
         [](VDisk &d) {
             static const int order[] = {1, 4, 7, 2, 5, 8, 3, 6};
             Uniform(d, VDisk::TYPE_2HD, 77, 8, 3, [](int, int, int i) { return order[i]; });
         },
         {".D88", ".HDM", ".DIM", ".FDI", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {}},
        {"2DD skewed",
         [](VDisk &d) { Uniform(d, VDisk::TYPE_2DD, 80, 9, 2, [](int c, int, int i) { return (i + 3 * c) % 9 + 1; }); },
         {".D88", ".2DD", ".FDI", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.SCP", "raw.MFI"},
         {".2D", ".DIM"}},
        {"2HS R=10..18",
         [](VDisk &d) {
             Uniform(d, VDisk::TYPE_2HD, 80, 9, 3, [](int c, int h, int i) { return c == 0 && h == 0 ? (i ? 10 + i : 1) : 10 + i; });
         },
         {".D88", ".DIM", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".FDI", ".HDM"}},
        {"2HDE H=0x80+head",
         [](VDisk &d) {
             Uniform(d, VDisk::TYPE_2HD, 80, 9, 3, Plain,
                     [](int c, int h, int i) { return c == 0 && h == 0 && i == 0 ? 0 : 0x80 + h; });
         },
         {".D88", ".DIM", ".FDD", ".NFD", ".IMD", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".FDI"}},
        {"1.44MB, track 0 of one sector",
         [](VDisk &d) {
             Uniform(d, VDisk::TYPE_2HD, 80, 18, 2, Plain);
             d.tracks[0][0]->ClrSector();
             std::mt19937 rng(3);
             d.tracks[0][0]->AddSector(Sec(rng, 1, 0, 0, 1, 2));
         },
         {".D88", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".2HQ", ".FDI"}},
        {"PC-98 FM track 0",
         [](VDisk &d) {
             Uniform(d, VDisk::TYPE_2HD, 77, 26, 1, Plain);
             d.tracks[0][0]->ClrSector();
             std::mt19937 rng(4);
             for (int r = 1; r <= 26; r++) d.tracks[0][0]->AddSector(Sec(rng, 0, 0, 0, r, 0));
         },
         {".D88", ".DIM", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".FDI"}},
        {"FM 80 tracks of 10x256",
         [](VDisk &d) { Uniform(d, VDisk::TYPE_2DD, 80, 10, 1, Plain, nullptr, 0); },
         {".D88", ".FDD", ".NFD", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".FDI", ".2DD"}},
        {"mixed density and sizes",
         [](VDisk &d) {
             std::mt19937 rng(5);
             d.Init(VDisk::TYPE_2D, 40, 2);
             for (int c = 0; c < 40; c++)
                 for (int h = 0; h < 2; h++) {
                     VTrack *t = d.tracks[c][h];
                     if (c == 3) {  // one track of every size code 0..4
                         for (int n = 0; n <= 4; n++) t->AddSector(Sec(rng, 1, c, h, n + 1, n));
                     } else if (c == 5) {  // FM and MFM sectors on one track
                         for (int r = 1; r <= 8; r++) t->AddSector(Sec(rng, r & 1, c, h, r, 1));
                     } else {
                         t->AddSector(Sec(rng, 1, c, h, 1, 3));
                         for (int r = 2; r <= 5; r++) t->AddSector(Sec(rng, 1, c, h, r, 2));
                     }
                 }
         },
         {".D88", ".FDD", ".NFD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".FDI", ".2D", ".IMD"}},
        {"CRC errors, deleted data, missing data fields",
         [](VDisk &d) {
             Uniform(d, VDisk::TYPE_2HD, 77, 8, 3, Plain);
             const struct {
                 int c, h, r, status;
             } marks[] = {{0, 0, 3, SECTOR_DATACRC},  {5, 1, 5, SECTOR_IDCRC},   {9, 0, 8, SECTOR_DELETED},
                          {40, 1, 2, SECTOR_NODATA},  {60, 0, 1, SECTOR_DELETED | SECTOR_DATACRC},
                          {76, 1, 8, SECTOR_DATACRC}, {20, 0, 4, SECTOR_NODATA | SECTOR_DELETED}};
             for (const auto &m : marks) {
                 VSector *s = d.tracks[m.c][m.h]->GetSectorByIndex(m.r - 1);
                 s->status = (uint8_t)m.status;
                 if (m.status & SECTOR_NODATA) memset(s->data, 0, (size_t)s->length);
             }
         },
         {".D88", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.ZEL", "raw.MFI", "raw.SCP"},
         {".HDM", ".DIM", ".FDI", ".FDD", ".NFD", ".IMD"}},
        {"2DD of 82 cylinders",
         [](VDisk &d) { Uniform(d, VDisk::TYPE_2DD, 82, 9, 2, Plain); },
         {".D88", ".IMD", ".HFE", ".MFI", ".SCP", ".ZEL", "raw.MFI", "raw.SCP"},
         {".2DD", ".FDD", ".NFD"}},
        {"2DD 11x512, more than a revolution",
         [](VDisk &d) { Uniform(d, VDisk::TYPE_2DD, 80, 11, 2, Plain); },
         {},
         {".HFE", ".ZEL", ".IMD"}},
    };
    return shapes;
}

// The disk a destination file gives back when it is opened again: the
// sectors of a sector image as its reader finds them (every one of those
// formats is a source too, so the way on from there is tried as well), the
// decoded tracks of a track image.
bool ReadBack(const ScratchDir &dir, const std::string &dest, VDisk &out) {
    std::string name = "out" + dest;
    if (!TrackDestination(dest)) return out.Import(dir.File(name), 1);
    ZELDisk z;
    int ok = dest.find(".ZEL") == std::string::npos ? z.Import(dir.File(name), 1) : z.Load(dir.File(name), 0);
    if (!ok) return false;
    z.Sectors(out, ANALYZE_UPD765);
    return true;
}

// One conversion of an image into dest; returns whether it went through.
bool Convert(ZELDisk &z, const ScratchDir &dir, const std::string &dest, LossReport &report) {
    std::string name = "out" + dest;
    if (dest == ".ZEL") return z.Save(dir.File(name), 1);
    if (!dest.compare(0, 4, "raw.")) {
        VDisk before, after;
        z.Sectors(before, ANALYZE_UPD765);
        if (!z.ConvertRaw()) return false;
        z.Sectors(after, ANALYZE_UPD765);
        CompareDisks(before, after, report);
        if (report.Fails()) return false;
        return dest == "raw.ZEL" ? z.Save(dir.File(name), 1) : z.Export(dir.File(name), ANALYZE_UPD765, &report);
    }
    return z.Export(dir.File(name), ANALYZE_UPD765, &report);
}

const std::vector<uint8_t> kSentinel = {'n', 'o', 't', ' ', 't', 'o', 'u', 'c', 'h', 'e', 'd'};

class Corpus : public ::testing::TestWithParam<shape_t> {};

TEST_P(Corpus, EverySourceToEveryDestinationKeepsEverySectorOrFails) {
    const shape_t &shape = GetParam();
    ScratchDir dir;
    VDisk want;
    shape.make(want);

    // Sources: the shape in every sector format that takes it, and as a ZEL.
    std::vector<std::string> sources;
    for (const char *ext : {".D88", ".HDM", ".2HC", ".2HQ", ".2DD", ".2D", ".DIM", ".FDI", ".FDD", ".NFD", ".IMD"}) {
        std::string name = std::string("src") + ext;
        if (want.Export(dir.File(name))) sources.push_back(name);
    }
    ASSERT_FALSE(sources.empty());
    ASSERT_EQ("src.D88", sources[0]) << "every shape is a D88";
    {
        ZELDisk z;
        LossReport report;
        if (z.Import(dir.File("src.D88"), 1, &report)) {
            ASSERT_EQ(1, z.Save(dir.File("src.ZEL"), 1));
            sources.push_back("src.ZEL");
        } else {
            // A disk the track image cannot hold fails at once, naming a track.
            ASSERT_FALSE(report.Losses().empty());
            EXPECT_EQ(0u, LossReport::Text(report.Losses()[0]).find("Track ")) << LossReport::Text(report.Losses()[0]);
        }
    }

    std::set<std::string> passed, failed;
    for (const std::string &src : sources) {
        for (const std::string &dest : kDestinations) {
            bool flux = dest.find(".MFI") != std::string::npos || dest.find(".SCP") != std::string::npos;
            if ((flux || !dest.compare(0, 4, "raw.")) && src != "src.ZEL") continue;
            SCOPED_TRACE(src + " -> " + dest);
            WriteAll(dir.Path("out" + dest), kSentinel);
            ZELDisk z;
            LossReport report;
            int loaded = src == "src.ZEL" ? z.Load(dir.File(src), 0) : z.Import(dir.File(src), 1, &report);
            if (!loaded) {
                failed.insert(dest);
                ASSERT_FALSE(report.Losses().empty() && report.Refusal().empty());
                continue;
            }
            if (Convert(z, dir, dest, report)) {
                passed.insert(dest);
                VDisk back;
                ASSERT_TRUE(ReadBack(dir, dest, back));
                EXPECT_TRUE(SameSectors(want, back, true, true));
            } else {
                failed.insert(dest);
                EXPECT_EQ(kSentinel, ReadAll(dir.Path("out" + dest))) << "a failed conversion touched the file";
                ASSERT_FALSE(report.Empty()) << "a failure says why";
                if (!report.Losses().empty()) {
                    EXPECT_EQ(0u, LossReport::Text(report.Losses()[0]).find("Track "));
                }
            }
        }
    }
    for (const std::string &dest : shape.ok) EXPECT_TRUE(passed.count(dest) && !failed.count(dest)) << dest;
    for (const std::string &dest : shape.fail) EXPECT_TRUE(failed.count(dest) && !passed.count(dest)) << dest;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Corpus, ::testing::ValuesIn(Shapes()),
                         NamedParam());

// A sector image cannot record a status: the conversion fails, or, when the
// user accepts that loss, goes through and lists every status it lost.
TEST(CorpusStatus, LostStatusFailsUnlessAccepted) {
    ScratchDir dir;
    const shape_t &crc = Shapes()[9];
    ASSERT_STREQ("CRC errors, deleted data, missing data fields", crc.name);
    VDisk want;
    crc.make(want);
    ASSERT_EQ(1, want.Export(dir.File("src.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("src.D88"), 1));
    LossReport strict, lenient(LOSS_STATUS);
    EXPECT_EQ(0, z.Export(dir.File("out.HDM"), ANALYZE_UPD765, &strict));
    ASSERT_FALSE(strict.Losses().empty());
    EXPECT_EQ("Track 0 (C:00 H:0): sector C=00 H=00 R=03 N=03: data CRC error not kept",
              LossReport::Text(strict.Losses()[0]));
    ASSERT_EQ(1, z.Export(dir.File("out.HDM"), ANALYZE_UPD765, &lenient));
    EXPECT_EQ(8u, lenient.Losses().size());  // the deleted data CRC error loses both
    for (const loss_t &l : lenient.Losses()) EXPECT_EQ(LOSS_STATUS, l.kind) << LossReport::Text(l);
    VDisk back;
    ASSERT_EQ(1, back.Import(dir.File("out.HDM"), 1));
    EXPECT_TRUE(SameSectors(want, back, false, true));
}

// A track image read from a disk starts wherever the index fell: with a
// sector across the index in each of its fields, every conversion that
// succeeds gives back every sector.
TEST(CorpusIndex, SectorsAcrossTheIndexInEveryField) {
    ScratchDir dir;
    VDisk want;
    Uniform(want, VDisk::TYPE_2DD, 80, 9, 2, Plain);
    ASSERT_EQ(1, want.Export(dir.File("src.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("src.D88"), 1));
    // Cell offsets into R=1 of a 9 x 512 track: its ID SYNC, ID mark, ID,
    // ID CRC, GAP2, data SYNC, data mark, data and data CRC.
    const int at[] = {2336 + 96, 2528 + 16, 2592 + 16, 2656 + 16, 2688 + 100, 3040 + 96, 3232 + 32, 3296 + 1600,
                      11488 + 16};
    for (int c = 0; c < 80; c++)
        for (int h = 0; h < 2; h++) {
            const int bits = z.GetTrackLen(c, h), shift = at[(2 * c + h) % 9];
            ASSERT_EQ(100000, bits);
            uint8_t *data = z.GetTrackData(c, h);
            std::vector<uint8_t> turned((size_t)(bits + 7) / 8, 0);
            for (int i = 0; i < bits; i++)
                if ((data[(i + shift) % bits / 8] >> (7 - (i + shift) % bits % 8)) & 1) turned[i / 8] |= 0x80 >> (i % 8);
            memcpy(data, turned.data(), turned.size());
        }
    ASSERT_EQ(1, z.Save(dir.File("turned.ZEL"), 1));
    for (const char *dest : {".D88", ".2DD", ".FDI", ".FDD", ".NFD", ".HFE", ".ZEL"}) {
        SCOPED_TRACE(dest);
        ZELDisk src;
        ASSERT_EQ(1, src.Load(dir.File("turned.ZEL"), 0));
        LossReport report;
        ASSERT_TRUE(Convert(src, dir, dest, report)) << (report.Losses().empty() ? report.Refusal()
                                                                                   : LossReport::Text(report.Losses()[0]));
        VDisk back;
        ASSERT_TRUE(ReadBack(dir, dest, back));
        EXPECT_TRUE(SameSectors(want, back, true, true));
    }
}

}  // namespace
