// FM/MFM track encoder and decoder: layouts, round trips in encode and raw
// form, the two analyze modes, and damaged or hostile streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fdi.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(int length, int seed) {
    Bytes b((size_t)length);
    for (int i = 0; i < length; i++)
        b[(size_t)i] = (uint8_t)(i * 7 + seed * 13 + (i >> 8));
    return b;
}

VSector *NewSector(int mfm, int r, int n, const Bytes &data, int gap3, int status = 0, int c = 2) {
    VSector *s = new VSector;
    s->mfm = mfm;
    s->c = (uint8_t)c;
    s->r = (uint8_t)r;
    s->n = (uint8_t)n;
    s->length = (int)data.size();
    s->data = new uint8_t[data.size()];
    memcpy(s->data, data.data(), data.size());
    s->gap2 = mfm ? 22 : 11;
    s->gap3 = gap3;
    s->status = (uint8_t)status;
    return s;
}

// count sectors of size code n, R from 1, nominal gaps.
void AddUniform(VTrack &t, int count, int mfm, int n) {
    for (int i = 0; i < count; i++)
        t.AddSector(NewSector(mfm, i + 1, n, Pattern(128 << n, i), VSector().CalcGAP3(mfm, n)));
}

Bytes EncodeCells(VTrack &t, int cells) {
    Bytes buf((size_t)(cells + 7) / 8);
    EXPECT_EQ(cells, t.Encode(0, buf.data(), cells));
    return buf;
}

Bytes Slice(const Bytes &b, size_t at, size_t n) {
    return Bytes(b.begin() + (long)at, b.begin() + (long)(at + n));
}

// Raw samples of a cell stream, each pulse three samples into its cell and
// moved from there by a random walk bounded to +-amplitude samples
// (neighbouring pulses differ by at most 2 samples, as on a real drive).
Bytes JitteredRaw(const Bytes &cells, int count, uint32_t seed, double stretch = 1.0, int amplitude = 2) {
    int samples = (int)(count * 8 * stretch);
    Bytes raw((size_t)(samples + 7) / 8);
    std::mt19937 rng(seed);
    for (int i = 0, j = 0; i < count; i++) {
        if (!BfGetBit(cells.data(), i)) continue;
        j = std::max(-amplitude, std::min(amplitude, j + (int)(rng() % 5) - 2));
        for (int k = 0; k < 3; k++)
            BfSetBit(raw.data(), ((int)(i * 8 * stretch) + 3 + j + k) % samples);
    }
    return raw;
}

// What the decoder reads back of an encoded list: the stored fields and gaps,
// except that the last sector ends the track (GAP3 0) and FM sectors measure
// GAP3 against a 12-byte SYNC allowance (6 bytes short).
void ExpectSameSectors(const VTrack &want, const VTrack &got, const char *form) {
    ASSERT_EQ(want.SectorCount(), got.SectorCount()) << form;
    const VSector *a = want.sectors, *b = got.sectors;
    for (int i = 0; a; a = a->next, b = b->next, i++) {
        SCOPED_TRACE(testing::Message() << form << " sector " << i);
        EXPECT_EQ(Bytes({(uint8_t)a->mfm, a->c, a->h, a->r, a->n}),
                  Bytes({(uint8_t)b->mfm, b->c, b->h, b->r, b->n}));
        EXPECT_EQ(a->status, b->status);
        if (a->status & SECTOR_NODATA) continue;  // no data field, no gaps around it
        EXPECT_EQ(a->gap2, b->gap2);
        EXPECT_EQ(a->next ? std::max(0, a->gap3 - (a->mfm ? 0 : 6)) : 0, b->gap3);
        ASSERT_EQ(a->length, b->length);
        EXPECT_EQ(0, memcmp(a->data, b->data, (size_t)a->length));
    }
}

// Writes cell streams field by field, for tracks the encoder never writes:
// other mark bytes, broken CRCs, missing or misplaced fields.
struct Builder {
    Bytes out;
    int prev = 0;

