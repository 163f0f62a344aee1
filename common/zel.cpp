// Bitstream core: clock recovery, cell/sample conversions, raw correction,
// pattern search, cell-to-sample mapping and noise cancelling.
//
// Everything that looks at pulses goes through one rising-edge scan
// (zel_edges.h): the raw stream is read 64 samples a load with its first
// sample in bit 0, its rising edges are
//
//     edges = w & ~((w << 1) | prevbit)
//
// where prevbit is the sample before the word, and the scan steps from edge
// to edge with e & (e - 1). Words without an edge cost one load and a test;
// the bits past the end of the stream are masked off, so only the interval
// across the seam needs separate care. Walks that erase pulses erase only
// behind the edge they are at, so an edge ahead (a set sample after a clear
// one, both ahead) is the same whenever its word is read; walks over dense
// noise take the edges of a word together where nothing they could do
// depends on one edge at a time.
#include "zel.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "zel_edges.h"

namespace {

using zeledges::Load64Reversed;
using zeledges::ScanEdges;

int Bytes(int bits) { return bits > 0 ? (int)(((int64_t)bits + 7) / 8) : 0; }

// Clears the (bits + 7) / 8 bytes of a stream (none, and no access, for 0).
void Zero(uint8_t *buf, int bits) {
    if (bits > 0) memset(buf, 0, (size_t)Bytes(bits));
}

// The 32 bits at pos (pos >= 0) of a buffer of nbytes bytes; bits past the
// buffer read as 0, so a load near the end never touches memory beyond it.
uint32_t Peek32(const uint8_t *buf, int nbytes, int64_t pos) {
    int64_t b = pos >> 3;
    int sh = (int)(pos & 7);
    uint64_t v = 0;
    if (b + 8 <= nbytes) {
        v = GetBE64(buf + b);
    } else {
        for (int i = 0; i < 8; i++) v = v << 8 | (b + i < nbytes ? buf[b + i] : 0);
    }
    return (uint32_t)(v >> (32 - sh));
}

// Writes the eight samples pos .. pos + 7 (modulo len) of a stream: bits of
// pat where mask has a 1, the rest left as they are.
void PutBits8(uint8_t *buf, int len, int64_t pos, uint8_t pat, uint8_t mask) {
    pos %= len;
    if (pos < 0) pos += len;
    if (pos + 8 <= len) {
        int b = (int)(pos >> 3), sh = (int)(pos & 7);
        unsigned m = (unsigned)mask << 8 >> sh, v = (unsigned)(pat & mask) << 8 >> sh;
        buf[b] = (uint8_t)((buf[b] & ~(m >> 8)) | (v >> 8));
        if (sh) buf[b + 1] = (uint8_t)((buf[b + 1] & ~m) | (v & 0xFF));
        return;
    }
    for (int i = 0; i < 8; i++) {
        if (!(mask & (0x80 >> i))) continue;
        int p = (int)((pos + i) % len);
        if (pat & (0x80 >> i)) BfSetBit(buf, p);
        else BfClrBit(buf, p);
    }
}

// Clears samples from .. from + count - 1 of a straight stretch: a mask for
// the first and the last byte, the whole bytes between at once.
void ClearLinear(uint8_t *buf, int from, int count) {
    if (count <= 0) return;
    int first = from >> 3, last = (from + count - 1) >> 3;
    uint8_t head = (uint8_t)(0xFF >> (from & 7)), tail = (uint8_t)(0xFF00 >> (((from + count - 1) & 7) + 1));
    if (first == last) {
        buf[first] &= (uint8_t)~(head & tail);
        return;
    }
    buf[first] &= (uint8_t)~head;
    if (last > first + 1) memset(buf + first + 1, 0, (size_t)(last - first - 1));
    buf[last] &= (uint8_t)~tail;
}

// Clears count samples (count <= len) from pos, wrapping past the end.
void ClearRange(uint8_t *buf, int len, int64_t pos, int count) {
    if (pos < 0 || pos >= len) pos %= len;
    int first = (int)std::min<int64_t>(count, len - pos);
    ClearLinear(buf, (int)pos, first);
    if (count > first) ClearLinear(buf, 0, count - first);
}

// ClearRange for at most eight samples: one or two byte masks when they do
// not wrap.
inline void ClearFew(uint8_t *buf, int len, int64_t pos, int count) {
    if (pos < 0 || pos + count > len || count <= 0 || count > 8) return ClearRange(buf, len, pos, count);
    int b = (int)(pos >> 3), sh = (int)(pos & 7);
    unsigned m = ((1u << count) - 1) << (16 - sh - count);  // the samples in bytes b and b + 1
    buf[b] &= (uint8_t)~(m >> 8);
    if (m & 0xFF) buf[b + 1] &= (uint8_t)~m;
}

// Walks one revolution from the first rising edge E: calls fn(w, d) for every
// further rising edge, w its distance from E (1 .. len - 1) and d the distance
// from the previous edge. fn returns false to stop. Returns the distance of
// the last edge visited (0 when there was none). Since E is the lowest edge,
// the samples from the seam back round to E hold no edge: the revolution's
// edges all lie in E + 1 .. len - 1, and only the interval closing the circle
// (from the last edge round to E) crosses the seam.
template <class F>
int WalkRevolution(const uint8_t *raw, int len, int E, F &&fn) {
    int last = 0;
    ScanEdges(raw, Bytes(len), E + 1, len, 1, [&](int x) {
        int d = x - E - last;
        last = x - E;
        return fn(last, d);
    });
    return last;
}

// A pulse as this system writes it: the eight samples 1,1,1,0,0,0,0,0.
constexpr uint8_t kPulse = 0xE0;

}  // namespace

// The first rising edge of a circular stream (the predecessor of sample 0 is
// the last sample), or -1 when the stream has no pulse.
int FirstEdge(const uint8_t *raw, int len) {
    if (len <= 0) return -1;
    int edge = -1;
    ScanEdges(raw, Bytes(len), 0, len, (uint32_t)BfGetBit(raw, len - 1), [&](int x) {
        edge = x;
        return false;
    });
    return edge;
}

uint32_t BfGetLong(const uint8_t *buf, int len, int pos) {
    if (len <= 0) return 0;
    pos %= len;
    if (pos < 0) pos += len;
    if (pos <= len - 32) return Peek32(buf, Bytes(len), pos);
    uint32_t v = 0;
    for (int i = 0; i < 32; i++) v = v << 1 | (uint32_t)BfGetBit(buf, (int)(((int64_t)pos + i) % len));
    return v;
}

