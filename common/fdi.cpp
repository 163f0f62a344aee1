// Sector and track model: the cell tables, the CRC, the sector list of a
// track, and the length arithmetic that decides how much of a revolution a
// sector list takes and how its gaps shrink to fit.
#include <climits>
#include <cstdint>

#include "fdi.h"

// ---------------------------------------------------------------------------
// Tables, generated at compile time.
//
// MFM: data bit d becomes the cells (clock, d); the clock cell is 1 only when
// both the previous data bit and d are 0. The table assumes a previous data bit
// of 0; a writer whose previous bit was 1 clears the entry's top cell.
//   data    0  1  0  0  1  1  1  0   = 4E
//   cells  10 01 00 10 01 01 01 00   = 92 54
// FM: every data bit d becomes the four cells 1 0 d 0 (all clock bits set).
//   data       0    0    0    0    0    0    0    0   = 00
//   cells   1000 1000 1000 1000 1000 1000 1000 1000   = 88 88 88 88
// ---------------------------------------------------------------------------
namespace {

constexpr uint16_t CrcEntry(int i) {
    uint16_t crc = (uint16_t)(i << 8);
    for (int b = 0; b < 8; b++)
        crc = (uint16_t)((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    return crc;
}

constexpr uint16_t MfmEntry(int byte) {
    uint16_t cells = 0;
    int prev = 0;
    for (int b = 7; b >= 0; b--) {
        int d = (byte >> b) & 1;
        int clock = (prev == 0 && d == 0) ? 1 : 0;
        cells = (uint16_t)((cells << 2) | clock << 1 | d);
        prev = d;
    }
    return cells;
}

constexpr uint32_t FmEntry(int byte) {
    uint32_t cells = 0;
    for (int b = 7; b >= 0; b--)
        cells = (cells << 4) | 0x8 | (uint32_t)((byte >> b) & 1) << 1;
    return cells;
}

} // namespace

#define ZEL_T4(f, i) f(i), f(i + 1), f(i + 2), f(i + 3)
#define ZEL_T16(f, i) ZEL_T4(f, i), ZEL_T4(f, i + 4), ZEL_T4(f, i + 8), ZEL_T4(f, i + 12)
#define ZEL_T64(f, i) ZEL_T16(f, i), ZEL_T16(f, i + 16), ZEL_T16(f, i + 32), ZEL_T16(f, i + 48)
#define ZEL_T256(f) ZEL_T64(f, 0), ZEL_T64(f, 64), ZEL_T64(f, 128), ZEL_T64(f, 192)

const uint16_t crctbl[256] = {ZEL_T256(CrcEntry)};
const uint16_t MFMTable[256] = {ZEL_T256(MfmEntry)};
const uint32_t FMTable[256] = {ZEL_T256(FmEntry)};

#undef ZEL_T4
#undef ZEL_T16
#undef ZEL_T64
#undef ZEL_T256

namespace {
// The CRC is linear, so eight bytes fold in at once: slice[k][x] is the CRC
// register after byte x followed by k zero bytes, from a zero register.
struct CrcSlices {
    uint16_t t[8][256];
};
constexpr CrcSlices MakeCrcSlices() {
    CrcSlices s{};
    for (int x = 0; x < 256; x++) {
        s.t[0][x] = CrcEntry(x);
        for (int k = 1; k < 8; k++)
            s.t[k][x] = (uint16_t)(CrcEntry(s.t[k - 1][x] >> 8) ^ (s.t[k - 1][x] << 8));
    }
    return s;
}
constexpr CrcSlices kCrcSlices = MakeCrcSlices();

// The register times a 16-bit polynomial, modulo the CRC polynomial: the
// product (carry-less, 31 bits) has its top half folded back in as the
// register would fold two bytes in.
constexpr uint16_t MulMod(uint32_t a, uint32_t b) {
    uint32_t r = 0;
    for (int i = 0; i < 16; i++) r ^= (b << i) & (0u - (a >> i & 1));
    return (uint16_t)(r ^ kCrcSlices.t[1][r >> 24] ^ kCrcSlices.t[0][(r >> 16) & 0xFF]);
}

// skip[j]: x^(8 * 2^j) modulo the polynomial. A zero byte multiplies the
// register by x^8, so a register times skip[j] is that register carried
// past 2^j zero bytes.
struct CrcSkips {
    uint16_t skip[16];
};
constexpr CrcSkips MakeCrcSkips() {
    CrcSkips k{};
    k.skip[0] = 0x100;
    for (int j = 1; j < 16; j++) k.skip[j] = MulMod(k.skip[j - 1], k.skip[j - 1]);
    return k;
}
constexpr CrcSkips kCrcSkips = MakeCrcSkips();

// Eight bytes into the register.
inline uint16_t Crc8(uint16_t crc, const uint8_t *d) {
    const auto &t = kCrcSlices.t;
    return (uint16_t)(t[7][(crc >> 8) ^ d[0]] ^ t[6][(crc & 0xFF) ^ d[1]] ^ t[5][d[2]] ^ t[4][d[3]] ^
                      t[3][d[4]] ^ t[2][d[5]] ^ t[1][d[6]] ^ t[0][d[7]]);
}
} // namespace

uint16_t CalcCRC(const uint8_t *data, int len, uint16_t crc) {
    // A long run goes as two parts at once, each step of one waiting only
    // on its own register: the last 2^j bytes (j the largest with 2^j <=
    // len / 2) from a zero register beside the rest; the CRC is linear, so
    // the whole is the first part's register carried past the second part's
    // bytes, plus the second part's register.
    if (len >= 128) {
        const int j = 31 - __builtin_clz((unsigned)len / 2), nb = 1 << j, na = len - nb;
        const uint8_t *b = data + na;
        uint16_t cb = 0;
        for (int i = 0; i < nb; i += 8) {
            crc = Crc8(crc, data + i);
            cb = Crc8(cb, b + i);
        }
        return (uint16_t)(MulMod(CalcCRC(data + nb, na - nb, crc), kCrcSkips.skip[j]) ^ cb);
    }
    const auto &t = kCrcSlices.t;
    int i = 0;
    for (; i + 8 <= len; i += 8) crc = Crc8(crc, data + i);
    for (; i + 4 <= len; i += 4)
        crc = (uint16_t)(t[3][(crc >> 8) ^ data[i]] ^ t[2][(crc & 0xFF) ^ data[i + 1]] ^ t[1][data[i + 2]] ^
                         t[0][data[i + 3]]);
    for (; i < len; i++)
        crc = (uint16_t)(crctbl[(crc >> 8) ^ data[i]] ^ (crc << 8));
    return crc;
}

// ---------------------------------------------------------------------------
// VSector
// ---------------------------------------------------------------------------

// Nominal GAP3 by size code, the values a uPD765 FORMAT command is usually
// given for 128..1024-byte sectors; larger codes take the 1024-byte value.
int VSector::CalcGAP3(int mfm, int n) const {
    static const int gap[2][4] = {
        {27, 42, 58, 72},  // FM
        {24, 54, 84, 116}, // MFM
    };
    if (n < 0) n = 0;
    if (n > 3) n = 3;
    return gap[mfm ? 1 : 0][n];
}

// ---------------------------------------------------------------------------
// VTrack: the sector list
// ---------------------------------------------------------------------------

void VTrack::Cleanup() {
    ClrSector();
    delete[] encdata;
    encdata = nullptr;
    flags = 0;
    iampos = 0;
    gap1 = gap4a = gap4b = 0;
    cells = 0;
}

void VTrack::ReleaseCells() {
    delete[] encdata;
    encdata = nullptr;
    cells = 0;
}

void VTrack::ClrSector() {
    VSector *s = sectors;
    while (s) {
        VSector *next = s->next;
        delete s;
        s = next;
    }
    sectors = nullptr;
    m_tail = nullptr;
    mfmcount = fmcount = 0;
}

void VTrack::AddSector(VSector *sector) {
    sector->next = nullptr;
    if (!sectors) {
        sectors = sector;
    } else {
        // The remembered last sector holds while the list is only appended
        // to; a list set up by other means is walked once.
        VSector *last = m_tail && !m_tail->next ? m_tail : sectors;
        while (last->next)
            last = last->next;
        last->next = sector;
    }
    m_tail = sector;
    if (sector->mfm)
        mfmcount++;
    else
        fmcount++;
}

VSector *VTrack::GetSectorByIndex(int index) const {
    VSector *s = sectors;
    for (int i = 0; s && i < index; i++)
        s = s->next;
    return s;
}

VSector *VTrack::GetLasttSector() const {
    VSector *s = sectors;
    while (s && s->next)
        s = s->next;
    return s;
}

// The 8 cells from pos on, read circularly, first cell in bit 7.
int VTrack::GetEncData(int pos) const {
    if (!encdata || cells < 1) return 0;
    pos %= cells;
    if (pos < 0) pos += cells;
    int value = 0;
    for (int i = 0; i < 8; i++) {
        int p = pos + i;
        if (p >= cells) p -= cells;
        if (p >= cells) p %= cells; // streams shorter than 8 cells
        value = value << 1 | ((encdata[p >> 3] >> (7 - (p & 7))) & 1);
    }
    return value;
}

// ---------------------------------------------------------------------------
// Length arithmetic
//
// Fixed bytes of one sector, GAP2 counted at its standard length:
//   MFM  SYNC 12 + A1 A1 A1 FE 4 + CHRN 4 + CRC 2 + GAP2 22
//        + SYNC 12 + A1 A1 A1 FB 4 + CRC 2                  = 62
//   FM   SYNC 6 + FE 1 + CHRN 4 + CRC 2 + GAP2 11
//        + SYNC 6 + FB 1 + CRC 2                            = 33
// Sums run in 64 bits: lengths and gaps come from image files.
// ---------------------------------------------------------------------------
namespace {

int64_t TotalCells(const VSector *s, int64_t preamble) {
    int64_t total = preamble;
    for (; s; s = s->next)
        total += s->NominalCells();
    return total;
}

int Saturate(int64_t v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

// Levels the largest GAP3 one byte at a time (never below floor) until the
// nominal total fits the target; among equal GAP3s the first in list order
// goes first. The byte-by-byte order is kept, but whole rounds over the
// sectors sharing the top value are taken at once, so GAP3s of any size
// cost a few passes over the list.
int ShrinkGap(VSector *list, int64_t preamble, int64_t target, int floor) {
    int64_t total = TotalCells(list, preamble);
    if (total <= target) return 1;
    for (;;) {
        int top = INT_MIN;
        for (VSector *s = list; s; s = s->next)
            top = s->gap3 > top ? s->gap3 : top;
        if (top <= floor) return 0; // also an empty list
        int below = floor;          // the next lower GAP3, or the floor
        int64_t round = 0;          // cells saved by one byte off every top GAP3
        for (VSector *s = list; s; s = s->next) {
            if (s->gap3 == top)
                round += s->mfm ? 16 : 32;
            else if (s->gap3 > below)
                below = s->gap3;
        }
        int64_t rounds = (total - target) / round;
        if (rounds > top - below) rounds = top - below;
        for (VSector *s = list; s; s = s->next)
            if (s->gap3 == top) s->gap3 -= (int)rounds;
        total -= rounds * round;
        if (total <= target) return 1;
        if (rounds == top - below) continue; // down to the next value: more sectors share the top
        // Less than a round left: one byte off each top GAP3 in list order.
        for (VSector *s = list; s; s = s->next) {
            if (s->gap3 != top - rounds) continue;
            s->gap3--;
            total -= s->mfm ? 16 : 32;
            if (total <= target) return 1;
        }
    }
}

} // namespace

int VTrack::GetLength() const {
    int64_t sum = 0;
    for (const VSector *s = sectors; s; s = s->next)
        sum += (int64_t)s->length + 2 + s->gap3 + (s->mfm ? 60 : 31);
    if (!sectors || sum == 0) return 0;
    return Saturate(sum + (mfmcount >= fmcount ? 212 : 106));
}

int64_t VSector::NominalCells() const {
    if (mfm) return ((int64_t)length + 62 + gap3) * 16;
    return ((int64_t)length + 33 + gap3) * 32;
}

// Both encoders write the same 2336-cell preamble, so both totals count it.
int VTrack::CalcTotalMFM() const {
    return Saturate(TotalCells(sectors, TRACK_PREAMBLE_CELLS));
}
int VTrack::CalcTotalFM() const {
    return Saturate(TotalCells(sectors, TRACK_PREAMBLE_CELLS));
}
int VTrack::ShrinkGapMFM(int target) {
    return ShrinkGap(sectors, TRACK_PREAMBLE_CELLS, target, 20);
}
int VTrack::ShrinkGapFM(int target) {
    return ShrinkGap(sectors, TRACK_PREAMBLE_CELLS, target, 20);
}

int64_t VTrack::MinimumCells() const {
    int64_t total = TRACK_PREAMBLE_CELLS;
    for (const VSector *s = sectors; s; s = s->next)
        total += s->NominalCells() - (int64_t)(s->gap3 > 0 ? s->gap3 : 0) * (s->mfm ? 16 : 32);
    return total;
}

int VTrack::FitGaps(int count) {
    const int64_t spare = (int64_t)count * 97 / 100;
    if (TotalCells(sectors, TRACK_PREAMBLE_CELLS) <= count) return 1;
    return ShrinkGap(sectors, TRACK_PREAMBLE_CELLS, spare, 20) ||
           ShrinkGap(sectors, TRACK_PREAMBLE_CELLS, spare, 0) || ShrinkGap(sectors, TRACK_PREAMBLE_CELLS, count, 0);
}

// ---------------------------------------------------------------------------
// Ranking of reads
//
// Weighed so that a lower rank can never outweigh a higher one:
//   bits 31..24  sectors read without an error (up to 255)
//   bits 23..16  255 less the sectors with an ID CRC error, a data CRC error
//                or no data field (at most 255 counted)
//   bit  15      the index address mark was found
//   bits 14..0   noise pulses removed (up to 0x7FFF)
// A read with more good sectors wins, then the one with fewer bad ones; the
// index mark only decides between reads equal in both.
// ---------------------------------------------------------------------------

uint32_t ScoreTrack(const VTrack &track, int noise) {
    uint32_t good = 0, bad = 0;
    for (const VSector *s = track.sectors; s; s = s->next) {
        if (s->status & (SECTOR_IDCRC | SECTOR_DATACRC | SECTOR_NODATA))
            bad++;
        else
            good++;
    }
    uint32_t score = (good < 255 ? good : 255) << 24 | (255 - (bad < 255 ? bad : 255)) << 16;
    if (track.flags & TRACK_IAM) score |= 0x8000u;
    uint32_t removed = noise > 0 ? (uint32_t)noise : 0;
    return score | (removed < 0x7FFFu ? removed : 0x7FFFu);
}
