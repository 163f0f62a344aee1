// Real-drive reading without the hardware: from a window of samples taken at
// the index pulse to one clean revolution, its cells and its sectors.
//
// A sampled window holds k / 4 revolutions (k = 5 .. 8). Its cells are
// searched for the first ID mark; a signature of the cells starting there
// (192 cells of an MFM mark, 224 of an FM one) is looked for again about one
// revolution later, and the stretch between the two is the lap. The lap's
// samples are cut out with TransRaw and rotated so that the sample taken at
// the index pulse comes first again:
//
//   raw    |index ....... ID mark ............... index ....... ID mark ....|
//                         ^lapstart                            ^lapend + 1
//   lap    |index ....... ID mark .......|   (the part before the first mark
//                                              is the end of the revolution)
#include "fdd.h"

#include <cstring>
#include <memory>

#include "bytes.h"
#include "fdd_bits.h"
#include "zel.h"
#include "zel_edges.h"

// The first ID mark of each density, as the cells the encoder writes.
//   MFM  00 00 00 00 (AA AA each), A1 A1 A1 (44 89 each), FE (55 54: only 55 used)
//   FM   00 00 (88 88 88 88 each), FE with clock C7 (AA 22 2A A8: 12 cells used)
const uint8_t Bf_IDAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                 0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x54};
const uint8_t Bf_IDAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0xAA, 0x22, 0x2A, 0xA8};

namespace {

using fddbits::Load64;
using fddbits::Store64;

// Copies n bits of src (nbytes bytes) from spos to dst from dpos, 32 at a
// time once dst is at a byte boundary; the bits of dst's first byte before
// dpos stay, the bits of its last byte past the copy are cleared.
void CopyBitsFast(uint8_t *dst, int dpos, const uint8_t *src, size_t nbytes, int spos, int n) {
    int i = 0;
    for (; i < n && ((dpos + i) & 7); i++) {
        int s = spos + i, d = dpos + i;
        if (src[s >> 3] & (0x80 >> (s & 7)))
            dst[d >> 3] |= (uint8_t)(0x80 >> (d & 7));
        else
            dst[d >> 3] &= (uint8_t) ~(0x80 >> (d & 7));
    }
    // Whole words while eight source bytes can be loaded.
    {
        const int sh = (spos + i) & 7;
        const uint8_t *in = src + ((spos + i) >> 3);
        uint8_t *o = dst + ((dpos + i) >> 3);
        int64_t words = (n - i) / 32;
        // Loads at in + 4w for w < room stay inside the source.
        int64_t spare = (int64_t)nbytes - ((spos + i) >> 3) - 8;
        int64_t room = spare < 0 ? 0 : spare / 4 + 1;
        if (words > room) words = room;
        for (int64_t w = 0; w < words; w++, in += 4, o += 4)
            PutBE32(o, (uint32_t)(GetBE64(in) << sh >> 32));
        if (words > 0) i += (int)(words * 32);
    }
    for (; i < n; i += 32) {
        int s = spos + i;
        uint32_t v = (uint32_t)(Load64(src, nbytes, (size_t)(s >> 3)) << (s & 7) >> 32);
        int left = n - i;
        if (left < 32) v &= ~(0xFFFFFFFFu >> left);
        uint8_t *o = dst + ((dpos + i) >> 3);
        int bytes = left < 32 ? (left + 7) / 8 : 4;
        for (int k = 0; k < bytes; k++)
            o[k] = (uint8_t)(v >> (24 - 8 * k));
    }
}

// Whether NoiseCancelRaw would find nothing to remove in a revolution: its
// spike pass only looks at an interval between kept pulses of at most three
// quarters of the two-cell interval T2 (as its clock, following the kept
// intervals of 9..39 samples, has it at that point), and its rhythm pass only
// at intervals outside 9..39 samples. A revolution whose intervals (the one
// across the seam aside, which neither judges) all lie in 9..39 samples and
// above those three quarters comes out of it untouched, with 0 removed.
bool NothingToCancel(const uint8_t *raw, int len) {
    if (len <= 0) return true;
    VFOState vfo;
    int prev = -1;  // the last pulse seen
    // The stream is circular: the sample before 0 is the last one.
    return zeledges::ScanEdges(raw, (len + 7) / 8, 0, len, (uint32_t)BfGetBit(raw, len - 1), [&](int x) {
        if (prev >= 0) {
            int d = x - prev;
            if (d < 9 || d > 39 || 4 * d <= 3 * vfo.T2) return false;
            VFO_Update(&vfo, d);
        }
        prev = x;
        return true;
    });
}

} // namespace

