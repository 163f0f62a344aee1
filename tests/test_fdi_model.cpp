// Sector and track model: tables, CRC, sector list, length arithmetic, gap shrinking.
#include <gtest/gtest.h>

#include <vector>

#include "fdi.h"

namespace {

VSector *MakeSector(int mfm, int r, int n, int gap3, int length = -1) {
    VSector *s = new VSector;
    s->mfm = mfm;
    s->r = (uint8_t)r;
    s->n = (uint8_t)n;
    s->length = length >= 0 ? length : 128 << n;
    s->data = new uint8_t[s->length]();
    s->gap2 = mfm ? 22 : 11;
    s->gap3 = gap3;
    return s;
}

void AddSectors(VTrack &t, int count, int mfm, int n, int gap3) {
    for (int i = 0; i < count; i++) t.AddSector(MakeSector(mfm, i + 1, n, gap3));
}

std::vector<int> Gap3s(const VTrack &t) {
    std::vector<int> g;
    for (VSector *s = t.sectors; s; s = s->next) g.push_back(s->gap3);
    return g;
}

uint16_t Crc(std::vector<uint8_t> bytes) { return CalcCRC(bytes.data(), (int)bytes.size()); }

}  // namespace

TEST(FdiTables, CrcCheckValueAndMarkConstants) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0x29B1, CalcCRC(digits, 9));
    // The constants the encoder starts its field CRCs from.
    EXPECT_EQ(0xB230, Crc({0xA1, 0xA1, 0xA1, 0xFE}));
    EXPECT_EQ(0xEF21, Crc({0xFE}));
    EXPECT_EQ(0xE295, Crc({0xA1, 0xA1, 0xA1, 0xFB}));
    EXPECT_EQ(0xD2F6, Crc({0xA1, 0xA1, 0xA1, 0xF8}));
    EXPECT_EQ(0xBF84, Crc({0xFB}));
    EXPECT_EQ(0x8FE7, Crc({0xF8}));
    // Continuing from a partial CRC equals one pass over the whole.
    const uint8_t id[] = {0xA1, 0xA1, 0xA1, 0xFE, 0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(CalcCRC(id, 8), CalcCRC(id + 4, 4, 0xB230));
}

// Every table entry is the byte's cells: MFM data bits in the odd cells with
// a clock only between two zeros, FM cells 1 0 d 0.
TEST(FdiTables, CellTablesFollowTheRecordingRules) {
    EXPECT_EQ(0x9254, MFMTable[0x4E]);
    EXPECT_EQ(0xAAAA, MFMTable[0x00]);
    EXPECT_EQ(0x5555, MFMTable[0xFF]);
    EXPECT_EQ(0x44A9, MFMTable[0xA1]);
    EXPECT_EQ(0x88888888u, FMTable[0x00]);
    EXPECT_EQ(0xAAAAAAAAu, FMTable[0xFF]);
    for (int b = 0; b < 256; b++) {
        int prev = 0;
        for (int bit = 7; bit >= 0; bit--) {
            int d = (b >> bit) & 1;
            int cells = (MFMTable[b] >> (2 * bit)) & 3;
            ASSERT_EQ((prev == 0 && d == 0) ? 2 : 0, cells & 2) << "byte " << b << " bit " << bit;
            ASSERT_EQ(d, cells & 1);
            ASSERT_EQ(0x8u | (unsigned)d << 1, (FMTable[b] >> (4 * bit)) & 0xF);
            prev = d;
        }
    }
}

TEST(FdiModel, Gap3TableClampsSizeCode) {
    VSector s;
    const int cases[][3] = {// mfm, n, gap3
                            {1, 0, 24}, {1, 1, 54}, {1, 2, 84},  {1, 3, 116}, {1, 7, 116},
                            {0, -1, 27}, {0, 0, 27}, {0, 1, 42}, {0, 2, 58},  {0, 3, 72}};
    for (const auto &c : cases) EXPECT_EQ(c[2], s.CalcGAP3(c[0], c[1])) << c[0] << " " << c[1];
}

