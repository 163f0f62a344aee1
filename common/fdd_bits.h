// Bit-buffer helpers shared by the real-drive sources: word loads, pattern
// writes and copies on MSB-first buffers that never touch a byte past the
// stream's last bit, (len + 7) / 8 bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "bytes.h"

namespace fddbits {

// 64 samples from byte `byte` on as one word, the first in bit 63; bytes at
// or past nbytes read as 0, so a load near the end stays inside the buffer.
inline uint64_t Load64(const uint8_t *buf, int64_t nbytes, int64_t byte) {
    if (byte + 8 <= nbytes) return GetBE64(buf + byte);
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | (byte + i < nbytes ? buf[byte + i] : 0);
    return v;
}

// Stores a word as Load64 gives it back, the bytes at or past nbytes left out.
inline void Store64(uint8_t *buf, int64_t nbytes, int64_t byte, uint64_t v) {
    if (byte + 8 <= nbytes) return PutBE64(buf + byte, v);
    for (int i = 0; byte + i < nbytes; i++) buf[byte + i] = (uint8_t)(v >> (56 - 8 * i));
}

// Bits pos .. pos + 31 (first in bit 31); bits at or past len read as 0.
inline uint32_t Load32(const uint8_t *buf, int len, int pos) {
    if (pos >= len || pos < 0) return 0;
    int byte = pos >> 3, sh = pos & 7;
    int last = (len - 1) >> 3;
    uint64_t v = 0;
    for (int i = 0; i < 5; i++)
        v = v << 8 | (byte + i <= last ? buf[byte + i] : 0);
    uint32_t w = (uint32_t)(v >> (8 - sh));
    int valid = len - pos;
    if (valid < 32) w &= ~(0xFFFFFFFFu >> valid);
    return w;
}

// Writes the 8 bits of pattern (first in bit 7) at pos .. pos + 7 modulo len.
inline void Put8(uint8_t *buf, int len, int pos, uint8_t pattern) {
    if (pos + 8 <= len) {
        int byte = pos >> 3, sh = pos & 7;
        if (!sh) {
            buf[byte] = pattern;
            return;
        }
        buf[byte] = (uint8_t)((buf[byte] & (0xFF00 >> sh)) | pattern >> sh);
        buf[byte + 1] = (uint8_t)((buf[byte + 1] & (0xFF >> sh)) | pattern << (8 - sh));
        return;
    }
    for (int i = 0; i < 8; i++) {
        int p = (pos + i) % len;
        if (pattern & (0x80 >> i))
            buf[p >> 3] |= (uint8_t)(0x80 >> (p & 7));
        else
            buf[p >> 3] &= (uint8_t) ~(0x80 >> (p & 7));
    }
}

// Copies n bits from src at spos to dst at dpos (no wrapping); the other bits
// of dst stay as they were.
inline void CopyBits(uint8_t *dst, int dpos, const uint8_t *src, int spos, int n) {
    auto bit = [&](int i) {
        int s = spos + i, d = dpos + i;
        if (src[s >> 3] & (0x80 >> (s & 7)))
            dst[d >> 3] |= (uint8_t)(0x80 >> (d & 7));
        else
            dst[d >> 3] &= (uint8_t) ~(0x80 >> (d & 7));
    };
    int i = 0;
    for (; i < n && ((dpos + i) & 7); i++)
        bit(i);
    int sh = (spos + i) & 7;
    for (; i + 8 <= n; i += 8) {
        int s = (spos + i) >> 3;
        uint8_t v = sh ? (uint8_t)(src[s] << sh | src[s + 1] >> (8 - sh)) : src[s];
        dst[(dpos + i) >> 3] = v;
    }
    for (; i < n; i++)
        bit(i);
}

// n bits of the circular stream src (len bits) from pos on, into dst from bit 0.
inline void CopyCircular(uint8_t *dst, const uint8_t *src, int len, int pos, int n) {
    int done = 0;
    pos %= len;
    while (done < n) {
        int run = len - pos < n - done ? len - pos : n - done;
        CopyBits(dst, done, src, pos, run);
        done += run;
        pos = 0;
    }
}

// Bit i moves to bit (i + shift) mod len; 0 < shift < len.
inline void RotateRight(uint8_t *buf, int len, int shift) {
    size_t bytes = (size_t)(len + 7) / 8;
    std::unique_ptr<uint8_t[]> tmp(new uint8_t[bytes]());
    CopyBits(tmp.get(), shift, buf, 0, len - shift);
    CopyBits(tmp.get(), 0, buf, len - shift, shift);
    memcpy(buf, tmp.get(), bytes);
}

} // namespace fddbits
