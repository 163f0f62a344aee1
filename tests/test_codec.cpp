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

VSector *NewSector(int mfm, int c, int h, int r, int n, const Bytes &data, int gap3, int status = 0) {
    VSector *s = new VSector;
    s->mfm = mfm;
    s->c = (uint8_t)c;
    s->h = (uint8_t)h;
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

Bytes Pattern(int length, int seed) {
    Bytes b((size_t)length);
    for (int i = 0; i < length; i++) b[(size_t)i] = (uint8_t)(i * 7 + seed * 13 + (i >> 8));
    return b;
}

// count sectors of size code n, R from 1, nominal gaps.
void AddUniform(VTrack &t, int count, int mfm, int n) {
    VSector gaps;
    for (int i = 0; i < count; i++)
        t.AddSector(NewSector(mfm, 2, 0, i + 1, n, Pattern(128 << n, i), gaps.CalcGAP3(mfm, n)));
}

Bytes EncodeCells(VTrack &t, int cells) {
    Bytes buf((size_t)(cells + 7) / 8);
    EXPECT_EQ(cells, t.Encode(0, buf.data(), cells));
    return buf;
}

// Byte offset of a cell-byte sequence in an encoded (byte-aligned) stream.
long Find(const Bytes &stream, const Bytes &what, size_t from = 0) {
    auto it = std::search(stream.begin() + (long)from, stream.end(), what.begin(), what.end());
    return it == stream.end() ? -1 : it - stream.begin();
}

// Raw samples of a cell stream with each pulse moved from its nominal spot
// (three samples into its cell) by a random walk bounded to +-2 samples, so
// that neighbouring pulses differ by at most 2 samples as on a real drive.
Bytes JitteredRaw(const Bytes &cells, int count, uint32_t seed, double stretch = 1.0, int amplitude = 2) {
    int samples = (int)(count * 8 * stretch);
    Bytes raw((size_t)(samples + 7) / 8);
    std::mt19937 rng(seed);
    int j = 0;
    for (int i = 0; i < count; i++) {
        if (!BfGetBit(cells.data(), i)) continue;
        j = std::max(-amplitude, std::min(amplitude, j + (int)(rng() % 5) - 2));
        int at = (int)(i * 8 * stretch) + 3 + j;
        for (int k = 0; k < 3; k++) BfSetBit(raw.data(), (at + k) % samples);
    }
    return raw;
}

// What the decoder reads back of an encoded sector list: the stored gaps,
// except that a sector followed by nothing ends the track (GAP3 0) and FM
// sectors measure their GAP3 against a 12-byte SYNC allowance (6 bytes short).
void ExpectSameSectors(const VTrack &want, const VTrack &got, const char *form) {
    ASSERT_EQ(want.SectorCount(), got.SectorCount()) << form;
    const VSector *a = want.sectors, *b = got.sectors;
    for (int i = 0; a; a = a->next, b = b->next, i++) {
        SCOPED_TRACE(testing::Message() << form << " sector " << i);
        EXPECT_EQ(a->mfm, b->mfm);
        EXPECT_EQ(a->c, b->c);
        EXPECT_EQ(a->h, b->h);
        EXPECT_EQ(a->r, b->r);
        EXPECT_EQ(a->n, b->n);
        EXPECT_EQ(a->status & SECTOR_DELETED, b->status);
        EXPECT_EQ(a->gap2, b->gap2);
        int gap3 = a->next ? std::max(0, a->gap3 - (a->mfm ? 0 : 6)) : 0;
        EXPECT_EQ(gap3, b->gap3);
        ASSERT_EQ(a->length, b->length);
        EXPECT_EQ(0, memcmp(a->data, b->data, (size_t)a->length));
    }
}

// Writes cell streams field by field, for tracks the encoder never writes:
// other mark bytes, broken CRCs, missing or misplaced fields.
class Builder {
  public:
    void Mfm(const Bytes &b) {
        Bytes c(b.size() * 2);
        VTrack::GenMFM(c.data(), b.data(), (int)b.size(), &prev);
        Append(c);
    }
    void MfmFill(uint8_t v, int n) {
        Bytes c((size_t)n * 2);
        VTrack::FillMFM(c.data(), v, n, &prev);
        Append(c);
    }
    void Fm(const Bytes &b) {
        Bytes c(b.size() * 4);
        VTrack::GenFM(c.data(), b.data(), (int)b.size());
        Append(c);
        prev = 0;
    }
    void FmFill(uint8_t v, int n) {
        Bytes c((size_t)n * 4);
        VTrack::FillFM(c.data(), v, n);
        Append(c);
        prev = 0;
    }
    // An FM mark byte with its own clock byte: cells c 0 d 0 per bit.
    void FmMark(uint8_t data, uint8_t clock) {
        uint32_t cells = 0;
        for (int b = 7; b >= 0; b--) cells = cells << 4 | ((clock >> b) & 1) << 3 | ((data >> b) & 1) << 1;
        for (int k = 24; k >= 0; k -= 8) out.push_back((uint8_t)(cells >> k));
        prev = 0;
    }
    void MfmSync() { out.insert(out.end(), {0x44, 0x89, 0x44, 0x89, 0x44, 0x89}), prev = 1; }

    // SYNC, A1 A1 A1 mark C H R N CRC, then 22 x 4E.
    void MfmId(uint8_t mark, Bytes chrn, uint16_t crcxor = 0) {
        MfmFill(0x00, 12);
        MfmSync();
        Bytes field = {0xA1, 0xA1, 0xA1, mark};
        field.insert(field.end(), chrn.begin(), chrn.end());
        uint16_t crc = CalcCRC(field.data(), 8) ^ crcxor;
        Mfm({mark, chrn[0], chrn[1], chrn[2], chrn[3], (uint8_t)(crc >> 8), (uint8_t)crc});
        MfmFill(0x4E, 22);
    }
    // SYNC, A1 A1 A1 mark data CRC, then gap3 x 4E.
    void MfmData(uint8_t mark, const Bytes &data, uint16_t crcxor = 0, int gap3 = 54) {
        MfmFill(0x00, 12);
        MfmSync();
        Bytes field = {0xA1, 0xA1, 0xA1, mark};
        field.insert(field.end(), data.begin(), data.end());
        uint16_t crc = CalcCRC(field.data(), (int)field.size()) ^ crcxor;
        field.push_back((uint8_t)(crc >> 8));
        field.push_back((uint8_t)crc);
        Mfm(Bytes(field.begin() + 3, field.end()));
        MfmFill(0x4E, gap3);
    }
    void FmId(uint8_t mark, Bytes chrn) {
        FmFill(0x00, 6);
        FmMark(mark, 0xC7);
        Bytes field = {mark};
        field.insert(field.end(), chrn.begin(), chrn.end());
        uint16_t crc = CalcCRC(field.data(), 5);
        Fm({chrn[0], chrn[1], chrn[2], chrn[3], (uint8_t)(crc >> 8), (uint8_t)crc});
        FmFill(0xFF, 11);
    }
    void FmData(uint8_t mark, const Bytes &data, int gap3 = 27) {
        FmFill(0x00, 6);
        FmMark(mark, 0xC7);
        Bytes field = {mark};
        field.insert(field.end(), data.begin(), data.end());
        uint16_t crc = CalcCRC(field.data(), (int)field.size());
        field.push_back((uint8_t)(crc >> 8));
        field.push_back((uint8_t)crc);
        Fm(Bytes(field.begin() + 1, field.end()));
        FmFill(0xFF, gap3);
    }
    // Pads with 4E to `cells` cells and decodes.
    void Decode(VTrack &t, int analyze, int cells = 100000) {
        size_t old = out.size();
        out.resize((size_t)cells / 8);
        for (size_t i = old; i < out.size(); i++) out[i] = ((i - old) & 1) ? 0x54 : 0x92;  // 4E
        t.Decode(0, out.data(), cells, analyze);
    }

    Bytes out;
    int prev = 0;

  private:
    void Append(const Bytes &c) { out.insert(out.end(), c.begin(), c.end()); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Encoder
// ---------------------------------------------------------------------------

TEST(Encoder, NineSectorTrackLayout) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    ASSERT_EQ(97088, t.CalcTotalMFM());
    Bytes cells = EncodeCells(t, 100000);
    for (VSector *s = t.sectors; s; s = s->next) EXPECT_EQ(84, s->gap3);  // nothing shrunk

    // Preamble: 80 x 4E, 12 x 00, C2 C2 C2 FC, 50 x 4E; the first ID at byte 292.
    EXPECT_EQ(Bytes({0x92, 0x54}), Bytes(cells.begin(), cells.begin() + 2));
    EXPECT_EQ(Bytes({0xAA, 0xAA}), Bytes(cells.begin() + 160, cells.begin() + 162));
    EXPECT_EQ(184, Find(cells, {0x52, 0x24, 0x52, 0x24, 0x52, 0x24, 0x55, 0x52}));
    EXPECT_EQ(292 + 24, Find(cells, {0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x54}));
    // ID CRC over A1 A1 A1 FE 02 00 01 02, high byte first.
    const uint8_t id[] = {0xA1, 0xA1, 0xA1, 0xFE, 0x02, 0x00, 0x01, 0x02};
    uint16_t crc = CalcCRC(id, 8);
    Bytes crccells(4);
    int prev = 0;  // N = 02 ends in a 0 bit
    const uint8_t crcbytes[] = {(uint8_t)(crc >> 8), (uint8_t)crc};
    VTrack::GenMFM(crccells.data(), crcbytes, 2, &prev);
    EXPECT_EQ(Bytes(crccells), Bytes(cells.begin() + 332, cells.begin() + 336));
    // GAP4b: 4E from 97088 cells to the end.
    for (size_t i = 97088 / 8; i < cells.size(); i += 2) {
        ASSERT_EQ(0x92, cells[i]) << i;
        ASSERT_EQ(0x54, cells[i + 1]) << i;
    }
}

// Apart from the three missing clocks of each sync run, every cell pair of an
// MFM track keeps the clock rule: so the carried data bit is right at every
// field boundary (after CRCs ending in 1, after FB, before SYNC runs).
TEST(Encoder, MfmClockRuleHoldsAcrossFields) {
    for (int seed = 1; seed <= 4; seed++) {
        VTrack t;
        std::mt19937 rng((uint32_t)seed);
        for (int i = 0; i < 12; i++) {
            VSector *s = NewSector(1, (int)(rng() & 0xFF), 0, (int)(rng() & 0xFF), 1, Pattern(256, (int)rng()),
                                   (int)(rng() % 4), (rng() & 1) ? SECTOR_DELETED : 0);
            s->gap2 = (int)(rng() % 3);  // short GAP2s put SYNC right after the ID CRC
            t.AddSector(s);
        }
        Bytes cells = EncodeCells(t, 100000);
        int prev = 0, violations = 0;
        for (int i = 0; i < 100000; i += 2) {
            int c = BfGetBit(cells.data(), i), d = BfGetBit(cells.data(), i + 1);
            if (c != (prev == 0 && d == 0)) violations++;
            prev = d;
        }
        EXPECT_EQ(3 + 12 * 2 * 3, violations) << "seed " << seed;
    }
}

TEST(Encoder, CarriedClockAfterOddCrc) {
    // Find an ID whose CRC ends in a 1 bit; GAP2 4E after it must read 12 54,
    // and with no GAP2 the SYNC 00 after it must read 2A AA.
    for (int gap2 : {22, 0}) {
        int r = 0;
        for (;; r++) {
            const uint8_t id[] = {0xA1, 0xA1, 0xA1, 0xFE, 0, 0, (uint8_t)r, 1};
            if (CalcCRC(id, 8) & 1) break;
        }
        VTrack t;
        t.AddSector(NewSector(1, 0, 0, r, 1, Pattern(256, 1), 54));
        t.sectors->gap2 = gap2;
        Bytes cells = EncodeCells(t, 50000);
        size_t after = 292 + 24 + 8 + 8 + 4;  // SYNC, mark, CHRN, CRC
        if (gap2) EXPECT_EQ(Bytes({0x12, 0x54, 0x92, 0x54}), Bytes(cells.begin() + (long)after, cells.begin() + (long)after + 4));
        else EXPECT_EQ(Bytes({0x2A, 0xAA, 0xAA, 0xAA}), Bytes(cells.begin() + (long)after, cells.begin() + (long)after + 4));
    }
}

TEST(Encoder, DeletedMarksAndMixedDensity) {
    VTrack t;
    t.AddSector(NewSector(1, 0, 0, 1, 0, Pattern(128, 1), 24, SECTOR_DELETED));
    t.AddSector(NewSector(0, 0, 0, 2, 0, Pattern(128, 2), 27, SECTOR_DELETED));
    t.AddSector(NewSector(1, 0, 0, 3, 0, Pattern(128, 3), 24, SECTOR_IDCRC | SECTOR_DATACRC));
    Bytes cells = EncodeCells(t, 100000);
    EXPECT_GT(Find(cells, {0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x4A}), 0);  // A1 A1 A1 F8
    long fm = Find(cells, {0x88, 0x88, 0x88, 0x88, 0xAA, 0x22, 0x2A, 0xA8});      // 00, FE/C7
    ASSERT_GT(fm, 0);
    EXPECT_GT(Find(cells, {0x88, 0x88, 0x88, 0x88, 0xAA, 0x22, 0x28, 0x88}, (size_t)fm), fm);  // F8/C7
    // The MFM sector after the FM one opens its SYNC with AA: FM ends in a 0 cell.
    size_t next = (size_t)fm - 20 + (size_t)(128 + 33 + 27) * 4;
    EXPECT_EQ(Bytes({0xAA, 0xAA}), Bytes(cells.begin() + (long)next, cells.begin() + (long)next + 2));

    // CRC errors recorded by a decoder are not reproduced; F8 is covered by the CRC.
    VTrack back;
    back.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ASSERT_EQ(3, back.SectorCount());
    EXPECT_EQ(SECTOR_DELETED, back.GetSectorByIndex(0)->status);
    EXPECT_EQ(SECTOR_DELETED, back.GetSectorByIndex(1)->status);
    EXPECT_EQ(0, back.GetSectorByIndex(2)->status);
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_FM | TRACK_MFM), back.flags);
}

