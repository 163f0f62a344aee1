// Restore data: a track of an image turned into one revolution of samples at
// the writing drive's own speed, with the splice point that ends the write.
//
// The write starts at the index pulse, runs once round and goes on over the
// start again up to the splice point, so the old flux under the head is
// overwritten everywhere and the seam lies at the splice:
//
//   |index ......................................... index| ... splice|
//   |<------------------- len ---------------------------->|
//   |<--------------------------- writelen ------------------------->|
//
// The splice goes where rewriting a stretch twice does no harm, by the first
// rule below that finds a place (positions of the encoded form are mapped to
// samples; B is samples per byte, E cells per byte):
//    1  a phase jump inside the gap bytes around the index (GAP4b, GAP4a)
//    2  a phase jump inside GAP1, after the index mark
//    3  256 flux-free samples just before the index (GAP4b)
//    4  256 flux-free samples just after the index (GAP4a)
//    5  with errors: 256 flux-free samples in the first 16th of the track
//    6  with errors: 256 flux-free samples in the last 16th of the track
//    7  the middle of the longest flux-free stretch when it exceeds 4095 samples
//    8  a clean track whose sectors stay clear of the index: the index itself
//    9  the middle of GAP1 (41 bytes or more; not with overlapping sectors)
//   10  with errors: the start of the longest flux-free stretch over 35 samples
//   11  the middle of the first GAP3 of more than 20 bytes that lies in no sector
//   12  the index
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes.h"
#include "fdd.h"
#include "fdd_bits.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

using fddbits::Load64;

// The pulse starts (a 1 after a 0) of a stream in ascending order, 64
// samples a load; samples at or past len read as 0. A word is read when the
// scan reaches it, so what was written behind the last start returned never
// changes what comes next.
class StartScan {
  public:
    StartScan(const uint8_t *raw, int len) : m_raw(raw), m_len(len), m_nbytes(((int64_t)len + 7) / 8) {}
    // Goes to position from (1 <= from < len): Next gives the smallest start
    // at or after it.
    void Seek(int from) {
        m_base = from & ~63;
        uint64_t before = m_base > 0 ? (uint64_t)(m_raw[(m_base - 1) >> 3] & 1) : 0;
        Load(before);
        m_starts &= ~0ull >> (from - m_base);
    }
    // The next start, or len when there is none.
    int Next() {
        while (!m_starts) {
            m_base += 64;
            if (m_base >= m_len) return m_len;
            Load(m_word & 1);
        }
        int k = __builtin_clzll(m_starts);
        m_starts &= ~(0x8000000000000000ull >> k);
        return (int)(m_base + k);
    }

  private:
    void Load(uint64_t before) {
        m_word = Load64(m_raw, m_nbytes, m_base >> 3);
        if (m_len - m_base < 64) m_word &= ~(~0ull >> (m_len - m_base));
        m_starts = m_word & ~(m_word >> 1 | before << 63);
    }
    const uint8_t *m_raw;
    int m_len;
    int64_t m_nbytes, m_base = 0;
    uint64_t m_word = 0, m_starts = 0;
};

// Whether x holds a run of k set bits (k >= 1).
bool HasRun(uint64_t x, int k) {
    if (k > 64) return false;
    int have = 1;
    while (x && 2 * have <= k) {
        x &= x << have;
        have *= 2;
    }
    if (have < k) x &= x << (k - have);
    return x != 0;
}

int Wrap(int pos, int len) {
    pos %= len;
    return pos < 0 ? pos + len : pos;
}

} // namespace

int FindUnf(unsigned char *raw, int len, int count, int need, int forward) {
    if (count < 1 || len < 1) return -1;
    int run = 0;
    for (int i = 0; i < count; i++) {
        int pos = forward ? i % len : (len - i % len) % len;
        if (BfGetBit(raw, pos)) {
            run = 0;
            continue;
        }
        if (++run >= need) return forward ? Wrap(pos - need + 1, len) : pos;
    }
    return -1;
}

