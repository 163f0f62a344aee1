// SCP flux images (SuperCard Pro, the dump format of Greaseweazle and other
// flux readers, ".SCP"). Numbers are little-endian, the flux entries
// themselves big-endian.
//   header, 16 bytes:
//     off  size  field
//     0x00    3  "SCP"
//     0x03    1  version of the writing software, (major << 4) | minor
//     0x04    1  disk type (manufacturer << 4 | kind; 0x8x "other")
//     0x05    1  revolutions stored per track
//     0x06    1  first track (index into the table), 0x07 last track
//     0x08    1  flags: 0x01 revolutions run index to index, 0x02 96 tpi,
//                0x04 360 rpm, 0x08 normalised flux, 0x10 read/write image,
//                0x20 footer present, 0x40 extended mode (other media),
//                0x80 written by other than SuperCard Pro hardware
//     0x09    1  bits per flux entry, 0 = 16
//     0x0A    1  heads: 0 both, 1 side 0 only, 2 side 1 only
//     0x0B    1  resolution: a tick is 25 ns x (value + 1)
//     0x0C    4  checksum: the sum of every byte from 0x10 to the end
//   0x10  168 x 4  offset of the track header of track 2 * cylinder + head
//                (0: no data); an older, shorter table ends where the
//                lowest offset points
//   track header, at its offset:
//     0x00    3  "TRK"
//     0x03    1  track number
//     then for every revolution k, 12 bytes at 0x04 + 12 k:
//       0    4  index time: ticks from index pulse to index pulse
//       4    4  flux entries
//       8    4  offset of the entries from the start of the track header
//   flux entries: u16 big-endian ticks since the previous transition; 0x0000
//   adds 65536 ticks to the next entry.
//   footer (flag 0x20): 0x30 bytes ending in "FPCS" at the end of the file,
//   offsets of strings after the track data; nothing in it is needed here.
// Single-sided files number their tracks as double-sided ones do (every
// other entry); some writers packed them one cylinder per entry instead,
// which shows as entries of both parities under "side 0 only".
//
// Import samples every revolution at eight samples per cell of the disk's
// cell rate (the one under which the intervals fall on a cell grid), decodes
// each and keeps the one that scores best, as the real-drive reader ranks its
// reads; rpm comes from the index times. Export writes one revolution a track
// from the image's samples (or cells, as ideal flux) at 25 ns ticks.
#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "version.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

namespace {

enum { SCP_HEADER = 0x10, SCP_TRACKS = 168, SCP_TABLE_END = SCP_HEADER + 4 * SCP_TRACKS };
enum { SCP_TDH = 4, SCP_REV = 12, SCP_FOOTER = 0x30 };
enum { SCP_INDEX = 0x01, SCP_96TPI = 0x02, SCP_360RPM = 0x04, SCP_FOOTERED = 0x20, SCP_EXTENDED = 0x40 };
enum { SCP_OTHER_HARDWARE = 0x80 };
// Bounds of what a track may claim: flux entries of one revolution, and
// revolutions of one track that are scored (further ones are checked only).
enum { SCP_MAX_FLUX = 1 << 21, SCP_MAX_SCORED = 16 };
const uint64_t kTicksPerSecond = 40000000;  // 25 ns
// Intervals enough to tell the cell rate (those of three or four tracks).
const uint64_t kSampleIntervals = 200000;

// The cell rates a disk may have (kcells/s), in the order ties go.
const int kRates[] = {500, 1000, 600};
const int kRateCount = sizeof kRates / sizeof kRates[0];

struct scprev_t {
    uint64_t index;  // ticks
    uint32_t count;
    size_t data;  // file offset of the entries
};

struct scptrack_t {
    int index, cylinder, head;
    std::vector<scprev_t> revs;
};

// Calls put(ticks from the revolution's start) for every transition.
template <typename F> void ForEachTransition(const uint8_t *data, const scprev_t &rev, F put) {
    uint64_t t = 0;
    for (uint32_t i = 0; i < rev.count; i++) {
        uint32_t v = (uint32_t)data[rev.data + 2 * i] << 8 | data[rev.data + 2 * i + 1];
        t += v ? v : 65536;
        if (v) put(t);
    }
}

// The disk type byte of the image: the "other" kinds by capacity.
uint8_t DiskType(const ZELDisk &z, int rate) {
    if (rate >= 1000) return z.header.rpm == 360 ? 0x81 : 0x85;  // 1.2 MB, 1.44 MB
    return z.header.cylinders > 42 ? 0x84 : 0x80;                // 720 KB, 360 KB
}

} // namespace

