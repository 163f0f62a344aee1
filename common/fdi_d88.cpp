// D88 disk images (".D88", ".D68", ".D77", ".D98"); a file may hold several
// disks one after another. Numbers are little-endian.
//   off    size   field
//   0x00     17   disk name, NUL-terminated
//   0x11      9   reserved, 0
//   0x1A      1   write protect: 0x00 writable, 0x10 protected (any non-zero protects)
//   0x1B      1   media: 0x00 2D, 0x10 2DD, 0x20 2HD
//   0x1C      4   size of this disk image in bytes, header included
//   0x20  164x4   offset of track 2*c+h from the start of this image, 0 = absent
//   0x2B0         tracks
// The track table may be shorter than 164 entries: it ends where the first
// track's data begins, so its end is the lowest offset it holds (a table of
// 154 entries puts the first track at 0x288).
//
// A track is a run of sectors, each a 16-byte header followed by its data:
//   0   1  C          6   1  density: 0x00 MFM, 0x40 FM
//   1   1  H          7   1  deleted mark: 0x10 = deleted data
//   2   1  R          8   1  status: 0x00 ok, 0x10 deleted, 0xA0 ID CRC error,
//   3   1  N                         0xB0 data CRC error, 0xF0 no data field
//   4   2  sectors in this track   9   5  reserved, 0
//                                 14   2  data size in bytes
// The status byte holds one condition; when a sector has several, the later
// of deleted, ID CRC error, data CRC error, no data field is stored.
#include <algorithm>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"

namespace {

enum {
    D88_HEADER = 0x2B0,
    D88_TABLE = 0x20,
    D88_TRACKS = 164,
    D88_SECTOR_HEADER = 16,
    D88_MAX_SECTOR = 16384,   // largest sector data the system handles
    D88_MIN_DISK = 512,       // size window of an image skipped on the way to a later disk
    D88_MAX_DISK = 0x1E0000,
};

enum { D88_OK = 0x00, D88_DELETED = 0x10, D88_IDCRC = 0xA0, D88_DATACRC = 0xB0, D88_NODATA = 0xF0 };

bool ValidMedia(uint32_t media) { return media == 0x00 || media == 0x10 || media == 0x20; }

// Whether a D88 disk header starts at off: a known media byte and a size
// that fits what is left of the file.
bool HeaderAt(const uint8_t *data, size_t size, size_t off) {
    if (off + D88_HEADER > size) return false;
    uint32_t disksize = GetLE32(data + off + 0x1C);
    return ValidMedia(data[off + 0x1B]) && disksize >= D88_HEADER && disksize <= size - off;
}

// Deleted-mark and status bytes of a sector; a later rule wins.
void StatusBytes(const VSector *s, uint8_t *deleted, uint8_t *status) {
    *deleted = *status = D88_OK;
    if (s->status & SECTOR_DELETED) *deleted = *status = D88_DELETED;
    if (s->status & SECTOR_IDCRC) *status = D88_IDCRC;
    if (s->status & SECTOR_DATACRC) *status = D88_DATACRC;
    if (s->status & SECTOR_NODATA) *status = D88_NODATA;
}

int SectorStatus(uint32_t deleted, uint32_t status) {
    int s = deleted ? SECTOR_DELETED : 0;
    switch (status) {
    case D88_IDCRC: s |= SECTOR_IDCRC; break;
    case D88_DATACRC: s |= SECTOR_DATACRC; break;
    case D88_NODATA: s |= SECTOR_NODATA; break;
    default: break;
    }
    return s;
}

} // namespace

int64_t D88DiskOffset(const uint8_t *data, size_t size, int diskno) {
    if (size < D88_HEADER) return -1;
    ByteReader r(data, size);
    int64_t off = 0;
    for (int k = 1; k < diskno; k++) {
        if ((size_t)off + D88_HEADER > size) return off;  // no header to read here
        uint32_t disksize = r.LE32((size_t)off + 0x1C);
        if (disksize < D88_MIN_DISK || disksize > D88_MAX_DISK || disksize > size - (size_t)off) return -1;
        off += disksize;
    }
    return off;
}

size_t D88DiskSpan(const uint8_t *data, size_t size, size_t base) {
    // The image spans its size field when another disk follows it; the last
    // (or only) disk of a file takes the rest of the file, whatever its size
    // field says.
    if (base + D88_HEADER > size) return 0;
    size_t span = size - base;
    uint32_t disksize = GetLE32(data + base + 0x1C);
    if (disksize >= D88_HEADER && disksize < span && HeaderAt(data, size, base + disksize)) span = disksize;
    return span;
}

