// DIM, FDI, FDD and NFD sector images. Numbers are little-endian.
//
// DIM: a 256-byte header, then the data of every present track, cylinder by
// cylinder, head 0 then head 1, sectors in order; the geometry comes from the
// media code (DimGeometry).
//   off   size  field
//   0x00     1  media code
//   0x01   170  track present flags, one byte per track 2*c+h (1 present)
//   0xAB    14  "DIFC HEADER  " and a NUL
//   0xBA     8  04 21 03 22 01 00 00 00 (written, not read)
//   0xC2    59  comment (the disk name), NUL-padded
//   0xFE     1  0x19 (written, not read)
//   0xFF     1  over-track: media code 0 with more than 77 cylinders
//
// FDI: a header of header-length bytes, then every track, cylinder by
// cylinder, head 0 then head 1, sectors R = 1 .. count, all MFM.
//   0x00  4  0             0x10  4  sector bytes
//   0x04  4  drive type    0x14  4  sectors per track
//   0x08  4  header length 0x18  4  heads (2)
//   0x0C  4  data length   0x1C  4  cylinders
//
// FDD: a 50172-byte header, then sector data where the table points.
//   0x0000     8  "VFD1.00" and a NUL
//   0x0008   128  disk name
//   0x0088     2  write protect (non-zero = protected)
//   0x00DC  160 x 26 x 12  sector table, 26 entries per track 2*c+h
//   0xC3DC    32  FF FF, 16 x 00, 01 00, 8 x FF, 00 00 00 00
// FDD entry: 0 C, 1 H, 2 R, 3 N (all FF = unused), 4 fill byte (FF when the
// data is stored), 5 deleted, 6 MFM, 7 high density, 8..11 data offset
// (FFFFFFFF: not stored, the sector is the fill byte repeated).
//
// NFD (revision 0): a 68112-byte header, then sector data in table order.
//   0x000    16  "T98FDDIMAGE.R0" and two NULs
//   0x010   256  comment (the disk name)
//   0x110     4  header length, 68112
//   0x114     1  write protect      0x115  1  heads (2)
//   0x120  163 x 26 x 16  sector table, 26 entries per track 2*c+h
// NFD entry: 0 C, 1 H, 2 R, 3 N, 4 MFM, 5 deleted, 6 status, 7 ST0 (4 when
// H != 0), 8 ST1, 9 ST2, 10 drive type (0x10 2D/2DD, 0x90 2HD 1.2 MB, 0x30 2HD
// 1.44 MB), 11..15 zero; unused: bytes 0..10 FF.
//
// Sectors of these images may be up to 128 << 7 = 16384 bytes; each is read
// into its own buffer of its full size.
#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"

// Data size of a sector of size code n in the table-based formats.
static int SizeOfN(int n) { return 128 << (n < 7 ? n : 7); }

static const VSector *FirstSector(const VTrack *t) { return t ? t->sectors : nullptr; }

// ---------------------------------------------------------------------------
// DIM

enum { DIM_HEADER = 256, DIM_FLAGS = 0x01, DIM_MAGIC = 0xAB, DIM_COMMENT = 0xC2, DIM_OVERTRACK = 0xFF };
static const char DimMagic[] = "DIFC HEADER  ";

struct dimformat_t {
    int code;
    int sectors;
    int n;
};

static const dimformat_t DimGeometry[] = {
    {0, 8, 3},    // 2HD 8 x 1024
    {1, 9, 3},    // 2HS: R = 10 .. 18 (c0h0: 1, 11 .. 18)
    {2, 15, 2},   // 2HC 15 x 512
    {3, 9, 3},    // 2HDE: H = 0x80 + head (the very first sector H = 0)
    {9, 18, 2},   // 2HQ 18 x 512
    {17, 26, 1},  // 26 x 256; c0h0 is 26 x 128 in FM
};

static const dimformat_t *FindDim(int code) {
    for (const dimformat_t &g : DimGeometry)
        if (g.code == code) return &g;
    return nullptr;
}

