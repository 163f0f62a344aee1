// The rising-edge scan of the bitstream core, shared by every walk over a
// stream of samples (MSB first in each byte, (len + 7) / 8 bytes): the
// samples are read 64 a load with the first in bit 0, so that
// __builtin_ctzll visits a word's edges in order and e & (e - 1) steps from
// one to the next.
#pragma once

#include <cstdint>
#include <cstring>

namespace zeledges {

// The bits of every byte of v in reverse order (its own inverse).
inline uint64_t ReverseEachByte(uint64_t v) {
    v = (v >> 1 & 0x5555555555555555ull) | (v & 0x5555555555555555ull) << 1;
    v = (v >> 2 & 0x3333333333333333ull) | (v & 0x3333333333333333ull) << 2;
    return (v >> 4 & 0x0F0F0F0F0F0F0F0Full) | (v & 0x0F0F0F0F0F0F0F0Full) << 4;
}

// The 64 samples from byte `byte` on (byte >= 0) of a buffer of nbytes bytes,
// the first in bit 0 (the order __builtin_ctzll visits them in: on a stream
// with an edge every few samples the scan steps from edge to edge with
// e & (e - 1), one cycle apart); bytes past the buffer read as 0.
inline uint64_t Load64Reversed(const uint8_t *buf, int64_t nbytes, int64_t byte) {
    uint64_t v = 0;
    if (__builtin_expect(byte + 8 <= nbytes, 1)) {
        memcpy(&v, buf + byte, 8);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
#endif
    } else {
        for (int i = 7; i >= 0; i--) v = v << 8 | (byte + i < nbytes ? buf[byte + i] : 0);
    }
    // Byte i is in bits 8i .. 8i + 7 now, its first sample on top.
    return ReverseEachByte(v);
}

// Calls fn(x) for every rising edge x in [from, to) of a stream held in
// nbytes bytes, in order; prev is the sample before from. Stops early when fn
// returns false, and then returns false.
template <class F>
bool ScanEdges(const uint8_t *buf, int nbytes, int from, int to, uint32_t prev, F &&fn) {
    if (from >= to) return true;
    int64_t base = from & ~63;
    uint64_t before = from == base ? prev : 0;  // the predecessor of base
    for (;;) {
        uint64_t w = Load64Reversed(buf, nbytes, base >> 3);
        uint64_t e = w & ~((w << 1) | before);
        if (base < from) e &= ~0ull << (from - base);
        if (to - base < 64) e &= ~(~0ull << (to - base));
        for (; e; e &= e - 1)
            if (!fn((int)base + __builtin_ctzll(e))) return false;
        before = w >> 63;
        base += 64;
        if (base >= to) return true;
    }
}

}  // namespace zeledges
