// NFD images (revision 0): a 68112-byte header, then sector data in table
// order. Numbers are little-endian.
//   0x000    16  "T98FDDIMAGE.R0" and two NULs
//   0x010   256  comment (the disk name)
//   0x110     4  header length, 68112
//   0x114     1  write protect      0x115  1  heads (2)
//   0x120  163 x 26 x 16  sector table, 26 entries per track 2*c+h
// Entry (16 bytes; unused: bytes 0..10 FF, 11..15 0):
//   0  4  C, H, R, N       7  1  ST0: 4 when H != 0
//   4  1  1 = MFM, 0 = FM  8  1  ST1, written 0
//   5  1  1 = deleted data 9  1  ST2, written 0
//   6  1  status, written 0
//  10  1  drive type: 0x10 2D/2DD, 0x90 2HD 1.2 MB, 0x30 2HD 1.44 MB
// A track holds at most 26 sectors of 128 << N bytes each, on 163 tracks
// (cylinder 81 head 1 has no entries); no status but the deleted mark is
// stored.
#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"

namespace {

enum { NFD_HEADER = 68112, NFD_TABLE = 0x120, NFD_ENTRY = 16, NFD_TRACKS = 163 };


} // namespace

int ReadNFD(VDisk &d, const imagefile_t &file) {
    if (file.size < NFD_HEADER || memcmp(file.data, "T98FDDIMAGE.R0", 14) != 0 || file.data[0x115] != 2) return 0;
    ByteReader r(file.data, file.size);

    // The disk's kind is the drive type of its first sector.
    size_t first = NFD_TABLE;
    int used = TracksInUse(r, NFD_TABLE, NFD_ENTRY, NFD_TRACKS, &first);
    int cyls = (used + 1) / 2;
    int t;
    switch (r.U8(first + 10)) {
    case 0x30: case 0x90: t = VDisk::TYPE_2HD; break;
    case 0x10: t = used >= 85 ? VDisk::TYPE_2DD : VDisk::TYPE_2D; break;
    default:
        if (used) return 0;
        t = VDisk::TYPE_2HD;  // a blank table says nothing of the disk
        break;
    }
    d.Init(t, cyls, 2);
    char text[60] = {0};
    r.Bytes(0x10, text, 59);
    CopyName(d.name, text, sizeof d.name - 1);
    d.protect = r.U8(0x114) != 0 || !file.writable;

    size_t pos = NFD_HEADER;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            int track = 2 * c + h;
            if (track >= NFD_TRACKS) continue;  // cylinder 81 head 1 lies past the table
            size_t e = NFD_TABLE + (size_t)track * TABLE_SECTORS * NFD_ENTRY;
            int bytes = 0;  // a track holds no more than the longest track can
            for (int i = 0; i < TABLE_SECTORS && !IsUnusedEntry(r, e); i++, e += NFD_ENTRY) {
                int n = r.U8(e + 3);
                if ((bytes += SizeOfN(n)) > TRACK_MAX_BYTES) return 0;
                VSector *s = NewSector(r.U8(e + 4), r.U8(e), r.U8(e + 1), r.U8(e + 2), n, SizeOfN(n),
                                       r.U8(e + 5) ? SECTOR_DELETED : 0);
                r.Bytes(pos, s->data, (size_t)s->length);
                pos += (size_t)s->length;
                d.tracks[c][h]->AddSector(s);
                if (!r.ok()) return 0;
            }
        }
    return 1;
}

int WriteNFD(const VDisk &d, std::vector<uint8_t> &out, std::string &) {
    out.assign(NFD_HEADER, 0);
    memcpy(&out[0], "T98FDDIMAGE.R0", 14);
    CopyName((char *)&out[0x10], d.name, 255);
    PutLE32(&out[0x110], NFD_HEADER);
    out[0x115] = 2;
    for (size_t e = NFD_TABLE; e < NFD_TABLE + (size_t)NFD_TRACKS * TABLE_SECTORS * NFD_ENTRY; e += NFD_ENTRY)
        memset(&out[e], 0xFF, 11);

    // What lies past the table (cylinder 81 head 1 and later, sectors from
    // the 27th) is not written; the loss check names it.
    for (int track = 0; track < NFD_TRACKS; track++) {
        const VTrack *t = TrackAt(d, track / 2, track % 2);
        if (!CountSectors(t)) continue;
        uint8_t drive = d.type != VDisk::TYPE_2HD ? 0x10 : t->GetLength() < 11000 ? 0x90 : 0x30;
        size_t entry = NFD_TABLE + (size_t)track * TABLE_SECTORS * NFD_ENTRY;
        int i = 0;
        for (const VSector *s = t->sectors; s && i < TABLE_SECTORS; s = s->next, i++, entry += NFD_ENTRY) {
            uint8_t *e = &out[entry];
            e[0] = s->c, e[1] = s->h, e[2] = s->r, e[3] = s->n;
            e[4] = s->mfm ? 1 : 0;
            e[5] = (s->status & SECTOR_DELETED) ? 1 : 0;
            e[6] = 0;
            e[7] = s->h ? 4 : 0;
            e[8] = e[9] = 0;
            e[10] = drive;
            AppendSlot(out, s, SizeOfN(s->n));  // may move the buffer: e is not used after it
        }
    }
    return 1;
}