TEST(Encoder, EmptyTrackHasNoFlux) {
    for (int raw : {0, 1}) {
        VTrack t;
        Bytes buf(200, 0xFF);
        EXPECT_EQ(1000, t.Encode(raw, buf.data(), 1000));
        for (int i = 0; i < 125; i++) ASSERT_EQ(0, buf[(size_t)i]);
        EXPECT_EQ(0xFF, buf[125]);
        EXPECT_EQ(1003, t.Encode(raw, buf.data(), 1003));
        EXPECT_EQ(0x1F, buf[125]);  // only the first 3 cells of the last byte
    }
}

// The encoder stays inside its buffer whatever the gaps and however short the
// buffer; what it writes is a prefix of the unclipped track.
TEST(Encoder, ClipsAtTheBufferEnd) {
    struct Case {
        int mfm, cells, gap2, gap3;
    };
    const Case cases[] = {
        {1, 1000, 22, 84},  {0, 1000, 11, 27},   {1, 2336, 22, 84},   {1, 2343, 22, 84},  {1, 5000, 3000, 84},
        {0, 5000, 3000, 27}, {1, 99999, 60000, 84}, {1, 100000, 22, 100000}, {0, 50001, 9000, 27}, {1, 7, 22, 84},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mfm " << c.mfm << " cells " << c.cells << " gap2 " << c.gap2);
        VTrack t;
        for (int i = 0; i < 3; i++) {
            t.AddSector(NewSector(c.mfm, 0, 0, i + 1, 1, Pattern(256, i), c.gap3));
            t.GetLasttSector()->gap2 = c.gap2;
        }
        const size_t bytes = (size_t)(c.cells + 7) / 8;
        Bytes buf(bytes + 64, 0x5A);
        EXPECT_EQ(c.cells, t.Encode(0, buf.data(), c.cells));
        for (size_t i = bytes; i < buf.size(); i++) ASSERT_EQ(0x5A, buf[i]) << "overrun at " << i;
        if (c.cells & 7) {
            const int tail = 0xFF >> (c.cells & 7);  // cells past the end in the last byte
            EXPECT_EQ(0x5A & tail, buf[bytes - 1] & tail);
        }

        // Raw form of the same list through a sample buffer.
        Bytes raw((size_t)c.cells + 64, 0x5A);
        EXPECT_EQ(c.cells / 8 * 8, t.Encode(1, raw.data(), c.cells));
        for (size_t i = bytes; i < raw.size(); i++) ASSERT_EQ(0x5A, raw[i]) << "raw overrun at " << i;
    }
}

