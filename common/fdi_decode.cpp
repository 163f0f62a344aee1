// FM/MFM track decoder: one revolution of cells (or raw samples) becomes the
// sector list a floppy controller would read from it, with CRC checks, the
// gaps measured between the fields and the defects of the track as flags.
//
// Two controller families are imitated (the analyze mode):
//   uPD765 (0)      ID mark FE only; length 128 << N, 16384 for N > 7
//   MB8877 (other)  ID marks FC FD FE FF; length 128 << (N & 3)
//
// Marks are found where the track's sync runs end (SyncRuns, one pass over the
// stream, the same matches BfFind gives); fields are read 64 cells at a time
// and their data bits gathered by masks and shifts.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes.h"
#include "fdi.h"
#include "zel.h"

namespace {

// Search patterns, as cells. MFM 00 is AA AA (2A AA after a data bit 1, which
// is why the runs searched are shorter than the 12-byte SYNC); FM 00 is
// 88 88 88 88. The mark cells are drawn in fdi_encode.cpp.
const uint8_t kAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,    // 5 x 00
                             0xAA, 0xAA, 0x44, 0x89, 0x44, 0x89, 0x44, 0x89};   // A1 A1 A1
const uint8_t kAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,     // 2.5 x 00
                            0x88, 0x88, 0xAA, 0x22};                            // mark, clock C7
const uint8_t kIAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,   // 4 x 00
                              0x52, 0x24, 0x52, 0x24, 0x52, 0x24, 0x55, 0x52};  // C2 C2 C2 FC
const uint8_t kIAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,    // 2 x 00
                             0xAA, 0x2A, 0x2A, 0x88};                           // FC/D7
const uint8_t kDAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,   // 4 x 00
                              0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x45};  // A1 A1 A1 FB
const uint8_t kDDAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,  // 4 x 00
                               0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x4A}; // A1 A1 A1 F8
const uint8_t kDAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,    // 2 x 00
                             0xAA, 0x22, 0x28, 0xAA};                           // FB/C7
const uint8_t kDDAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,   // 2 x 00
                              0xAA, 0x22, 0x28, 0x88};                          // F8/C7

// The 16 cells of a mark byte (after A1 A1 A1 in MFM; the second half of the
// FM mark, whose first half AA 22 the search already matched).
enum : uint32_t {
    MFM_FE = 0x5554,
    MFM_FC = 0x5552,
    MFM_FD = 0x5551,
    MFM_FF = 0x5555,
    MFM_FB = 0x5545,
    MFM_F8 = 0x554A,
    FM_FE = 0x2AA8,
    FM_FC = 0x2A88,
    FM_FD = 0x2A8A,
    FM_FF = 0x2AAA,
    FM_FB = 0x28AA,
    FM_F8 = 0x2888,
};

// The patterns prepared once (their filter tables and sync runs).
struct decoderpatterns_t {
    BfPattern am[2] = {{kAM_FM, 96}, {kAM_MFM, 128}};  // by density: [0] FM, [1] MFM
    BfPattern iam[2] = {{kIAM_FM, 96}, {kIAM_MFM, 128}};
    BfPattern dam[2] = {{kDAM_FM, 96}, {kDAM_MFM, 128}};
    BfPattern ddam[2] = {{kDDAM_FM, 96}, {kDDAM_MFM, 128}};
};
const decoderpatterns_t &Patterns() {
    static const decoderpatterns_t patterns;
    return patterns;
}

// A scan records at most MAX_SCAN marks of its density (ID and data marks
// alike) and keeps at most MAX_IDS of them as ID marks; the candidate list
// has room for both densities' ID marks and its end marker, so no kept mark
// is lost on the way to the sector reader.
enum { MAX_SCAN = 192, MAX_IDS = 96, MAX_CANDIDATES = 2 * MAX_IDS };
enum { TYPE_END = 0, TYPE_MFM = 1, TYPE_FM = 2 };

// Data bits of a cell byte: MFM keeps the odd cells (bits 6 4 2 0), FM the
// third cell of each four (bits 5 and 1).
struct SplitTables {
    uint8_t mfm[256];
    uint8_t fm[256];
};
constexpr SplitTables MakeSplitTables() {
    SplitTables t{};
    for (int b = 0; b < 256; b++) {
        t.mfm[b] = (uint8_t)(((b >> 3) & 8) | ((b >> 2) & 4) | ((b >> 1) & 2) | (b & 1));
        t.fm[b] = (uint8_t)(((b >> 4) & 2) | ((b >> 1) & 1));
    }
    return t;
}
constexpr SplitTables kSplit = MakeSplitTables();

