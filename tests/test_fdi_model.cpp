// Sector and track model: tables, CRC, sector list, length arithmetic, gap shrinking.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fdi.h"

namespace {

VSector *MakeSector(int mfm, int r, int n, int gap3) {
    VSector *s = new VSector;
    s->mfm = mfm;
    s->r = (uint8_t)r;
    s->n = (uint8_t)n;
    s->length = 128 << n;
    s->data = new uint8_t[s->length]();
    s->gap3 = gap3;
    return s;
}

void AddSectors(VTrack &t, int count, int mfm, int n, int gap3) {
    for (int i = 0; i < count; i++)
        t.AddSector(MakeSector(mfm, i + 1, n, gap3));
}

std::vector<int> Gap3s(const VTrack &t) {
    std::vector<int> g;
    for (VSector *s = t.sectors; s; s = s->next)
        g.push_back(s->gap3);
    return g;
}

uint16_t Crc(std::vector<uint8_t> bytes) {
    return CalcCRC(bytes.data(), (int)bytes.size());
}

} // namespace

TEST(FdiTables, CrcAndCellTables) {
    EXPECT_EQ(0x29B1, Crc({'1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    // The constants the encoder starts its field CRCs from.
    EXPECT_EQ(0xB230, Crc({0xA1, 0xA1, 0xA1, 0xFE}));
    EXPECT_EQ(0xE295, Crc({0xA1, 0xA1, 0xA1, 0xFB}));
    EXPECT_EQ(0xD2F6, Crc({0xA1, 0xA1, 0xA1, 0xF8}));
    EXPECT_EQ(0xEF21, Crc({0xFE}));
    EXPECT_EQ(0xBF84, Crc({0xFB}));
    EXPECT_EQ(0x8FE7, Crc({0xF8}));
    // MFM: data in the odd cells, a clock only between two zero bits; FM: 1 0 d 0.
    EXPECT_EQ(0x9254, MFMTable[0x4E]);
    for (int b = 0; b < 256; b++) {
        for (int bit = 7, prev = 0; bit >= 0; prev = (b >> bit) & 1, bit--) {
            int d = (b >> bit) & 1, cells = (MFMTable[b] >> (2 * bit)) & 3;
            ASSERT_EQ(((prev == 0 && d == 0) ? 2 : 0) | d, cells) << "byte " << b << " bit " << bit;
            ASSERT_EQ(0x8u | (unsigned)d << 1, (FMTable[b] >> (4 * bit)) & 0xF);
        }
    }
}

TEST(FdiModel, ListOperations) {
    VTrack t;
    AddSectors(t, 3, 1, 2, 84);
    AddSectors(t, 3, 0, 0, 27);
    EXPECT_EQ(3, t.mfmcount);
    EXPECT_EQ(3, t.fmcount);
    EXPECT_EQ(1, t.GetSectorByIndex(-5)->r);
    EXPECT_EQ(t.GetSectorByIndex(5), t.GetLasttSector());
    EXPECT_EQ(nullptr, t.GetSectorByIndex(6));
    t.flags = TRACK_MFM;
    t.ClrSector(); // the list only
    EXPECT_EQ(0, t.SectorCount());
    EXPECT_EQ((uint32_t)TRACK_MFM, t.flags);
}

TEST(FdiModel, NominalLengths) {
    struct Case {
        int count, mfm, n, gap3, length, totalmfm;
    };
    const Case cases[] = {
        {0, 1, 0, 0, 0, 2336},
        {9, 1, 2, 84, 6134, 97088},
        {8, 1, 3, 116, 9828, 2336 + 8 * 1202 * 16},
        {18, 1, 2, 84, 12056, 2336 + 18 * 658 * 16},
        {26, 0, 0, 27, 26 * 188 + 106, 2336 + 26 * 188 * 32},
    };
    for (const Case &c : cases) {
        VTrack t;
        AddSectors(t, c.count, c.mfm, c.n, c.gap3);
        EXPECT_EQ(c.length, t.GetLength()) << c.count << " sectors";
        EXPECT_EQ(c.totalmfm, t.CalcTotalMFM()) << c.count << " sectors";
        EXPECT_EQ(c.totalmfm, t.CalcTotalFM());  // both encoders write the same preamble
    }
    VTrack mixed; // a tie counts as MFM: 212 bytes of preamble
    AddSectors(mixed, 3, 1, 0, 24);
    AddSectors(mixed, 3, 0, 0, 27);
    EXPECT_EQ(3 * 214 + 3 * 188 + 212, mixed.GetLength());
}

// Shrinking matches the plain rule (one byte off the first largest GAP3
// above 20 until the total fits) on random lists, and the worked example.
TEST(FdiModel, ShrinkLevelsTheLargestGap3First) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        VTrack fast, plain;
        int count = (int)(rng() % 6);
        for (int i = 0; i < count; i++) {
            int mfm = (int)(rng() & 1), gap3 = (int)(rng() % 120);
            fast.AddSector(MakeSector(mfm, i, 0, gap3));
            plain.AddSector(MakeSector(mfm, i, 0, gap3));
        }
        int target = plain.CalcTotalMFM() - (int)(rng() % 6000);
        int fits = 1;
        while (plain.CalcTotalMFM() > target) {
            VSector *widest = plain.sectors;
            for (VSector *s = plain.sectors; s; s = s->next)
                if (s->gap3 > widest->gap3) widest = s;
            if (!widest || widest->gap3 <= 20) {
                fits = 0;
                break;
            }
            widest->gap3--;
        }
        ASSERT_EQ(fits, fast.ShrinkGapMFM(target)) << "round " << round;
        ASSERT_EQ(Gap3s(plain), Gap3s(fast)) << "round " << round;
    }
    VTrack nine;
    AddSectors(nine, 9, 1, 2, 84);
    EXPECT_EQ(1, nine.ShrinkGapMFM(96000 * 97 / 100));
    EXPECT_EQ(std::vector<int>({56, 56, 56, 56, 56, 57, 57, 57, 57}), Gap3s(nine));
    VTrack empty;
    EXPECT_EQ(1, empty.ShrinkGapFM(2336));
    EXPECT_EQ(0, empty.ShrinkGapFM(2335));
}

// Crowded tracks: GAP3s go below 20 bytes, and into the spare 3 % of the
// revolution, only when that is what makes the track fit; a track that
// does not fit even without gaps says so.
TEST(FdiModel, FitGapsShrinksAsFarAsATrackNeeds) {
    struct Case {
        const char *what;
        int count, mfm, n, gap3, cells;
        int fits, lastgap3;  // GAP3 of the last sector afterwards
    } cases[] = {
        {"9 x 512 in a short revolution", 9, 1, 2, 84, 96000, 1, 57},  // within 97 %, floor 20
        {"9 x 1024 at 360 rpm", 9, 1, 3, 116, 166666, 1, 21},        // within 97 %, floor 20
        {"FM 10 x 256 at 300 rpm", 10, 0, 1, 42, 100000, 1, 7},      // within 97 %, below 20
        {"FM 10 x 256 in 95000 cells", 10, 0, 1, 42, 95000, 1, 0},   // into the spare 3 %
        {"18 x 512 at 360 rpm", 18, 1, 2, 84, 166666, 0, 0},
        {"11 x 512 at 300 rpm", 11, 1, 2, 84, 100000, 0, 0},
        {"8 x 1024 fits as it is", 8, 1, 3, 116, 166666, 1, 116},
        {"FM 7 x 256 and 4 x 128 at 300 rpm", 7, 0, 1, 42, 100000, 1, 27},
    };
    for (const Case &c : cases) {
        VTrack t;
        AddSectors(t, c.count, c.mfm, c.n, c.gap3);
        if (c.lastgap3 == 27) AddSectors(t, 4, 0, 0, 27);
        EXPECT_EQ(c.fits, t.FitGaps(c.cells)) << c.what;
        EXPECT_EQ(c.fits, t.MinimumCells() <= c.cells) << c.what;
        if (c.fits) {
            EXPECT_LE(t.CalcTotalMFM(), c.cells) << c.what;
            EXPECT_EQ(c.lastgap3, t.GetLasttSector()->gap3) << c.what;
        }
    }
}

TEST(FdiModel, GetEncDataReadsCircularly) {
    VTrack t;
    t.encdata = new uint8_t[TRACK_ENC_BYTES]();
    t.cells = 20; // 1010 1100 0011 1111 0101
    t.encdata[0] = 0xAC;
    t.encdata[1] = 0x3F;
    t.encdata[2] = 0x50;
    EXPECT_EQ(0xC3, t.GetEncData(4));
    EXPECT_EQ(0x5A, t.GetEncData(16)); // the last 4 cells, then the first 4
    EXPECT_EQ(0x5A, t.GetEncData(-4));
}