    void Mfm(const Bytes &b) {
        Bytes c(b.size() * 2);
        VTrack::GenMFM(c.data(), b.data(), (int)b.size(), &prev);
        out.insert(out.end(), c.begin(), c.end());
    }
    void MfmFill(uint8_t v, int n) { Mfm(Bytes((size_t)n, v)); }
    void Fm(const Bytes &b, uint8_t clock = 0xFF) { // cells c 0 d 0 per bit
        for (uint8_t v : b)
            for (int bit = 7; bit >= 0; bit -= 2)
                out.push_back((uint8_t)(((clock >> bit) & 1) << 7 | ((v >> bit) & 1) << 5 |
                                        ((clock >> (bit - 1)) & 1) << 3 | ((v >> (bit - 1)) & 1) << 1));
        prev = 0;
    }
    // SYNC, mark, fields and CRC (xor'ed to break it), then a gap.
    void Field(int mfm, uint8_t mark, const Bytes &body, int gap, uint16_t crcxor = 0) {
        Bytes all = mfm ? Bytes{0xA1, 0xA1, 0xA1, mark} : Bytes{mark};
        all.insert(all.end(), body.begin(), body.end());
        uint16_t crc = CalcCRC(all.data(), (int)all.size()) ^ crcxor;
        Bytes rest(body);
        rest.push_back((uint8_t)(crc >> 8));
        rest.push_back((uint8_t)crc);
        if (mfm) {
            MfmFill(0x00, 12);
            out.insert(out.end(), {0x44, 0x89, 0x44, 0x89, 0x44, 0x89}); // A1 sync marks
            prev = 1;
            Mfm({mark});
            Mfm(rest);
            MfmFill(0x4E, gap);
        } else {
            Fm(Bytes(6, 0x00));
            Fm({mark}, 0xC7);
            Fm(rest);
            Fm(Bytes((size_t)gap, 0xFF));
        }
    }
    void Id(int mfm, uint8_t mark, int r, int n, uint16_t crcxor = 0) {
        Field(mfm, mark, {0, 0, (uint8_t)r, (uint8_t)n}, mfm ? 22 : 11, crcxor);
    }
    // Pads with MFM 4E to `cells` cells and decodes.
    void Decode(VTrack &t, int analyze, int cells = 100000) {
        Bytes stream(out);
        for (size_t i = stream.size(); i < (size_t)cells / 8; i++)
            stream.push_back(((i - out.size()) & 1) ? 0x54 : 0x92);
        t.Decode(0, stream.data(), cells, analyze);
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Encoder
// ---------------------------------------------------------------------------

// Apart from the missing clock of each sync byte, every cell pair of an MFM
// track keeps the clock rule, so the carried data bit is right at every field
// boundary (after CRCs ending in 1, after FB, before SYNC runs).
TEST(Encoder, MfmClockRuleHoldsAcrossFields) {
    std::mt19937 rng(1);
    VTrack t;
    for (int i = 0; i < 12; i++) {
        t.AddSector(NewSector(1, (int)(rng() & 0xFF), 1, Pattern(256, (int)rng()), (int)(rng() % 4),
                              (rng() & 1) ? SECTOR_DELETED : 0));
        t.GetLasttSector()->gap2 = (int)(rng() % 3); // SYNC right after the ID CRC
    }
    Bytes cells = EncodeCells(t, 100000);
    int prev = 0, violations = 0;
    for (int i = 0; i < 100000; i += 2) {
        int c = BfGetBit(cells.data(), i), d = BfGetBit(cells.data(), i + 1);
        violations += c != (prev == 0 && d == 0);
        prev = d;
    }
    EXPECT_EQ(3 + 12 * 2 * 3, violations); // C2 C2 C2, and A1 A1 A1 twice a sector

    // The two cases drawn out: GAP 4E after a 1 bit is 12 54, SYNC 00 is 2A AA.
    for (int gap2 : {22, 0}) {
        int r = 0;
        while (!(CalcCRC(Bytes({0xA1, 0xA1, 0xA1, 0xFE, 2, 0, (uint8_t)r, 1}).data(), 8) & 1))
            r++;
        VTrack odd;
        odd.AddSector(NewSector(1, r, 1, Pattern(256, 1), 54));
        odd.sectors->gap2 = gap2;
        Bytes c = EncodeCells(odd, 50000);
        EXPECT_EQ(gap2 ? Bytes({0x12, 0x54, 0x92, 0x54}) : Bytes({0x2A, 0xAA, 0xAA, 0xAA}),
                  Slice(c, 292 + 24 + 8 + 8 + 4, 4));
    }
}

TEST(Encoder, StatusMarksAndMixedDensity) {
    VTrack t;
    t.AddSector(NewSector(1, 1, 0, Pattern(128, 1), 24, SECTOR_DELETED));
    t.AddSector(NewSector(0, 2, 0, Pattern(128, 2), 27, SECTOR_DELETED));
    t.AddSector(NewSector(1, 3, 0, Pattern(128, 3), 24, SECTOR_IDCRC | SECTOR_DATACRC));
    t.AddSector(NewSector(0, 4, 0, Pattern(128, 4), 27, SECTOR_DATACRC | SECTOR_DELETED));
    t.AddSector(NewSector(1, 5, 0, Bytes(128, 0), 24, SECTOR_NODATA));
    t.AddSector(NewSector(1, 6, 0, Pattern(128, 6), 24));
    Bytes cells = EncodeCells(t, 100000);
    auto find = [&](const Bytes &what) {
        return std::search(cells.begin(), cells.end(), what.begin(), what.end()) - cells.begin();
    };
    EXPECT_LT(find({0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x4A}), 2000); // A1 A1 A1 F8
    long fm = find({0x88, 0x88, 0x88, 0x88, 0xAA, 0x22, 0x2A, 0xA8}) - 20;   // SYNC, FE/C7
    EXPECT_EQ(Bytes({0xAA, 0x22, 0x28, 0x88}), Slice(cells, (size_t)fm + 24 + 4 + 24 + 44 + 24, 4)); // F8/C7
    // The MFM sector after it opens its SYNC with AA AA: FM ends in a 0 cell.
    EXPECT_EQ(Bytes({0xAA, 0xAA}), Slice(cells, (size_t)fm + (128 + 33 + 27) * 4, 2));

    // Recorded CRC errors come back as wrong CRCs, a missing data field as
    // gap; the F8 marks are covered by their CRCs, and the sector after the
    // one without data keeps its place.
    VTrack back;
    back.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ExpectSameSectors(t, back, "mixed");
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_FM | TRACK_MFM | TRACK_IDCRC | TRACK_DATACRC | TRACK_NODATA),
              back.flags);
    EXPECT_EQ(back.GetSectorByIndex(4)->idpos + (128 + 62 + 24) * 16, back.GetSectorByIndex(5)->idpos);
}