// A word at a time: a word without a pulse lengthens the run; otherwise its
// leading zeros end the run, its trailing zeros start the next, and the runs
// between its pulses are walked only when one of them could be the longest
// so far. Samples past the end read as pulses, which closes the last run.
int FindMaxUnf(unsigned char *raw, int len, int *size) {
    int best = -1, bestlen = 0, run = 0, runstart = 0;
    const int64_t nbytes = len > 0 ? ((int64_t)len + 7) / 8 : 0;
    for (int64_t base = 0; base < len; base += 64) {
        uint64_t w = Load64(raw, nbytes, base >> 3);
        if (len - base < 64) w |= ~0ull >> (len - base);
        if (!w) {
            if (!run) runstart = (int)base;
            run += 64;
            continue;
        }
        int lead = __builtin_clzll(w), trail = __builtin_ctzll(w);
        if (lead && !run) runstart = (int)base;
        run += lead;
        if (run > bestlen) best = runstart, bestlen = run;
        uint64_t inner = ~w & (~0ull >> lead) & (~0ull << trail);
        if (inner && HasRun(inner, bestlen + 1)) {
            // Each run between two pulses of the word, in order.
            uint64_t x = w << lead;
            int pos = lead;
            for (;;) {
                int ones = __builtin_clzll(~x);
                pos += ones;
                if (pos >= 64 - trail) break;
                x <<= ones;
                int zeros = __builtin_clzll(x);
                if (zeros > bestlen) best = (int)base + pos, bestlen = zeros;
                pos += zeros;
                x <<= zeros;
            }
        }
        run = trail;
        runstart = (int)(base + 64 - trail);
    }
    if (run > bestlen) best = runstart, bestlen = run;
    if (size) *size = bestlen;
    return best;
}

// A gap run whose pattern changes phase: two stretches of gap bytes written
// at different times. The point returned lies just past the jump.
int FindSplicingGapEnc(unsigned char *enc, int len, int from, int count, int mfm) {
    if (len <= 0) return -1;
    const uint8_t pat[2] = {(uint8_t)((mfm ? GAP_MFM : GAP_FM) >> 8), (uint8_t)(mfm ? GAP_MFM : GAP_FM)};
    int base = Wrap(from, len);
    const BfPattern gap(pat, 16); // prepared once for every search of the run
    int k = BfFind(enc, len, base, count, gap);
    if (k < 0) return -1;
    int64_t q = (int64_t)k + 16;
    for (int searches = 1;; searches++) {
        if (count - q < 16) return -1;
        int d = BfFind(enc, len, (int)((base + q) % len), (int)(count - q), gap);
        if (d < 0) return -1;
        q += d + 16;
        if (d == 0 || d >= 160) continue;
        if (searches < 8) return -1;
        return Wrap((int)((q + d + from) % len), len);
    }
}

// Every 96 samples without a pulse get a pair of pulses 16 samples apart,
// the first pair 24 samples after the last real pulse. Position p looks at
// the pulse start at p + 8; the first eight positions are never looked at.
// The pairs land behind the position looked at, so a stretch is found in one
// scan, except for a first pair that wraps to the end of the revolution:
// the scan is then taken again.
void MakeNoiseRaw(int, unsigned char *raw, int len) {
    if (len <= 0) return;
    // Each look starts one past the pulse start found before it, except
    // after a wrapped pair: the scan goes on from there and only then seeks.
    StartScan scan(raw, len);
    int64_t found = -2;  // the last start the scan gave
    int ahead = -1;      // a start the scan gave past it, not yet looked at
    int c = 0;
    int p = 0;
    while (p < len) {
        int q = len;
        if (p + 8 < len) {
            if (p + 8 != found + 1) scan.Seek(p + 8), ahead = -1;
            q = ahead >= 0 ? ahead : scan.Next();
            found = q;
            ahead = -1;
        }
        int stop = q < len ? q - 8 : len;
        bool rescan = false;
        while (p < stop) {
            int need = 96 - c;
            if (need > stop - p) {
                c += stop - p;
                p = stop;
                break;
            }
            p += need;
            int at = p - 1;
            fddbits::Put8(raw, len, Wrap(at - 96, len), 0xE0);
            fddbits::Put8(raw, len, Wrap(at - 80, len), 0xE0);
            c = 0;
            if (at < 96) {
                rescan = true;
                break;
            }
        }
        if (rescan) {
            found = -2;
            continue;
        }
        if (q < len) {
            // After a pulse, a next one at most 128 samples on leaves nothing
            // to fill (the count restarts at -32 from it): go straight to it.
            for (;;) {
                int next = scan.Next();
                if (next >= len || next - q > 128) {
                    ahead = next;
                    break;
                }
                q = next;
            }
            found = q;
            c = -32;
            p = q - 7;
        }
    }
}

