// FDD images: a 50172-byte header, then sector data where the table points.
// Numbers are little-endian.
//   0x0000     8  "VFD1.00" and a NUL
//   0x0008   128  disk name
//   0x0088     2  write protect (non-zero = protected)
//   0x00DC  160 x 26 x 12  sector table, 26 entries per track 2*c+h
//   0xC3DC    32  FF FF, 16 x 00, 01 00, 8 x FF, 00 00 00 00
// Entry (12 bytes):
//   0  4  C, H, R, N (all FF = unused entry)
//   4  1  fill byte: every data byte when the data is not stored (FF when it is)
//   5  1  1 = deleted data
//   6  1  1 = MFM, 0 = FM
//   7  1  1 = high-density disk
//   8  4  file offset of the data, FFFFFFFF when not stored (one repeated byte)
// A track holds at most 26 sectors of 128 << N bytes each, on 80 cylinders;
// no status but the deleted mark is stored.
#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"

namespace {

enum { FDD_HEADER = 50172, FDD_TABLE = 0xDC, FDD_ENTRY = 12, FDD_TRACKS = 160, FDD_TRAILER = 0xC3DC };


// True when every byte of the sector has one value (taken as *value); a
// sector of 0 or 1 bytes counts as such.
bool IsFilled(const VSector *s, uint8_t *value) {
    *value = s->length > 0 ? s->data[0] : 0;
    for (int i = 1; i < s->length; i++)
        if (s->data[i] != *value) return false;
    return true;
}

} // namespace

int ReadFDD(VDisk &d, const imagefile_t &file) {
    if (file.size < FDD_HEADER || memcmp(file.data, "VFD1.", 5) != 0) return 0;
    ByteReader r(file.data, file.size);

    // The density is that of the first sector on the disk.
    size_t first = FDD_TABLE;
    int used = TracksInUse(r, FDD_TABLE, FDD_ENTRY, FDD_TRACKS, &first);
    int cyls = (used + 1) / 2;
    int t = r.U8(first + 7) ? VDisk::TYPE_2HD : used >= 85 ? VDisk::TYPE_2DD : VDisk::TYPE_2D;
    d.Init(t, cyls, 2);
    char text[60] = {0};
    r.Bytes(0x08, text, 59);
    CopyName(d.name, text, sizeof d.name - 1);
    d.protect = r.LE16(0x88) != 0 || !file.writable;

    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            size_t e = FDD_TABLE + (size_t)(2 * c + h) * TABLE_SECTORS * FDD_ENTRY;
            int bytes = 0;  // a track holds no more than the longest track can
            for (int i = 0; i < TABLE_SECTORS && !IsUnusedEntry(r, e); i++, e += FDD_ENTRY) {
                int n = r.U8(e + 3);
                if ((bytes += SizeOfN(n)) > TRACK_MAX_BYTES) return 0;
                VSector *s = NewSector(r.U8(e + 6), r.U8(e), r.U8(e + 1), r.U8(e + 2), n, SizeOfN(n),
                                       r.U8(e + 5) ? SECTOR_DELETED : 0);
                uint32_t off = r.LE32(e + 8);
                if (off == 0xFFFFFFFF) memset(s->data, (int)r.U8(e + 4), (size_t)s->length);
                else r.Bytes(off, s->data, (size_t)s->length);
                d.tracks[c][h]->AddSector(s);
                if (!r.ok()) return 0;
            }
        }
    return 1;
}

int WriteFDD(const VDisk &d, std::vector<uint8_t> &out, std::string &) {
    out.assign(FDD_HEADER, 0);
    memcpy(&out[0], "VFD1.00", 8);
    CopyName((char *)&out[0x08], d.name, 127);
    memset(&out[FDD_TABLE], 0xFF, (size_t)FDD_TRACKS * TABLE_SECTORS * FDD_ENTRY);
    static const uint8_t trailer[32] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    memcpy(&out[FDD_TRAILER], trailer, sizeof trailer);

    // What lies past the table (cylinders from 80, sectors from the 27th)
    // is not written; the loss check names it.
    for (int c = 0; c < FDD_TRACKS / 2; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(d, c, h);
            size_t entry = FDD_TABLE + (size_t)(2 * c + h) * TABLE_SECTORS * FDD_ENTRY;
            int i = 0;
            for (const VSector *s = t ? t->sectors : nullptr; s && i < TABLE_SECTORS; s = s->next, i++) {
                uint8_t fill;
                // Sectors read back as 128 << N bytes.
                bool filled = s->length == SizeOfN(s->n) && IsFilled(s, &fill);
                size_t at = entry + (size_t)i * FDD_ENTRY;
                out[at] = s->c, out[at + 1] = s->h, out[at + 2] = s->r, out[at + 3] = s->n;
                out[at + 5] = (s->status & SECTOR_DELETED) ? 1 : 0;
                out[at + 6] = s->mfm ? 1 : 0;
                out[at + 7] = d.type == VDisk::TYPE_2HD;
                if (filled) {
                    out[at + 4] = fill;
                    PutLE32(&out[at + 8], 0xFFFFFFFF);
                } else {
                    out[at + 4] = 0xFF;
                    PutLE32(&out[at + 8], (uint32_t)out.size());
                    AppendSlot(out, s, SizeOfN(s->n));
                }
            }
        }
    return 1;
}