// The ID of sector i (from 0) of track c, h on a DIM medium, and its density.
static void DimSectorId(const dimformat_t &g, int c, int h, int i, int *hid, int *r, int *n, int *mfm) {
    bool first = c == 0 && h == 0;
    *hid = h;
    *r = i + 1;
    *n = g.n;
    *mfm = 1;
    switch (g.code) {
    case 1: *r = first && i == 0 ? 1 : 10 + i; break;
    case 3: *hid = first && i == 0 ? 0 : 0x80 + h; break;
    case 17:
        if (first) *n = 0, *mfm = 0;
        break;
    }
}

int VDisk::ImportDIM(const Filepath &path) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable) || file.size() < DIM_HEADER) return 0;
    if (memcmp(file.data() + DIM_MAGIC, DimMagic, sizeof DimMagic) != 0) return 0;
    const dimformat_t *g = FindDim(file[0]);
    if (!g) return 0;

    Init(TYPE_2HD, MAX_CYLINDERS, 2);
    const char *comment = (const char *)file.data() + DIM_COMMENT;
    CopyName(name, comment[0] ? comment : path.GetShort(), sizeof name - 1);
    protect = !writable;

    ByteReader data(file.data(), file.size());
    size_t pos = DIM_HEADER;
    for (int c = 0; c < MAX_CYLINDERS; c++)
        for (int h = 0; h < 2; h++) {
            if (!file[DIM_FLAGS + 2 * c + h]) continue;
            for (int i = 0; i < g->sectors; i++) {
                int hid, r, n, mfm;
                DimSectorId(*g, c, h, i, &hid, &r, &n, &mfm);
                VSector *s = NewSector(mfm, c, hid, r, n, 128 << n, 0);
                data.Bytes(pos, s->data, (size_t)s->length);
                pos += (size_t)s->length;
                tracks[c][h]->AddSector(s);
                if (!data.ok()) return 0;
            }
        }
    return 1;
}

int VDisk::ExportDIM(const Filepath &path) {
    const VTrack *ref = TrackAt(*this, 0, 1);
    const VSector *refsec = FirstSector(ref);
    if (!refsec) return 0;
    const int count = ref->SectorCount(), refn = refsec->n;

    int cyls = 0;
    for (; cyls < cylinders && cyls < MAX_CYLINDERS; cyls++) {
        bool same = true;
        for (int h = 0; h < 2; h++)
            if (cyls || h) same = same && IsUniformTrack(TrackAt(*this, cyls, h), count, refn, true);
        if (!same) break;
    }
    if (cyls < 77) return 0;

    const VSector *first = FirstSector(TrackAt(*this, 0, 0));
    int code;
    if (refn == 1) {
        if (!first || first->mfm || first->n != 0) return 0;
        code = 17;
    } else if (count == 8) {
        if (refn != 3) return 0;
        code = 0;
    } else if (count == 9 && cyls >= 80) {
        if (refn != 3) return 0;
        const VSector *c2 = FirstSector(TrackAt(*this, 2, 0));
        code = c2 && c2->h >= 0x80 ? 3 : 1;
    } else if (count == 15 && cyls >= 80) {
        if (refn != 2) return 0;
        code = 2;
    } else if (count == 18 && refn == 2 && cyls >= 80) {
        code = 9;
    } else {
        return 0;
    }

    // A DIM stores no sector IDs: the file reads back with the medium's
    // geometry, so every track written must have exactly that many sectors
    // of that size (cylinder 0 head 0 included, which the count above skips).
    const dimformat_t *g = FindDim(code);
    const VTrack *t00 = TrackAt(*this, 0, 0);
    if (CountSectors(t00) != g->sectors) return 0;
    int i = 0;
    for (const VSector *s = t00->sectors; s; s = s->next, i++) {
        int hid, r, n, mfm;
        DimSectorId(*g, 0, 0, i, &hid, &r, &n, &mfm);
        if (s->n != n || s->mfm != mfm || s->length != 128 << n) return 0;
    }
    if (count != g->sectors) return 0;

    std::vector<uint8_t> out(DIM_HEADER, 0);
    out[0] = (uint8_t)code;
    memset(&out[DIM_FLAGS], 1, (size_t)(2 * cyls));
    memcpy(&out[DIM_MAGIC], DimMagic, sizeof DimMagic);
    static const uint8_t stamp[8] = {0x04, 0x21, 0x03, 0x22, 0x01, 0x00, 0x00, 0x00};
    memcpy(&out[0xBA], stamp, sizeof stamp);
    CopyName((char *)&out[DIM_COMMENT], name, 59);
    out[0xFE] = 0x19;
    out[DIM_OVERTRACK] = code == 0 && cyls != 77;
    return SaveSectorImage(path, out, *this, cyls);
}

