// Fixtures for the bitstream tests: bit streams held in exactly (n + 7) / 8
// heap bytes (so the sanitizer build catches any access past them), FM/MFM
// cell streams from random data, and raw streams with pulses at chosen places.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zel.h"

struct Bits {
    std::vector<uint8_t> b;
    int n = 0;

    Bits() = default;
    explicit Bits(int len) : b((size_t)((len + 7) / 8)), n(len) {}
    // "1001..." (other characters are skipped).
    static Bits Of(const std::string &s) {
        std::string t;
        for (char c : s)
            if (c == '0' || c == '1') t += c;
        Bits r((int)t.size());
        for (int i = 0; i < r.n; i++)
            if (t[i] == '1') r.Set(i);
        return r;
    }
    int Get(int i) const { return BfGetBit(b.data(), i); }
    void Set(int i) { BfSetBit(b.data(), i); }
    void Put(int i, int v) { v ? BfSetBit(b.data(), i) : BfClrBit(b.data(), i); }
    uint8_t *data() { return b.data(); }
    std::string Str() const {
        std::string s;
        for (int i = 0; i < n; i++) s += Get(i) ? '1' : '0';
        return s;
    }
    // Bit i of the result is bit (i + by) mod n of this stream.
    Bits Rotated(int by) const {
        Bits r(n);
        for (int i = 0; i < n; i++) r.Put(i, Get((int)(((int64_t)i + by) % n + n) % n));
        return r;
    }
    std::vector<int> Ones() const {
        std::vector<int> v;
        for (int i = 0; i < n; i++)
            if (Get(i)) v.push_back(i);
        return v;
    }
};

inline Bits RandomBits(std::mt19937 &rng, int n) {
    Bits r(n);
    for (auto &x : r.b) x = (uint8_t)rng();
    return r;
}

// Cells of random data bytes. MFM: two cells a bit, clock then data, the
// clock set only between two 0 bits. FM: four cells a bit on the same grid,
// clock, 0, data, 0.
inline Bits CellsOf(std::mt19937 &rng, int bytes, bool mfm) {
    Bits c(bytes * (mfm ? 16 : 32));
    int prev = 0, k = 0;
    for (int i = 0; i < bytes * 8; i++) {
        int d = (int)(rng() & 1);
        if (mfm) {
            c.Put(k++, !prev && !d);
            c.Put(k++, d);
        } else {
            c.Put(k, 1);
            c.Put(k + 2, d);
            k += 4;
        }
        prev = d;
    }
    return c;
}

// A raw stream of len samples with a three-sample pulse rising at each of
// the given positions (taken modulo len).
inline Bits RawWithPulses(int len, const std::vector<int64_t> &at) {
    Bits r(len);
    for (int64_t p : at)
        for (int k = 0; k < 3; k++) r.Set((int)((p + k) % len));
    return r;
}