TEST(FdiModel, SectorListOperations) {
    VTrack t;
    EXPECT_EQ(nullptr, t.GetSectorByIndex(0));
    EXPECT_EQ(nullptr, t.GetLasttSector());
    AddSectors(t, 3, 1, 2, 84);
    AddSectors(t, 3, 0, 0, 27);
    EXPECT_EQ(3, t.mfmcount);
    EXPECT_EQ(3, t.fmcount);
    EXPECT_EQ(1, t.GetSectorByIndex(-5)->r);
    EXPECT_EQ(2, t.GetSectorByIndex(1)->r);
    EXPECT_EQ(t.GetSectorByIndex(5), t.GetLasttSector());
    EXPECT_EQ(nullptr, t.GetSectorByIndex(6));

    t.flags = TRACK_MFM;
    t.gap1 = 50;
    t.ClrSector();
    EXPECT_EQ(nullptr, t.sectors);
    EXPECT_EQ(0, t.SectorCount());
    EXPECT_EQ((uint32_t)TRACK_MFM, t.flags);
    EXPECT_EQ(50, t.gap1);
    AddSectors(t, 1, 1, 0, 24);
    t.Cleanup();
    EXPECT_EQ(nullptr, t.sectors);
    EXPECT_EQ(0u, t.flags);
    EXPECT_EQ(0, t.gap1);
}

TEST(FdiModel, NominalLengths) {
    struct Case {
        int count, mfm, n, gap3;
        int length, totalmfm;
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
        EXPECT_EQ(c.totalmfm - 2336 + 1128, t.CalcTotalFM());
    }
    // Ties count as MFM (212 bytes of preamble, not 106).
    VTrack mixed;
    AddSectors(mixed, 3, 1, 0, 24);
    AddSectors(mixed, 3, 0, 0, 27);
    EXPECT_EQ(3 * (128 + 2 + 24 + 60) + 3 * (128 + 2 + 27 + 31) + 212, mixed.GetLength());
}

TEST(FdiModel, ShrinkLevelsTheLargestGap3First) {
    VTrack t;
    t.AddSector(MakeSector(1, 1, 0, 84));
    t.AddSector(MakeSector(1, 2, 0, 84));
    t.AddSector(MakeSector(1, 3, 0, 30));
    int total = t.CalcTotalMFM();
    EXPECT_EQ(1, t.ShrinkGapMFM(total));
    EXPECT_EQ(std::vector<int>({84, 84, 30}), Gap3s(t));
    EXPECT_EQ(1, t.ShrinkGapMFM(total - 16));
    EXPECT_EQ(std::vector<int>({83, 84, 30}), Gap3s(t));
    EXPECT_EQ(1, t.ShrinkGapMFM(total - 3 * 16));
    EXPECT_EQ(std::vector<int>({82, 83, 30}), Gap3s(t));
    // Down to the floor of 20 and no further.
    EXPECT_EQ(0, t.ShrinkGapMFM(0));
    EXPECT_EQ(std::vector<int>({20, 20, 20}), Gap3s(t));

    VTrack small;
    small.AddSector(MakeSector(1, 1, 0, 12));
    EXPECT_EQ(0, small.ShrinkGapMFM(100));
    EXPECT_EQ(12, small.sectors->gap3);

    VTrack empty;
    EXPECT_EQ(1, empty.ShrinkGapMFM(2336));
    EXPECT_EQ(0, empty.ShrinkGapMFM(2335));
    EXPECT_EQ(1, empty.ShrinkGapFM(1128));
    EXPECT_EQ(0, empty.ShrinkGapFM(1127));
}

TEST(FdiModel, ShrinkNineSectorsToNinetySevenPercent) {
    VTrack t;
    AddSectors(t, 9, 1, 2, 84);
    EXPECT_EQ(1, t.ShrinkGapMFM(96000 * 97 / 100));
    EXPECT_EQ(std::vector<int>({56, 56, 56, 56, 56, 57, 57, 57, 57}), Gap3s(t));
    EXPECT_LE(t.CalcTotalMFM(), 93120);
}

TEST(FdiModel, GetEncDataReadsCircularly) {
    VTrack t;
    t.encdata = new uint8_t[TRACK_ENC_BYTES]();
    t.cells = 20;  // cells 0..19: 1010 1100 0011 1111 0101
    t.encdata[0] = 0xAC;
    t.encdata[1] = 0x3F;
    t.encdata[2] = 0x50;
    EXPECT_EQ(0xAC, t.GetEncData(0));
    EXPECT_EQ(0xC3, t.GetEncData(4));
    EXPECT_EQ(0x5A, t.GetEncData(16));  // last 4 cells, then the first 4
    EXPECT_EQ(0x5A, t.GetEncData(36));
    EXPECT_EQ(0x5A, t.GetEncData(-4));
}