int StrechSmp(int, unsigned char *buf, int len, int newlen) {
    if (len == newlen) return newlen;
    if (newlen < 1) return newlen;
    size_t bytes = (size_t)(newlen + 7) / 8;
    std::unique_ptr<uint8_t[]> out(new uint8_t[bytes]());
    if (len > 0) {
        // Set samples 64 at a time; each moves to the same fraction of newlen.
        size_t srcbytes = (size_t)(len + 7) / 8;
        for (size_t b = 0; b < srcbytes; b += 8) {
            uint64_t w = Load64(buf, srcbytes, b);
            while (w) {
                int k = __builtin_clzll(w);
                w &= ~(0x8000000000000000ull >> k);
                int64_t i = (int64_t)b * 8 + k;
                if (i >= len) break;
                int64_t q = i * newlen / len;
                if (q >= newlen) q -= newlen;
                BfSetBit(out.get(), (int)q);
            }
        }
    }
    memcpy(buf, out.get(), bytes);
    return newlen;
}

// Pulse starts (a 1 after a 0) are found on the stream as it was: each word is
// read before any pattern can reach it, and the bit before position 0 counts
// as 0. Patterns are written in ascending order, so where two overlap the
// later one wins; a pattern near the end wraps to the start.
//
// A word of 64 samples at a time: each of its samples takes the bit of the
// pattern of the latest start at most seven samples before it (in this word
// or the one before), or keeps its value when there is none. When no two
// patterns overlap, they are placed by multiplying the starts with the
// pattern (each product a field of eight bits clear of the others). The
// patterns that wrap belong to the last starts and are drawn after the rest.
void ShapePulseRaw(unsigned char *buf, int len, unsigned char pattern) {
    if (len <= 0) return;
    const int64_t nbytes = ((int64_t)len + 7) / 8;
    const uint64_t pat = pattern;
    int wrapped[8], nwrapped = 0;
    uint64_t prevbit = 0, before = 0;  // the last sample and the starts of the word before
    for (int64_t base = 0; base < len; base += 64) {
        uint64_t orig = Load64(buf, nbytes, base >> 3), cur = orig;
        if (len - base < 64) cur &= ~(~0ull >> (len - base));
        uint64_t starts = cur & ~((cur >> 1) | (prevbit << 63));
        prevbit = cur & 1;
        int64_t lim = len - 7 - base;  // starts at or past it wrap
        if (lim < 64) {
            uint64_t keep = lim <= 0 ? 0 : ~(~0ull >> lim);
            for (uint64_t w = starts & ~keep; w; w &= ~(0x8000000000000000ull >> __builtin_clzll(w)))
                wrapped[nwrapped++] = (int)(base + __builtin_clzll(w));
            starts &= keep;
        }
        const uint64_t spill = before & 0x7F;  // starts of the word before that reach into this one
        if (starts | spill) {
            // Starts 2..7 samples before each sample (none is 1 before
            // another): a start among them means overlapping patterns.
            uint64_t ylo = starts >> 2 | before << 62, yhi = before >> 2;
            uint64_t zlo = ylo | ylo >> 1 | yhi << 63, zhi = yhi | yhi >> 1;
            uint64_t near = zlo | zlo >> 2 | zhi << 62 | zlo >> 4 | zhi << 60;
            uint64_t out;
            if (!(starts & near) && !(spill & (spill - 1))) {
                uint64_t tail = starts & 0x7F;
                uint64_t put = (starts >> 7) * pat | (tail * pat) >> 7 | (spill * pat) << 57;
                uint64_t mask = (starts >> 7) * 0xFF | (tail * 0xFF) >> 7 | (spill * 0xFF) << 57;
                out = (orig & ~mask) | put;
            } else {
                // t: starts j samples back; m: samples with a start fewer than j back.
                uint64_t m = starts;
                out = pattern & 0x80 ? starts : 0;
                for (int j = 1; j < 8; j++) {
                    uint64_t t = starts >> j | before << (64 - j);
                    if (pattern & (0x80 >> j)) out |= t & ~m;
                    m |= t;
                }
                out |= orig & ~m;
            }
            if (out != orig) Store64(buf, nbytes, base >> 3, out);
        }
        before = starts;
    }
    for (int i = 0; i < nwrapped; i++) fddbits::Put8(buf, len, wrapped[i], pattern);
}

