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

#include "fdd_bits.h"
#include "zel.h"

// The first ID mark of each density, as the cells the encoder writes.
//   MFM  00 00 00 00 (AA AA each), A1 A1 A1 (44 89 each), FE (55 54: only 55 used)
//   FM   00 00 (88 88 88 88 each), FE with clock C7 (AA 22 2A A8: 12 cells used)
const uint8_t Bf_IDAM_MFM[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                 0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x54};
const uint8_t Bf_IDAM_FM[12] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0xAA, 0x22, 0x2A, 0xA8};

int StrechSmp(int, unsigned char *buf, int len, int newlen) {
    if (len == newlen) return newlen;
    if (newlen < 1) return newlen;
    size_t bytes = (size_t)(newlen + 7) / 8;
    std::unique_ptr<uint8_t[]> out(new uint8_t[bytes]());
    if (len > 0) {
        size_t srcbytes = (size_t)(len + 7) / 8;
        for (size_t b = 0; b < srcbytes; b++) {
            if (!buf[b]) continue;
            for (int j = 0; j < 8; j++) {
                int64_t i = (int64_t)b * 8 + j;
                if (i >= len || !(buf[b] & (0x80 >> j))) continue;
                int64_t q = i * newlen / len;
                if (q >= newlen) q -= newlen;
                BfSetBit(out.get(), (int)q);
            }
        }
    }
    memcpy(buf, out.get(), bytes);
    return newlen;
}

namespace {

// 64 samples from byte `byte` on as one word, the first in bit 63; bytes at
// or past nbytes read as 0.
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

// Stores a word loaded by Load64 back, the bytes at or past nbytes left out.
void Store64(uint8_t *buf, int64_t nbytes, int64_t byte, uint64_t v) {
    if (byte + 8 <= nbytes) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        memcpy(buf + byte, &v, 8);
        return;
    }
    for (int i = 0; byte + i < nbytes; i++) buf[byte + i] = (uint8_t)(v >> (56 - 8 * i));
}

} // namespace

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

void CutLap(dump_t *dump, int period, int rate, int found, int start, int end, int denoise, int analyze) {
    dump->found = found ? 1 : 0;
    dump->encrate = rate >> 3;
    memset(dump->lap, 0, sizeof dump->lap);
    int cut = 0;
    if (dump->found) {
        dump->encstart = start;
        dump->encend = end;
        dump->enclen = end - start + 1;
        if (TransRaw(dump->raw, dump->rawlen, &start, &end, dump->lap) >= 0 && end >= start &&
            end - start < FDD_RAW_BITS) {
            dump->laprate = rate;
            dump->lapstart = start;
            dump->lapend = end;
            dump->laplen = end - start + 1;
            // lap bit 0 is raw sample `start`; raw sample 0 was taken at the index.
            int shift = start % dump->laplen;
            if (shift > 0) fddbits::RotateRight(dump->lap, dump->laplen, shift);
            cut = 1;
        }
    } else {
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
    if (denoise > 0) dump->noise += NoiseCancelRaw(dump->lap, dump->laplen, denoise * 4);
    dump->enclen = Raw2Encode(dump->lap, dump->laplen, dump->enc, FDD_ENC_CELLS);
    dump->track.Decode(0, dump->enc, dump->enclen, analyze);
    if (!dump->found && dump->track.SectorCount() == 0) {
        memset(dump->enc, 0, sizeof dump->enc);
        memset(dump->lap, 0, sizeof dump->lap);
    }
}

void ProcessTrack(dump_t *dump, int period, int rate, int spirate, int quarters, int denoise, int analyze) {
    int start = -1, end = -1;
    int found = LocateLap(dump, rate, spirate, quarters, &start, &end);
    CutLap(dump, period, rate, found, start, end, denoise, analyze);
}