TEST(Encoder, SectorsThatDoNotFitAreLeftOut) {
    VTrack t;
    AddUniform(t, 12, 1, 3);  // 12 x 1024 bytes cannot fit 100000 cells
    Bytes cells = EncodeCells(t, 100000);
    for (VSector *s = t.sectors; s; s = s->next) EXPECT_EQ(20, s->gap3);
    VTrack back;
    back.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ASSERT_EQ(5, back.SectorCount());  // 2336 + 5 x (1024 + 62 + 20) x 16 = 90816
    for (VSector *s = back.sectors; s; s = s->next) EXPECT_EQ(0, s->status);
    EXPECT_EQ(5, back.GetLasttSector()->r);
}

// ---------------------------------------------------------------------------
// Decoder
// ---------------------------------------------------------------------------

TEST(Decoder, NineSectorMfmTrack) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes cells = EncodeCells(t, 100000);
    VTrack d;
    d.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ExpectSameSectors(t, d, "encode");
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_MFM), d.flags);
    EXPECT_EQ(1472, d.iampos);
    EXPECT_EQ(80, d.gap4a);
    EXPECT_EQ(50, d.gap1);
    EXPECT_EQ((100000 - 97088 + 84 * 16) / 16, d.gap4b);
    VSector *s = d.sectors;
    EXPECT_EQ(2336 + 192, s->idpos);  // the first A1, after the SYNC
    EXPECT_EQ(s->idpos + 160 + 22 * 16 + 192, s->dampos);
    EXPECT_EQ(s->dampos + 64, s->datapos);
    EXPECT_EQ(s->dampos + 512 * 16 + 96, s->endpos);
    EXPECT_EQ(512 * 16, s->datacells);
    EXPECT_EQ(0, s->rate);

    // The same list squeezed into 96000 cells reads back with GAP3s 56 and 57.
    VTrack small;
    AddUniform(small, 9, 1, 2);
    Bytes shrunk = EncodeCells(small, 96000);
    VTrack d2;
    d2.Decode(0, shrunk.data(), 96000, ANALYZE_UPD765);
    ExpectSameSectors(small, d2, "shrunk");
    EXPECT_EQ(56, d2.sectors->gap3);
    EXPECT_EQ(57, d2.GetSectorByIndex(7)->gap3);
}