// Circular reader of a cell stream of `count` cells held in (count + 7) / 8
// bytes. Word reads stay within those bytes; near the wrap point they fall
// back to single cells taken modulo count.
class CellReader {
  public:
    CellReader(const uint8_t *buf, int count) : m_buf(buf), m_count(count), m_bytes((count + 7) / 8) {}

    // The n (<= 32) cells from pos on, the first in bit n - 1.
    uint32_t Cells(int pos, int n) const {
        pos = Wrap(pos);
        int byte = pos >> 3;
        if (pos + n <= m_count && byte + 5 <= m_bytes) {
            uint64_t w = 0;
            for (int i = 0; i < 5; i++)
                w = w << 8 | m_buf[byte + i];
            return (uint32_t)((w >> (40 - (pos & 7) - n)) & ((1ull << n) - 1));
        }
        uint32_t v = 0;
        for (int i = 0; i < n; i++) {
            int p = pos + i;
            while (p >= m_count)
                p -= m_count;
            v = v << 1 | ((m_buf[p >> 3] >> (7 - (p & 7))) & 1);
        }
        return v;
    }

    // count data bytes from pos on; returns the position after them. While
    // a byte's cells lie before the wrap point and an 8-byte load at its
    // first cell stays in the buffer, the cells come from one big-endian
    // load shifted to the cell offset; only the last few bytes of the
    // stream go through the wrapping path.
    int Bytes(int pos, uint8_t *out, int count, int mfm) const {
        const int cpb = mfm ? 16 : 32;
        pos = Wrap(pos);
        // Whole words first: 64 cells from one load (and one byte more for
        // the cell offset) give 4 MFM or 2 FM data bytes, their data cells
        // gathered by masks and shifts.
        const int per = mfm ? 4 : 2;
        int words = std::min({count / per, (m_count - pos) / 64, (m_bytes - 9 - (pos >> 3)) / 8 + 1});
        if (words > 0) {
            const uint8_t *p = m_buf + (pos >> 3);
            const int sh = pos & 7;
            // One loop per density and cell offset: the masks stay in
            // registers and every shift is by a constant.
            (mfm ? kWordsMFM : kWordsFM)[sh](p, out, words);
            out += words * per;
            count -= words * per;
            pos += words * 64;
            if (pos >= m_count) pos -= m_count;
        }
        // Bytes before the wrap point whose 8-byte load stays in the buffer;
        // every one shares the cell offset within its first byte.
        const int lastLoad = 8 * (m_bytes - 8) + 7 - pos;  // room for 8-byte loads
        int fast = lastLoad < 0 ? 0 : std::min((m_count - pos) / cpb, lastLoad / cpb + 1);
        fast = std::max(0, std::min(count, fast));
        const uint8_t *src = m_buf + (pos >> 3);
        const int sh = pos & 7;
        for (int i = 0; i < fast; i++, src += cpb / 8)
            out[i] = Split((uint32_t)((GetBE64(src) << sh) >> 32), mfm);
        pos += fast * cpb;
        for (int i = fast; i < count; i++) {
            out[i] = Split(mfm ? Cells(pos, 16) << 16 : Cells(pos, 32), mfm);
            pos = Wrap(pos + cpb);
        }
        return Wrap(pos);
    }

    // The 64 cells from cell SH (0..7) of p[0] on, the first in bit 63.
    template <int SH>
    static uint64_t Word64(const uint8_t *p) {
        if constexpr (SH == 0) return GetBE64(p);
        else return GetBE64(p) << SH | (uint64_t)(p[8] >> (8 - SH));
    }
    // The data bytes of words whole 64-cell words from cell SH of p[0] on.
    template <int SH>
    static void WordsMFM(const uint8_t *p, uint8_t *out, int words) {
        for (int i = 0; i < words; i++, p += 8, out += 4) PutBE32(out, GatherMFM(Word64<SH>(p)));
    }
    template <int SH>
    static void WordsFM(const uint8_t *p, uint8_t *out, int words) {
        for (int i = 0; i < words; i++, p += 8, out += 2) PutBE16(out, GatherFM(Word64<SH>(p)));
    }
    typedef void (*wordsfn_t)(const uint8_t *, uint8_t *, int);
    static constexpr wordsfn_t kWordsMFM[8] = {WordsMFM<0>, WordsMFM<1>, WordsMFM<2>, WordsMFM<3>,
                                               WordsMFM<4>, WordsMFM<5>, WordsMFM<6>, WordsMFM<7>};
    static constexpr wordsfn_t kWordsFM[8] = {WordsFM<0>, WordsFM<1>, WordsFM<2>, WordsFM<3>,
                                              WordsFM<4>, WordsFM<5>, WordsFM<6>, WordsFM<7>};

