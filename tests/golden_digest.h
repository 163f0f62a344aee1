// What the golden tests digest: FNV-1a over every byte a hot path produces,
// and over every field of a decoded track, so two versions of a path agree
// bit for bit when their digests do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fdi.h"

// FNV-1a, 64 bits.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void Add(const void *p, size_t n) {
        const uint8_t *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 1099511628211ull;
    }
    void Int(int64_t v) { Add(&v, sizeof v); }
    void Bits(const uint8_t *p, int bits) {
        Int(bits);
        if (bits > 0) Add(p, (size_t)(bits + 7) / 8);
    }
    void Buf(const std::vector<uint8_t> &b) { Int((int64_t)b.size()), Add(b.data(), b.size()); }
    void Text(const std::string &s) { Int((int64_t)s.size()), Add(s.data(), s.size()); }
};

// Every field of the track and of each sector, data included.
inline void AddTrack(Digest &d, const VTrack &t) {
    d.Int(t.flags), d.Int(t.iampos), d.Int(t.gap1), d.Int(t.gap4a), d.Int(t.gap4b), d.Int(t.cells);
    d.Int(t.mfmcount), d.Int(t.fmcount);
    for (const VSector *s = t.sectors; s; s = s->next) {
        d.Int(s->mfm), d.Int(s->c), d.Int(s->h), d.Int(s->r), d.Int(s->n), d.Int(s->gap2), d.Int(s->length);
        d.Int(s->gap3), d.Int(s->status), d.Int(s->idcrc[0] << 8 | s->idcrc[1]);
        d.Int(s->datacrc[0] << 8 | s->datacrc[1]), d.Int(s->idpos), d.Int(s->dampos), d.Int(s->datapos);
        d.Int(s->endpos), d.Int(s->datacells), d.Int(s->rate);
        if (s->length > 0) d.Add(s->data, (size_t)s->length);
    }
}