TEST(Decoder, FmTrackGapsUseTheWideSyncAllowance) {
    VTrack t;
    AddUniform(t, 16, 0, 0);
    Bytes cells = EncodeCells(t, 100000);
    VTrack d;
    d.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    ExpectSameSectors(t, d, "fm");
    EXPECT_EQ((uint32_t)(TRACK_IAM | TRACK_FM), d.flags);
    EXPECT_EQ(34, d.gap4a);
    EXPECT_EQ(20, d.gap1);
    EXPECT_EQ(21, d.sectors->gap3);
    EXPECT_EQ(11, d.sectors->gap2);
}

struct RoundTrip {
    const char *name;
    uint32_t seed;
    int cells;
    int density;  // 1 MFM, 0 FM, 2 mixed
    int count;
    int nmin, nmax;
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
        for (auto &b : data) b = (uint8_t)rng();
        VSector gaps;
        int gap3 = gaps.CalcGAP3(mfm, n) - 4 + (int)(rng() % 9);
        t.AddSector(NewSector(mfm, (int)(rng() & 0xFF), (int)(rng() & 1), (int)(rng() & 0xFF), n, data, gap3,
                              (rng() % 4 == 0) ? SECTOR_DELETED : 0));
    }
    ASSERT_LE(t.CalcTotalMFM(), p.cells) << "case does not fit its track";
    Bytes cells = EncodeCells(t, p.cells);

    VTrack d;
    d.Decode(0, cells.data(), p.cells, ANALYZE_UPD765);
    ExpectSameSectors(t, d, "encode");
    EXPECT_EQ(0u, d.flags & TRACK_ERRORS);
    EXPECT_TRUE(d.flags & TRACK_IAM);

    Bytes raw = JitteredRaw(cells, p.cells, p.seed);
    VTrack r;
    r.Decode(1, raw.data(), p.cells * 8, ANALYZE_UPD765);
    ExpectSameSectors(t, r, "raw");
    EXPECT_EQ(d.flags, r.flags);
    for (VSector *s = r.sectors; s; s = s->next) EXPECT_LE(std::abs(s->rate), 1);
}

