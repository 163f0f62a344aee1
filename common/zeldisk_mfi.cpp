// MFI flux images (MAME's floppy image, ".MFI"). Numbers are little-endian.
//   header, 32 bytes:
//     off  size  field
//     0x00   16  "MAMEFLOPPYIMAGE" and a NUL (events), or "MESSFLOPPYIMAGE"
//                and a NUL (the older cell form)
//     0x10    4  bits 0..29 cylinders, bits 30..31 resolution (0 whole,
//                1 half, 2 quarter tracks)
//     0x14    4  heads (1 or 2)
//     0x18    4  form factor, four characters: "35  ", "525 ", "8   ", "3   "
//     0x1C    4  variant, four characters: "DSHD", "DSDD", "DSQD", "SSDD" ...
//   then (cylinders << resolution) x heads track entries of 16 bytes, track
//   position by position (in steps of 1 >> resolution cylinders), heads inside:
//     0x0    4  file offset of the track data
//     0x4    4  bytes of zlib data (0: unformatted)
//     0x8    4  bytes of inflated data, 4 per word (0: unformatted)
//     0xC    4  write splice: where a rewrite of the track starts and stops
//   track data: one zlib stream (RFC 1950) per track, inflating to u32 words
//   of a type (bits 28..31) and a time (bits 0..27). A revolution is always
//   200,000,000 units, whatever the speed: positions are angles from the index.
//     events (MAMEFLOPPYIMAGE): the time is the distance from the previous
//       event (the first from 0); type 0 a flux transition, 1 the start of a
//       non-magnetised zone, 2 of a damaged zone, 3 the end of such a zone.
//     cells (MESSFLOPPYIMAGE): the time is the length of a cell; type 0 and 1
//       the two magnetic orientations, a transition at every change between
//       them; 2 non-magnetised, 3 damaged.
// A track image holds whole tracks only: half and quarter tracks that carry
// data are refused. Zones read as stretches without flux. An MFI records no
// speed: the cell rate and rpm are those under which the intervals between
// transitions fall on a cell grid, and every revolution becomes a raw track
// of nominal length. Tracks are deflated at zlib's fastest level: a whole
// disk takes a fraction of a second, the file a third more room than at the
// default level.
#include <zlib.h>

#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

