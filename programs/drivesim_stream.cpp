// Track streaming: the bytes that keep SPI's transmit FIFO filled while the
// host reads, and the merge of the host's write pulses into the track while
// it writes. A track is a circular bitstream of tracklen bits, MSB first; a
// 1 bit is a flux transition. Every position is taken modulo tracklen.
//
// These are the signal loop's hot paths: whole-byte access wherever the 8
// bits lie inside the track, bit by bit only where they wrap at its end.
// Nothing here touches the hardware; drivesim_fifo.cpp moves the bytes.
#include "drivesim.h"

spi_t spi;

static uint32_t xorstate = 2463534242u;

// 32-bit xorshift: the random cells played into stretches without flux.
uint32_t rand_xor() {
    uint32_t y = xorstate;
    y ^= y << 13;
    y ^= y >> 17;
    y ^= y << 5;
    xorstate = y;
    return y;
}

static inline int GetBit(const uint8_t *data, int pos) { return (data[pos >> 3] >> (7 - (pos & 7))) & 1; }
static inline void PutBit(uint8_t *data, int pos, int bit) {
    uint8_t m = (uint8_t)(0x80 >> (pos & 7));
    if (bit) data[pos >> 3] |= m;
    else data[pos >> 3] &= (uint8_t)~m;
}

// The 8 bits from pos (already wrapped), first bit in bit 7.
static inline uint8_t Get8(const uint8_t *data, int len, int pos) {
    if (pos + 8 <= len) {
        int o = pos >> 3, s = pos & 7;
        if (s == 0) return data[o];
        // The second byte lies inside the track because pos + 8 <= len.
        return (uint8_t)(data[o] << s | data[o + 1] >> (8 - s));
    }
    uint8_t b = 0;
    for (int i = 0; i < 8; i++) b = (uint8_t)(b << 1 | GetBit(data, WrapPos(pos + i, len)));
    return b;
}

// Writes the 8 bits of b from pos (any value), first bit from bit 7.
static void Put8(uint8_t *data, int len, int pos, uint8_t b) {
    for (int i = 0; i < 8; i++) PutBit(data, WrapPos(pos + i, len), (b >> (7 - i)) & 1);
}

// Clears n bits from pos (any value), at most one whole revolution.
static void ClearBits(uint8_t *data, int len, int pos, int n) {
    if (n > len) n = len;
    pos = WrapPos(pos, len);
    while (n > 0 && (pos & 7)) {
        PutBit(data, pos, 0);
        pos = WrapPos(pos + 1, len);
        n--;
    }
    while (n >= 8 && pos + 8 <= len) {
        data[pos >> 3] = 0;
        pos = WrapPos(pos + 8, len);
        n -= 8;
    }
    for (; n > 0; n--) {
        PutBit(data, pos, 0);
        pos = WrapPos(pos + 1, len);
    }
}

// A long run keeps its count's phase (the jitter fires at 4 mod 128) but
// never overflows.
static inline void CapRun(int &z) {
    if (z >= (1 << 30)) z -= 1 << 29;
}

// Moves feedpos by up to 3 bits, backwards when r is odd: the slight speed
// wander of a real drive inside an area without transitions.
static inline void Jitter(fdd_t &d, uint32_t r) {
    int step = (int)((r >> 16) & 3);
    d.feedpos = WrapPos(d.feedpos + ((r & 1) ? -step : step), d.tracklen);
}

// Zero runs of each byte value: a byte whose 1 cells keep every run of 0
// cells (counting the run carried in from before) under four passes as it is.
struct ZeroRuns {
    uint8_t lead[256], trail[256], safe[256];  // safe: no inner or trailing run of 4
};
static constexpr ZeroRuns MakeZeroRuns() {
    ZeroRuns t{};
    for (int b = 0; b < 256; b++) {
        int lead = 0, run = 0, worst = 0;
        bool seen = false;
        for (int bit = 7; bit >= 0; bit--) {
            if (b >> bit & 1) {
                if (seen && run > worst) worst = run;
                seen = true;
                run = 0;
            } else {
                run++;
                if (!seen) lead++;
            }
        }
        t.lead[b] = (uint8_t)lead;
        t.trail[b] = (uint8_t)(seen ? run : 8);
        t.safe[b] = seen && worst < 4 && run < 4;
    }
    return t;
}
static constexpr ZeroRuns kZeroRuns = MakeZeroRuns();