INSTANTIATE_TEST_SUITE_P(Tracks, CodecRoundTrip,
                         testing::Values(RoundTrip{"mfm2dd", 11, 100000, 1, 9, 0, 2},
                                         RoundTrip{"mfm2ddN4", 12, 100000, 1, 2, 4, 4},
                                         RoundTrip{"mfm2ddN5", 19, 100000, 1, 1, 5, 5},
                                         RoundTrip{"mfm2hd", 13, 166666, 1, 8, 3, 3},
                                         RoundTrip{"mfm2hdN6", 14, 166666, 1, 1, 6, 6},
                                         RoundTrip{"fm2d", 15, 100000, 0, 10, 0, 1},
                                         RoundTrip{"fmN4", 16, 100000, 0, 1, 4, 4},
                                         RoundTrip{"mixed", 17, 166666, 2, 12, 0, 2},
                                         RoundTrip{"mixedOdd", 18, 99999, 2, 7, 0, 1}),
                         [](const testing::TestParamInfo<RoundTrip> &i) { return std::string(i.param.name); });

TEST(Decoder, SectorStraddlingTheIndex) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes cells = EncodeCells(t, 100000);
    VTrack d;
    d.Decode(0, cells.data(), 100000, ANALYZE_UPD765);
    // Start the revolution 100 bytes into the first sector's data field.
    const int shift = d.sectors->datapos + 100 * 16;
    Bytes rotated(cells.size());
    for (int i = 0; i < 100000; i++)
        if (BfGetBit(cells.data(), (i + shift) % 100000)) BfSetBit(rotated.data(), i);

    for (int raw : {0, 1}) {
        VTrack r;
        Bytes input = raw ? JitteredRaw(rotated, 100000, 5) : rotated;
        r.Decode(raw, input.data(), 100000 * (raw ? 8 : 1), ANALYZE_UPD765);
        ASSERT_EQ(9, r.SectorCount());
        EXPECT_TRUE(r.flags & TRACK_STRADDLE);
        EXPECT_FALSE(r.flags & TRACK_OVERLAP);
        VSector *last = r.GetLasttSector();
        EXPECT_EQ(1, last->r);
        EXPECT_EQ(0, last->status);
        EXPECT_EQ(0, memcmp(last->data, t.sectors->data, 512));
        EXPECT_EQ((512 - 100) * 16 + 32, last->endpos);
        EXPECT_GT(last->idpos, last->endpos);
        EXPECT_EQ(2, r.sectors->r);
    }
}