namespace {

enum { MFI_HEADER = 32, MFI_ENTRY = 16, MFI_MAX_WORDS = 1 << 19 };
// Intervals enough to tell the cell rate (those of three or four tracks).
const uint64_t kSampleIntervals = 200000;
enum { MFI_FLUX = 0, MFI_NEUTRAL = 1, MFI_DAMAGED = 2, MFI_END = 3 };  // event types
const uint32_t kTurn = 200000000;                                      // units in one revolution
const char kSignature[16] = "MAMEFLOPPYIMAGE";
const char kOldSignature[16] = "MESSFLOPPYIMAGE";

// Speeds a disk may have, in the order ties go: the angle of one cell is
// kTurn * rpm / (rate * 60000).
struct mfispeed_t {
    int rate, rpm;
};
const mfispeed_t kSpeeds[] = {{500, 300}, {1000, 360}, {1000, 300}, {500, 360}};
const int kSpeedCount = sizeof kSpeeds / sizeof kSpeeds[0];

// Form factor and variant as four characters each.
struct mfishape_t {
    int type, rpm;
    const char *form, *variant;
};
const mfishape_t kShapes[] = {
    {ZEL_TYPE_2HD, 360, "525 ", "DSHD"},  // 1.2 MB of the PC-98 and the X68000
    {ZEL_TYPE_2HD, 300, "35  ", "DSHD"},  // 1.44 MB
    {ZEL_TYPE_2DD, 300, "35  ", "DSDD"},  // 720 KB and 640 KB
    {ZEL_TYPE_2DD, 360, "525 ", "DSQD"},  // a double-density disk read in a 360-rpm drive
    {ZEL_TYPE_2D, 300, "525 ", "DSDD"},   // 40 cylinders
    {ZEL_TYPE_2D, 360, "525 ", "DSDD"},
};

struct mfientry_t {
    uint32_t offset, packed, words, splice;
};

// The transitions of one track entry as angles, ascending. 0 (and why) when
// the entry is damaged.
int TrackAngles(const uint8_t *data, size_t size, const mfientry_t &e, bool cells,
                std::vector<uint32_t> &angles, std::vector<uint32_t> &words, std::string &why) {
    angles.clear();
    if (!e.packed || !e.words) return 1;  // unformatted
    if (e.words % 4 || e.words / 4 > MFI_MAX_WORDS) {
        why = "its track data would inflate to " + std::to_string(e.words) + " bytes, not one revolution";
        return 0;
    }
    if ((uint64_t)e.offset + e.packed > size) {
        why = "track data lies past the end of the file";
        return 0;
    }
    words.assign(e.words / 4, 0);
    uLongf got = e.words;
    if (uncompress((Bytef *)words.data(), &got, data + e.offset, e.packed) != Z_OK || got != e.words) {
        why = "track data does not inflate";
        return 0;
    }
    for (uint32_t &w : words) w = GetLE32((const uint8_t *)&w);

    uint64_t pos = 0;
    if (!cells) {
        for (uint32_t w : words) {
            uint32_t type = w >> 28;
            pos += w & 0x0FFFFFFF;
            if (type > MFI_END) {
                why = "its track data holds an event of type " + std::to_string(type);
                return 0;
            }
            if (type == MFI_FLUX && pos < kTurn) angles.push_back((uint32_t)pos);
        }
        return 1;
    }
    // Cells: a transition at the start of every magnetic cell whose
    // orientation differs from the one before; the turn closes on itself.
    int first = -1, last = -1;
    for (uint32_t w : words) {
        uint32_t type = w >> 28;
        if (type > MFI_END) {
            why = "its track data holds a cell of type " + std::to_string(type);
            return 0;
        }
        if (type <= 1) {
            if (first < 0) first = (int)type;
            else if ((int)type != last && pos < kTurn) angles.push_back((uint32_t)pos);
            last = (int)type;
        }
        pos += w & 0x0FFFFFFF;
    }
    if (first >= 0 && first != last && (words[0] >> 28) <= 1 && (words.back() >> 28) <= 1)
        angles.insert(angles.begin(), 0);
    return 1;
}

// v taken modulo n, in 0 .. n - 1.
int64_t Around(int64_t v, int64_t n) { return (v % n + n) % n; }

// Where a rewrite of the track does least harm: the middle of the widest
// stretch between the end of one sector and the ID of the next, all around
// the track (0, the index, without sectors). t holds the decoded sectors of
// a track of cells cells; the result is an angle.
uint32_t SpliceAngle(const VTrack *t, int64_t cells) {
    if (!t || !t->sectors || cells <= 0) return 0;
    int64_t best = -1, at = 0;
    for (const VSector *s = t->sectors; s; s = s->next) {
        // The next ID around the track, and how far this sector reaches.
        int64_t next = -1;
        for (const VSector *o = t->sectors; o; o = o->next) {
            int64_t d = Around((int64_t)o->idpos - s->idpos, cells);
            if (o != s && (next < 0 || d < next)) next = d;
        }
        if (next < 0) next = cells;
        int64_t reach = (s->status & SECTOR_NODATA) ? 16 * 16 : Around((int64_t)s->endpos - s->idpos, cells);
        if (reach < next && next - reach > best) {
            best = next - reach;
            at = s->idpos + reach + (next - reach) / 2;
        }
    }
    return best < 0 ? 0 : (uint32_t)(Around(at, cells) * kTurn / cells);
}

} // namespace

int WriteMFI(const ZELDisk &z, const VDisk &sectors, std::vector<uint8_t> &out, std::string &why) {
    const int cyls = FluxCylinders(z);
    const mfishape_t *shape = nullptr;
    for (const mfishape_t &s : kShapes)
        if (s.type == (z.header.type == ZEL_TYPE_RAW ? FluxDiskType(z.header.rate / 8, z.header.cylinders)
                                                     : z.header.type) &&
            s.rpm == z.header.rpm)
            shape = &s;
    out.assign(MFI_HEADER + (size_t)MFI_ENTRY * cyls * 2, 0);
    memcpy(&out[0], kSignature, sizeof kSignature);
    PutLE32(&out[0x10], (uint32_t)cyls);
    PutLE32(&out[0x14], 2);
    if (shape) {
        memcpy(&out[0x18], shape->form, 4);
        memcpy(&out[0x1C], shape->variant, 4);
    }

    fluxrev_t rev;
    std::vector<uint8_t> words, packed;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            TrackFlux(z, c, h, rev);
            if (rev.at.empty()) continue;
            // Angles from the absolute positions, so rounding never drifts.
            words.resize(4 * rev.at.size());
            size_t n = 0;
            uint32_t prev = 0;
            for (uint32_t at : rev.at) {
                uint32_t a = (uint32_t)((uint64_t)at * kTurn / rev.length);
                if (n && a <= prev) a = prev + 1;
                if (a >= kTurn) break;
                PutLE32(&words[n], (a - prev) | (uint32_t)MFI_FLUX << 28);
                n += 4;
                prev = a;
            }
            words.resize(n);
            uLongf size = compressBound((uLong)words.size());
            packed.resize(size);
            if (compress2(packed.data(), &size, words.data(), (uLong)words.size(), Z_BEST_SPEED) != Z_OK) {
                why = "track data cannot be compressed";
                return 0;
            }
            size_t e = MFI_HEADER + (size_t)MFI_ENTRY * (2 * c + h);
            PutLE32(&out[e], (uint32_t)out.size());
            PutLE32(&out[e + 4], (uint32_t)size);
            PutLE32(&out[e + 8], (uint32_t)words.size());
            // The decoder counts a raw track in cells of about eight samples.
            int64_t cells = z.header.type == ZEL_TYPE_RAW ? z.GetTrackLen(c, h) / 8 : z.GetTrackLen(c, h);
            PutLE32(&out[e + 12], SpliceAngle(sectors.tracks[c][h], cells));
            out.insert(out.end(), packed.begin(), packed.begin() + (ptrdiff_t)size);
        }
    return 1;
}