TEST(Encoder, EmptyTrackHasNoFlux) {
    for (int raw : {0, 1}) {
        VTrack t;
        Bytes buf(200, 0xFF);
        EXPECT_EQ(1003, t.Encode(raw, buf.data(), 1003));
        EXPECT_EQ(Bytes(125, 0), Slice(buf, 0, 125));
        EXPECT_EQ(0x1F, buf[125]); // only the first 3 cells of the last byte
    }
}

// The encoder stays inside its buffer whatever the gaps and however short
// the buffer; sectors that do not fit even after shrinking are left out.
TEST(Encoder, ClipsAtTheBufferEnd) {
    const int cases[][4] = {// mfm, cells, gap2, gap3
                            {1, 1000, 22, 84},   {0, 1000, 11, 27},      {1, 2343, 22, 84},
                            {1, 5000, 3000, 84}, {0, 5000, 3000, 27},    {1, 99999, 60000, 84},
                            {1, 7, 22, 84},      {0, 50001, 11, 1 << 30}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "mfm " << c[0] << " cells " << c[1] << " gap2 " << c[2]);
        VTrack t;
        for (int i = 0; i < 3; i++) {
            t.AddSector(NewSector(c[0], i + 1, 1, Pattern(256, i), c[3]));
            t.GetLasttSector()->gap2 = c[2];
        }
        const size_t bytes = (size_t)(c[1] + 7) / 8;
        const int tail = 0xFF >> (c[1] & 7); // cells past the end in the last byte
        for (int raw : {0, 1}) {
            Bytes buf((size_t)c[1] + 64, 0x5A);
            EXPECT_EQ(raw ? c[1] / 8 * 8 : c[1], t.Encode(raw, buf.data(), c[1]));
            EXPECT_EQ(Bytes(buf.size() - bytes, 0x5A), Slice(buf, bytes, buf.size() - bytes))
                << "raw " << raw;
            if (!raw && (c[1] & 7)) {
                EXPECT_EQ(0x5A & tail, buf[bytes - 1] & tail);
            }
        }
    }
    VTrack big;
    AddUniform(big, 12, 1, 3);
    Bytes cells = EncodeCells(big, 100000);
    VTrack back;
    back.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ASSERT_EQ(5, back.SectorCount()); // 2336 + 5 x (1024 + 62 + 20) x 16 = 90816
    EXPECT_EQ(5, back.GetLasttSector()->r);
    EXPECT_EQ(0, back.GetLasttSector()->status);
}