int WriteSCP(const ZELDisk &z, const VDisk &, std::vector<uint8_t> &out, std::string &) {
    const bool raw = z.header.type == ZEL_TYPE_RAW;
    const int rate = raw ? z.header.rate / 8 : z.header.rate, cyls = FluxCylinders(z);
    out.assign(SCP_TABLE_END, 0);
    memcpy(&out[0], "SCP", 3);
    out[3] = (uint8_t)(ZELMO_VERSION_MAJOR << 4 | ZELMO_VERSION_MINOR);
    out[4] = DiskType(z, rate);
    out[5] = 1;
    out[8] = (uint8_t)(SCP_INDEX | SCP_OTHER_HARDWARE | (z.header.cylinders > 42 ? SCP_96TPI : 0) |
                       (z.header.rpm == 360 ? SCP_360RPM : 0));
    int first = -1, last = 0;
    fluxrev_t rev;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            TrackFlux(z, c, h, rev);
            if (rev.at.empty() || !rev.unitrate) continue;
            const int track = 2 * c + h;
            if (first < 0) first = track;
            last = track;
            const size_t tdh = out.size();
            PutLE32(&out[SCP_HEADER + 4 * track], (uint32_t)tdh);
            AppendFill(out, 0, SCP_TDH + SCP_REV);
            memcpy(&out[tdh], "TRK", 3);
            out[tdh + 3] = (uint8_t)track;
            // Ticks of every transition from the absolute positions, so
            // rounding never drifts over the revolution.
            auto ticks = [&](uint64_t at) {
                return (at * kTicksPerSecond + rev.unitrate / 2) / rev.unitrate;
            };
            uint64_t prev = 0;
            uint32_t count = 0;
            std::vector<uint8_t> flux(2 * rev.at.size());
            for (uint32_t at : rev.at) {
                uint64_t t = ticks(at);
                if (t <= prev) t = prev + 1;
                uint64_t d = t - prev;
                if (d > 0xFFFF) flux.resize(flux.size() + 2 * (d / 65536));
                for (; d > 0xFFFF; d -= 65536) count++;  // 0x0000 entries
                // A whole number of 65536 ticks cannot be written: one tick later.
                if (!d) d = 1, t++;
                flux[2 * count] = (uint8_t)(d >> 8);
                flux[2 * count + 1] = (uint8_t)d;
                count++;
                prev = t;
            }
            out.insert(out.end(), flux.begin(), flux.begin() + 2 * count);
            PutLE32(&out[tdh + 4], (uint32_t)ticks(rev.length));
            PutLE32(&out[tdh + 8], count);
            PutLE32(&out[tdh + 12], SCP_TDH + SCP_REV);
        }
    out[6] = (uint8_t)(first < 0 ? 0 : first);
    out[7] = (uint8_t)last;
    uint32_t sum = 0;
    for (size_t i = SCP_HEADER; i < out.size(); i++) sum += out[i];
    PutLE32(&out[0x0C], sum);
    return 1;
}