// ---------------------------------------------------------------------------
// FDI

enum { FDI_FIELDS = 32, FDI_HEADER = 4096 };

int VDisk::ImportFDI(const Filepath &path) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable) || file.size() < FDI_FIELDS) return 0;
    ByteReader hdr(file.data(), file.size());
    uint32_t drive = hdr.LE32(0x04), hdrlen = hdr.LE32(0x08), bytes = hdr.LE32(0x10);
    uint32_t sectors = hdr.LE32(0x14), heads2 = hdr.LE32(0x18), cyls = hdr.LE32(0x1C);

    int n = 0;
    while (n < 7 && (128u << n) != bytes) n++;
    if ((128u << n) != bytes || sectors < 1 || sectors > 255 || heads2 != 2) return 0;
    // Cylinders beyond what a sector disk holds are refused, not cut off.
    if (cyls < 1 || cyls > MAX_CYLINDERS) return 0;
    if ((uint64_t)hdrlen + (uint64_t)sectors * bytes * cyls * 2 != file.size()) return 0;

    int t;
    switch (drive & 0xF0) {
    case 0x10: case 0x70: case 0xF0: t = TYPE_2DD; break;
    case 0x30: case 0x90: case 0xB0: t = TYPE_2HD; break;
    case 0x50: case 0xD0: t = TYPE_2D; break;
    default: return 0;
    }
    Init(t, (int)cyls, 2);
    CopyName(name, path.GetShort(), sizeof name - 1);
    protect = !writable;

    const uint8_t *p = file.data() + hdrlen;
    for (int c = 0; c < (int)cyls; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= (int)sectors; r++) {
                VSector *s = NewSector(1, c, h, r, n, (int)bytes, 0);
                memcpy(s->data, p, bytes);
                p += bytes;
                tracks[c][h]->AddSector(s);
            }
    return 1;
}

int VDisk::ExportFDI(const Filepath &path) {
    const VTrack *ref = TrackAt(*this, 0, 0);
    const VSector *refsec = FirstSector(ref);
    if (!refsec) return 0;
    const int count = ref->SectorCount(), refn = refsec->n;
    // The header holds one sector size, read back as a power of two from 128.
    if (refn > 7) return 0;

    int cyls = 0;
    while (cyls < cylinders && cyls < MAX_CYLINDERS && IsUniformTrack(TrackAt(*this, cyls, 0), count, refn, true) &&
           IsUniformTrack(TrackAt(*this, cyls, 1), count, refn, true))
        cyls++;
    if (!cyls) return 0;

    const uint32_t bytes = 128u << refn;
    std::vector<uint8_t> out(FDI_HEADER, 0);
    uint32_t drive = type == TYPE_2DD ? 0x10 : type == TYPE_2D ? 0x50 : ref->GetLength() > 10999 ? 0x30 : 0x90;
    PutLE32(&out[0x04], drive);
    PutLE32(&out[0x08], FDI_HEADER);
    PutLE32(&out[0x0C], bytes * (uint32_t)count * (uint32_t)cyls * 2);
    PutLE32(&out[0x10], bytes);
    PutLE32(&out[0x14], (uint32_t)count);
    PutLE32(&out[0x18], 2);
    PutLE32(&out[0x1C], (uint32_t)cyls);
    return SaveSectorImage(path, out, *this, cyls);
}

// ---------------------------------------------------------------------------
// FDD and NFD: a fixed table of 26 sector entries per track.

enum { TABLE_SECTORS = 26 };
enum { FDD_HEADER = 50172, FDD_TABLE = 0xDC, FDD_ENTRY = 12, FDD_TRACKS = 160, FDD_TRAILER = 0xC3DC };
enum { NFD_HEADER = 68112, NFD_TABLE = 0x120, NFD_ENTRY = 16, NFD_TRACKS = 163 };

