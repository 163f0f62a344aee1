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

#include "fdd.h"
#include "fdd_bits.h"
#include "zel.h"
#include "zeldisk.h"

namespace {

// 64 samples from byte `byte` on as one word, the first in bit 63; bytes at
// or past nbytes read as 0, so a load near the end stays inside the buffer.
uint64_t Load64(const uint8_t *buf, int64_t nbytes, int64_t byte) {
    uint64_t v = 0;
    if (byte + 8 <= nbytes) {
        memcpy(&v, buf + byte, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }
    for (int i = 0; i < 8; i++) v = v << 8 | (byte + i < nbytes ? buf[byte + i] : 0);
    return v;
}

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

// Encoded position -> sample position inside the revolution, or -1.
int ToRaw(const uint8_t *raw, int len, int encpos) {
    if (encpos < 0) return -1;
    int p = Enc2RawPos(raw, len, encpos);
    return p >= 0 && p < len ? p : -1;
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
    int k = BfFind(enc, len, base, count, pat, 16);
    if (k < 0) return -1;
    int64_t q = (int64_t)k + 16;
    for (int searches = 1;; searches++) {
        if (count - q < 16) return -1;
        int d = BfFind(enc, len, (int)((base + q) % len), (int)(count - q), pat, 16);
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
    int len;
    if (disk->header.type == ZEL_TYPE_RAW) {
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
    len = StrechRaw(r->raw, len, (int)target);

    std::unique_ptr<uint8_t[]> enc(new uint8_t[FDD_ENC_BYTES]());
    int enclen = Raw2Encode(r->raw, len, enc.get(), FDD_ENC_CELLS);
    VTrack &t = r->track;
    t.Decode(1, r->raw, len, analyze);

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
        auto gap = [&](int from, int count) {
            int p = FindSplicingGapEnc(enc.get(), enclen, from, count, mfm);
            return p < 0 ? -1 : ToRaw(r->raw, len, p);
        };
        int maxsize = 0;
        int maxpos = FindMaxUnf(r->raw, len, &maxsize);

        bool done = false;
        if (t.gap4a > 0 || t.gap4b >= 1)
            done = take(gap(-t.gap4b * E, (t.gap4a + t.gap4b) * E), "Splising in GAP4");
        if (!done && (t.flags & TRACK_IAM))
            done = take(gap(t.iampos + iamoff, t.gap1 * E), "Splising in GAP1");
        if (!done && t.gap4b > 0) done = take(FindUnf(r->raw, len, t.gap4b * E, 256, 0), "Unformat in GAP4B");
        if (!done && t.gap4a >= 1)
            done = take(FindUnf(r->raw, len, t.gap4a * E, 256, 1), "Unformat in GAP4A");
        if (!done && errors) done = take(FindUnf(r->raw, len, len / 16, 256, 1), "Unformat after index hole");
        if (!done && errors)
            done = take(FindUnf(r->raw, len, len / 16, 256, 0), "Unformat before index hole");
        if (!done && maxsize > 4095) done = take(maxpos + maxsize / 2, "Large unformat in lap");
        if (!done && !errors && !(t.flags & TRACK_STRADDLE)) done = take(0, "Index hole");
        if (!done && !(t.flags & TRACK_OVERLAP) && t.gap1 >= 41)
            done = take(ToRaw(r->raw, len, t.iampos + iamoff + (t.gap1 / 2) * E), "GAP1 center");
        if (!done && errors && maxsize > 35) done = take(maxpos, "Small unformat in lap size", maxsize);
        for (const VSector *s = t.sectors; !done && s; s = s->next) {
            if (s->gap3 <= 20) continue;
            int p = s->endpos + s->gap3 * E / 2;
            bool inside = false;
            for (const VSector *o = t.sectors; o && !inside; o = o->next)
                inside = o->idpos <= p && p < o->idpos + o->datacells;
            if (inside) continue;
            take(ToRaw(r->raw, len, p), "GAP3 center");
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
    MakeNoiseRaw(rate, r->raw, len);
    return 1;
}