    // The 32 data bits of 64 MFM cells (first cell in bit 63): every second
    // cell, from the second on.
    static uint32_t GatherMFM(uint64_t w) {
        uint64_t x = w & 0x5555555555555555ull;
        x = (x | x >> 1) & 0x3333333333333333ull;
        x = (x | x >> 2) & 0x0F0F0F0F0F0F0F0Full;
        x = (x | x >> 4) & 0x00FF00FF00FF00FFull;
        x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
        return (uint32_t)(x | x >> 16);
    }
    // The 16 data bits of 64 FM cells: the third cell of every four.
    static uint32_t GatherFM(uint64_t w) {
        uint64_t x = w >> 1 & 0x1111111111111111ull;
        x = (x | x >> 3) & 0x0303030303030303ull;
        x = (x | x >> 6) & 0x000F000F000F000Full;
        x = (x | x >> 12) & 0x000000FF000000FFull;
        return (uint32_t)((x | x >> 24) & 0xFFFF);
    }

    // The data byte of the cells in w, the first cell in bit 31: 16 cells
    // for MFM, 32 for FM.
    static uint8_t Split(uint32_t w, int mfm) {
        if (mfm) return (uint8_t)(kSplit.mfm[w >> 24] << 4 | kSplit.mfm[(w >> 16) & 0xFF]);
        return (uint8_t)(kSplit.fm[w >> 24] << 6 | kSplit.fm[(w >> 16) & 0xFF] << 4 |
                         kSplit.fm[(w >> 8) & 0xFF] << 2 | kSplit.fm[w & 0xFF]);
    }

    int Wrap(int pos) const {
        if (pos >= 0 && pos < m_count) return pos;
        pos %= m_count;
        return pos < 0 ? pos + m_count : pos;
    }

  private:
    const uint8_t *m_buf;
    int m_count;
    int m_bytes;
};

// The sync runs of a track, found in one pass, so that every mark search of
// a decode looks only where a run ends instead of passing over the track.
//
// Every mark pattern opens with a sync run of run >= 63 cells that repeats
// every four cells, and the cell after the run breaks that rhythm. In the
// stream, a match at m then lies inside a stretch of that rhythm which ends
// exactly at m + run and holds at least one whole aligned 32-bit word. The
// aligned words of such a stretch are all the same word (32 is a multiple
// of 4), so it shows as a group of equal consecutive words that repeat
// every four cells, and it goes on past the group's last word k for as many
// cells as the word after k agrees with the group's word: that fixes its
// end, and with it the one start a match from that group can have. Find
// checks just that start, group by group in stream order, and so returns
// the first match as BfFind would.
class SyncRuns {
  public:
    SyncRuns(const uint8_t *buf, int count) : m_buf(buf), m_count(count), m_bytes((count + 7) / 8) {
        const int words = count / 32;  // aligned words wholly inside the stream
        m_groups.reserve(128);          // a formatted track's sync fields, and some
        uint32_t prev = 0;             // word of the group the last word closed, or 0
        auto add = [&](int k, uint32_t w) {
            if (w != ((w >> 4) | (w << 28)) || w == 0 || w == 0xFFFFFFFFu) {
                prev = 0;
            } else if (w == prev) {
                m_groups.back().last = k;
            } else {
                m_groups.push_back({k, w, 0});
                prev = w;
            }
        };
        int k = 0;
        // Four words two loads at a time: a word that repeats every four
        // cells is one nibble eight times, whatever the order of its bytes,
        // which one shift and xor tell for both halves of a load (28 bits
        // each); a half left all 0 by that test borrows from its top bit
        // when 1 is taken from it (a half below it doing so too only adds to
        // that). The loads are in the machine's byte order until a word
        // passes.
        const uint64_t within = 0x0FFFFFFF0FFFFFFFull, ones = 0x0000000100000001ull;
        const uint64_t tops = 0x8000000080000000ull;
        auto some = [&](uint64_t x) { return (((x ^ x >> 4) & within) - ones) & tops; };
        for (; k + 3 < words; k += 4) {
            uint64_t x, y;
            memcpy(&x, buf + 4 * k, 8);
            memcpy(&y, buf + 4 * k + 8, 8);
            if (!(some(x) | some(y))) {
                prev = 0;
                continue;
            }
            x = GetBE64(buf + 4 * k), y = GetBE64(buf + 4 * k + 8);
            add(k, (uint32_t)(x >> 32));
            add(k + 1, (uint32_t)x);
            add(k + 2, (uint32_t)(y >> 32));
            add(k + 3, (uint32_t)y);
        }
        for (; k < words; k++)
            add(k, (uint32_t)buf[4 * k] << 24 | buf[4 * k + 1] << 16 | buf[4 * k + 2] << 8 | buf[4 * k + 3]);
        // Where each stretch ends: past the group by the cells the next word
        // shares with it. A stretch that reaches the end of the stream may
        // seem to end anywhere beyond it (the bits there are padding), which
        // puts its match start past the last start that does not wrap.
        for (group_t &g : m_groups) {
            const int after = 32 * g.last + 32;
            g.end = after + __builtin_clz((Load32(after) ^ g.word) | 1);
        }
    }