// Number of tracks in use: those before the first whose first entry is unused.
static int TracksInUse(ByteReader &r, size_t table, size_t entry, int maxtracks) {
    int t = 0;
    while (t < maxtracks && r.U8(table + (size_t)t * TABLE_SECTORS * entry) != 0xFF) t++;
    return t;
}

static bool IsUnusedEntry(ByteReader &r, size_t e) {
    return r.U8(e) == 0xFF && r.U8(e + 1) == 0xFF && r.U8(e + 2) == 0xFF && r.U8(e + 3) == 0xFF;
}

int VDisk::ImportFDD(const Filepath &path) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable) || file.size() < FDD_HEADER) return 0;
    if (memcmp(file.data(), "VFD1.", 5) != 0) return 0;
    ByteReader r(file.data(), file.size());

    int used = TracksInUse(r, FDD_TABLE, FDD_ENTRY, FDD_TRACKS);
    int cyls = (used + 1) / 2;
    if (used == FDD_TRACKS) cyls = 80;
    int t = r.U8(FDD_TABLE + 7) ? TYPE_2HD : used >= 85 ? TYPE_2DD : TYPE_2D;
    Init(t, cyls, 2);
    char text[60] = {0};
    r.Bytes(0x08, text, 59);
    CopyName(name, text, sizeof name - 1);
    protect = r.LE16(0x88) != 0 || !writable;

    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            size_t e = FDD_TABLE + (size_t)(2 * c + h) * TABLE_SECTORS * FDD_ENTRY;
            for (int i = 0; i < TABLE_SECTORS && !IsUnusedEntry(r, e); i++, e += FDD_ENTRY) {
                int n = r.U8(e + 3);
                VSector *s = NewSector(r.U8(e + 6), r.U8(e), r.U8(e + 1), r.U8(e + 2), n, SizeOfN(n),
                                       r.U8(e + 5) ? SECTOR_DELETED : 0);
                uint32_t off = r.LE32(e + 8);
                if (off == 0xFFFFFFFF) memset(s->data, (int)r.U8(e + 4), (size_t)s->length);
                else r.Bytes(off, s->data, (size_t)s->length);
                tracks[c][h]->AddSector(s);
                if (!r.ok()) return 0;
            }
        }
    return 1;
}

// True when every byte of the sector has one value (taken as *value); a
// sector of 0 or 1 bytes counts as such.
static bool IsFilled(const VSector *s, uint8_t *value) {
    *value = s->length > 0 ? s->data[0] : 0;
    for (int i = 1; i < s->length; i++)
        if (s->data[i] != *value) return false;
    return true;
}

int VDisk::ExportFDD(const Filepath &path) {
    std::vector<uint8_t> out(FDD_HEADER, 0);
    memcpy(&out[0], "VFD1.00", 8);
    CopyName((char *)&out[0x08], name, 127);
    memset(&out[FDD_TABLE], 0xFF, (size_t)FDD_TRACKS * TABLE_SECTORS * FDD_ENTRY);
    static const uint8_t trailer[32] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    memcpy(&out[FDD_TRAILER], trailer, sizeof trailer);

    int cyls = cylinders < FDD_TRACKS / 2 ? cylinders : FDD_TRACKS / 2;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(*this, c, h);
            // The table has 26 entries per track: more sectors do not fit.
            if (CountSectors(t) > TABLE_SECTORS) return 0;
            size_t entry = FDD_TABLE + (size_t)(2 * c + h) * TABLE_SECTORS * FDD_ENTRY;
            for (const VSector *s = FirstSector(t); s; s = s->next, entry += FDD_ENTRY) {
                // Sectors read back as 128 << N bytes.
                if (s->length != SizeOfN(s->n)) return 0;
                uint8_t fill;
                bool filled = IsFilled(s, &fill);
                uint8_t *e = &out[entry];  // taken again after every append moved the buffer
                e[0] = s->c, e[1] = s->h, e[2] = s->r, e[3] = s->n;
                e[5] = (s->status & SECTOR_DELETED) ? 1 : 0;
                e[6] = s->mfm ? 1 : 0;
                e[7] = type == TYPE_2HD;
                if (filled) {
                    e[4] = fill;
                    PutLE32(e + 8, 0xFFFFFFFF);
                } else {
                    e[4] = 0xFF;
                    PutLE32(e + 8, (uint32_t)out.size());
                    out.insert(out.end(), s->data, s->data + s->length);
                }
            }
        }
    return SaveImageFile(path, out);
}