// The signature, the first cells of the first ID mark, searched again one
// revolution (expected cells) later in three widening windows.
int FindLapEnc(unsigned char *enc, int len, int expected, int *start, int *end) {
    *start = -1;
    *end = -1;
    if (len <= 0 || expected <= 0) return 0;
    const int E = expected;
    int sigbits;
    int s = BfFind(enc, len, 0, E, Bf_IDAM_MFM, 120);
    if (s >= 0) {
        sigbits = 192;
    } else {
        s = BfFind(enc, len, 0, E, Bf_IDAM_FM, 88);
        if (s < 0) return 0;
        sigbits = 224;
    }
    *start = s;
    uint8_t sig[28];
    fddbits::CopyCircular(sig, enc, len, s, sigbits);

    struct window_t {
        int64_t back;
        int64_t length;
    };
    const window_t windows[3] = {
        {E / 200, E / 100},
        {E / 132, (int64_t)(E / 66) * 2},
        {E / 100, (int64_t)(E / 50) * 2},
    };
    for (const window_t &w : windows) {
        int64_t from = (int64_t)s + E - w.back;
        int off = BfFind(enc, len, (int)(from % len), (int)w.length, sig, sigbits);
        if (off >= 0) {
            *end = (int)(from + off - 1);
            break;
        }
    }
    return *end >= 0 ? 1 : 0;
}

uint32_t EvaluateTrackScore(const dump_t *dump) {
    return dump->found ? ScoreTrack(dump->track, dump->noise) : 0;
}

int LocateLap(dump_t *dump, int rate, int spirate, int quarters, int *start, int *end) {
    if (dump->rawlen < 0 || dump->rawlen > FDD_RAW_BITS) dump->rawlen = 0;
    if (spirate > 0 && spirate != rate) {
        // The SPI divider is an integer: the samples were taken at spirate and
        // are brought back to the nominal rate.
        int64_t n = (int64_t)dump->rawlen * rate / spirate;
        if (n > FDD_RAW_BITS) n = FDD_RAW_BITS;
        if (n != dump->rawlen) StrechSmp(0, dump->raw, dump->rawlen, (int)n);
        dump->rawlen = (int)n;
    }
    dump->enclen = Raw2Encode(dump->raw, dump->rawlen, dump->enc, FDD_ENC_CELLS);
    int expected = quarters > 0 ? (int)((int64_t)dump->enclen * 4 / quarters) : 0;
    return FindLapEnc(dump->enc, dump->enclen, expected, start, end);
}

namespace {

// The samples of cells start .. end of the window, as TransRaw finds them:
// from the first pulse counted as cell start to the sample before the first
// counted as cell end + 1 (both must exist). Both cells hold a pulse in the
// window's cells (an ID mark begins with one): a cell set by the clock
// recovery was set at a pulse counted as that cell, unless it was folded
// back from past the end of the track, which only reaches the cells before
// the first pulse's. Such cells are mapped to samples in one walk that copies
// nothing; any other case goes through TransRaw (into the lap, which the
// caller writes anew).
bool Cut(dump_t *dump, int windowcells, int *start, int *end) {
    const int s = *start, e1 = *end + 1;
    const int first = FirstEdge(dump->raw, dump->rawlen);
    if (first >= 0 && s > first / 8 && e1 < windowcells && (int64_t)first / 8 + windowcells < FDD_ENC_CELLS &&
        BfGetBit(dump->enc, s) && BfGetBit(dump->enc, e1)) {
        int pos[2] = {s, e1};
        if (Enc2RawPosMulti(dump->raw, dump->rawlen, pos, 2) == 2 && pos[1] - 1 >= pos[0]) {
            *start = pos[0];
            *end = pos[1] - 1;
            return true;
        }
    }
    return TransRaw(dump->raw, dump->rawlen, start, end, dump->lap) >= 0;
}

} // namespace

