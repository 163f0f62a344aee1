// Track image import and export: HFE as a bitstream, and every sector format
// through the FM/MFM encoder and decoder.
#include "formats_fixture.h"

#include "bytes.h"
#include "zeldisk.h"
#include "test_names.h"

namespace {

void FillTracks(ZELDisk &z, unsigned seed) {
    std::mt19937 rng(seed);
    for (int c = 0; c < ZEL_MAX_CYLINDERS; c++)
        for (int h = 0; h < 2; h++) {
            uint8_t *d = z.GetTrackData(c, h);
            for (int i = 0; i < (z.GetTrackLen(c, h) + 7) / 8; i++) d[i] = (uint8_t)rng();
        }
}

TEST(HFE, Export2DDAndBack) {
    ScratchDir dir;
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 0, 0, 0));
    FillTracks(z, 11);
    ASSERT_EQ(1, z.Export(dir.File("a.hfe"), 0));
    std::vector<uint8_t> f = ReadAll(dir.Path("a.hfe"));
    ASSERT_EQ(1024u + 84 * 49 * 512, f.size());
    EXPECT_EQ(0, memcmp(f.data(), "HXCPICFE", 8));
    EXPECT_EQ(84, f[9]);
    EXPECT_EQ(2, f[10]);
    EXPECT_EQ(250u, GetLE16(&f[12]));
    EXPECT_EQ(300u, GetLE16(&f[14]));
    EXPECT_EQ(7, f[16]);
    EXPECT_EQ(1u, GetLE16(&f[18]));
    EXPECT_EQ(0xFF, f[20]);
    for (int c = 0; c < 84; c++) {
        EXPECT_EQ(2u + 49 * c, GetLE16(&f[512 + 4 * c]));
        EXPECT_EQ(25000u, GetLE16(&f[512 + 4 * c + 2]));
    }
    // Bytes are stored bit-reversed, side 1 in the second half of a block.
    uint8_t rev = 0;
    for (int b = 0; b < 8; b++)
        if (f[1024 + 256] & (1 << b)) rev |= 0x80 >> b;
    EXPECT_EQ(z.GetTrackData(0, 1)[0], rev);

    ZELDisk back;
    ASSERT_EQ(1, back.Import(dir.File("a.hfe"), 1));
    EXPECT_EQ(1, back.valid);
    EXPECT_EQ(ZEL_TYPE_2DD, back.header.type);
    EXPECT_EQ(500, back.header.rate);
    EXPECT_EQ(300, back.header.rpm);
    for (int c = 0; c < 84; c++)
        for (int h = 0; h < 2; h++) {
            ASSERT_EQ(100000, back.GetTrackLen(c, h));
            ASSERT_EQ(0, memcmp(z.GetTrackData(c, h), back.GetTrackData(c, h), 12500))
                << c << "/" << h << "\n" << HexDiff(z.GetTrackData(c, h), back.GetTrackData(c, h), 12500);
        }
}

TEST(HFE, WriteProtectByte) {
    ScratchDir dir;
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2D, 0, 0, 0));
    z.header.writeprotect = 1;
    ASSERT_EQ(1, z.Export(dir.File("p.HFE"), 0));
    EXPECT_EQ(0x00, ReadAll(dir.Path("p.HFE"))[20]);
    EXPECT_EQ(42, ReadAll(dir.Path("p.HFE"))[9]);
}

// An HFE of ntracks tracks with only the first one present, length l0.
std::vector<uint8_t> HfeFile(int ntracks, int bitrate, int l0) {
    std::vector<uint8_t> f(1024, 0xFF);
    memcpy(f.data(), "HXCPICFE", 8);
    f[8] = 0;
    f[9] = (uint8_t)ntracks;
    PutLE16(&f[12], (uint32_t)bitrate);
    PutLE16(&f[18], 1);
    for (int c = 0; c < ntracks && c < 128; c++) {
        PutLE16(&f[512 + 4 * c], 2);
        PutLE16(&f[512 + 4 * c + 2], c ? 0 : (uint32_t)l0);
    }
    std::mt19937 rng(5);
    f.resize(1024 + (size_t)(l0 + 511) / 512 * 512);
    for (size_t i = 1024; i < f.size(); i++) f[i] = (uint8_t)rng();
    return f;
}