// ---------------------------------------------------------------------------
// Clock recovery
//
// An interval between two rising edges is first matched against the expected
// lengths of 2, 3 and 4 cells (T2..T4, each with a window of +-2 samples);
// anything else is rounded with the nominal 8 samples per cell. The period is
// only corrected inside a steady preamble: 32 intervals of 2 cells
// (history 0x5555...) or 16 of 4 cells (0x1111...), so data patterns never
// drag it. Corrections use 64-bit products: a short spike inside a preamble
// gives an error near -2 periods, whose product with the gain does not fit in
// 32 bits and would otherwise flip the correction's sign.

static void SetThresholds(VFOState *v) {
    v->T2 = (int32_t)((v->offset + 2 * (int64_t)v->period) >> 16);
    v->T3 = (int32_t)((v->offset + 3 * (int64_t)v->period) >> 16);
    v->T4 = (int32_t)((v->offset + 4 * (int64_t)v->period) >> 16);
}

namespace {

constexpr uint64_t kTwoCellRhythm = 0x5555555555555555ull, kFourCellRhythm = 0x1111111111111111ull;

// The cells of interval d: the candidate window it falls in, else rounded
// with 8 samples per cell (shorter: d is shorter than the previous interval).
int64_t IntervalCells(const VFOState &v, int64_t d, bool shorter) {
    int cand = 0, thr = 0;
    if (d <= v.T2 + 2) cand = 2, thr = v.T2;
    else if (d <= v.T3 + 2) cand = 3, thr = v.T3;
    else if (d <= v.T4 + 2) cand = 4, thr = v.T4;
    return cand && d >= thr - 2 ? cand : (shorter ? d + 3 : d + 4) / 8;
}

// The lock and the period correction once the history holds the new interval.
void FollowRhythm(VFOState *v, int64_t d) {
    if (v->history == kTwoCellRhythm) {
        if (!v->locked) {
            v->locked = 1;
        } else if (int64_t e = d * 65536 - 2 * (int64_t)v->period) {
            v->period = (int32_t)(v->period + (((e >> 1) * v->gain) >> 16));
            SetThresholds(v);
        }
    } else if (v->history == kFourCellRhythm) {
        if (!v->locked) {
            v->locked = 1;
        } else if (int64_t q = (d * 65536 - 4 * (int64_t)v->period) / 4) {
            v->period = (int32_t)(v->period + ((q * v->gain) >> 16));
            SetThresholds(v);
        }
    } else {
        v->locked = 0;
    }
}

}  // namespace

void VFO_Update(VFOState *v, int interval) {
    int64_t d = interval;
    int64_t cells = IntervalCells(*v, d, d < v->previous);
    v->cells = (int32_t)std::min<int64_t>(cells, INT32_MAX);
    v->valid = d >= 9 && d <= 39;
    if (cells >= 64) {  // a long gap: the pattern starts over
        v->history = 0;
        v->previous = interval;
        v->locked = 0;
        return;
    }
    if (cells >= 1) v->history = v->history << cells | 1;
    v->previous = interval;
    FollowRhythm(v, d);
}

// ---------------------------------------------------------------------------
// Clock recovery at the pace of the edge scan
//
// A walk keeps the fields that change with every interval (history, previous
// interval, lock) in a Clock of its own and takes the class of a short
// interval (cells, valid, and its distance from the grid) from a table made
// from the thresholds, remade around them when they move. Only a steady
// rhythm (the lock and the period correction) and long intervals take the
// full VFO_Update path. The results are VFO_Update's, interval by interval.

namespace {

constexpr int kShort = 128;  // intervals below it come from the table (at most 16 cells)

struct Clock {
    uint64_t history;
    int32_t previous, locked;
};

// Distance of interval d from the nearest of T2..T4 when it lies inside that
// one's window, else -1.
int GridError(const VFOState &v, int d) {
    int best = -1;
    for (int t : {v.T2, v.T3, v.T4})
        if (std::abs(d - t) <= 2 && (best < 0 || std::abs(d - t) < best)) best = std::abs(d - t);
    return best;
}

struct ClockTable {
    VFOState v;                // period and thresholds (the rest lives in the Clock)
    uint8_t cls[kShort][2];    // [d][d < previous]: cells | valid << 7
    int8_t grid[kShort];       // GridError(v, d)
    bool gridEnds = true;      // no window reaches kShort - 1: every longer interval is off the grid

