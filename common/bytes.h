// Bounds-checked little-endian access to file headers and records.
//
// ByteReader answers 0 for a field that lies past the bytes it was given and
// remembers the failure in ok(), so a reader checks once after taking all the
// fields it needs instead of trusting the file's sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteReader {
  public:
    ByteReader(const void *data, size_t size) : m_p(static_cast<const uint8_t *>(data)), m_n(size) {}

    uint32_t U8(size_t off) { return Fits(off, 1) ? m_p[off] : 0; }
    uint32_t LE16(size_t off) { return Fits(off, 2) ? (uint32_t)(m_p[off] | m_p[off + 1] << 8) : 0; }
    uint32_t LE32(size_t off) {
        return Fits(off, 4) ? (uint32_t)m_p[off] | (uint32_t)m_p[off + 1] << 8 | (uint32_t)m_p[off + 2] << 16 |
                                  (uint32_t)m_p[off + 3] << 24
                            : 0;
    }
    int32_t SLE32(size_t off) { return (int32_t)LE32(off); }
    // Copies len bytes at off into dst (zero-filled when out of range).
    void Bytes(size_t off, void *dst, size_t len) {
        if (Fits(off, len)) memcpy(dst, m_p + off, len);
        else memset(dst, 0, len);
    }
    bool ok() const { return m_ok; }

  private:
    bool Fits(size_t off, size_t len) {
        if (off <= m_n && len <= m_n - off) return true;
        m_ok = false;
        return false;
    }
    const uint8_t *m_p;
    size_t m_n;
    bool m_ok = true;
};

inline uint32_t GetLE16(const uint8_t *p) { return (uint32_t)(p[0] | p[1] << 8); }
inline uint32_t GetLE32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
// Eight bytes as one big-endian word: the first byte in bits 63..56, the way
// the bit streams keep their first cell in the top bit.
inline uint64_t GetBE64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
inline void PutLE16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void PutLE32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline void PutBE16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void PutBE32(uint8_t *p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    memcpy(p, &v, 4);
}
inline void PutBE64(uint8_t *p, uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    memcpy(p, &v, 8);
}