namespace {

// Where the cells of a revolution lie in its samples. The revolution's clock
// is recovered once: the cells it gives are decoded as they are, and cell
// positions are mapped back to samples in as few walks as possible. A
// revolution expanded from an encode image and left at its length (the drive
// turns at the image's speed) has every pulse on the 8-sample grid, where the
// recovered period never moves and cell k lies at sample 8k: it needs no walk
// at all.
class CellMap {
  public:
    CellMap(const uint8_t *raw, int len, const uint8_t *cells, int count, bool ongrid)
        : m_raw(raw), m_len(len) {
        if (!ongrid) return;
        // The pulses are the set cells; the walk that maps positions starts
        // at the first and maps nothing past the last (nor anything with a
        // single pulse).
        int first = -1, last = -1;
        int bytes = (count + 7) / 8;
        auto at = [&](int b) {
            // The last byte's bits past the track are not expanded.
            return b == bytes - 1 && (count & 7) ? (uint8_t)(cells[b] & (0xFF00 >> (count & 7))) : cells[b];
        };
        for (int b = 0; b < bytes && first < 0; b++)
            if (at(b)) first = b * 8 + __builtin_clz((uint32_t)at(b) << 24);
        for (int b = bytes - 1; b >= 0 && last < 0; b--)
            if (at(b)) last = b * 8 + 7 - __builtin_ctz((uint32_t)at(b));
        m_mode = first < 0 ? kNoPulse : first == last ? kOnePulse : kGrid;
        m_last = last;
    }
    // The sample position Enc2RawPos gives for cell pos, kept when it lies in
    // the revolution; -1 otherwise.
    int ToRaw(int pos) const {
        if (pos < 0) return -1;
        int64_t p;
        switch (m_mode) {
        case kWalk: {
            int q = Enc2RawPos(m_raw, m_len, pos);
            return q >= 0 && q < m_len ? q : -1;
        }
        case kNoPulse:
            p = (int64_t)(int)((int64_t)pos * 8);
            break;
        case kOnePulse:
            return -1;
        default:
            p = pos <= m_last ? (int64_t)pos * 8 : m_len;
            break;
        }
        return p >= 0 && p < m_len ? (int)p : -1;
    }
    // Enc2RawPosMulti: positions become sample positions (not reduced into
    // the revolution), -1 where the revolution ends first.
    void Multi(int *positions, int count) const {
        if (m_mode == kWalk) {
            Enc2RawPosMulti(m_raw, m_len, positions, count);
        } else if (m_mode == kOnePulse) {
            for (int i = 0; i < count; i++)
                positions[i] = -1;
        } else if (m_mode == kGrid) {
            for (int i = 0; i < count; i++)
                positions[i] = positions[i] <= m_last ? positions[i] * 8 : -1;
        }
    }
    // The reduction Enc2RawPos applies to a mapped position, then the range
    // ToRaw keeps.
    int Reduce(int r) const {
        if (r < 0) return -1;
        if (r >= m_len) r -= m_len;
        return r >= 0 && r < m_len ? r : -1;
    }

  private:
    enum { kWalk, kNoPulse, kOnePulse, kGrid };
    const uint8_t *m_raw;
    int m_len;
    int m_mode = kWalk;
    int m_last = -1;
};

// The data rate of every sector with a data field, as the decoder measures
// it on samples: the raw length from the start of the field's SYNC to the
// end of its CRC against the nominal length, in thousandths. extra cell
// positions ride along in the same mapping and come back as sample
// positions (Enc2RawPosMulti's, not reduced).
void MeasureRates(VTrack &t, const CellMap &map, int len, std::vector<int> &extra) {
    std::vector<int> pos;
    std::vector<VSector *> measured;
    t.RateMarks(pos, measured);
    const size_t rates = pos.size();
    pos.insert(pos.end(), extra.begin(), extra.end());
    if (!pos.empty()) map.Multi(pos.data(), (int)pos.size());
    for (size_t i = 0; i < extra.size(); i++)
        extra[i] = pos[rates + i];
    VTrack::SetRates(measured, pos.data(), len);
}

// Whether MakeNoiseRaw would find no stretch to fill: it puts a pair where
// the first pulse start at or past sample 8 lies 104 samples or more in,
// where two pulse starts lie 129 or more apart, where the last lies 121 or
// more before the end, and in a revolution of 96 samples or more without
// any.
bool FluxEverywhere(const uint8_t *raw, int len) {
    int last = -1;
    if (len > 8) {  // samples 0 .. 7 are never looked at
        StartScan scan(raw, len);
        scan.Seek(8);
        for (int x; (x = scan.Next()) < len; last = x)
            if (last < 0 ? x >= 104 : x - last >= 129) return false;
    }
    return last < 0 ? len < 96 : len - last < 121;
}

} // namespace