void CutLap(dump_t *dump, int period, int rate, int found, int start, int end, int denoise, int analyze) {
    // dump->enc still holds the cells LocateLap made of the window.
    const int windowcells = dump->enclen;
    dump->found = found ? 1 : 0;
    dump->encrate = rate >> 3;
    int cut = 0;
    if (dump->found) {
        dump->encstart = start;
        dump->encend = end;
        dump->enclen = end - start + 1;
        if (Cut(dump, windowcells, &start, &end) && end >= start && end - start < FDD_RAW_BITS) {
            dump->laprate = rate;
            dump->lapstart = start;
            dump->lapend = end;
            const int n = end - start + 1;
            dump->laplen = n;
            // lap bit 0 is raw sample `start`; raw sample 0 was taken at the
            // index. The cut is turned by shift straight from the samples:
            // its last shift samples come first.
            int shift = start % n;
            const size_t rawbytes = (size_t)(dump->rawlen + 7) / 8;
            if (shift > 0) CopyBitsFast(dump->lap, 0, dump->raw, rawbytes, start + n - shift, shift);
            CopyBitsFast(dump->lap, shift, dump->raw, rawbytes, start, n - shift);
            int used = (n + 7) / 8;
            if (dump->lapzero > used) memset(dump->lap + used, 0, (size_t)(dump->lapzero - used));
            cut = 1;
        }
    }
    if (!cut) memset(dump->lap, 0, sizeof dump->lap);
    if (!dump->found) {
        int64_t cells = (int64_t)period * rate / 8000;
        if (cells > FDD_ENC_CELLS) cells = FDD_ENC_CELLS;
        if (cells < 0) cells = 0;
        dump->enclen = (int)cells;
        dump->encstart = 0;
        dump->encend = dump->enclen - 1;
    }
    if (!cut) {
        // No lap: the first revolution after the index stands in for it.
        int64_t n = (int64_t)period * rate / 1000;
        if (n > FDD_RAW_BITS) n = FDD_RAW_BITS;
        if (n < 0) n = 0;
        int have = dump->rawlen < n ? dump->rawlen : (int)n;
        fddbits::CopyBits(dump->lap, 0, dump->raw, 0, have);
        dump->laprate = rate;
        dump->laplen = (int)n;
        dump->lapstart = 0;
        dump->lapend = (int)n - 1;
    }

    ShapePulseRaw(dump->lap, dump->laplen, 0xE0);
    dump->noise = 0;
    if (denoise > 0 && !NothingToCancel(dump->lap, dump->laplen))
        dump->noise += NoiseCancelRaw(dump->lap, dump->laplen, denoise * 4);
    dump->enclen = Raw2Encode(dump->lap, dump->laplen, dump->enc, FDD_ENC_CELLS);
    dump->track.Decode(0, dump->enc, dump->enclen, analyze);
    // Everything written to the lap lies inside it.
    dump->lapzero = (int)(((int64_t)dump->laplen + 7) / 8);
    if (!dump->found && dump->track.SectorCount() == 0) {
        memset(dump->enc, 0, sizeof dump->enc);
        memset(dump->lap, 0, sizeof dump->lap);
        dump->lapzero = 0;
    }
}

void ProcessTrack(dump_t *dump, int period, int rate, int spirate, int quarters, int denoise, int analyze) {
    int start = -1, end = -1;
    int found = LocateLap(dump, rate, spirate, quarters, &start, &end);
    CutLap(dump, period, rate, found, start, end, denoise, analyze);
}