int ReadMFI(ZELDisk &z, const imagefile_t &file, std::string &why) {
    if (file.size < MFI_HEADER) return 0;
    const bool cells = !memcmp(file.data, kOldSignature, sizeof kOldSignature);
    if (!cells && memcmp(file.data, kSignature, sizeof kSignature)) return 0;
    ByteReader r(file.data, file.size);
    const uint32_t cyls = r.LE32(0x10) & 0x3FFFFFFF, resolution = r.LE32(0x10) >> 30, heads = r.LE32(0x14);
    char variant[4];
    r.Bytes(0x1C, variant, 4);
    if (resolution > 2) {
        why = "its track resolution is not one of whole, half or quarter tracks";
        return 0;
    }
    if (cyls > ZEL_MAX_CYLINDERS) {
        why = "it has " + std::to_string(cyls) + " cylinders, more than a track image holds (84)";
        return 0;
    }
    if (heads < 1 || heads > ZEL_MAX_HEADS) {
        why = "its head count is " + std::to_string(heads) + ", not 1 or 2";
        return 0;
    }
    const uint32_t steps = 1u << resolution, entries = (cyls << resolution) * heads;
    if (MFI_HEADER + (uint64_t)MFI_ENTRY * entries > file.size) {
        why = "its track table runs past the end of the file";
        return 0;
    }
    auto entry = [&](uint32_t i) {
        size_t e = MFI_HEADER + (size_t)MFI_ENTRY * i;
        return mfientry_t{r.LE32(e), r.LE32(e + 4), r.LE32(e + 8), r.LE32(e + 12)};
    };
    auto where = [&](uint32_t i) {
        uint32_t pos = i / heads;
        std::string at = "cylinder " + std::to_string(pos / steps);
        if (pos % steps) at += " + " + std::to_string(pos % steps) + "/" + std::to_string(steps);
        return at + " head " + std::to_string(i % heads);
    };

    // The intervals of the first tracks decide the cell rate and speed the
    // revolutions are sampled at.
    FluxHistogram intervals(40);
    std::vector<uint32_t> angles, words;
    for (uint32_t i = 0; i < entries && intervals.Total() < kSampleIntervals; i += heads * steps)
        for (uint32_t h = 0; h < heads; h++) {
            if (!TrackAngles(file.data, file.size, entry(i + h), cells, angles, words, why)) {
                why = where(i + h) + ": " + why;
                return 0;
            }
            for (size_t k = 1; k < angles.size(); k++) intervals.Add(angles[k] - angles[k - 1]);
        }
    double cell[kSpeedCount];
    for (int k = 0; k < kSpeedCount; k++)
        cell[k] = (double)kTurn * kSpeeds[k].rpm / (kSpeeds[k].rate * 60000.0);
    int best = intervals.Best(cell, kSpeedCount);
    // A disk without flux takes its density from the variant ("DSHD").
    if (best < 0) best = variant[2] == 'H' ? 1 : 0;
    const mfispeed_t speed = kSpeeds[best];
    if (!z.Init(FluxDiskType(speed.rate, (int)cyls), speed.rate, speed.rpm, 1)) return 0;
    z.SetName(file.shortname);

    const int len = z.NominalLength();
    std::vector<uint32_t> samples;
    std::vector<uint8_t> raw;
    for (uint32_t i = 0; i < entries; i++) {
        if (!TrackAngles(file.data, file.size, entry(i), cells, angles, words, why)) {
            why = where(i) + ": " + why;
            return 0;
        }
        if (angles.empty()) continue;
        if (i / heads % steps) {
            why = "it holds a track at " + where(i) + ", between whole cylinders, which a track image cannot";
            return 0;
        }
        samples.clear();
        for (uint32_t a : angles) samples.push_back((uint32_t)(((uint64_t)a * len + kTurn / 2) / kTurn));
        PulsesToRaw(samples, len, raw);
        if (!PutRawTrack(z, (int)(i / heads / steps), (int)(i % heads), raw, len)) return 0;
    }
    return 1;
}