int ReadSCP(ZELDisk &z, const imagefile_t &file, std::string &why) {
    const uint8_t *data = file.data;
    if (file.size < SCP_HEADER || memcmp(data, "SCP", 3)) return 0;
    ByteReader r(data, file.size);
    const uint32_t revs = r.U8(5), first = r.U8(6), last = r.U8(7), flags = r.U8(8), width = r.U8(9),
                   heads = r.U8(0x0A), resolution = r.U8(0x0B);
    if (flags & SCP_EXTENDED) {
        why = "it is in extended mode, for media other than floppy disks";
        return 0;
    }
    if (width != 0 && width != 16) {
        why = "its flux entries are " + std::to_string(width) + " bits wide, not 16";
        return 0;
    }
    if (!revs || first > last || last >= SCP_TRACKS) {
        why = "its header claims no revolutions or no tracks";
        return 0;
    }
    // The table ends where the first track header begins.
    size_t lowest = SCP_TABLE_END;
    for (uint32_t i = 0; i < SCP_TRACKS && SCP_HEADER + 4 * (i + 1) <= lowest; i++) {
        uint32_t off = r.LE32(SCP_HEADER + 4 * i);
        if (off >= SCP_HEADER && off < lowest) lowest = off;
    }
    const uint32_t entries = (uint32_t)(lowest - SCP_HEADER) / 4;
    // A footer ends the file; nothing of a track may lie in it.
    size_t end = file.size;
    if ((flags & SCP_FOOTERED) && end >= SCP_FOOTER && !memcmp(data + end - 4, "FPCS", 4)) end -= SCP_FOOTER;
    const uint64_t tick = 25 * (uint64_t)(resolution + 1);  // ns

    // Every track header and revolution is checked before anything is
    // sampled. A well-formed file stores every revolution once, so what
    // they claim together can never exceed the file: this bounds the work
    // a damaged table (tracks sharing headers and data) can make.
    std::vector<scptrack_t> tracks;
    bool odd = false;
    uint64_t budget = file.size, indexsum = 0, indexcount = 0;
    for (uint32_t i = first; i <= last && i < entries; i++) {
        uint32_t off = r.LE32(SCP_HEADER + 4 * i);
        if (!off) continue;
        const std::string at = "track " + std::to_string(i);
        if ((uint64_t)off + SCP_TDH + (uint64_t)SCP_REV * revs > end || memcmp(data + off, "TRK", 3)) {
            why = at + " has no track header where the table points";
            return 0;
        }
        scptrack_t t = {(int)i, 0, 0, {}};
        for (uint32_t k = 0; k < revs; k++) {
            size_t e = off + SCP_TDH + (size_t)SCP_REV * k;
            scprev_t rev = {r.LE32(e), r.LE32(e + 4), (size_t)off + r.LE32(e + 8)};
            if (!rev.index && !rev.count) continue;  // an empty revolution some writers leave
            uint64_t claim = SCP_REV + 2 * (uint64_t)rev.count;
            if (!rev.index || rev.index * tick > 1000000000 || rev.count > SCP_MAX_FLUX ||
                rev.data + 2 * (uint64_t)rev.count > end || claim > budget) {
                why = at + ": revolution " + std::to_string(k + 1) + " claims flux the file does not hold";
                return 0;
            }
            budget -= claim;
            indexsum += rev.index;
            indexcount++;
            t.revs.push_back(rev);
        }
        // Without index-cued revolutions the first may begin anywhere.
        if (!(flags & SCP_INDEX) && t.revs.size() > 1) t.revs.erase(t.revs.begin());
        if (t.revs.empty()) continue;
        odd = odd || (i & 1);
        tracks.push_back(t);
    }
    if (!r.ok()) return 0;

    // Speed from the index times, cell rate from the intervals of the first
    // tracks.
    const double turn = indexcount ? (double)indexsum / indexcount * tick : 2e8;  // ns
    const int rpm = 60e9 / turn < 330 ? 300 : 360;
    FluxHistogram intervals(25);
    for (const scptrack_t &t : tracks)
        for (size_t k = 0; k < t.revs.size() && intervals.Total() < kSampleIntervals; k++) {
            uint64_t prev = 0;
            ForEachTransition(data, t.revs[k], [&](uint64_t ticks) {
                intervals.Add((ticks - prev) * tick);
                prev = ticks;
            });
        }
    double cell[kRateCount];
    for (int k = 0; k < kRateCount; k++) cell[k] = 1e6 / kRates[k];
    int best = intervals.Best(cell, kRateCount);
    const int rate = kRates[best < 0 ? 0 : best];
    const uint64_t samplerate = (uint64_t)rate * 8000;  // samples per second

    // Table index to cylinder and head: packed single-sided files put one
    // cylinder in every entry.
    const bool packed = heads == 1 && odd;
    int cyls = 0;
    for (scptrack_t &t : tracks) {
        t.cylinder = packed ? t.index : t.index / 2;
        t.head = packed ? 0 : t.index % 2;
        if (t.cylinder >= ZEL_MAX_CYLINDERS) {
            why = "track " + std::to_string(t.index) + " lies beyond the 84 cylinders of a track image";
            return 0;
        }
        if (t.cylinder + 1 > cyls) cyls = t.cylinder + 1;
    }
    if (!z.Init(FluxDiskType(rate, cyls), rate, rpm, 1)) return 0;
    z.SetName(file.shortname);

    // Every revolution must be one of a floppy at this speed; records grow
    // to hold the longest.
    const int nominal = z.NominalLength();
    auto samples = [&](uint64_t ticks) { return (ticks * tick * samplerate / 1000 + 500000) / 1000000; };
    uint64_t longest = 0;
    for (const scptrack_t &t : tracks)
        for (const scprev_t &rev : t.revs) {
            uint64_t len = samples(rev.index);
            if (len < (uint64_t)nominal / 2 || len > 2 * (uint64_t)nominal) {
                why = "a revolution of track " + std::to_string(t.index) + " lasts " +
                      std::to_string(rev.index * tick / 1000000) + " ms, not one turn of a floppy disk";
                return 0;
            }
            if (len > longest) longest = len;
        }
    if (!z.GrowRecords((int)((ZEL_TRACK_HEADER + (longest + 7) / 8 + 511) & ~511ull))) return 0;

    std::vector<uint32_t> pulses;
    std::vector<uint8_t> raw, kept;
    for (const scptrack_t &t : tracks) {
        uint32_t top = 0;
        int keptlen = 0;
        for (size_t k = 0; k < t.revs.size() && k < SCP_MAX_SCORED; k++) {
            const int len = (int)samples(t.revs[k].index);
            pulses.clear();
            ForEachTransition(data, t.revs[k], [&](uint64_t ticks) {
                uint64_t s = samples(ticks);
                if (s < (uint64_t)len) pulses.push_back((uint32_t)s);
            });
            PulsesToRaw(pulses, len, raw);
            if (t.revs.size() > 1) {
                // As a read attempt without a lap, a revolution without an
                // ID mark scores 0.
                uint32_t score = 0;
                if (!pulses.empty()) {
                    VTrack decoded;
                    decoded.Decode(1, raw.data(), len, ANALYZE_UPD765);
                    if (decoded.sectors) score = ScoreTrack(decoded, 0);
                }
                if (k > 0 && score <= top) continue;
                top = score;
            }
            kept.swap(raw);
            keptlen = len;
        }
        if (!PutRawTrack(z, t.cylinder, t.head, kept, keptlen)) return 0;
    }
    return 1;
}