TEST(Decoder, AnalyzeModesDifferInMarksAndLengths) {
    Builder b;
    b.MfmFill(0x4E, 80);
    const uint8_t marks[] = {0xFE, 0xFC, 0xFD, 0xFF};
    for (int i = 0; i < 4; i++) {
        b.MfmId(marks[i], {0, 0, (uint8_t)(i + 1), 1});
        b.MfmData(0xFB, Pattern(256, i));
    }
    b.MfmId(0xFE, {0, 0, 5, 8});  // N = 8: 16384 bytes or 128 << 0
    b.MfmData(0xFB, Pattern(128, 5));
    b.MfmId(0xFE, {0, 0, 6, 0xFF});  // 16384 bytes or 128 << 3
    b.MfmData(0xFB, Pattern(1024, 6));

    VTrack upd, mb;
    b.Decode(upd, ANALYZE_UPD765);
    b.Decode(mb, ANALYZE_MB8877);
    ASSERT_EQ(3, upd.SectorCount());
    EXPECT_EQ(1, upd.sectors->r);
    EXPECT_EQ(16384, upd.GetSectorByIndex(1)->length);
    EXPECT_EQ(16384, upd.GetSectorByIndex(2)->length);
    EXPECT_TRUE(upd.GetSectorByIndex(1)->status & SECTOR_DATACRC);
    ASSERT_EQ(6, mb.SectorCount());
    for (int i = 0; i < 6; i++) EXPECT_EQ(0, mb.GetSectorByIndex(i)->status) << i;
    EXPECT_EQ(128, mb.GetSectorByIndex(4)->length);
    EXPECT_EQ(1024, mb.GetSectorByIndex(5)->length);
    EXPECT_EQ(0, memcmp(mb.GetSectorByIndex(3)->data, Pattern(256, 3).data(), 256));

    // FM: FC with clock C7 is an ID mark to the MB8877 only.
    Builder f;
    f.FmFill(0xFF, 40);
    f.FmId(0xFC, {1, 0, 1, 0});
    f.FmData(0xFB, Pattern(128, 1));
    f.FmId(0xFE, {1, 0, 2, 0});
    f.FmData(0xFB, Pattern(128, 2));
    VTrack fupd, fmb;
    f.Decode(fupd, ANALYZE_UPD765);
    f.Decode(fmb, ANALYZE_MB8877);
    ASSERT_EQ(1, fupd.SectorCount());
    EXPECT_EQ(2, fupd.sectors->r);
    ASSERT_EQ(2, fmb.SectorCount());
    EXPECT_EQ(0, fmb.sectors->status);
}