int ReadD88(VDisk &d, const imagefile_t &file) {
    int64_t base = D88DiskOffset(file.data, file.size, file.diskno);
    if (base < 0 || (size_t)base + D88_HEADER > file.size) return 0;
    // Nothing of the disk is read from beyond its span.
    size_t span = D88DiskSpan(file.data, file.size, (size_t)base);
    ByteReader img(file.data + base, span);

    const uint32_t media = img.U8(0x1B);
    if (!ValidMedia(media)) return 0;
    // A size field that fits the file, or at least one track: a file of
    // another kind (or of zeros) is not taken for a blank disk.
    const uint32_t disksize = img.LE32(0x1C);
    const bool sized = disksize >= D88_HEADER && (size_t)base + disksize <= file.size;
    const int t = media == 0x00 ? VDisk::TYPE_2D : media == 0x10 ? VDisk::TYPE_2DD : VDisk::TYPE_2HD;

    // The table runs up to the lowest track offset met in it.
    uint32_t offsets[D88_TRACKS] = {};
    uint32_t lowest = D88_HEADER;
    int entries = 0, last = -1;
    while (entries < D88_TRACKS && D88_TABLE + 4 * (entries + 1) <= (int)lowest) {
        uint32_t off = img.LE32(D88_TABLE + 4 * entries);
        if (off) {
            lowest = std::min(lowest, off);
            last = entries;
        }
        offsets[entries++] = off;
    }
    // A disk has the usual cylinders of its kind (42, or 80 and 82 with a
    // full table), and always every cylinder that holds a track.
    if (last < 0 && !sized) return 0;
    int cyls = t == VDisk::TYPE_2D ? 42 : entries == D88_TRACKS ? 82 : 80;
    cyls = std::max(cyls, last / 2 + 1);
    d.Init(t, cyls, 2);
    char text[18] = {0};
    img.Bytes(0, text, 17);
    CopyName(d.name, text, sizeof d.name - 1);
    d.protect = !file.writable || img.U8(0x1A) != 0;

    // Every sector is stored once in a well-formed image, so the sectors read
    // can never add up to more bytes than the image has: this bounds what a
    // damaged track table (tracks sharing data, huge counts) can make us hold.
    size_t budget = span;
    for (int i = 0; i < entries; i++) {
        size_t pos = offsets[i];
        if (!pos) continue;
        VTrack *track = d.tracks[i / 2][i % 2];
        uint32_t count = img.LE16(pos + 4), bytes = 0;
        if (!img.ok() || count == 0 || count > TRACK_MAX_SECTORS) return 0;
        for (uint32_t k = 0; k < count; k++) {
            uint32_t size = img.LE16(pos + 14);
            bytes += size;
            if (!img.ok() || size > D88_MAX_SECTOR || size + D88_SECTOR_HEADER > budget || bytes > TRACK_MAX_BYTES)
                return 0;
            VSector *s = NewSector(img.U8(pos + 6) != 0x40, img.U8(pos), img.U8(pos + 1), img.U8(pos + 2),
                                   img.U8(pos + 3), (int)size, SectorStatus(img.U8(pos + 7), img.U8(pos + 8)));
            if (size) img.Bytes(pos + D88_SECTOR_HEADER, s->data, size);
            track->AddSector(s);
            if (!img.ok()) return 0;
            budget -= size + D88_SECTOR_HEADER;
            pos += size + D88_SECTOR_HEADER;
        }
    }
    return 1;
}

int WriteD88(const VDisk &d, std::vector<uint8_t> &out, std::string &why) {
    out.assign(D88_HEADER, 0);
    CopyName((char *)out.data(), d.name, 16);
    out[0x1A] = d.protect ? 0x10 : 0x00;
    out[0x1B] = d.type == VDisk::TYPE_2HD ? 0x20 : d.cylinders > 42 ? 0x10 : 0x00;

    // The table has room for 82 cylinders; a disk with more loses the rest
    // (which the loss check names).
    int cyls = std::min(std::max(d.cylinders, FormattedCylinders(d)), D88_TRACKS / 2);
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(d, c, h);
            if (!CountSectors(t)) continue;
            PutLE32(&out[D88_TABLE + 4 * (2 * c + h)], (uint32_t)out.size());
            for (const VSector *s = t->sectors; s; s = s->next) {
                // The size field is 16 bits: a longer sector cannot be stored.
                if (s->length < 0 || s->length > 0xFFFF) {
                    why = "a sector of " + std::to_string(s->length) + " bytes does not fit a D88 sector header";
                    return 0;
                }
                uint8_t sh[D88_SECTOR_HEADER] = {s->c, s->h, s->r, s->n};
                PutLE16(sh + 4, (uint32_t)t->SectorCount());
                sh[6] = s->mfm ? 0x00 : 0x40;
                StatusBytes(s, &sh[7], &sh[8]);
                PutLE16(sh + 14, (uint32_t)s->length);
                out.insert(out.end(), sh, sh + sizeof sh);
                if (s->length > 0) out.insert(out.end(), s->data, s->data + s->length);
            }
        }
    if (out.size() > 0xFFFFFFFFu) return 0;
    PutLE32(&out[0x1C], (uint32_t)out.size());
    return 1;
}