    // BfFind(buf, count, start, range, pat).
    int Find(int start, int range, const BfPattern &pat) const {
        const int patbits = pat.len;
        if (!pat.run || pat.run >= patbits) return BfFind(m_buf, m_count, start, range, pat);
        if (m_count <= 0 || range < patbits) return -1;
        const int kmax = (int)std::min<int64_t>((int64_t)range - patbits, m_count - 1);
        int q0 = start % m_count;
        if (q0 < 0) q0 += m_count;
        const int lastLinear = m_count - patbits;  // last start whose match does not wrap
        for (int k = 0; k <= kmax;) {
            int q = (int)(((int64_t)q0 + k) % m_count);
            int n, r;
            if (q <= lastLinear) {
                n = std::min(kmax - k, lastLinear - q) + 1;
                r = FindLinear(q, n, pat);
            } else {  // matches that wrap: a few starts, searched as they are
                n = std::min(kmax - k, m_count - 1 - q) + 1;
                r = BfFind(m_buf, m_count, q, n + patbits - 1, pat);
            }
            if (r >= 0) return k + r;
            k += n;
        }
        return -1;
    }

  private:
    struct group_t {
        int last;       // its last word, at cell 32 * last
        uint32_t word;  // the word every one of its words is
        int end;        // the first cell past the stretch of its rhythm
    };

    // The 32 cells from pos on (pos >= 0), the first in bit 31; cells past
    // the buffer read as 0.
    uint32_t Load32(int pos) const {
        const int b = pos >> 3, sh = pos & 7;
        uint64_t v = 0;
        if (b + 8 <= m_bytes) {
            v = GetBE64(m_buf + b);
        } else {
            for (int i = 0; i < 8; i++) v = v << 8 | (b + i < m_bytes ? m_buf[b + i] : 0);
        }
        return (uint32_t)(v << sh >> 32);
    }

    // The first match at q .. q + n - 1, none of which wraps: its offset from q.
    int FindLinear(int q, int n, const BfPattern &pat) const {
        const int stop = q + n;
        // Groups in order of their stretch's end, and so of their one start.
        auto g = std::partition_point(m_groups.begin(), m_groups.end(),
                                      [&](const group_t &x) { return x.end - pat.run < q; });
        for (; g != m_groups.end() && g->end - pat.run < stop; ++g) {
            const uint32_t w = g->word;
            if (w != pat.sync[0] && w != pat.sync[1] && w != pat.sync[2] && w != pat.sync[3]) continue;
            const int m = g->end - pat.run;
            if (pat.Matches([&](int j) { return Load32(m + j); })) return m - q;
        }
        return -1;
    }

    const uint8_t *m_buf;
    int m_count, m_bytes;
    std::vector<group_t> m_groups;
};