// ---------------------------------------------------------------------------
// Decoder
// ---------------------------------------------------------------------------

TEST(Decoder, NineSectorMfmAndSixteenSectorFmTracks) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes cells = EncodeCells(t, 100000);
    EXPECT_EQ(Slice(cells, 97088 / 8, 4), Bytes({0x92, 0x54, 0x92, 0x54})); // GAP4b after 97088 cells
    VTrack d;
    d.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ExpectSameSectors(t, d, "mfm");
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_MFM), d.flags);
    EXPECT_EQ(std::vector<int>({1472, 80, 50, (100000 - 95744) / 16}),
              std::vector<int>({d.iampos, d.gap4a, d.gap1, d.gap4b}));
    VSector *s = d.sectors;
    EXPECT_EQ(2336 + 192, s->idpos); // the first A1, after the SYNC
    EXPECT_EQ(s->idpos + 160 + 22 * 16 + 192, s->dampos);
    EXPECT_EQ(s->dampos + 64, s->datapos);
    EXPECT_EQ(s->dampos + 512 * 16 + 96, s->endpos);

    // The same list squeezed into 96000 cells reads back with GAP3s 56 and 57.
    VTrack small;
    AddUniform(small, 9, 1, 2);
    Bytes shrunk = EncodeCells(small, 96000);
    VTrack d2;
    d2.Decode(0, shrunk.data(), 96000, ANALYZE_UPD765);
    ExpectSameSectors(small, d2, "shrunk");
    EXPECT_EQ(56, d2.sectors->gap3);

    VTrack fm;
    AddUniform(fm, 16, 0, 0);
    Bytes fmcells = EncodeCells(fm, 100000);
    VTrack d3;
    d3.Decode(0, fmcells.data(), 100000, ANALYZE_UPD765);
    ExpectSameSectors(fm, d3, "fm");
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_FM), d3.flags);
    EXPECT_EQ(34, d3.gap4a);
    EXPECT_EQ(20, d3.gap1);
}

struct RoundTrip {
    const char *name;
    uint32_t seed;
    int cells, density, count, nmin, nmax; // density 1 MFM, 0 FM, 2 mixed
};

class CodecRoundTrip : public testing::TestWithParam<RoundTrip> {};