    ClockTable() {
        for (int d = 0; d < kShort; d++) Entry(d);
    }
    Clock Start() const { return Clock{v.history, v.previous, v.locked}; }
    void Entry(int d) {
        int valid = d >= 9 && d <= 39;
        for (int shorter = 0; shorter < 2; shorter++)
            cls[d][shorter] = (uint8_t)(IntervalCells(v, d, shorter) | valid << 7);
        grid[d] = (int8_t)GridError(v, d);
        if (d == kShort - 1) gridEnds = grid[d] < 0 && std::max({v.T2, v.T3, v.T4}) + 2 < kShort - 1;
    }
    // Only intervals inside a window of the old or the new thresholds change class.
    void Moved(const int (&old)[3]) {
        const int now[3] = {v.T2, v.T3, v.T4};
        for (int i = 0; i < 6; i++) {
            int t = i < 3 ? old[i] : now[i - 3];
            for (int d = std::max(t - 2, 0); d <= t + 2 && d < kShort; d++) Entry(d);
        }
    }
    // GridError(v, d) for d >= 0.
    __attribute__((always_inline)) int Grid(int d) const { return (unsigned)d < (unsigned)kShort ? grid[d] : gridEnds ? -1 : GridError(v, d); }
};

// A steady rhythm in the history: lock or correct the period. Returns the
// lock.
__attribute__((noinline)) int Rhythm(ClockTable &t, uint64_t history, int locked, int d) {
    t.v.history = history, t.v.locked = locked;
    const int old[3] = {t.v.T2, t.v.T3, t.v.T4};
    FollowRhythm(&t.v, d);
    if (t.v.T2 != old[0] || t.v.T3 != old[1] || t.v.T4 != old[2]) t.Moved(old);
    return t.v.locked;
}

// An interval the table does not hold, or the first cells of an empty
// history: VFO_Update itself, its results left in t.v.
__attribute__((noinline)) void FullUpdate(ClockTable &t, uint64_t history, int previous, int locked, int d) {
    t.v.history = history, t.v.previous = previous, t.v.locked = locked;
    const int old[3] = {t.v.T2, t.v.T3, t.v.T4};
    VFO_Update(&t.v, d);
    if (t.v.T2 != old[0] || t.v.T3 != old[1] || t.v.T4 != old[2]) t.Moved(old);
}

// VFO_Update(d) on the clock: returns the cells, valid in *valid. Once the
// history holds a 1 its lowest bit stays set, so shifting in no cell and
// setting that bit leaves it as it was: no branch on the cell count.
inline int Step(ClockTable &t, Clock &c, int d, int &valid) {
    if ((unsigned)d < (unsigned)kShort && c.history) {
        unsigned ent = t.cls[d][d < c.previous];
        int cells = (int)(ent & 63);
        valid = (int)(ent >> 7);
        c.previous = d;
        c.history = c.history << cells | 1;
        if (c.history == kTwoCellRhythm || c.history == kFourCellRhythm) c.locked = Rhythm(t, c.history, c.locked, d);
        else c.locked = 0;
        return cells;
    }
    FullUpdate(t, c.history, c.previous, c.locked, d);
    c.history = t.v.history, c.previous = t.v.previous, c.locked = t.v.locked;
    valid = t.v.valid;
    return t.v.cells;
}

// Whether the history shifted (its new lowest bit, always 1, not set yet) may
// hold a steady rhythm: its low 16 bits agree with both rhythms where those
// agree (one test passes 1 history in 4096).
inline bool MaybeRhythm(uint64_t shifted) { return (shifted & 0xBBBA) == 0x1110; }

// After every update the lock is set exactly when the history holds a
// steady rhythm (FollowRhythm sets it then and clears it otherwise, a long
// gap clears both), so a walk that starts from a fresh state needs no lock
// of its own.
inline int InRhythm(uint64_t history) { return history == kTwoCellRhythm || history == kFourCellRhythm; }

// The set bits of x. Without a population-count instruction in the target
// (x86-64's baseline has none) the compiler would call a library routine.
inline int Ones(uint64_t x) {
#if defined(__POPCNT__) || defined(__aarch64__)
    return __builtin_popcountll(x);
#else
    x -= x >> 1 & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + (x >> 2 & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (int)((x * 0x0101010101010101ull) >> 56);
#endif
}

// m without its highest set bit (m != 0).
inline uint64_t ButTop(uint64_t m) { return m & ~(1ull << 63 >> __builtin_clzll(m)); }

// Dense noise under clock recovery: the edges of a word (e, the sample at
// base in bit 0) up to the first interval of 9 samples or more, when the one
// from the last edge before the word is shorter too. Each of those intervals
// is invalid and worth one cell (5..8 samples, and 4 after one of at most 4)
// or none; such cells cannot make a steady rhythm out of a history that is not
// one, and while T2 >= 11 no interval below 9 lies in a window. Moves the
// clock (last edge, history, previous interval) over those edges, counts
// their cells in *cells and returns them (0: none, and nothing moved).
__attribute__((always_inline)) inline uint64_t ShortRun(const ClockTable &t, int64_t base, uint64_t e, int &last,
                                                        uint64_t &history, int &previous, int *cells) {
    if (previous >= 9 || !history || InRhythm(history) || t.v.T2 < 11) return 0;
    const int first = __builtin_ctzll(e), d0 = (int)base + first - last;
    if (d0 >= 9) return 0;
    // The edges 9 or more samples after the edge before them (the first one's
    // is outside the word), and those before the lowest of them.
    const uint64_t far = e & ~(e << 2 | e << 3 | e << 4 | e << 5 | e << 6 | e << 7 | e << 8) & ~(1ull << first);
    const uint64_t run = e & ((far & -far) - 1);  // far == 0: every edge
    const uint64_t starts = ButTop(run);  // every edge of the run but its last
    const uint64_t near4 = run >> 2 | run >> 3 | run >> 4;
    const uint64_t four = starts & run >> 4 & ~(run >> 2 | run >> 3);
    const uint64_t afterShort = run << 2 | run << 3 | run << 4 | (uint64_t)(d0 <= 4) << first;
    const int k = (d0 >= 5 || (d0 == 4 && previous <= 4)) + Ones((starts & ~near4) | (four & afterShort));
    history = k ? history << k | ((1ull << k) - 1) : history;
    const int top = 63 - __builtin_clzll(run);
    previous = starts ? top - (63 - __builtin_clzll(starts)) : d0;
    last = (int)base + top;
    *cells = k;
    return run;
}

// A ClockWalk word hook for walks that only count cells: takes the runs of
// dense noise (ShortRun) and adds their cells to p.
inline auto CountShortRuns(const ClockTable &t, int64_t &p) {
    return [&t, &p](int64_t base, uint64_t e, uint64_t &, int &last, uint64_t &history, int &previous,
                    auto &) __attribute__((always_inline)) {
        int n = 0;
        const uint64_t run = ShortRun(t, base, e, last, history, previous, &n);
        p += n;
        return e & ~run;
    };
}

// Clears the samples of a 64-sample word (at a multiple of 64) set in m
// (first sample in bit 0), never touching a byte past the buffer.
void ClearWord(uint8_t *buf, int64_t nbytes, int64_t at, uint64_t m) {
    m = zeledges::ReverseEachByte(m);  // back to the stream's order: the first sample on top of each byte
    int64_t b = at >> 3;
    if (b + 8 <= nbytes) {
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        m = __builtin_bswap64(m);
#endif
        uint64_t v;
        memcpy(&v, buf + b, 8);
        v &= ~m;
        memcpy(buf + b, &v, 8);
        return;
    }
    for (int i = 0; b + i < nbytes; i++) buf[b + i] &= (uint8_t)~(m >> (8 * i));
}

// WalkRevolution for the walks that erase: fn(x, erase) for every further
// edge x of the revolution from edge E (x in E + 1 .. len - 1), where
// erase(pos, count) clears count samples (1 .. 8) from pos, all behind x
// (pos + count <= x).
// Erasures near the edge are collected in two words (the one scanned and the
// one before) and stored as the scan leaves them: clearing commutes, and the
// scan never reads behind its edge.
// A word hook, word(base, e, clear, erase), sees each word's edges e (the
// first sample at base in bit 0) before fn does, may deal with the first of
// them itself (samples of the word to clear set in clear) and returns the
// edges left for fn.
template <class F, class W>
void WalkEdges(uint8_t *raw, int len, int E, F &&fn, W &&word) {
    const int64_t nbytes = Bytes(len);
    uint64_t behind = 0, here = 0;  // samples base - 64 .. base - 1 and base .. base + 63 to clear
    const int from = E + 1;
    int64_t base = from & ~63;
    auto erase = [&](int64_t pos, int count) __attribute__((always_inline)) {
        uint64_t o = (uint64_t)(pos - (base - 64));  // at most 127 - count when in the two words
        if (__builtin_expect(o <= 127 - (uint64_t)count, 1)) {
            uint64_t bits = (1ull << count) - 1;
            if (o >= 64) {
                here |= bits << (o - 64);
            } else {
                behind |= bits << o;
                here |= bits >> 1 >> (63 - o);  // the samples past the word, if any
            }
        } else {
            ClearFew(raw, len, pos, count);
        }
    };
    uint64_t before = from == base ? 1 : 0;  // E itself is a 1
    for (; base < len; base += 64) {
        if (behind) ClearWord(raw, nbytes, base - 128, behind);
        behind = here, here = 0;
        uint64_t w = Load64Reversed(raw, nbytes, base >> 3);
        uint64_t e = w & ~((w << 1) | before);
        before = w >> 63;
        if (base < from) e &= ~0ull << (from - base);
        if (len - base < 64) e &= ~(~0ull << (len - base));
        if (e) e = word(base, e, here, erase);
        for (; e; e &= e - 1) fn((int)base + __builtin_ctzll(e), erase);
    }
    if (behind) ClearWord(raw, nbytes, base - 128, behind);
    if (here) ClearWord(raw, nbytes, base - 64, here);
}

template <class F>
void WalkEdges(uint8_t *raw, int len, int E, F &&fn) {
    WalkEdges(raw, len, E, fn, [](int64_t, uint64_t e, uint64_t &, auto &) { return e; });
}

// WalkEdges with clock recovery: fn(x, d, cells, valid, previous, erase)
// for every further edge, x its sample position, d the interval, previous
// the interval before. Returns the distance of the last edge from E (0 when
// there was none) and leaves the clock with the caller, ready for the
// interval that closes the circle.
// A word hook, word(base, e, clear, last, history, previous, erase), may take
// the first of a word's edges as WalkEdges's does, moving the clock (last
// edge, history, previous interval) over them itself.
template <class F, class W>
int ClockWalk(uint8_t *raw, int len, int E, ClockTable &t, Clock &c, F &&fn, W &&word) {
    const uint8_t *cls = t.cls[0];  // [2 * d + (d < previous)]
    uint64_t history = c.history;  // c.locked is InRhythm(c.history)
    int previous = c.previous;
    int last = E;  // the last edge
    WalkEdges(raw, len, E, [&](int x, auto &erase) __attribute__((always_inline)) {
        int d = x - last, was = previous, cells, valid;
        last = x;
        if (__builtin_expect((unsigned)d < (unsigned)kShort, 1) && __builtin_expect(history != 0, 1)) {
            // d < previous: both lie in 0 .. INT_MAX, so the sign of the difference tells.
            int8_t ent = (int8_t)cls[2 * (size_t)d + ((unsigned)(d - previous) >> 31)];
            cells = ent & 63;
            valid = ent < 0;
            previous = d;
            uint64_t shifted = history << cells;
            if (__builtin_expect(MaybeRhythm(shifted), 0) && InRhythm(shifted | 1))
                Rhythm(t, shifted | 1, InRhythm(history), d);
            history = shifted | 1;
        } else {
            FullUpdate(t, history, previous, InRhythm(history), d);
            history = t.v.history, previous = t.v.previous;
            cells = t.v.cells, valid = t.v.valid;
        }
        fn(x, d, cells, valid, was, erase);
    }, [&](int64_t base, uint64_t e, uint64_t &clear, auto &erase) __attribute__((always_inline)) {
        return word(base, e, clear, last, history, previous, erase);
    });
    c.history = history, c.previous = previous, c.locked = InRhythm(history);
    return last - E;
}

template <class F>
int ClockWalk(uint8_t *raw, int len, int E, ClockTable &t, Clock &c, F &&fn) {
    return ClockWalk(raw, len, E, t, c, fn, [](int64_t, uint64_t e, uint64_t &, int &, uint64_t &, int &, auto &) { return e; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Samples -> cells
//
// Cell k covers samples 8k .. 8k + 7, so the first pulse E lands in cell E / 8
// and each following one the recovered number of cells further on. The track
// is as long as the cells counted around the circle (T). Pulses whose cell
// comes out at or past T (the counting drifts against the sample grid)
// belong to the start of the circle and are folded back modulo T.

int Raw2Encode(const uint8_t *raw, int rawLen, uint8_t *cells, int capacity) {
    if (capacity < 0) capacity = 0;
    Zero(cells, capacity);
    if (rawLen <= 0) return 0;
    int E = FirstEdge(raw, rawLen);
    if (E < 0) return rawLen / 8 <= capacity ? rawLen / 8 : -1;

    // Cells are stored modulo capacity; a track that fits never collides.
    auto at = [&](int64_t p) { return (int)(p < capacity ? p : p % capacity); };
    auto set = [&](int64_t p) {
        if (capacity) BfSetBit(cells, at(p));
    };
    auto clr = [&](int64_t p) {
        if (capacity) BfClrBit(cells, at(p));
    };
    ClockTable table;
    Clock clock = table.Start();
    int64_t origin = E / 8, p = origin;
    set(p);
    int last = ClockWalk(const_cast<uint8_t *>(raw), rawLen, E, table, clock, [&](int, int, int n, int valid, int, auto &) __attribute__((always_inline)) {
        if (!valid) {
            p += n;
        } else if (n == 1) {  // two pulses a cell apart: keep the later
            clr(p);
            set(++p);
        } else {
            p += n;
            set(p);
        }
    }, CountShortRuns(table, p));  // noise: cells counted, none set
    int valid, closing = Step(table, clock, rawLen - last, valid);  // back round to E
    int64_t T = p - origin + closing;

    if (T > capacity || T == 0) {  // does not fit (or holds no cell): nothing usable
        Zero(cells, capacity);
        return T == 0 ? 0 : -1;
    }
    if (p >= T) {
        std::vector<int64_t> fold;
        for (int64_t q = std::max(T, origin); q <= p; q++) {
            if (!BfGetBit(cells, at(q))) continue;
            fold.push_back(q);
            clr(q);
        }
        for (int64_t q : fold) BfSetBit(cells, (int)(q % T));
    }
    return (int)T;
}

int Raw2EncodeLength(const uint8_t *raw, int rawLen) {
    if (rawLen <= 0) return 0;
    int E = FirstEdge(raw, rawLen);
    if (E < 0) return rawLen / 8;
    // The same walk as Raw2Encode, counting cells without storing them.
    ClockTable table;
    Clock clock = table.Start();
    int64_t p = 0;
    int valid;
    int last = ClockWalk(const_cast<uint8_t *>(raw), rawLen, E, table, clock, [&](int, int, int n, int, int, auto &) __attribute__((always_inline)) {
        p += n;  // a pulse one cell after the last moves it on by one
    }, CountShortRuns(table, p));
    int64_t T = p + Step(table, clock, rawLen - last, valid);
    return T > INT_MAX ? INT_MAX : (int)T;
}

// ---------------------------------------------------------------------------
// Cells -> samples
//
// Cell i is samples 8i .. 8i + 7, which is exactly byte i of the raw stream:
// each cell byte expands into eight raw bytes, 0xE0 for a 1 and 0x00 for a 0.

namespace {
struct ExpandTable {
    uint8_t b[256][8];
    constexpr ExpandTable() : b() {
        for (int v = 0; v < 256; v++)
            for (int i = 0; i < 8; i++) b[v][i] = (v & (0x80 >> i)) ? kPulse : 0;
    }
};
constexpr ExpandTable kExpand;
}  // namespace

int Encode2Raw(const uint8_t *cells, int cellLen, uint8_t *raw, int capacity) {
    if (capacity < 0) capacity = 0;
    Zero(raw, capacity);
    if (cellLen < 0 || (int64_t)cellLen * 8 > capacity) return -1;
    int whole = cellLen / 8;
    for (int i = 0; i < whole; i++) memcpy(raw + 8 * i, kExpand.b[cells[i]], 8);
    for (int i = whole * 8; i < cellLen; i++)
        if (BfGetBit(cells, i)) raw[i] = kPulse;
    return cellLen * 8;
}

// ---------------------------------------------------------------------------
// Resampling: every pulse moves to the same fraction of the new length and is
// redrawn three samples wide. Pulses are OR-ed in, so a pulse drawn near the
// end that wraps to the start cannot wipe out the first one.

int StrechRaw(uint8_t *raw, int len, int newLen) {
    if (len == newLen) return newLen;
    if (newLen < 0) return -1;
    std::vector<uint8_t> out((size_t)Bytes(newLen));
    if (len > 0 && newLen > 0) {
        ScanEdges(raw, Bytes(len), 0, len, (uint32_t)BfGetBit(raw, len - 1), [&](int i) {
            PutBits8(out.data(), newLen, (int64_t)((uint64_t)i * (uint64_t)newLen / (uint64_t)len), kPulse, kPulse);
            return true;
        });
    }
    if (!out.empty()) memcpy(raw, out.data(), out.size());
    return newLen;
}

// ---------------------------------------------------------------------------
// Cutting cells out of a sample stream: the cell counter advances exactly as
// the cell position of Raw2Encode does, so cell numbers of a decoded stream
// find their pulses again.

int TransRaw(const uint8_t *raw, int rawLen, int *start, int *end, uint8_t *out) {
    int E = FirstEdge(raw, rawLen);
    if (E < 0) return -1;
    VFOState vfo;
    int64_t c = E / 8, from = -1, to = -1;
    auto check = [&](int64_t s) {
        if (from < 0 && c == *start) from = s;
        if (to < 0 && c == (int64_t)*end + 1) to = s - 1;
        return from < 0 || to < 0;
    };
    if (check(E)) {
        WalkRevolution(raw, rawLen, E, [&](int w, int d) {
            VFO_Update(&vfo, d);
            c += vfo.cells;
            return check((int64_t)E + w);
        });
    }
    if (from < 0 || to < 0 || to < from) return -1;
    int n = (int)(to - from + 1);
    for (int i = 0; i < n; i += 32) {
        uint32_t v = BfGetLong(raw, rawLen, (int)((from + i) % rawLen));
        int left = std::min(32, n - i);
        if (left < 32) v &= ~(0xFFFFFFFFu >> left);
        for (int k = 0; k < (left + 7) / 8; k++) out[i / 8 + k] = (uint8_t)(v >> (24 - 8 * k));
    }
    *start = (int)from;
    *end = (int)to;
    return n;
}

// ---------------------------------------------------------------------------
// Raw data correction: each pulse moves one sample toward where the recovered
// cell count says it belongs. Pulses are judged on the stream as it was read
// (a copy), since a redrawn pulse reaches up to seven samples ahead.

int AlignRaw(uint8_t *raw, int len) {
    int E = FirstEdge(raw, len);
    if (E < 0) return len;
    std::vector<uint8_t> orig(raw, raw + Bytes(len));
    VFOState vfo;
    WalkRevolution(orig.data(), len, E, [&](int w, int d) {
        VFO_Update(&vfo, d);
        int64_t p = (int64_t)E + w, expect = 8 * (int64_t)vfo.cells;
        if (expect < d) PutBits8(raw, len, p - 1, kPulse, 0xFF);  // late: start a sample earlier
        else if (expect > d) PutBits8(raw, len, p, kPulse >> 1, 0xFF);  // early: a sample later
        return true;
    });
    return len;
}

// ---------------------------------------------------------------------------
// Pattern search
//
// Candidates are found 32 positions at a time: a match mask M holds one bit
// per candidate start of the current word, and each bit j of a 32-bit key
// taken from the pattern ANDs in the data under it (inverted where the key
// bit is 0). On real tracks M empties after a handful of bits, so a
// whole-track scan costs a few operations per word. Survivors are compared
// in chunks of 32 bits (pattern lengths that are multiples of 32), 8 bits
// (multiples of 8) or single bits (any other length). Positions whose match
// would run across the end of the stream take the same comparison through
// wrapping loads.

BfPattern::BfPattern(const uint8_t *p, int n) : bits(p), len(n), nbytes(Bytes(n)) {
    chunk = n % 32 == 0 ? 32 : n % 8 == 0 ? 8 : 1;
    // The last 32 bits: marks open with long sync runs that plain data
    // imitates, while their ends are what sets them apart.
    keyLen = std::min(32, n);
    key = n - keyLen;
    uint32_t k = n > 0 ? Peek32(p, nbytes, key) : 0;
    for (int j = 0; j < 32; j++) xorMask[j] = (k >> (31 - j)) & 1 ? 0 : 0xFFFFFFFFu;
    // A full 32-bit key starting s bits (0..7) before a byte boundary
    // covers that byte and the next two whole: byteKey[i][v] has bit s
    // set when key bits s + 8i .. s + 8i + 7 equal v.
    memset(byteKey, 0, sizeof byteKey);
    if (keyLen == 32)
        for (int i = 0; i < 3; i++)
            for (int sh = 0; sh < 8; sh++) byteKey[i][(k >> (24 - sh - 8 * i)) & 0xFF] |= (uint8_t)(1u << sh);
    // The sync run the pattern opens with: the longest prefix that repeats
    // every four bits (MFM 00 repeats every two, FM 00 every four) and holds
    // both 0s and 1s. Its four 32-bit windows are its sync words.
    run = 0;
    if (n >= 36) {
        while (run + 4 < n && BfGetBit(p, run) == BfGetBit(p, run + 4)) run++;
        run += 4;
        uint32_t w = Peek32(p, nbytes, 0);
        if (run < 63 || w == 0 || w == 0xFFFFFFFFu) run = 0;
        for (int j = 0; j < 4; j++) sync[j] = Peek32(p, nbytes, j);
    }
}

uint32_t BfPattern::Chunk(int j) const { return Peek32(bits, nbytes, j) >> (32 - chunk); }

namespace {
typedef BfPattern Pattern;

// FindLinear for a 32-bit key: one table look-up per data byte tests the
// eight candidates whose key starts 0..7 bits before it; the rare survivors
// of three such bytes get the full comparison, in position order.
int FindLinearBytes(const uint8_t *data, int len, int q, int n, const Pattern &pat) {
    int nbytes = Bytes(len), stop = q + n;
    // Byte c is the first whole byte under the keys starting at 8c - 7 .. 8c;
    // c + 2 stays in the stream since every key here ends inside it.
    int cEnd = (stop - 1 + pat.key + 7) >> 3;
    for (int c = (q + pat.key + 7) >> 3; c <= cEnd; c++) {
        unsigned m = pat.byteKey[0][data[c]];
        if (!m) continue;
        m &= pat.byteKey[1][data[c + 1]] & pat.byteKey[2][data[c + 2]];
        while (m) {
            int s = 31 - __builtin_clz(m);  // largest shift first: lowest position
            m ^= 1u << s;
            int p = 8 * c - s - pat.key;
            if (p < q || p >= stop) continue;
            if (pat.Matches([&](int j) { return Peek32(data, nbytes, (int64_t)p + j); })) return p - q;
        }
    }
    return -1;
}

int FindLinearPlain(const uint8_t *data, int len, int q, int n, const Pattern &pat);

// FindLinear for a pattern that opens with a sync run of at least 63 cells:
// the run holds an aligned 32-bit word at 32k for some k with m <= 32k <=
// m + run - 32 (m the match), and that word is one of the run's four sync
// words. A whole track is passed over a word at a time (one rotate and
// compare rejects all but period-4 words); only the starts that such a word
// leaves open are searched, in order, so the first match is the same.
int FindLinearSynced(const uint8_t *data, int len, int q, int n, const Pattern &pat) {
    const int stop = q + n;
    int next = q;  // starts below it are searched already
    // Word k opens starts 32k + 32 - run .. 32k; the first match is returned.
    auto open = [&](int64_t k) {
        int lo = (int)std::max<int64_t>(next, 32 * k + 32 - pat.run), hi = (int)std::min<int64_t>(stop - 1, 32 * k);
        if (lo > hi) return -1;
        int r = FindLinearPlain(data, len, lo, hi - lo + 1, pat);
        next = hi + 1;
        return r < 0 ? -1 : lo + r - q;
    };
    auto sync = [&](uint32_t w) {
        return w == pat.sync[0] || w == pat.sync[1] || w == pat.sync[2] || w == pat.sync[3];
    };
    // Every word looked at lies inside the stream: 32k + 32 <= m + run <= len.
    // Two words a load: a word that repeats every four cells has each of
    // its bits equal to the one four cells on, which one shift and xor tell
    // for both halves (28 bits each).
    int64_t k = (q + 31) / 32, last = ((int64_t)stop - 1 + pat.run - 32) / 32;
    for (; k + 1 <= last; k += 2) {
        uint64_t x = GetBE64(data + 4 * k);
        uint64_t t = x ^ x >> 4;
        if ((t & 0x0FFFFFFF00000000ull) && (t & 0x0FFFFFFFull)) continue;
        for (int half = 0; half < 2; half++) {
            uint32_t w = (uint32_t)(x >> (32 - 32 * half));
            if ((t >> (32 - 32 * half) & 0x0FFFFFFFull) || !sync(w)) continue;
            int r = open(k + half);
            if (r >= 0) return r;
        }
    }
    for (; k <= last; k++) {
        uint32_t w = (uint32_t)data[4 * k] << 24 | data[4 * k + 1] << 16 | data[4 * k + 2] << 8 | data[4 * k + 3];
        if (w != ((w >> 4) | (w << 28)) || !sync(w)) continue;
        int r = open(k);
        if (r >= 0) return r;
    }
    return -1;
}

// First match among the positions q .. q + n - 1 of a stream of len bits,
// all with q + patbits <= len: its offset from q, or -1.
int FindLinear(const uint8_t *data, int len, int q, int n, const Pattern &pat) {
    if (pat.run && n > 1024) return FindLinearSynced(data, len, q, n, pat);
    return FindLinearPlain(data, len, q, n, pat);
}

int FindLinearPlain(const uint8_t *data, int len, int q, int n, const Pattern &pat) {
    if (pat.keyLen == 32) return FindLinearBytes(data, len, q, n, pat);
    int nbytes = Bytes(len), stop = q + n, sh = pat.key & 31;
    int base = q & ~31, w = base + (pat.key & ~31);  // w: the aligned word under the key
    uint32_t w0 = Peek32(data, nbytes, w), w1 = Peek32(data, nbytes, w + 32), w2 = Peek32(data, nbytes, w + 64);
    for (; base < stop; base += 32, w += 32) {
        // 64 data bits from base + key: bit 63 - i is the data under key bit 0
        // of the candidate at base + i.
        uint64_t x = ((uint64_t)w0 << 32 | w1) << sh | (sh ? w2 >> (32 - sh) : 0);
        uint32_t m = 0xFFFFFFFFu;
        if (base < q) m >>= q - base;
        if (stop - base < 32) m &= ~(0xFFFFFFFFu >> (stop - base));
        for (int j = 0; j < pat.keyLen && m; j++) m &= (uint32_t)(x >> (32 - j)) ^ pat.xorMask[j];
        while (m) {
            int k = __builtin_clz(m);
            int p = base + k;
            if (pat.Matches([&](int j) { return Peek32(data, nbytes, (int64_t)p + j); })) return p - q;
            m ^= 0x80000000u >> k;
        }
        w0 = w1, w1 = w2;
        w2 = Peek32(data, nbytes, w + 96);
    }
    return -1;
}

// The same for positions whose match wraps past the end of the stream: the
// stream from q round to its start is laid out straight in a scratch copy
// (for streams no shorter than the pattern), and searched as above.
int FindWrapping(const uint8_t *data, int len, int q, int n, const Pattern &pat) {
    if (len >= pat.len && (int64_t)n + pat.len <= 65536) {
        const int bits = n + pat.len - 1;
        const size_t bytes = (size_t)(bits + 31) / 32 * 4;
        uint8_t small[256];
        std::vector<uint8_t> large;
        uint8_t *copy = small;
        if (bytes > sizeof small) large.resize(bytes), copy = large.data();
        for (int i = 0; i < bits; i += 32) {
            uint32_t v = BfGetLong(data, len, (int)(((int64_t)q + i) % len));
            copy[i / 8] = (uint8_t)(v >> 24), copy[i / 8 + 1] = (uint8_t)(v >> 16);
            copy[i / 8 + 2] = (uint8_t)(v >> 8), copy[i / 8 + 3] = (uint8_t)v;
        }
        return FindLinearPlain(copy, bits, 0, n, pat);
    }
    for (int i = 0; i < n; i++) {
        int64_t p = (int64_t)q + i;
        if (pat.Matches([&](int j) { return BfGetLong(data, len, (int)((p + j) % len)); })) return i;
    }
    return -1;
}
}  // namespace

int BfFind(const uint8_t *data, int len, int start, int range, const uint8_t *pattern, int patbits) {
    if (len <= 0 || patbits < 1 || range < patbits) return -1;
    return BfFind(data, len, start, range, BfPattern(pattern, patbits));
}

int BfFind(const uint8_t *data, int len, int start, int range, const BfPattern &pat) {
    const int patbits = pat.len;
    if (len <= 0 || patbits < 1 || range < patbits) return -1;
    // Matching repeats every len positions: one turn of start positions is enough.
    int kmax = (int)std::min<int64_t>((int64_t)range - patbits, len - 1);
    int q0 = start % len;
    if (q0 < 0) q0 += len;
    int lastLinear = len - patbits;  // last start whose match does not wrap
    for (int k = 0; k <= kmax;) {
        int q = (int)(((int64_t)q0 + k) % len);
        int n, r;
        if (q <= lastLinear) {
            n = std::min(kmax - k, lastLinear - q) + 1;
            r = FindLinear(data, len, q, n, pat);
        } else {
            n = std::min(kmax - k, len - 1 - q) + 1;
            r = FindWrapping(data, len, q, n, pat);
        }
        if (r >= 0) return k + r;
        k += n;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Cell positions -> sample positions

namespace {
// Maps count cell positions in one walk: results[i] is the sample position
// of positions[i] (not reduced modulo rawLen), -1 where the revolution ended
// first. Returns how many were mapped, or -1 when the stream has no pulse.
int MapCells(const uint8_t *raw, int rawLen, const int *positions, int count, int *results) {
    int E = FirstEdge(raw, rawLen);
    if (E < 0) return -1;
    std::vector<int> order((size_t)count);
    for (int i = 0; i < count; i++) order[i] = i, results[i] = -1;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return positions[a] < positions[b]; });
    VFOState vfo;
    int64_t c = E / 8;
    int found = 0;
    if (count > 0) {
        WalkRevolution(raw, rawLen, E, [&](int w, int d) {
            VFO_Update(&vfo, d);
            c += vfo.cells;
            for (; found < count && positions[order[found]] <= c; found++) {
                int i = order[found];
                results[i] = (int)((int64_t)E + w - 8 * (c - positions[i]));
            }
            return found < count;
        });
    }
    return found;
}
}  // namespace

int Enc2RawPos(const uint8_t *raw, int rawLen, int cellPos) {
    int r, found = MapCells(raw, rawLen, &cellPos, 1, &r);
    if (found < 0) return (int)((int64_t)cellPos * 8);
    if (found == 0) return rawLen;  // past the last pulse of the revolution
    return r >= rawLen ? r - rawLen : r;
}

int Enc2RawPosMulti(const uint8_t *raw, int rawLen, int *positions, int count) {
    if (count <= 0) return 0;
    std::vector<int> results((size_t)count);
    int found = MapCells(raw, rawLen, positions, count, results.data());
    if (found < 0) return 0;
    std::copy(results.begin(), results.end(), positions);
    return found;
}

// ---------------------------------------------------------------------------
// Noise cancelling
//
// First, spikes. A recording never puts two transitions closer than two
// cells, so an interval of at most one and a half cells has a spurious pulse
// at one of its ends. That pulse goes when the interval left without it lies
// on the cell grid (within the +-2-sample windows around T2, T3, T4): the
// later pulse when skipping it lands on the grid, the earlier one when only
// skipping that one does; when both would, the one whose removal lands nearer
// the grid, the later on a tie. A spike inside a two- or three-cell
// interval, or near either end of a four-cell one, goes this way. A stream
// whose intervals are all longer than 1.5 cells (clean data, jitter included)
// is never touched. A spike that splits a four-cell interval into two
// two-cell ones looks like data and stays: the sector CRC and a re-read
// catch it.
//
// Then the rhythm. Intervals are judged good or bad. Outside 9..39 samples
// an interval is bad and makes the stream unstable for the next 8 rejections,
// during which an in-range interval that jumps by more than 20 samples from
// its predecessor is bad too. A run of good intervals ends at a bad one; a run
// of no more than threshold cells is erased whole, and inside a bad stretch
// each pulse is erased as the next bad interval proves it isolated. All
// erasing (spikes too) lies behind the edge being looked at, so the scan can
// read the stream it is cleaning.

namespace {

// Removes spikes (above) from the revolution starting at edge E; returns how
// many. Walk positions: before and kept are the last two pulses kept (before
// is -1 until there are two), pending the pulse judged once the next is seen.
int EraseSpikes(uint8_t *raw, int len, int E) {
    ClockTable table;
    Clock clock = table.Start();
    int before = -1, kept = 0, pending = -1, erased = 0;
    // What to do with pending by (late + 1) * 4 + early + 1 when the interval
    // before it is short: 1 drop it, 2 drop kept, 0 keep both.
    static constexpr uint8_t kDrop[16] = {0, 2, 2, 2, 1, 1, 1, 1, 1, 2, 1, 1, 1, 2, 2, 1};
    auto judge = [&](int next, auto &erase) __attribute__((always_inline)) {
        const int a = pending - kept, back = pending - before;
        const bool small = 4 * a <= 3 * table.v.T2;
        const int late = table.Grid(next - kept), early = before >= 0 ? table.Grid(back) : -1;
        const int drop = small ? kDrop[(late + 1) * 4 + early + 1] : 0;
        if (__builtin_expect(drop != 0, 0)) {
            if (drop == 1) erase((int64_t)E + pending, std::min(3, next - pending));
            else erase((int64_t)E + kept, std::min(3, a));
            erased++;
        }
        // The grid follows the kept intervals a cell decoder would accept; a
        // kept pair of pulses too close for any recording must not pull the
        // period.
        const int d = drop == 2 ? back : a;
        if (drop != 1 && d >= 9 && d <= 39) {
            int valid;
            Step(table, clock, d, valid);
        }
        before = drop ? before : kept;
        kept = drop == 1 ? kept : pending;
    };
    auto edge = [&](int x, auto &erase) __attribute__((always_inline)) {
        if (pending >= 0) judge(x - E, erase);
        pending = x - E;
    };
    // Dense noise, a word at a time. Once the word's first three pulses are
    // judged one by one and the last two of them kept, the judgement of a
    // later pulse p (with the pulse after it, kept before it and before
    // that) can only drop something or move the grid when a span of two
    // intervals around it (next - kept, p - before) reaches T2 - 2 or the
    // interval p - kept reaches 9 samples. Up to the first pulse where that
    // may happen nothing is dropped: the walk moves on to it at once, the
    // three pulses before it as before, kept and pending, and judges the rest
    // one by one.
    auto word = [&](int64_t base, uint64_t e, uint64_t &, auto &erase) __attribute__((always_inline)) {
        if (Ones(e) < 6) return e;
        const uint64_t all = e;
        const int x0 = (int)base + __builtin_ctzll(e) - E;
        edge(x0 + E, erase), e &= e - 1;
        const int x1 = (int)base + __builtin_ctzll(e) - E;
        edge(x1 + E, erase), e &= e - 1;
        const uint64_t third = e & -e;
        edge((int)base + __builtin_ctzll(e), erase), e &= e - 1;
        if (kept == x1 && before == x0 && table.v.T2 >= 11) {
            const int reach = std::min(16, table.v.T2 - 3);  // spans of two intervals up to reach are off the grid
            auto behind = [reach](uint64_t m) {  // the samples at most reach after one of m
                uint64_t y = m << 1;
                y |= y << 1, y |= y << 2, y |= y << 4;
                return y | y << (reach - 8);
            };
            // The pulses of even and of odd rank: the spans of two intervals
            // are the gaps within each.
            uint64_t odd = all;
            for (int k = 1; k < 64; k <<= 1) odd ^= odd << k;
            odd &= all;
            const uint64_t even = all & ~odd;
            const uint64_t longSpan = (odd & ~behind(odd)) | (even & ~behind(even));
            const uint64_t longGap = all & ~(all << 2 | all << 3 | all << 4 | all << 5 | all << 6 | all << 7 | all << 8);
            uint64_t stop = longSpan & e;  // the pulses from the fourth on
            if (uint64_t after = (longSpan | longGap) & (e | third)) {
                after = all & (~1ull << __builtin_ctzll(after));  // the pulses after the first of those
                stop |= after & -after;
            }
            const uint64_t easy = e & ((stop & -stop) - 1);  // stop == 0: every pulse
            if (easy) {
                const uint64_t upto = all & ~(e & ~easy);  // every pulse up to the last easy one
                const int top = 63 - __builtin_clzll(upto);
                const uint64_t rest = ButTop(upto);
                const int next = 63 - __builtin_clzll(rest);
                before = (int)base + (63 - __builtin_clzll(ButTop(rest))) - E;
                kept = (int)base + next - E;
                pending = (int)base + top - E;
                e &= ~easy;
            }
        }
        return e;
    };
    WalkEdges(raw, len, E, edge, word);
    auto direct = [&](int64_t pos, int count) { ClearFew(raw, len, pos, count); };
    if (pending >= 0) judge(len, direct);  // the last pulse, against E one revolution on
    return erased;
}

}  // namespace

int NoiseCancelRaw(uint8_t *raw, int len, int threshold) {
    int E = FirstEdge(raw, len);
    if (E < 0) return 0;
    int spikes = EraseSpikes(raw, len, E);  // never erases E itself
    ClockTable table;
    Clock clock = table.Start();
    int unstable = 0, good = 1, runStart = E, runCells = 0, erasures = 0;  // runStart: a sample position
    auto walk = [&](int x, int d, int cells, int, int previous, auto &erase) __attribute__((always_inline)) {
        int jump = std::abs(previous - d) > 20;
        bool ok = true;
        if (d < 9 || d > 39) {
            ok = false;
            unstable = jump ? 7 : 8;
        } else if (unstable > 0 && jump) {
            ok = false;
            unstable--;
        }
        if (ok && good) {
            runCells += cells;
        } else if (ok) {
            good = 1, runStart = x, runCells = cells;
        } else if (good) {
            if (runCells <= threshold) ClearRange(raw, len, runStart, x - runStart), erasures++;
            good = 0;
        } else {  // the pulse at the previous edge stands alone
            erase((int64_t)x - d, std::min(3, d)), erasures++;
        }
    };
    // Dense noise (ShortRun) while no run is open: every interval is bad and
    // proves the pulse before it alone. Those pulses go (their first three
    // samples, never reaching the next edge) and the stream stays unstable
    // for 8 more.
    auto noise = [&](int64_t base, uint64_t e, uint64_t &clear, int &last, uint64_t &history, int &previous,
                     auto &erase) __attribute__((always_inline)) {
        if (good) return e;
        const int from = last;
        int cells;
        const uint64_t run = ShortRun(table, base, e, last, history, previous, &cells);
        if (!run) return e;
        const uint64_t starts = ButTop(run);
        erase((int64_t)from, std::min(3, (int)base + __builtin_ctzll(run) - from));
        clear |= starts | starts << 1 | (starts << 2 & ~run);
        erasures += Ones(run);
        unstable = 8;
        return e & ~run;
    };
    ClockWalk(raw, len, E, table, clock, walk, noise);
    return spikes + erasures;
}