// Mark positions (match + 80) of every sync run with a mark after it, in
// ascending order. The disk turns without a seam, so a run may begin before
// the end of the stream and end after its start: the search reaches past the
// end, and such a mark's position is taken round the circle.
int ScanMarks(const SyncRuns &runs, int count, const BfPattern &pattern, int step, int *out) {
    const int patbits = pattern.len;
    int n = 0;
    int pos = 0;
    while (pos < count && n < MAX_SCAN) {
        int off = runs.Find(pos, count - pos + patbits - 1, pattern);
        if (off < 0) break;
        out[n++] = (int)(((int64_t)pos + off + 80) % count);
        pos += off + step;
    }
    std::sort(out, out + n);
    return n;
}

bool IsIdMark(uint32_t word, int mfm, int analyze) {
    if (mfm) {
        if (word == MFM_FE) return true;
        return analyze != ANALYZE_UPD765 && (word == MFM_FC || word == MFM_FD || word == MFM_FF);
    }
    if (word == FM_FE) return true;
    return analyze != ANALYZE_UPD765 && (word == FM_FC || word == FM_FD || word == FM_FF);
}

bool IsDataMark(uint32_t word, int mfm) {
    return mfm ? (word == MFM_FB || word == MFM_F8) : (word == FM_FB || word == FM_F8);
}

int DataLength(int n, int analyze) {
    if (analyze != ANALYZE_UPD765) return 128 << (n & 3);
    return n <= 7 ? 128 << n : 16384;
}

// Whether cell x lies in a sector's [idpos, endpos], which may wrap.
bool Within(int x, const VSector *b) {
    if (b->idpos <= b->endpos) return b->idpos <= x && x <= b->endpos;
    return x >= b->idpos || x <= b->endpos;
}

bool HasData(const VSector *s) {
    return !(s->status & SECTOR_NODATA);
}

// Reads the sector at every candidate ID mark into t, then measures gaps.
void ReadSectors(VTrack &t, const SyncRuns &runs, const uint8_t *buf, int count, const int (*candidates)[2],
                 int mfmtrack, int analyze);

} // namespace

// ---------------------------------------------------------------------------
// Decode: cells in, sector list out.
// ---------------------------------------------------------------------------

void VTrack::Decode(int raw, const uint8_t *buf, int count, int analyze) {
    Decode(raw, buf, count, analyze, DECODE_ALL);
}