// Random sector lists out and back, in encode form and as jittered raw samples.
TEST_P(CodecRoundTrip, SectorsComeBackUnchanged) {
    const RoundTrip &p = GetParam();
    std::mt19937 rng(p.seed);
    VTrack t;
    for (int i = 0; i < p.count; i++) {
        int mfm = p.density == 2 ? (int)(rng() & 1) : p.density;
        int n = p.nmin + (int)(rng() % (uint32_t)(p.nmax - p.nmin + 1));
        Bytes data((size_t)(128 << n));
        for (auto &b : data)
            b = (uint8_t)rng();
        int gap3 = VSector().CalcGAP3(mfm, n) - 4 + (int)(rng() % 9);
        t.AddSector(NewSector(mfm, (int)(rng() & 0xFF), n, data, gap3, (rng() % 4 == 0) ? SECTOR_DELETED : 0,
                              (int)(rng() & 0xFF)));
    }
    ASSERT_LE(t.CalcTotalMFM(), p.cells) << "case does not fit its track";
    Bytes cells = EncodeCells(t, p.cells);
    VTrack d, r;
    d.Decode(0, cells.data(), p.cells, ANALYZE_UPD765);
    ExpectSameSectors(t, d, "encode");
    EXPECT_EQ(0u, d.flags & TRACK_ERRORS);
    EXPECT_TRUE(d.flags & TRACK_IAM);
    Bytes raw = JitteredRaw(cells, p.cells, p.seed);
    r.Decode(1, raw.data(), p.cells * 8, ANALYZE_UPD765);
    ExpectSameSectors(t, r, "raw");
    EXPECT_EQ(d.flags, r.flags);
    for (VSector *s = r.sectors; s; s = s->next)
        EXPECT_LE(std::abs(s->rate), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Tracks, CodecRoundTrip,
    testing::Values(RoundTrip{"mfm2dd", 11, 100000, 1, 9, 0, 2},
                    RoundTrip{"mfm2ddN4", 12, 100000, 1, 2, 4, 4},
                    RoundTrip{"mfm2ddN5", 19, 100000, 1, 1, 5, 5},
                    RoundTrip{"mfm2hd", 13, 166666, 1, 8, 3, 3},
                    RoundTrip{"mfm2hdN6", 14, 166666, 1, 1, 6, 6}, RoundTrip{"fm2d", 15, 100000, 0, 10, 0, 1},
                    RoundTrip{"fmN4", 16, 100000, 0, 1, 4, 4}, RoundTrip{"mixed", 17, 166666, 2, 12, 0, 2},
                    RoundTrip{"mixedOdd", 18, 99999, 2, 7, 0, 1}),
    [](const testing::TestParamInfo<RoundTrip> &i) { return std::string(i.param.name); });

// The disk turns without a seam: wherever the index falls in a sector, each
// of its fields is read round the circle, and the sector comes back whole.
TEST(Decoder, SectorAcrossTheIndexInEveryField) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes cells = EncodeCells(t, 100000);
    // Cell offsets of the fields of R=1, after the 2336-cell preamble.
    const struct {
        const char *field;
        int at;
        bool straddles;  // the ID lies before the index and the data after it
    } cases[] = {
        {"ID SYNC", 2336 + 6 * 16, false},  {"ID mark", 2528 + 16, true},  {"ID", 2592 + 16, true},
        {"ID CRC", 2656 + 16, true},        {"GAP2", 2688 + 100, true},    {"data SYNC", 3040 + 96, true},
        {"data mark", 3232 + 32, true},     {"data", 3296 + 100 * 16, true}, {"data CRC", 11488 + 16, true},
    };
    for (const auto &c : cases) {
        Bytes rotated(cells.size());
        for (int i = 0; i < 100000; i++)
            if (BfGetBit(cells.data(), (i + c.at) % 100000)) BfSetBit(rotated.data(), i);
        for (int raw : {0, 1}) {
            SCOPED_TRACE(testing::Message() << c.field << (raw ? " raw" : " cells"));
            VTrack r;
            Bytes input = raw ? JitteredRaw(rotated, 100000, 5) : rotated;
            r.Decode(raw, input.data(), 100000 * (raw ? 8 : 1), ANALYZE_UPD765);
            EXPECT_EQ(0u, r.flags & TRACK_ERRORS);
            if (r.SectorCount() != 9) {
                ADD_FAILURE() << r.SectorCount() << " sectors";
                continue;
            }
            EXPECT_EQ(c.straddles, (r.flags & TRACK_STRADDLE) != 0);
            // R=1 comes last when its ID was recorded before the index.
            VSector *one = c.straddles ? r.GetLasttSector() : r.sectors;
            EXPECT_EQ(Bytes({1, 0}), Bytes({one->r, one->status}));
            for (VSector *s = r.sectors; s; s = s->next) {
                EXPECT_EQ(0, s->status);
                EXPECT_EQ(0, memcmp(s->data, t.GetSectorByIndex(s->r - 1)->data, 512)) << (int)s->r;
            }
        }
    }
}