// Next byte of an encode track. Valid FM/MFM never holds four 0 cells in a
// row: from the fourth 0 cell on, cells are replaced by random ones, so
// unformatted or flux-free areas read differently on every revolution while
// real data passes unchanged.
uint8_t ReadData(fdd_t &d) {
    uint32_t r = rand_xor();
    int &z = spi.zeros;
    if (z > 3 && z % 128 == 4) Jitter(d, r);
    uint8_t b = Get8(d.trackdata, d.tracklen, WrapPos(d.feedpos, d.tracklen));
    if (kZeroRuns.safe[b] && z + kZeroRuns.lead[b] < 4) {  // ordinary data
        z = kZeroRuns.trail[b];
        return b;
    }
    uint8_t out = b;
    for (int bit = 7; bit >= 0; bit--) {
        uint8_t m = (uint8_t)(1u << bit);
        if (b & m) {
            z = 0;
        } else if (++z >= 4) {
            out = (uint8_t)((out & ~m) | (r & m));
        }
    }
    CapRun(z);
    return z >= 8 ? (uint8_t)r : out;
}

// Next byte of a raw track (eight samples per cell). A run of more than
// three 0 bytes is filled with random write-pulse bytes.
uint8_t ReadDataRaw(fdd_t &d) {
    int &zb = spi.zeros;
    if (zb > 3 && zb % 128 == 4) Jitter(d, rand_xor());
    uint8_t b = Get8(d.trackdata, d.tracklen, WrapPos(d.feedpos, d.tracklen));
    if (b) {
        zb = 0;
        return b;
    }
    zb++;
    CapRun(zb);
    if (zb <= 3) return 0;
    return (rand_xor() & 1) ? spi.fill : 0;
}

// One byte sampled from the write-data line (8 samples per cell, or one per
// sample of a raw image; first sample in bit 7, 1 = line asserted). A write
// pulse begins where a sample is set and the one before it is not; the
// interval between two pulses becomes that many cells of 0 followed by a 1
// (encode) or that many sample bytes with the pulse byte `fill` last (raw).
void MergeWrite(fdd_t &d, uint8_t x) {
    uint8_t edges = (uint8_t)(x & ~((x >> 1) | ((spi.prev & 1) << 7)));
    spi.prev = x;
    if (!edges) {
        spi.count += 8;
        if (spi.count > (1 << 24)) spi.count = 1 << 24;  // gate open without pulses
        return;
    }
    int raw = d.type == 9;
    int last = -spi.count;  // sample of the previous pulse, relative to this byte
    for (int p = 0; p < 8; p++) {
        if (!(edges & (0x80 >> p))) continue;
        int interval = p - last;
        last = p;
        if (!raw) {
            int cells = (interval + 4) / 8;
            if (!d.protect) {
                ClearBits(d.trackdata, d.tracklen, d.feedpos, cells - 1);
                PutBit(d.trackdata, WrapPos(d.feedpos + cells - 1, d.tracklen), 1);
                spi.merged = 1;
            }
            d.feedpos = WrapPos(d.feedpos + cells, d.tracklen);
        } else {
            int n = (interval + 4) & ~7;
            if (!d.protect) {
                ClearBits(d.trackdata, d.tracklen, d.feedpos, n - 8);
                Put8(d.trackdata, d.tracklen, d.feedpos + n - 8, spi.fill);
                spi.merged = 1;
            }
            d.feedpos = WrapPos(d.feedpos + n, d.tracklen);
        }
    }
    spi.count = 8 - last;
}