TEST(HFE, TypeRateAndSpeedFromHeader) {
    ScratchDir dir;
    struct {
        int ntracks, bitrate, l0;
        int type, rate, rpm;
    } cases[] = {
        {80, 500, 41666, ZEL_TYPE_2HD, 1000, 360},
        {80, 500, 50000, ZEL_TYPE_2HD, 1000, 300},
        {80, 250, 25000, ZEL_TYPE_2DD, 500, 300},
        {80, 250, 20832, ZEL_TYPE_2DD, 500, 360},
        {40, 500, 25000, ZEL_TYPE_2D, 500, 300},
        {42, 250, 25000, ZEL_TYPE_2D, 500, 300},
        {50, 250, 60000, ZEL_TYPE_2DD, 500, 300},  // longer than a default record holds
        {0, 250, 0, ZEL_TYPE_2D, 500, 300},
        {80, 300, 25000, ZEL_TYPE_2DD, 600, 360},  // a 2DD disk read in a 360-rpm drive
        {40, 300, 25000, ZEL_TYPE_2D, 600, 360},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.l0);
        std::vector<uint8_t> f = HfeFile(cs.ntracks, cs.bitrate, cs.l0);
        WriteAll(dir.Path("t.HFE"), f);
        ZELDisk z;
        ASSERT_EQ(1, z.Import(dir.File("t.HFE"), 1));
        EXPECT_EQ(cs.type, z.header.type);
        EXPECT_EQ(cs.rate, z.header.rate);
        EXPECT_EQ(cs.rpm, z.header.rpm);
        if (!cs.ntracks) continue;
        ASSERT_EQ(cs.l0 * 4, z.GetTrackLen(0, 1));
        for (int i = 0; i < cs.l0 / 2; i++) {
            uint8_t b = f[1024 + (i / 256) * 512 + 256 + i % 256], rev = 0;
            for (int k = 0; k < 8; k++)
                if (b & (1 << k)) rev |= 0x80 >> k;
            ASSERT_EQ(rev, z.GetTrackData(0, 1)[i]) << i;
        }
    }
}

TEST(HFE, DamagedFilesRefused) {
    ScratchDir dir;
    std::vector<std::pair<const char *, std::vector<uint8_t>>> cases;
    std::vector<uint8_t> f = HfeFile(80, 500, 1000);
    f[0] = 'X';
    cases.push_back({"signature", f});
    cases.push_back({"85 tracks", HfeFile(85, 500, 1000)});
    f = HfeFile(80, 500, 1000);
    PutLE16(&f[512], 9);  // first track past the end of the file
    cases.push_back({"track offset", f});
    f = HfeFile(80, 500, 1000);
    PutLE16(&f[18], 300);  // track list past the end of the file
    cases.push_back({"track list", f});
    f = HfeFile(80, 500, 1000);
    f.resize(20);
    cases.push_back({"short header", f});
    for (auto &cs : cases) {
        WriteAll(dir.Path("bad.HFE"), cs.second);
        ZELDisk z;
        ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 0, 0, 0));
        EXPECT_EQ(0, z.Import(dir.File("bad.HFE"), 1)) << cs.first;
        EXPECT_EQ(0, z.valid) << cs.first;
    }
}

// Every sector format through a track image: the encoder builds the tracks,
// the decoder reads them back, and the sectors come out unchanged.
struct zeltrip_t {
    geometry_t geometry;
    int rpm;
};

class TrackImageRoundTrip : public ::testing::TestWithParam<zeltrip_t> {};

TEST_P(TrackImageRoundTrip, EncodeAndDecode) {
    const geometry_t &g = GetParam().geometry;
    ScratchDir dir;
    VDisk original;
    FillDisk(original, g, 77);
    for (const char *ext : g.formats) {
        SCOPED_TRACE(ext);
        std::string in = std::string("in") + ext, out = std::string("out") + ext;
        ASSERT_EQ(1, original.Export(dir.File(in)));
        ZELDisk z;
        ASSERT_EQ(1, z.Import(dir.File(in), 1));
        EXPECT_EQ(GetParam().rpm, z.header.rpm);
        if (!strcmp(ext, ".D88")) {
            EXPECT_STREQ(g.name, z.header.name);
        }
        ASSERT_EQ(1, z.Export(dir.File(out), ANALYZE_UPD765));
        VDisk back;
        ASSERT_EQ(1, back.Import(dir.File(out), 1));
        EXPECT_TRUE(SameSectors(original, back));
    }
}