TEST(Decoder, AnalyzeModesDifferInMarksAndLengths) {
    Builder b;
    b.MfmFill(0x4E, 80);
    const uint8_t marks[] = {0xFE, 0xFC, 0xFD, 0xFF};
    for (int i = 0; i < 4; i++) {
        b.Id(1, marks[i], i + 1, 1);
        b.Field(1, 0xFB, Pattern(256, i), 54);
    }
    b.Id(1, 0xFE, 5, 8); // 16384 bytes or 128 << 0
    b.Field(1, 0xFB, Pattern(128, 5), 54);
    b.Id(1, 0xFE, 6, 0xFF); // 16384 bytes or 128 << 3
    b.Field(1, 0xFB, Pattern(1024, 6), 54);
    b.Id(0, 0xFC, 7, 0); // FM: FC with clock C7
    b.Field(0, 0xFB, Pattern(128, 7), 27);
    VTrack upd, mb;
    b.Decode(upd, ANALYZE_UPD765);
    b.Decode(mb, ANALYZE_MB8877);
    ASSERT_EQ(3, upd.SectorCount());
    EXPECT_EQ(1, upd.sectors->r);
    EXPECT_EQ(16384, upd.GetSectorByIndex(1)->length);
    EXPECT_EQ(16384, upd.GetSectorByIndex(2)->length);
    ASSERT_EQ(7, mb.SectorCount());
    const int lengths[] = {256, 256, 256, 256, 128, 1024, 128};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(0, mb.GetSectorByIndex(i)->status) << i;
        EXPECT_EQ(lengths[i], mb.GetSectorByIndex(i)->length) << i;
    }
    EXPECT_EQ(0, memcmp(mb.GetSectorByIndex(3)->data, Pattern(256, 3).data(), 256));
}

TEST(Decoder, DamagedFieldsAreRecorded) {
    Builder b;
    b.Id(1, 0xFE, 1, 1); // no data field before the next ID
    b.Id(1, 0xFE, 2, 1);
    b.Field(1, 0xFB, Pattern(256, 2), 54, 0x0100); // data CRC error
    b.Id(1, 0xFE, 3, 1, 0x0001);                   // ID CRC error
    b.Field(1, 0xFB, Pattern(256, 3), 54);
    b.Id(1, 0xFE, 3, 1); // a duplicate, kept
    b.Field(1, 0xF8, Pattern(256, 4), 54);
    b.Field(1, 0xFB, Pattern(256, 5), 54); // a fourth data mark
    b.Field(1, 0xFB, Pattern(256, 6), 54); // and a fifth
    VTrack d;
    b.Decode(d, ANALYZE_UPD765);
    ASSERT_EQ(4, d.SectorCount());
    VSector *nodata = d.sectors;
    EXPECT_EQ(Bytes({SECTOR_NODATA, 0, 0, 0}), Bytes({nodata->status, (uint8_t)nodata->dampos,
                                                      (uint8_t)nodata->endpos, (uint8_t)nodata->gap3}));
    EXPECT_EQ(SECTOR_DATACRC, d.GetSectorByIndex(1)->status);
    EXPECT_EQ(0, memcmp(d.GetSectorByIndex(1)->data, Pattern(256, 2).data(), 256)); // kept as read
    EXPECT_EQ(SECTOR_IDCRC, d.GetSectorByIndex(2)->status);
    EXPECT_EQ(SECTOR_DELETED, d.GetSectorByIndex(3)->status);
    // No straddle for the missing field: it wraps nothing.
    EXPECT_EQ((uint32_t)(TRACK_MFM | TRACK_NODATA | TRACK_DATACRC | TRACK_IDCRC | TRACK_MANYDAM), d.flags);

    // A 512-byte sector whose field was cut short by the next sector's ID.
    Builder o;
    o.Id(1, 0xFE, 1, 2);
    o.Field(1, 0xFB, Pattern(100, 1), 0);
    o.Id(1, 0xFE, 2, 1);
    o.Field(1, 0xFB, Pattern(256, 2), 54);
    VTrack ov;
    o.Decode(ov, ANALYZE_UPD765);
    ASSERT_EQ(2, ov.SectorCount());
    EXPECT_EQ((uint32_t)(TRACK_MFM | TRACK_DATACRC | TRACK_OVERLAP), ov.flags);
}