void VTrack::Decode(int raw, const uint8_t *buf, int count, int analyze, int options) {
    Cleanup();
    const bool keep = (options & DECODE_CELLS) != 0;
    // The cells decoded: encdata when kept, else the caller's cells as they
    // are, or those clock recovery makes of its samples in a buffer of the
    // decode's own.
    std::unique_ptr<uint8_t[]> own;
    if (keep) encdata = new uint8_t[TRACK_ENC_BYTES];
    else if (raw && buf && count > 0) own.reset(new uint8_t[TRACK_ENC_BYTES]);
    uint8_t *made = keep ? encdata : own.get();
    const uint8_t *stream = made;
    size_t filled = 0;  // leading bytes written; the rest of encdata reads as 0
    if (buf && count > 0) {
        if (!raw) {
            cells = count < TRACK_MAX_CELLS ? count : TRACK_MAX_CELLS;
            filled = (size_t)(cells + 7) / 8;
            if (keep) memcpy(encdata, buf, filled);
            else stream = buf;
        } else {
            memset(made, 0, TRACK_ENC_BYTES);
            filled = TRACK_ENC_BYTES;
            // Only as many samples as the cell buffer can take are read: more
            // would wrap around the buffer and over the cells already made.
            if (count > TRACK_MAX_CELLS * 8) count = TRACK_MAX_CELLS * 8;
            int n = Raw2Encode(buf, count, made, TRACK_MAX_CELLS);
            cells = n < 0 ? 0 : (n < TRACK_MAX_CELLS ? n : TRACK_MAX_CELLS);
        }
    }
    if (keep) memset(encdata + filled, 0, TRACK_ENC_BYTES - filled);
    if (cells < 1) {
        flags = TRACK_UNFORMAT;
        return;
    }

    CellReader rd(stream, cells);
    const SyncRuns runs(stream, cells);
    int mfmmarks[MAX_SCAN], fmmarks[MAX_SCAN];
    int nmfm = ScanMarks(runs, cells, Patterns().am[1], 128, mfmmarks);
    int nfm = ScanMarks(runs, cells, Patterns().am[0], 96, fmmarks);
    if (nmfm == 0 && nfm == 0) {
        flags = TRACK_UNFORMAT;
        return;
    }

    // Sort the marks into ID marks (kept, first MAX_IDS by position) and data
    // marks (counted); everything else after a sync run is ignored.
    int mfmids[MAX_IDS], fmids[MAX_IDS];
    int nmfmid = 0, nfmid = 0, datamarks = 0;
    for (int i = 0; i < nmfm; i++) {
        uint32_t word = rd.Cells(mfmmarks[i] + 48, 16);
        if (IsIdMark(word, 1, analyze)) {
            if (nmfmid < MAX_IDS) mfmids[nmfmid++] = mfmmarks[i];
        } else if (IsDataMark(word, 1)) {
            datamarks++;
        }
    }
    for (int i = 0; i < nfm; i++) {
        uint32_t word = rd.Cells(fmmarks[i] + 16, 16);
        if (IsIdMark(word, 0, analyze)) {
            if (nfmid < MAX_IDS) fmids[nfmid++] = fmmarks[i];
        } else if (IsDataMark(word, 0)) {
            datamarks++;
        }
    }
    if (nmfmid == 0 && nfmid == 0) {
        flags = TRACK_UNFORMAT;
        return;
    }
    if (datamarks > nmfmid + nfmid) flags |= TRACK_MANYDAM;

    // Merge by position; an FM mark goes first at an equal position.
    int candidates[MAX_CANDIDATES + 1][2];
    int n = 0;
    for (int i = 0, j = 0; i < nmfmid || j < nfmid;) {
        if (j < nfmid && (i >= nmfmid || fmids[j] <= mfmids[i])) {
            candidates[n][0] = fmids[j++];
            candidates[n++][1] = TYPE_FM;
        } else {
            candidates[n][0] = mfmids[i++];
            candidates[n++][1] = TYPE_MFM;
        }
    }
    candidates[n][0] = 0;
    candidates[n][1] = TYPE_END;
    ReadSectors(*this, runs, stream, cells, candidates, nmfmid >= nfmid, analyze);

    if (!raw || !sectors || !(options & DECODE_RATES)) return;

    std::vector<int> pos;
    std::vector<VSector *> measured;
    RateMarks(pos, measured);
    if (measured.empty()) return;
    Enc2RawPosMulti(buf, count, pos.data(), (int)pos.size());
    SetRates(measured, pos.data(), count);
}

void VTrack::RateMarks(std::vector<int> &pos, std::vector<VSector *> &fields) const {
    for (VSector *s = sectors; s; s = s->next) {
        if (!HasData(s)) continue;
        int start = (s->dampos - 192) % cells;  // 12 MFM or 6 FM bytes of SYNC
        pos.push_back(start < 0 ? start + cells : start);
        pos.push_back(s->endpos);
        fields.push_back(s);
    }
}

void VTrack::SetRates(const std::vector<VSector *> &fields, const int *pos, int len) {
    for (size_t i = 0; i < fields.size(); i++) {
        VSector *s = fields[i];
        int start = pos[2 * i], end = pos[2 * i + 1];
        if (start < 0 || end < 0) continue;
        int64_t span = end - start;
        if (span < 0) span += len;
        int64_t length = span / 8;
        int64_t nominal = (int64_t)s->length * (s->mfm ? 16 : 32) + 288;
        int64_t deviation = (length ? length : nominal) * 1000 / nominal - 1000;
        if (deviation < -300) deviation = -300;
        if (deviation > 300) deviation = 300;
        s->rate = (int32_t)deviation;
    }
}

// ---------------------------------------------------------------------------
// DecodeIn: reads the sector at every candidate ID mark, then measures gaps.
// ---------------------------------------------------------------------------

void VTrack::DecodeIn(const uint8_t *buf, int count, const int (*candidates)[2], int mfmtrack, int analyze) {
    ClrSector();
    if (!buf || count < 1) return;
    ReadSectors(*this, SyncRuns(buf, count), buf, count, candidates, mfmtrack, analyze);
}