// A double-density disk dumped in a 360-rpm drive (600 kcells at 360 rpm)
// comes back from HFE as it went in, not as a high-density disk.
TEST(HFE, DoubleDensityAt600KcellsComesBackAsItWas) {
    ScratchDir dir;
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2DD, 600, 360, 0));
    FillTracks(z, 12);
    ASSERT_EQ(1, z.Export(dir.File("dd.hfe"), 0));
    EXPECT_EQ(300u, GetLE16(&ReadAll(dir.Path("dd.hfe"))[12]));
    ZELDisk back;
    ASSERT_EQ(1, back.Import(dir.File("dd.hfe"), 1));
    EXPECT_EQ(ZEL_TYPE_2DD, back.header.type);
    EXPECT_EQ(600, back.header.rate);
    EXPECT_EQ(360, back.header.rpm);
    for (int c = 0; c < 84; c++) ASSERT_EQ(0, memcmp(z.GetTrackData(c, 1), back.GetTrackData(c, 1), 12500)) << c;
}

const zeltrip_t ZelTrips[] = {
    {{"2D", VDisk::TYPE_2D, 40, 9, 2, false, false, {".2D", ".NFD"}}, 300},
    {{"2DD", VDisk::TYPE_2DD, 80, 9, 2, false, false, {".FDI"}}, 300},
    {{"2HD 1.2MB", VDisk::TYPE_2HD, 77, 8, 3, false, false, {".HDM", ".FDD"}}, 360},
    {{"2HD 1.44MB", VDisk::TYPE_2HD, 80, 18, 2, false, false, {".2HQ"}}, 300},
    {{"DIM media 17", VDisk::TYPE_2HD, 77, 26, 1, true, false, {".DIM"}}, 360},
    {{"deleted", VDisk::TYPE_2HD, 77, 8, 3, false, true, {".D88"}}, 360},
    // 9 x 1024 at 360 rpm fits only with short gaps, as on the disks it comes from.
    {{"2HS 9x1024", VDisk::TYPE_2HD, 80, 9, 3, false, false, {".D88", ".FDI"}}, 360},
    {{"2HC 15x512", VDisk::TYPE_2HD, 80, 15, 2, false, false, {".2HC"}}, 360},
};

// The speed of a high-density disk is that of its longest track: one short
// track 0 does not put a 1.44 MB disk at 360 rpm (where its other tracks
// would lose their last sectors).
TEST(TrackImageImport, SpeedFromTheLongestTrack) {
    ScratchDir dir;
    VDisk d;
    FillDisk(d, {"1.44", VDisk::TYPE_2HD, 80, 18, 2, false, false, {}}, 8);
    d.tracks[0][0]->ClrSector();
    d.tracks[0][0]->AddSector(NewSector(1, 0, 0, 1, 2, 512, 0));
    ASSERT_EQ(1, d.Export(dir.File("short0.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("short0.D88"), 1));
    EXPECT_EQ(300, z.header.rpm);
    VDisk back;
    z.Sectors(back, ANALYZE_UPD765);
    EXPECT_TRUE(SameSectors(d, back));
}

INSTANTIATE_TEST_SUITE_P(Formats, TrackImageRoundTrip, ::testing::ValuesIn(ZelTrips),
                         [](const ::testing::TestParamInfo<zeltrip_t> &info) {
                             return TestName(info.param.geometry.name);
                         });

TEST(TrackImageImport, FailuresLeaveNoImage) {
    ScratchDir dir;
    std::vector<uint8_t> f(1000, 0);
    f[0x1B] = 0x30;  // no such media
    WriteAll(dir.Path("x.D88"), f);
    ZELDisk z;
    ASSERT_EQ(1, z.Init(ZEL_TYPE_2HD, 0, 0, 0));
    EXPECT_EQ(0, z.Import(dir.File("x.D88"), 1));
    EXPECT_EQ(0, z.valid);
    EXPECT_EQ(0, z.Import(Filepath(), 1));
    EXPECT_EQ(0, z.Export(dir.File("y.D88"), 0));  // nothing to export
}

}  // namespace

namespace {

TEST(TrackImageExport, RawImageConvertedToEncodeFirst) {
    ScratchDir dir;
    VDisk d, back;
    FillDisk(d, {"raw", VDisk::TYPE_2D, 40, 9, 2, false, false, {}}, 4);
    ASSERT_EQ(1, d.Export(dir.File("in.2D")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("in.2D"), 1));
    ASSERT_EQ(1, z.ConvertRaw());
    ASSERT_EQ(1, z.Export(dir.File("out.D88"), ANALYZE_MB8877));
    EXPECT_EQ(ZEL_TYPE_2D, z.header.type);
    ASSERT_EQ(1, back.Import(dir.File("out.D88"), 1));
    EXPECT_TRUE(SameSectors(d, back));
}

}  // namespace