TEST(Decoder, DamagedFieldsAreRecorded) {
    Builder b;
    b.MfmFill(0x4E, 80);
    b.MfmId(0xFE, {0, 0, 1, 1});                 // no data field before the next ID
    b.MfmId(0xFE, {0, 0, 2, 1});
    b.MfmData(0xFB, Pattern(256, 2), 0x0100);    // data CRC error
    b.MfmId(0xFE, {0, 0, 3, 1}, 0x0001);         // ID CRC error
    b.MfmData(0xFB, Pattern(256, 3));
    b.MfmId(0xFE, {0, 0, 3, 1});                 // a duplicate, kept
    b.MfmData(0xF8, Pattern(256, 4));
    VTrack d;
    b.Decode(d, ANALYZE_UPD765);
    ASSERT_EQ(4, d.SectorCount());
    VSector *nodata = d.sectors;
    EXPECT_EQ(SECTOR_NODATA, nodata->status);
    EXPECT_EQ(0, nodata->dampos);
    EXPECT_EQ(0, nodata->endpos);
    EXPECT_EQ(0, nodata->gap3);
    VSector *badcrc = d.GetSectorByIndex(1);
    EXPECT_EQ(SECTOR_DATACRC, badcrc->status);
    EXPECT_EQ(0, memcmp(badcrc->data, Pattern(256, 2).data(), 256));
    EXPECT_EQ(SECTOR_IDCRC, d.GetSectorByIndex(2)->status);
    EXPECT_EQ(SECTOR_DELETED, d.GetSectorByIndex(3)->status);
    EXPECT_EQ(3, d.GetSectorByIndex(3)->r);
    EXPECT_EQ((uint32_t)(TRACK_MFM | TRACK_NODATA | TRACK_DATACRC | TRACK_IDCRC), d.flags);
    EXPECT_FALSE(d.flags & TRACK_STRADDLE);  // a missing data field wraps nothing
}

TEST(Decoder, MoreDataMarksThanIdsAndOverlap) {
    Builder b;
    b.MfmFill(0x4E, 80);
    for (int i = 1; i <= 3; i++) {
        b.MfmId(0xFE, {0, 0, (uint8_t)i, 1});
        b.MfmData(0xFB, Pattern(256, i));
    }
    b.MfmData(0xFB, Pattern(256, 9));
    VTrack d;
    b.Decode(d, ANALYZE_UPD765);
    EXPECT_EQ(3, d.SectorCount());
    EXPECT_TRUE(d.flags & TRACK_MANYDAM);
    EXPECT_FALSE(d.flags & TRACK_OVERLAP);

    // A 512-byte sector whose field was cut short by the next sector's ID.
    Builder o;
    o.MfmFill(0x4E, 80);
    o.MfmId(0xFE, {0, 0, 1, 2});
    o.MfmData(0xFB, Pattern(100, 1), 0, 0);
    o.MfmId(0xFE, {0, 0, 2, 1});
    o.MfmData(0xFB, Pattern(256, 2));
    VTrack ov;
    o.Decode(ov, ANALYZE_UPD765);
    ASSERT_EQ(2, ov.SectorCount());
    EXPECT_TRUE(ov.flags & TRACK_OVERLAP);
    EXPECT_TRUE(ov.sectors->status & SECTOR_DATACRC);
    EXPECT_EQ(0, ov.GetSectorByIndex(1)->status);
}

TEST(Decoder, UnformattedStreams) {
    Bytes ones(TRACK_ENC_BYTES + 16, 0xFF), gap(12500);
    for (size_t i = 0; i < gap.size(); i += 2) gap[i] = 0x92, gap[i + 1] = 0x54;
    Builder dataonly;
    dataonly.MfmFill(0x4E, 80);
    dataonly.MfmData(0xFB, Pattern(256, 1));
    dataonly.out.resize(12500, 0xAA);
    struct Case {
        const uint8_t *buf;
        int count;
    };
    const Case cases[] = {{nullptr, 1000}, {ones.data(), 0}, {ones.data(), -5}, {ones.data(), 1},
                          {ones.data(), 262144}, {gap.data(), 100000}, {dataonly.out.data(), 100000}};
    for (const Case &c : cases) {
        for (int raw : {0, 1}) {
            VTrack t;
            t.Decode(raw, c.buf, c.count, ANALYZE_UPD765);
            EXPECT_EQ((uint32_t)TRACK_UNFORMAT, t.flags) << c.count << " raw " << raw;
            EXPECT_EQ(0, t.SectorCount());
        }
    }
    // Encode-form counts beyond the buffer's capacity read only its cells.
    VTrack t;
    t.Decode(0, ones.data(), 262144 + 100, ANALYZE_UPD765);
    EXPECT_EQ(262144, t.cells);
}

