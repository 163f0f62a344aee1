// The image tools give the same results however their paths are made
// faster: two ZEL images made in code (a plain 2HD disk of random data, and
// a mixed disk of FM and MFM tracks with damaged, deleted and missing
// fields) are exported to every sector and track format, and turned into raw
// images (some tracks resampled, so sectors have data rates other than
// nominal) that are decoded track by track and exported again. A digest of
// every file written, every loss reported and every decoded track must
// equal the digest recorded when the corpus was made.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fdi.h"
#include "fdi_disk.h"
#include "fdi_loss.h"
#include "scratch_dir.h"
#include "zel.h"
#include "zeldisk.h"
#include "golden_digest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string &path) {
    Bytes b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

void AddReport(Digest &d, const LossReport &r) {
    d.Text(r.Refusal());
    for (const loss_t &l : r.Losses())
        d.Text(LossReport::Text(l));
}

// A plain 2HD dump of random bytes, imported.
bool PlainDisk(std::mt19937 &rng, const ScratchDir &dir, ZELDisk &disk) {
    Bytes data(77 * 2 * 8 * 1024);
    for (auto &b : data)
        b = (uint8_t)rng();
    FILE *f = fopen(dir.Path("plain.2HD").c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = fclose(f) == 0 && ok;
    return ok && disk.Import(dir.File("plain.2HD"), 1);
}

// Tracks of every shape the formats carry: 8 x 1024 MFM, 15 x 512 MFM, 26 x
// 128 FM, 16 x 256 MFM with FM on some tracks' first sector, damaged and
// deleted sectors, an unformatted track; written as D88 and imported.
bool MixedDisk(std::mt19937 &rng, const ScratchDir &dir, ZELDisk &disk) {
    VDisk vd;
    vd.Init(VDisk::TYPE_2HD, 12, 2);
    for (int c = 0; c < 12; c++)
        for (int h = 0; h < 2; h++) {
            const int shape = (c * 2 + h) % 5;
            if (c == 7 && h == 1) continue; // unformatted
            const int count = shape == 0 ? 8 : shape == 1 ? 15 : shape == 2 ? 26 : 16;
            const int n = shape == 0 ? 3 : shape == 1 ? 2 : shape == 2 ? 0 : 1;
            for (int i = 0; i < count; i++) {
                int mfm = shape == 2 ? 0 : shape == 4 && i == 0 ? 0 : 1;
                int status = 0;
                uint32_t pick = rng() % 16;
                if (pick == 0)
                    status = SECTOR_DATACRC;
                else if (pick == 1)
                    status = SECTOR_DELETED;
                else if (pick == 2 && shape != 2)
                    status = SECTOR_IDCRC;
                else if (pick == 3)
                    status = SECTOR_NODATA;
                int r = shape == 3 ? (i * 5) % 16 + 1 : i + 1; // interleaved
                VSector *s = NewSector(mfm, c, h, r, n, 128 << n, status);
                for (int k = 0; k < s->length; k++)
                    s->data[k] = (uint8_t)rng();
                vd.tracks[c][h]->AddSector(s);
            }
        }
    return vd.Export(dir.File("mixed.D88")) && disk.Import(dir.File("mixed.D88"), 1);
}

// Exports the image to each extension and digests what was written and said.
void ExportAll(Digest &d, ZELDisk &disk, const ScratchDir &dir, const std::vector<const char *> &exts) {
    for (const char *ext : exts) {
        for (int analyze : {ANALYZE_UPD765, ANALYZE_MB8877}) {
            std::string path = dir.Path(std::string("out") + std::to_string(analyze) + ext);
            Filepath p;
            p.SetPath(path.c_str());
            LossReport report(LOSS_STATUS);
            d.Int(disk.Export(p, analyze, &report));
            AddReport(d, report);
            Bytes out = ReadAll(path);
            // An IMD file opens with the time it was written: its digest
            // starts after that line.
            size_t from = 0;
            if (std::string(ext) == ".IMD")
                while (from < out.size() && out[from] != '\n')
                    from++;
            d.Int((int64_t)out.size());
            d.Add(out.data() + from, out.size() - from);
            remove(path.c_str());
        }
    }
}

// The decoded tracks, measured and as the loss check sees them.
void DecodeAll(Digest &d, ZELDisk &disk) {
    for (int analyze : {ANALYZE_UPD765, ANALYZE_MB8877}) {
        for (int c = 0; c < disk.header.cylinders; c++)
            for (int h = 0; h < disk.header.heads; h++) {
                VTrack *t = disk.Analyze(c, h, analyze);
                ASSERT_NE(t, nullptr);
                AddTrack(d, *t);
                delete t;
            }
        for (int measure : {0, 1}) {
            VDisk vd;
            disk.Sectors(vd, analyze, measure);
            for (int c = 0; c < vd.cylinders; c++)
                for (int h = 0; h < vd.heads; h++)
                    AddTrack(d, *vd.tracks[c][h]);
        }
    }
}

// Resamples every third track of a raw image by a little (faster or slower
// than nominal), so the measured data rates differ from 0.
void Resample(std::mt19937 &rng, ZELDisk &disk) {
    for (int c = 0; c < disk.header.cylinders; c++)
        for (int h = 0; h < disk.header.heads; h++) {
            if ((c * 2 + h) % 3) continue;
            int len = disk.GetTrackLen(c, h);
            int pct = (int)(rng() % 5) - 3; // -3 .. +1 per cent
            int to = len + len / 100 * pct;
            if (len <= 0 || (int64_t)(to + 7) / 8 > disk.GetTrackCapacity(c, h)) continue;
            StrechRaw(disk.GetTrackData(c, h), len, to);
            disk.SetTrackLen(c, h, to);
        }
}

const std::vector<const char *> kSectorFormats = {".2HD", ".D88", ".DIM", ".FDI", ".FDD", ".NFD", ".IMD"};
const std::vector<const char *> kTrackFormats = {".HFE", ".MFI", ".SCP"};

TEST(GoldenTools, ExportsAndDecodesKeepTheirResults) {
    ScratchDir dir("golden-tools");
    ASSERT_FALSE(dir.path().empty());
    std::mt19937 rng(20261208);
    Digest plain, mixed, raw;
    {
        ZELDisk disk;
        ASSERT_TRUE(PlainDisk(rng, dir, disk));
        ExportAll(plain, disk, dir, kSectorFormats);
        ExportAll(plain, disk, dir, {".HFE"});
        DecodeAll(plain, disk);
    }
    {
        ZELDisk disk;
        ASSERT_TRUE(MixedDisk(rng, dir, disk));
        ExportAll(mixed, disk, dir, kSectorFormats);
        ExportAll(mixed, disk, dir, kTrackFormats);
        DecodeAll(mixed, disk);

        ASSERT_TRUE(disk.ConvertRaw());
        Resample(rng, disk);
        DecodeAll(raw, disk);
        ExportAll(raw, disk, dir, kTrackFormats);
        ExportAll(raw, disk, dir, {".D88", ".IMD"}); // each turns the image back into cells
    }
    EXPECT_EQ(0x3BE1D85F3C2DF3CDull, plain.h);
    EXPECT_EQ(0x46444C5690B8547Dull, mixed.h);
    EXPECT_EQ(0x3F36FB7EEC90835Bull, raw.h);
}

// What a decode leaves out changes nothing else: without the rates every
// sector reads 0 for its rate, without the cells encdata stays null (and
// cells still tells the length); all the rest is what a full decode gives.
TEST(GoldenTools, DecodeOptionsLeaveOutOnlyWhatTheyName) {
    ScratchDir dir("golden-options");
    ASSERT_FALSE(dir.path().empty());
    std::mt19937 rng(20261209);
    ZELDisk disk;
    ASSERT_TRUE(MixedDisk(rng, dir, disk));
    int rated = 0;
    for (int form = 0; form < 2; form++) { // encode form, then raw
        if (form == 1) {
            ASSERT_TRUE(disk.ConvertRaw());
            Resample(rng, disk);
        }
        for (int c = 0; c < 12; c++)
            for (int h = 0; h < 2; h++) {
                VTrack *all = disk.Analyze(c, h, ANALYZE_UPD765);
                ASSERT_NE(all, nullptr);
                for (const VSector *s = all->sectors; s; s = s->next)
                    rated += s->rate != 0;
                for (int options : {0, (int)DECODE_CELLS, (int)DECODE_RATES}) {
                    VTrack *t = disk.Analyze(c, h, ANALYZE_UPD765, options);
                    ASSERT_NE(t, nullptr);
                    EXPECT_EQ(t->encdata != nullptr, (options & DECODE_CELLS) != 0);
                    EXPECT_EQ(all->cells, t->cells);
                    if (t->encdata) {
                        EXPECT_EQ(0, memcmp(all->encdata, t->encdata, TRACK_ENC_BYTES));
                    }
                    Digest want, got;
                    AddTrack(got, *t);
                    // The full decode with its rates as the option leaves them.
                    std::vector<int32_t> rates;
                    for (VSector *s = all->sectors; s; s = s->next) {
                        rates.push_back(s->rate);
                        if (!(options & DECODE_RATES)) s->rate = 0;
                    }
                    AddTrack(want, *all);
                    size_t i = 0;
                    for (VSector *s = all->sectors; s; s = s->next)
                        s->rate = rates[i++];
                    EXPECT_EQ(want.h, got.h) << "track " << c * 2 + h << " options " << options;
                    delete t;
                }
                delete all;
            }
    }
    EXPECT_GT(rated, 0); // the resampled tracks have rates to leave out
}

} // namespace