int VDisk::ImportNFD(const Filepath &path) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable) || file.size() < NFD_HEADER) return 0;
    if (memcmp(file.data(), "T98FDDIMAGE.R0", 14) != 0 || file[0x115] != 2) return 0;
    ByteReader r(file.data(), file.size());

    int used = TracksInUse(r, NFD_TABLE, NFD_ENTRY, NFD_TRACKS);
    int cyls = (used + 1) / 2;
    int t;
    switch (r.U8(NFD_TABLE + 10)) {
    case 0x30: case 0x90: t = TYPE_2HD; break;
    case 0x10: t = used >= 85 ? TYPE_2DD : TYPE_2D; break;
    default: return 0;
    }
    Init(t, cyls, 2);
    char text[60] = {0};
    r.Bytes(0x10, text, 59);
    CopyName(name, text, sizeof name - 1);
    protect = r.U8(0x114) != 0 || !writable;

    size_t pos = NFD_HEADER;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            int track = 2 * c + h;
            if (track >= NFD_TRACKS) continue;  // cylinder 81 head 1 lies past the table
            size_t e = NFD_TABLE + (size_t)track * TABLE_SECTORS * NFD_ENTRY;
            for (int i = 0; i < TABLE_SECTORS && !IsUnusedEntry(r, e); i++, e += NFD_ENTRY) {
                int n = r.U8(e + 3);
                VSector *s = NewSector(r.U8(e + 4), r.U8(e), r.U8(e + 1), r.U8(e + 2), n, SizeOfN(n),
                                       r.U8(e + 5) ? SECTOR_DELETED : 0);
                r.Bytes(pos, s->data, (size_t)s->length);
                pos += (size_t)s->length;
                tracks[c][h]->AddSector(s);
                if (!r.ok()) return 0;
            }
        }
    return 1;
}

int VDisk::ExportNFD(const Filepath &path) {
    std::vector<uint8_t> out(NFD_HEADER, 0);
    memcpy(&out[0], "T98FDDIMAGE.R0", 14);
    CopyName((char *)&out[0x10], name, 255);
    PutLE32(&out[0x110], NFD_HEADER);
    out[0x115] = 2;
    for (size_t e = NFD_TABLE; e < NFD_TABLE + (size_t)NFD_TRACKS * TABLE_SECTORS * NFD_ENTRY; e += NFD_ENTRY)
        memset(&out[e], 0xFF, 11);

    int cyls = cylinders < 82 ? cylinders : 82;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(*this, c, h);
            int count = CountSectors(t), track = 2 * c + h;
            if (!count) continue;
            // 26 entries per track and 163 tracks: cylinder 81 head 1 and a
            // 27th sector have no entry, and are refused rather than dropped.
            if (count > TABLE_SECTORS || track >= NFD_TRACKS) return 0;
            uint8_t drive = type != TYPE_2HD ? 0x10 : t->GetLength() < 11000 ? 0x90 : 0x30;
            size_t entry = NFD_TABLE + (size_t)track * TABLE_SECTORS * NFD_ENTRY;
            for (const VSector *s = t->sectors; s; s = s->next, entry += NFD_ENTRY) {
                if (s->length != SizeOfN(s->n)) return 0;
                uint8_t *e = &out[entry];  // taken again after every append moved the buffer
                e[0] = s->c, e[1] = s->h, e[2] = s->r, e[3] = s->n;
                e[4] = s->mfm ? 1 : 0;
                e[5] = (s->status & SECTOR_DELETED) ? 1 : 0;
                e[6] = 0;
                e[7] = s->h ? 4 : 0;
                e[8] = e[9] = 0;
                e[10] = drive;
                out.insert(out.end(), s->data, s->data + s->length);
            }
        }
    return SaveImageFile(path, out);
}