int RestoreRate(const ZELDisk *disk) {
    if (!disk || !disk->valid) return 0;
    return disk->header.type == ZEL_TYPE_RAW ? disk->header.rate : disk->header.rate * 8;
}

int PrepareRestore(restore_t *r, int period, int spirate, ZELDisk *disk, int cylinder, int head,
                   int analyze) {
    r->track.Cleanup();
    r->len = r->writelen = 0;
    r->info[0] = 0;
    int rate = RestoreRate(disk);
    if (rate <= 0 || cylinder < 0 || cylinder >= disk->header.cylinders || cylinder >= ZEL_MAX_CYLINDERS ||
        head < 0 || head >= disk->header.heads || head >= ZEL_MAX_HEADS)
        return 0;
    const uint8_t *data = disk->GetTrackData(cylinder, head);
    int bits = disk->GetTrackLen(cylinder, head);
    // The record's bit count comes from the file: it must fit both the record
    // and this buffer.
    if (!data || bits < 0 || (int64_t)bits > (int64_t)disk->GetTrackCapacity(cylinder, head) * 8) return 0;
    const bool encoded = disk->header.type != ZEL_TYPE_RAW;
    int len;
    if (!encoded) {
        if (bits > FDD_RAW_BITS) return 0;
        memcpy(r->raw, data, (size_t)(bits + 7) / 8);
        len = bits;
    } else {
        if (bits > FDD_ENC_CELLS) return 0;
        len = Encode2Raw(data, bits, r->raw, FDD_RAW_BITS);
    }

    // Samples of one revolution of this drive, at the rate the SPI really runs.
    int64_t target = (int64_t)rate * period / 1000;
    if (spirate > 0 && spirate != rate) target = (int64_t)spirate * target / rate;
    if (target < 1 || target > FDD_RAW_BITS) return 0;
    const bool ongrid = encoded && len == target;
    len = StrechRaw(r->raw, len, (int)target);

    // The cells of the revolution, made once. The decoder takes at most
    // TRACK_MAX_CELLS cells from as many samples as make them; a revolution
    // longer than that is decoded from its samples, as the decoder reads
    // them, and its cells for the gap searches made apart.
    VTrack &t = r->track;
    const bool whole = len <= TRACK_MAX_CELLS * 8;
    CellMap map(r->raw, len, data, bits, ongrid && whole);
    std::unique_ptr<uint8_t[]> cells(new uint8_t[whole ? TRACK_ENC_BYTES : 1]);
    int count = 0;
    if (whole) {
        count = Raw2Encode(r->raw, len, cells.get(), TRACK_MAX_CELLS);
        t.Decode(0, cells.get(), count > 0 ? count : 0, analyze);
    } else {
        t.Decode(1, r->raw, len, analyze);
    }
    // The gap searches read the cells as Raw2Encode makes them with room for
    // FDD_ENC_CELLS. They are the decoder's own when no cell position reached
    // TRACK_MAX_CELLS: none does when the first pulse's cell plus the track's
    // cells stays below it.
    std::unique_ptr<uint8_t[]> wide;
    uint8_t *enc = nullptr;
    int enclen = 0;
    auto gapcells = [&]() {
        if (enc) return;
        int first = whole && count > 0 ? FirstEdge(r->raw, len) : -1;
        if (first >= 0 && (int64_t)first / 8 + count < TRACK_MAX_CELLS) {
            enc = cells.get();
            enclen = count;
            return;
        }
        wide.reset(new uint8_t[FDD_ENC_BYTES]());
        enclen = Raw2Encode(r->raw, len, wide.get(), FDD_ENC_CELLS);
        enc = wide.get();
    };

    int splice = -1;
    char label[128] = "0 (Index hole)";
    int sectors = t.SectorCount();
    if (sectors == 0) {
        snprintf(r->info, sizeof r->info, " / unformated / top ");
        splice = 0;
    } else {
        const int mfm = (t.flags & TRACK_MFM) ? 1 : 0;
        const int B = mfm ? 128 : 256;
        const int E = mfm ? 16 : 32;
        const int iamoff = mfm ? 64 : 32;
        const int errors = (t.flags & TRACK_ERRORS) ? 1 : 0;
        snprintf(r->info, sizeof r->info, " / %d cells / %2d sectors / %s / top ", len / B, sectors,
                 errors ? "illegal" : "normal");
        // Takes pos as the splice when it lies in the revolution; the label
        // gives it in bytes from the index.
        auto take = [&](int pos, const char *what, int size = -1) {
            if (pos < 0 || pos >= len) return false;
            splice = pos;
            if (size < 0)
                snprintf(label, sizeof label, "%d (%s)", pos / B, what);
            else
                snprintf(label, sizeof label, "%d (%s %d)", pos / B, what, size);
            return true;
        };
        auto gapenc = [&](int from, int n) {
            gapcells();
            return FindSplicingGapEnc(enc, enclen, from, n, mfm);
        };
        // The first rule's place in the gap bytes round the index is mapped
        // to samples in the same walk as the data rates (the revolution has
        // pulses: its cells hold ID marks).
        const bool gap4 = t.gap4a > 0 || t.gap4b >= 1;
        std::vector<int> extra;
        int gap4enc = gap4 ? gapenc(-t.gap4b * E, (t.gap4a + t.gap4b) * E) : -1;
        if (gap4enc >= 0) extra.push_back(gap4enc);
        if (whole) MeasureRates(t, map, len, extra);
        int gap4raw = -1;
        if (gap4enc >= 0) gap4raw = whole ? map.Reduce(extra[0]) : map.ToRaw(gap4enc);
        // The longest flux-free stretch, looked for only when a rule needs it.
        int maxsize = -1, maxpos = -1;
        auto longest = [&]() {
            if (maxsize < 0) maxpos = FindMaxUnf(r->raw, len, &maxsize);
            return maxsize;
        };

        bool done = false;
        if (gap4) done = take(gap4raw, "Splising in GAP4");
        if (!done && (t.flags & TRACK_IAM)) {
            int p = gapenc(t.iampos + iamoff, t.gap1 * E);
            done = take(p < 0 ? -1 : map.ToRaw(p), "Splising in GAP1");
        }
        if (!done && t.gap4b > 0) done = take(FindUnf(r->raw, len, t.gap4b * E, 256, 0), "Unformat in GAP4B");
        if (!done && t.gap4a >= 1)
            done = take(FindUnf(r->raw, len, t.gap4a * E, 256, 1), "Unformat in GAP4A");
        if (!done && errors) done = take(FindUnf(r->raw, len, len / 16, 256, 1), "Unformat after index hole");
        if (!done && errors)
            done = take(FindUnf(r->raw, len, len / 16, 256, 0), "Unformat before index hole");
        if (!done && longest() > 4095) done = take(maxpos + maxsize / 2, "Large unformat in lap");
        if (!done && !errors && !(t.flags & TRACK_STRADDLE)) done = take(0, "Index hole");
        if (!done && !(t.flags & TRACK_OVERLAP) && t.gap1 >= 41)
            done = take(map.ToRaw(t.iampos + iamoff + (t.gap1 / 2) * E), "GAP1 center");
        if (!done && errors && longest() > 35) done = take(maxpos, "Small unformat in lap size", maxsize);
        for (const VSector *s = t.sectors; !done && s; s = s->next) {
            if (s->gap3 <= 20) continue;
            int p = s->endpos + s->gap3 * E / 2;
            bool inside = false;
            for (const VSector *o = t.sectors; o && !inside; o = o->next)
                inside = o->idpos <= p && p < o->idpos + o->datacells;
            if (inside) continue;
            take(map.ToRaw(p), "GAP3 center");
            break;
        }
        if (splice < 0) {
            splice = 0;
            snprintf(label, sizeof label, "0 (Index hole)");
        }
    }
    size_t used = strlen(r->info);
    snprintf(r->info + used, sizeof r->info - used, "%s", label);
    r->rate = rate;
    r->len = len;
    r->writelen = len + splice;
    if (!FluxEverywhere(r->raw, len)) MakeNoiseRaw(rate, r->raw, len);
    return 1;
}
