// What the flux image formats (MFI, SCP) share: the transitions of a track
// in its own units, raw revolutions made of transition times, and the
// choice of a disk's cell rate from the intervals between transitions.
#include <cmath>
#include <cstring>

#include "zel.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

namespace {

// Bits of the track's record that hold its revolution.
int TrackBits(const ZELDisk &z, int c, int h) {
    if (!z.GetTrackData(c, h)) return 0;
    int64_t bits = z.GetTrackLen(c, h), capacity = (int64_t)z.GetTrackCapacity(c, h) * 8;
    return bits < 0 ? 0 : (int)(bits < capacity ? bits : capacity);
}

} // namespace

void TrackFlux(const ZELDisk &z, int c, int h, fluxrev_t &rev) {
    const bool raw = z.header.type == ZEL_TYPE_RAW;
    const uint8_t *data = z.GetTrackData(c, h);
    const int bits = TrackBits(z, c, h);
    rev.at.clear();
    rev.length = raw ? (uint32_t)bits : 2u * (uint32_t)bits;
    rev.unitrate = (uint64_t)(z.header.rate > 0 ? z.header.rate : 0) * 1000 * (raw ? 1 : 2);
    // A raw transition is a rising edge (the sample before sample 0 is the
    // last one); a cell transition sits in the middle of its cell. Bits past
    // the end of the revolution in its last byte do not count.
    const int bytes = (bits + 7) / 8;
    uint32_t prev = bits > 0 ? (uint32_t)BfGetBit(data, bits - 1) : 0;
    for (int k = 0; k < bytes; k++) {
        uint32_t b = data[k];
        if (k == bytes - 1 && (bits & 7)) b &= 0xFF00u >> (bits & 7);
        uint32_t t = raw ? b & ~(b >> 1 | prev << 7) & 0xFF : b;
        prev = b & 1;
        while (t) {
            uint32_t top = 31 - (uint32_t)__builtin_clz(t);  // the earliest bit left
            uint32_t i = (uint32_t)k * 8 + 7 - top;
            rev.at.push_back(raw ? i : 2 * i + 1);
            t &= ~(1u << top);
        }
    }
}

int FluxCylinders(const ZELDisk &z) {
    for (int c = ZEL_MAX_CYLINDERS < z.header.cylinders ? ZEL_MAX_CYLINDERS : z.header.cylinders; c > 0; c--)
        for (int h = 0; h < ZEL_MAX_HEADS && h < z.header.heads; h++) {
            const uint8_t *data = z.GetTrackData(c - 1, h);
            int bytes = (TrackBits(z, c - 1, h) + 7) / 8;
            for (int i = 0; i < bytes; i++)
                if (data[i]) return c;
        }
    return 0;
}

void PulsesToRaw(const std::vector<uint32_t> &samples, int len, std::vector<uint8_t> &bits) {
    bits.assign((size_t)(len > 0 ? len + 7 : 0) / 8, 0);
    if (len <= 0) return;
    uint8_t *b = bits.data();
    for (uint32_t s : samples) {
        uint32_t p = s % (uint32_t)len;
        if (p + 3 <= (uint32_t)len) {
            // The three samples as one or two bytes.
            uint32_t run = 0xE0000000u >> (p & 7);
            b[p >> 3] |= (uint8_t)(run >> 24);
            if ((p & 7) > 5) b[(p >> 3) + 1] |= (uint8_t)(run >> 16);
        } else {
            for (uint32_t k = 0; k < 3; k++) BfSetBit(b, (int)((p + k) % (uint32_t)len));
        }
    }
}

int PutRawTrack(ZELDisk &z, int c, int h, const std::vector<uint8_t> &bits, int len) {
    uint8_t *data = z.GetTrackData(c, h);
    if (!data || len < 0 || (size_t)(len + 7) / 8 > bits.size() || !z.SetTrackLen(c, h, len)) return 0;
    memset(data, 0, (size_t)z.GetTrackCapacity(c, h));
    memcpy(data, bits.data(), (size_t)(len + 7) / 8);
    z.UpdateTrack(c, h);
    return 1;
}

void FluxHistogram::Add(uint64_t interval) {
    double b = (double)interval / m_bucket;
    if (b < kBuckets) m_count[(size_t)b]++;
    m_total++;
}

int FluxHistogram::Best(const double *cells, int count) const {
    int best = -1;
    uint64_t most = 0;
    for (int k = 0; k < count; k++) {
        uint64_t fit = 0;
        for (int b = 0; b < kBuckets; b++) {
            if (!m_count[b]) continue;
            double x = (b + 0.5) * m_bucket / cells[k];
            double n = std::floor(x + 0.5);
            if (n >= 2 && n <= 4 && std::fabs(x - n) <= 0.25) fit += m_count[b];
        }
        if (fit > most) most = fit, best = k;
    }
    return best;
}

int FluxDiskType(int rate, int cylinders) {
    if (rate >= 1000) return ZEL_TYPE_2HD;
    return cylinders > 42 ? ZEL_TYPE_2DD : ZEL_TYPE_2D;
}