namespace {

void ReadSectors(VTrack &t, const SyncRuns &runs, const uint8_t *buf, int count, const int (*candidates)[2],
                 int mfmtrack, int analyze) {
    uint32_t &flags = t.flags;
    CellReader rd(buf, count);

    // Per density: cells per byte, and the SYNC allowance before a mark.
    const int trackcpb = mfmtrack ? 16 : 32;
    const int tracksync = mfmtrack ? 192 : 384;

    const int iambits = mfmtrack ? 128 : 96;
    int iam = runs.Find(0, count + iambits - 1, Patterns().iam[mfmtrack ? 1 : 0]);
    if (iam >= 0) {
        flags |= TRACK_IAM;
        t.iampos = (int)(((int64_t)iam + 64) % count);
    }

    // Unwrapped end of every sector's data field, in list order.
    std::vector<int64_t> ends;
    ends.reserve(MAX_CANDIDATES);

    for (int i = 0; candidates[i][1] != TYPE_END; i++) {
        const int p = candidates[i][0];
        const int type = candidates[i][1];
        const int mfm = type == TYPE_MFM;
        const int cpb = mfm ? 16 : 32;

        // ID: MFM A1 A1 A1 mark C H R N CRC CRC; FM mark C H R N CRC CRC.
        uint8_t id[10];
        const int idbytes = mfm ? 10 : 7;
        rd.Bytes(p, id, idbytes, mfm);
        const bool idok = CalcCRC(id, idbytes - 2) == (id[idbytes - 2] << 8 | id[idbytes - 1]);
        const uint8_t *chrn = id + idbytes - 6;
        const int idend = p + (mfm ? 160 : 224);
        const int length = DataLength(chrn[3], analyze);

        // The data mark lies between the ID and the next ID of the same
        // density, taken round the circle: after the last ID the search goes
        // on past the index up to the first. The first of FB and F8 wins.
        int winend = -1;
        for (int k = i + 1; winend < 0 && candidates[k][1] != TYPE_END; k++)
            if (candidates[k][1] == type) winend = candidates[k][0];
        for (int k = 0; winend < 0; k++)
            if (candidates[k][1] == type) winend = candidates[k][0] + count;
        const int patbits = mfm ? 128 : 96;
        int found = -1, deleted = 0;
        if (winend - idend >= patbits) {
            found = runs.Find(idend, winend - idend, Patterns().dam[mfm]);
            int range = found >= 0 ? found + patbits - 1 : winend - idend;
            int del = runs.Find(idend, range, Patterns().ddam[mfm]);
            if (del >= 0) {
                found = del;
                deleted = 1;
            }
        }

        VSector *s = new VSector;
        s->mfm = mfm;
        s->c = chrn[0];
        s->h = chrn[1];
        s->r = chrn[2];
        s->n = chrn[3];
        s->length = length;
        // Filled below from the data field; zeros when there is none.
        s->data = found < 0 ? new uint8_t[length]() : new uint8_t[length];
        s->datacells = length * cpb;
        s->idcrc[0] = id[idbytes - 2];
        s->idcrc[1] = id[idbytes - 1];
        s->idpos = p;
        if (!idok) s->status |= SECTOR_IDCRC;
        t.AddSector(s);
        flags |= mfm ? TRACK_MFM : TRACK_FM;
        if (!idok) flags |= TRACK_IDCRC;

        if (found < 0) {
            s->status |= SECTOR_NODATA;
            flags |= TRACK_NODATA;
            ends.push_back(0);
            continue;
        }
        if (deleted) s->status |= SECTOR_DELETED;
        s->gap2 = (found + 64 - 192) / cpb;

        // Data field: MFM A1 A1 A1 mark data CRC CRC; FM mark data CRC CRC.
        const int d = idend + found + 64;
        const int head = mfm ? 4 : 1;
        uint8_t mark[4];
        int at = rd.Bytes(d, mark, head, mfm);
        at = rd.Bytes(at, s->data, length, mfm);
        rd.Bytes(at, s->datacrc, 2, mfm);
        s->dampos = d;
        s->datapos = d + (mfm ? 64 : 32);
        ends.push_back((int64_t)d + (int64_t)length * cpb + 96);
        if (CalcCRC(s->data, length, CalcCRC(mark, head)) != (s->datacrc[0] << 8 | s->datacrc[1])) {
            s->status |= SECTOR_DATACRC;
            flags |= TRACK_DATACRC;
        }
    }

    if (!t.sectors) return;

    // GAP3: from the end of a data field to the SYNC of the next ID.
    size_t k = 0;
    for (VSector *s = t.sectors; s; s = s->next, k++) {
        if (!HasData(s)) continue;
        const int cpb = s->mfm ? 16 : 32;
        const int sync = s->mfm ? 192 : 384;
        if (!s->next) {
            s->gap3 = ends[k] < count ? (int)((count - ends[k]) / cpb) : 0;
        } else if (s->next->idpos > ends[k]) {
            int gap = (int)((s->next->idpos - ends[k] - sync) / cpb);
            s->gap3 = gap > 0 ? gap : 0;
        }
    }

    // GAP1: from the index mark to the SYNC of the first ID after it.
    if (flags & TRACK_IAM) {
        for (VSector *s = t.sectors; s; s = s->next) {
            if (s->idpos > t.iampos) {
                t.gap1 = (s->idpos - tracksync - t.iampos - (mfmtrack ? 64 : 32)) / trackcpb;
                break;
            }
        }
    }

    // GAP4b: after the data field that ends last; that sector has no GAP3.
    VSector *lastend = nullptr;
    int64_t maxend = -1;
    k = 0;
    for (VSector *s = t.sectors; s; s = s->next, k++) {
        if (ends[k] > maxend) {
            maxend = ends[k];
            lastend = s;
        }
    }
    if (lastend) {
        t.gap4b = maxend < count ? (int)((count - maxend) / trackcpb) : 0;
        lastend->gap3 = 0;
    }

    // Positions into the stream; a data field that runs past the end wraps.
    k = 0;
    for (VSector *s = t.sectors; s; s = s->next, k++) {
        s->endpos = HasData(s) ? (int32_t)(ends[k] % count) : 0;
        if (ends[k] > count) flags |= TRACK_STRADDLE;
    }

    // GAP4a: before the index mark (or the first ID); a data field wrapped
    // from the end of the track takes its share of it.
    int gap = ((flags & TRACK_IAM) ? t.iampos - tracksync : t.sectors->idpos - tracksync) / trackcpb;
    if (ends.back() > count) gap -= t.GetLasttSector()->endpos / trackcpb;
    t.gap4a = gap > 0 ? gap : 0;

    // Overlap: a sector's ID or data end inside another sector's extent.
    for (VSector *a = t.sectors; a && !(flags & TRACK_OVERLAP); a = a->next) {
        for (VSector *b = t.sectors; b; b = b->next) {
            if (a == b || !HasData(b)) continue;
            if (Within(a->idpos, b) || (HasData(a) && Within(a->endpos, b))) {
                flags |= TRACK_OVERLAP;
                break;
            }
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// BfSplitClock: plain clock splitting, with an optional imitation of a read
// head over a stretch without flux (random bits and a wandering position).
// ---------------------------------------------------------------------------

namespace {
uint32_t g_noise = 2463534242u; // xorshift32 state, one for the program
uint32_t NextNoise() {
    uint32_t x = g_noise;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return g_noise = x;
}
} // namespace

int VTrack::BfSplitClock(const uint8_t *cells, int count, int start, uint8_t *out, int bytes, int mfm,
                         int noise) {
    if (!cells || !out || count < 1 || bytes < 1) return 0;
    CellReader rd(cells, count);
    if (!noise) {
        rd.Bytes(start, out, bytes, mfm);
        return bytes * (mfm ? 16 : 32);
    }
    const int step = mfm ? 2 : 4;    // cells per data bit
    const int dataoff = mfm ? 1 : 2; // data cell within them
    int pos = start, zeros = 0;
    for (int i = 0; i < bytes; i++) {
        int value = 0;
        for (int b = 0; b < 8; b++) {
            int bit = 0;
            for (int c = 0; c < step; c++) {
                int cell = (int)rd.Cells(pos + c, 1);
                zeros = cell ? 0 : zeros + 1;
                if (c == dataoff) bit = cell;
            }
            if (!bit && zeros >= 4) {
                uint32_t r = NextNoise();
                bit = (int)(r & 1);
                pos += (int)((r >> 1) % 7) - 3;
            }
            value = value << 1 | bit;
            pos += step;
        }
        out[i] = (uint8_t)value;
    }
    return pos - start;
}