TEST(Decoder, UnformattedAndOversizedInput) {
    Bytes ones(TRACK_ENC_BYTES + 16, 0xFF);
    Builder dataonly;
    dataonly.Field(1, 0xFB, Pattern(256, 1), 54);
    dataonly.out.resize(12500, 0xAA);
    const std::pair<const uint8_t *, int> cases[] = {{nullptr, 1000},       {ones.data(), 0},
                                                     {ones.data(), -5},     {ones.data(), 1},
                                                     {ones.data(), 262144}, {dataonly.out.data(), 100000}};
    for (const auto &c : cases) {
        for (int raw : {0, 1}) {
            VTrack t;
            t.Decode(raw, c.first, c.second, ANALYZE_UPD765);
            EXPECT_EQ((uint32_t)TRACK_UNFORMAT, t.flags) << c.second << " raw " << raw;
            EXPECT_EQ(0, t.SectorCount());
        }
    }
    VTrack t; // encode-form counts beyond the cell buffer read only what it holds
    t.Decode(0, ones.data(), 262144 + 100, ANALYZE_UPD765);
    EXPECT_EQ(262144, t.cells);

    // 3,000,000 samples (375,000 cells): the first cell buffer's worth is read.
    VTrack enc;
    AddUniform(enc, 8, 1, 3);
    Bytes raw(3000000 / 8);
    enc.Encode(1, raw.data(), 3000000);
    VTrack d;
    d.Decode(1, raw.data(), 3000000, ANALYZE_UPD765);
    EXPECT_LE(d.cells, TRACK_MAX_CELLS);
    EXPECT_EQ(8, d.SectorCount());
    EXPECT_EQ(0u, d.flags & TRACK_ERRORS);
}

// More ID marks than the decoder keeps: the first 96 of each density by
// position are read and nothing overruns.
TEST(Decoder, CrowdedTrackKeepsTheFirstIds) {
    Builder b;
    for (int i = 0; i < 150; i++) {
        b.Id(1, 0xFE, i, 0);
        if (i < 110) b.Id(0, 0xFE, i, 0);
    }
    VTrack d;
    b.Decode(d, ANALYZE_UPD765, 262144);
    EXPECT_EQ(96, d.mfmcount);
    EXPECT_EQ(96, d.fmcount);
    int next[2] = {0, 0};
    for (VSector *s = d.sectors; s; s = s->next)
        EXPECT_EQ(next[s->mfm]++, s->r);
}

TEST(Decoder, DataRateOfAStretchedTrack) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes raw = JitteredRaw(EncodeCells(t, 100000), 100000, 3, 1.05, 0);
    VTrack d;
    d.Decode(1, raw.data(), 840000, ANALYZE_UPD765);
    ASSERT_EQ(9, d.SectorCount());
    for (VSector *s = d.sectors; s; s = s->next) {
        EXPECT_EQ(0, s->status);
        EXPECT_NEAR(50, s->rate, 5);
    }
}

TEST(ZelAnalyze, DecodesOneTrackOfAnImage) {
    ZELDisk disk;
    EXPECT_EQ(nullptr, disk.Analyze(0, 0, 0));
    ASSERT_EQ(1, disk.Init(ZEL_TYPE_2DD, 0, 0, 0));
    VTrack t;
    AddUniform(t, 9, 1, 2);
    ASSERT_EQ(100000, disk.GetTrackLen(3, 1));
    t.Encode(0, disk.GetTrackData(3, 1), 100000);
    std::unique_ptr<VTrack> d(disk.Analyze(3, 1, ANALYZE_UPD765)), blank(disk.Analyze(0, 0, ANALYZE_UPD765));
    ASSERT_TRUE(d && blank);
    ExpectSameSectors(t, *d, "image");
    EXPECT_EQ((uint32_t)TRACK_UNFORMAT, blank->flags);
    EXPECT_EQ(nullptr, disk.Analyze(84, 0, 0));
    EXPECT_EQ(nullptr, disk.Analyze(0, 2, 0));
    EXPECT_EQ(nullptr, disk.Analyze(-1, 0, 0));
}