// More ID marks than the decoder keeps: the first 96 of each density by
// position are read, nothing overruns, the rest is passed over.
TEST(Decoder, CrowdedTrackKeepsTheFirstIds) {
    Builder b;
    for (int i = 0; i < 150; i++) {
        b.MfmId(0xFE, {0, 0, (uint8_t)i, 0});
        if (i < 110) b.FmId(0xFE, {1, 0, (uint8_t)i, 0});
    }
    ASSERT_LT(b.out.size() * 8, 262144u);
    VTrack d;
    b.Decode(d, ANALYZE_UPD765, 262144);
    EXPECT_EQ(96, d.mfmcount);
    EXPECT_EQ(96, d.fmcount);
    int mfmr = 0, fmr = 0;
    for (VSector *s = d.sectors; s; s = s->next) {
        EXPECT_EQ(s->mfm ? mfmr++ : fmr++, s->r);
        EXPECT_EQ(SECTOR_NODATA, s->status);
    }
}

TEST(Decoder, RawInputLongerThanTheCellBuffer) {
    VTrack t;
    AddUniform(t, 8, 1, 3);
    const int samples = 3000000;  // 375000 cells: more than a track holds
    Bytes raw((size_t)samples / 8);
    t.Encode(1, raw.data(), samples);
    VTrack d;
    d.Decode(1, raw.data(), samples, ANALYZE_UPD765);
    EXPECT_LE(d.cells, TRACK_MAX_CELLS);
    EXPECT_EQ(8, d.SectorCount());
}

TEST(Decoder, DataRateOfAStretchedTrack) {
    VTrack t;
    AddUniform(t, 9, 1, 2);
    Bytes cells = EncodeCells(t, 100000);
    Bytes raw = JitteredRaw(cells, 100000, 3, 1.05, 0);
    VTrack d;
    d.Decode(1, raw.data(), (int)(100000 * 8 * 1.05), ANALYZE_UPD765);
    ASSERT_EQ(9, d.SectorCount());
    for (VSector *s = d.sectors; s; s = s->next) {
        EXPECT_EQ(0, s->status);
        EXPECT_GE(s->rate, 45);
        EXPECT_LE(s->rate, 55);
    }
}

TEST(Decoder, SplitClockReadsFieldsOfBothDensities) {
    Bytes src = Pattern(64, 7);
    Bytes cells(64 * 4);
    int prev = 0;
    VTrack::GenMFM(cells.data(), src.data(), 64, &prev);
    Bytes out(64);
    EXPECT_EQ(64 * 16, VTrack::BfSplitClock(cells.data(), 64 * 16, 0, out.data(), 64, 1, 0));
    EXPECT_EQ(src, out);
    VTrack::GenFM(cells.data(), src.data(), 64);
    // Start 32 cells before the end: the first byte read is the last one.
    EXPECT_EQ(3 * 32, VTrack::BfSplitClock(cells.data(), 64 * 32, 63 * 32, out.data(), 3, 0, 0));
    EXPECT_EQ(Bytes({src[63], src[0], src[1]}), Bytes(out.begin(), out.begin() + 3));
}

TEST(ZelAnalyze, DecodesOneTrackOfAnImage) {
    ZELDisk disk;
    EXPECT_EQ(nullptr, disk.Analyze(0, 0, 0));
    ASSERT_EQ(1, disk.Init(ZEL_TYPE_2DD, 0, 0, 0));
    VTrack t;
    AddUniform(t, 9, 1, 2);
    const int bits = disk.GetTrackLen(3, 1);
    ASSERT_EQ(100000, bits);
    t.Encode(0, disk.GetTrackData(3, 1), bits);

    std::unique_ptr<VTrack> d(disk.Analyze(3, 1, ANALYZE_UPD765));
    ASSERT_TRUE(d);
    ExpectSameSectors(t, *d, "image");
    std::unique_ptr<VTrack> blank(disk.Analyze(0, 0, ANALYZE_UPD765));
    ASSERT_TRUE(blank);
    EXPECT_EQ((uint32_t)TRACK_UNFORMAT, blank->flags);
    EXPECT_EQ(nullptr, disk.Analyze(84, 0, 0));
    EXPECT_EQ(nullptr, disk.Analyze(0, 2, 0));
    EXPECT_EQ(nullptr, disk.Analyze(-1, 0, 0));
}
