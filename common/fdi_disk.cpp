// The sector disk (VDisk), the choice of image format by extension, plain
// sector dumps and the D88 family.
//
// Numbers are little-endian.
//
// Plain sector dump (".2HD", ".2DD", ".IMG", ...): no header, just the data
// of every sector, cylinder by cylinder, head 0 then head 1, sector R = 1 ..
// count, all MFM. The geometry follows from the file size alone (FixFormat).
//
// D88 disk image (".D88", ".D68", ".D77", ".D98"); a file may hold several
// images one after another:
//   off    size   field
//   0x00     17   disk name, NUL-terminated
//   0x11      9   reserved, 0
//   0x1A      1   write protect: 0x00 writable, 0x10 protected (any non-zero protects)
//   0x1B      1   media: 0x00 2D, 0x10 2DD, 0x20 2HD
//   0x1C      4   size of this disk image in bytes, header included
//   0x20  164x4   offset of track 2*c+h from the start of this image, 0 = absent
//   0x2B0         tracks
// A track is a run of sectors, each a 16-byte header followed by its data:
//   0   1  C          6   1  density: 0x00 MFM, 0x40 FM
//   1   1  H          7   1  deleted mark: 0x10 = deleted data
//   2   1  R          8   1  status: 0x00 ok, 0x10 deleted, 0xA0 ID CRC, 0xB0 data CRC, 0xF0 no data
//   3   1  N          9   5  reserved, 0
//   4   2  sectors in this track   14   2  data size in bytes
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "fileio.h"
#include "filepath.h"

// ---------------------------------------------------------------------------
// Shared file helpers

int64_t ImageFileSize(const Filepath &path) {
    Fileio fio;
    if (!fio.Open(path, Fileio::ReadOnly)) return -1;
    return fio.GetFileSize();
}

int LoadImageFile(const Filepath &path, std::vector<uint8_t> &buf, int *writable) {
    Fileio fio;
    int canwrite = fio.Open(path, Fileio::ReadWrite);
    fio.Close();
    if (writable) *writable = canwrite;
    if (!fio.Open(path, Fileio::ReadOnly)) return 0;
    int64_t size = fio.GetFileSize();
    if (size < 0 || size > IMAGE_FILE_MAX) return 0;
    buf.reserve((size_t)size);
    PrefaultPages(buf.data(), (size_t)size);
    buf.assign((size_t)size, 0);
    return size == 0 || fio.Read(buf.data(), (int)size);
}

int SaveImageFile(const Filepath &path, const uint8_t *data, size_t len) {
    if (len > (size_t)IMAGE_FILE_MAX) return 0;
    FileReplace out;
    return out.Begin(path.GetPath()) && (len == 0 || out.File().Write(data, (int)len)) && out.Commit();
}

int SaveSectorImage(const Filepath &path, const std::vector<uint8_t> &head, const VDisk &d, int cylinders,
                    int64_t *size) {
    enum { STAGE = 64 * 1024 };
    FileReplace out;
    if (!out.Begin(path.GetPath())) return 0;
    std::vector<uint8_t> stage(head);
    stage.reserve(std::max<size_t>(head.size(), STAGE) + 2 * 16384);
    int64_t total = 0;
    auto flush = [&]() {
        if (stage.empty()) return true;
        total += (int64_t)stage.size();
        if (total > IMAGE_FILE_MAX || !out.File().Write(stage.data(), (int)stage.size())) return false;
        stage.clear();
        return true;
    };
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < 2; h++) {
            AppendTrackData(stage, TrackAt(d, c, h));
            if (stage.size() >= STAGE && !flush()) return 0;
        }
    if (!flush() || !out.Commit()) return 0;
    if (size) *size = total;
    return 1;
}

VSector *NewSector(int mfm, int c, int h, int r, int n, int length, int status, int gap3) {
    VSector *s = new VSector;
    s->mfm = mfm ? 1 : 0;
    s->c = (uint8_t)c;
    s->h = (uint8_t)h;
    s->r = (uint8_t)r;
    s->n = (uint8_t)n;
    s->gap2 = mfm ? 22 : 11;
    s->length = length;
    s->data = length > 0 ? new uint8_t[length]() : nullptr;
    s->gap3 = gap3 >= 0 ? gap3 : s->CalcGAP3(mfm, n);
    s->status = (uint8_t)status;
    return s;
}

void CopyName(char *dst, const char *src, size_t maxlen) {
    size_t n = 0;
    while (n < maxlen && src[n]) n++;
    memcpy(dst, src, n);
    dst[n] = 0;
}

size_t AppendFill(std::vector<uint8_t> &out, uint8_t value, size_t n) {
    size_t at = out.size();
    out.resize(at + n, value);
    return at;
}

// ---------------------------------------------------------------------------
// VDisk

static void FreeTracks(VTrack *(&tracks)[VDisk::MAX_CYLINDERS][VDisk::MAX_HEADS]) {
    for (auto &cyl : tracks)
        for (VTrack *&t : cyl) {
            delete t;
            t = nullptr;
        }
}

VDisk::VDisk() {}

VDisk::~VDisk() { FreeTracks(tracks); }

void VDisk::Init(int t, int c, int h) {
    FreeTracks(tracks);
    memset(name, 0, sizeof name);
    protect = 0;
    type = t;
    cylinders = c;
    heads = h;
    for (int cyl = 0; cyl < c && cyl < MAX_CYLINDERS; cyl++)
        for (int head = 0; head < h && head < MAX_HEADS; head++) tracks[cyl][head] = new VTrack;
}

void VDisk::Cleanup() {
    type = cylinders = heads = protect = 0;
    memset(name, 0, sizeof name);
}

// ---------------------------------------------------------------------------
// Choice of format by extension: one row per extension.

static int ImportD68Disk(VDisk &d, const Filepath &p, int diskno) { return d.ImportD68(p, diskno); }
static int ImportDIMDisk(VDisk &d, const Filepath &p, int) { return d.ImportDIM(p); }
static int ImportFDIDisk(VDisk &d, const Filepath &p, int) { return d.ImportFDI(p); }
static int ImportFDDDisk(VDisk &d, const Filepath &p, int) { return d.ImportFDD(p); }
static int ImportNFDDisk(VDisk &d, const Filepath &p, int) { return d.ImportNFD(p); }

struct imageformat_t {
    const char *ext;
    int (*import)(VDisk &, const Filepath &, int diskno);  // null: plain dump, found by size
    int (VDisk::*exporter)(const Filepath &);              // null: plain dump of fixrow
    int fixrow;
};

static const imageformat_t ImageFormats[] = {
    {".2HD", nullptr, nullptr, 0},
    {".HDM", nullptr, nullptr, 0},
    {".XDF", nullptr, nullptr, 0},
    {".DUP", nullptr, nullptr, 0},
    {".IMG", nullptr, nullptr, 0},
    {".2HC", nullptr, nullptr, 3},
    {".2HQ", nullptr, nullptr, 5},
    {".2DD", nullptr, nullptr, 8},
    {".2D", nullptr, nullptr, 9},
    {".D68", ImportD68Disk, &VDisk::ExportD68, -1},
    {".D88", ImportD68Disk, &VDisk::ExportD68, -1},
    {".D77", ImportD68Disk, &VDisk::ExportD68, -1},
    {".D98", ImportD68Disk, &VDisk::ExportD68, -1},
    {".DIM", ImportDIMDisk, &VDisk::ExportDIM, -1},
    {".FDI", ImportFDIDisk, &VDisk::ExportFDI, -1},
    {".FDD", ImportFDDDisk, &VDisk::ExportFDD, -1},
    {".NFD", ImportNFDDisk, &VDisk::ExportNFD, -1},
};

static const imageformat_t *FindFormat(const Filepath &path) {
    for (const imageformat_t &f : ImageFormats)
        if (path.HasExt(f.ext)) return &f;
    return nullptr;
}

int VDisk::Import(const Filepath &path, int diskno) {
    // A file of a plain-dump size is a plain dump whatever its name.
    if (ImportFIX(path)) return 1;
    const imageformat_t *f = FindFormat(path);
    return f && f->import ? f->import(*this, path, diskno) : 0;
}

int VDisk::Export(const Filepath &path) {
    const imageformat_t *f = FindFormat(path);
    if (!f) return 0;
    return f->exporter ? (this->*f->exporter)(path) : ExportFIX(f->fixrow, path);
}

// ---------------------------------------------------------------------------
// Plain sector dumps

const fixformat_t VDisk::FixFormat[] = {
    // size     cyl  sec  N  GAP3  type
    {1261568, 77, 8, 3, 116, TYPE_2HD},  // 2HD 1.2 MB, 8 x 1024
    {0, 80, 8, 3, 116, TYPE_2HD},
    {0, 80, 9, 3, 52, TYPE_2HD},
    {1228800, 80, 15, 2, 84, TYPE_2HD},  // 2HC 1.2 MB, 15 x 512
    {0, 80, 9, 3, 53, TYPE_2HD},
    {1474560, 80, 18, 2, 84, TYPE_2HD},  // 2HQ 1.44 MB, 18 x 512
    {0, 77, 26, 1, 51, TYPE_2HD},
    {0, 77, 26, 1, 51, TYPE_2HD},
    {737280, 80, 9, 2, 84, TYPE_2DD},    // 2DD 720 KB, 9 x 512
    {368640, 40, 9, 2, 84, TYPE_2D},     // 2D 360 KB, 9 x 512
    {-1, 0, 0, 0, 0, 0},
};

const VTrack *TrackAt(const VDisk &d, int c, int h) {
    if (c < 0 || c >= VDisk::MAX_CYLINDERS || h < 0 || h >= VDisk::MAX_HEADS) return nullptr;
    return d.tracks[c][h];
}

int CountSectors(const VTrack *t) { return t ? t->SectorCount() : 0; }

bool IsUniformTrack(const VTrack *t, int count, int n, bool mfmonly) {
    if (n < 0 || n > 7 || CountSectors(t) != count || (mfmonly && t->fmcount)) return false;
    for (const VSector *s = t ? t->sectors : nullptr; s; s = s->next)
        if (s->n != n || s->length != 128 << n) return false;
    return true;
}

void AppendTrackData(std::vector<uint8_t> &out, const VTrack *t) {
    for (const VSector *s = t ? t->sectors : nullptr; s; s = s->next)
        if (s->length > 0) out.insert(out.end(), s->data, s->data + s->length);
}

int VDisk::ImportFIX(const Filepath &path) {
    int64_t size = ImageFileSize(path);
    const fixformat_t *row = FixFormat;
    while (row->size >= 0 && (row->size == 0 || row->size != size)) row++;
    if (row->size < 0) return 0;

    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable) || file.size() != (size_t)row->size) return 0;

    Init(row->type, row->cylinders, 2);
    CopyName(name, path.GetShort(), sizeof name - 1);
    protect = !writable;
    const int len = 128 << row->n;
    size_t pos = 0;
    for (int c = 0; c < row->cylinders; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= row->sectors; r++) {
                VSector *s = NewSector(1, c, h, r, row->n, len, 0, row->gap3);
                memcpy(s->data, file.data() + pos, (size_t)len);
                pos += (size_t)len;
                tracks[c][h]->AddSector(s);
            }
    return 1;
}

int VDisk::ExportFIX(int rowno, const Filepath &path) {
    if (rowno < 0 || rowno >= (int)(sizeof FixFormat / sizeof FixFormat[0]) - 1) return 0;
    const fixformat_t &row = FixFormat[rowno];
    if (row.size <= 0 || row.cylinders > cylinders) return 0;

    // A dump has no room for anything but the row's geometry: every track
    // must match it exactly, every sector holding its full 128 << N bytes.
    for (int c = 0; c < row.cylinders; c++)
        for (int h = 0; h < 2; h++)
            if (!IsUniformTrack(TrackAt(*this, c, h), row.sectors, row.n, false)) return 0;

    // The uniform tracks add up to exactly the row's size.
    return SaveSectorImage(path, {}, *this, row.cylinders);
}

// ---------------------------------------------------------------------------
// D88 family

enum {
    D88_HEADER = 0x2B0,
    D88_TRACKS = 164,
    D88_SECTOR_HEADER = 16,
    D88_MAX_SECTOR = 16384,   // largest sector data the system handles
    D88_MIN_DISK = 512,       // size window of an image skipped on the way to a later disk
    D88_MAX_DISK = 0x1E0000,
};

// Offset of disk diskno (counted from 1) in a D88 file, -1 when the walk over
// the images before it meets an implausible size.
static int64_t D68Offset(const std::vector<uint8_t> &file, int diskno) {
    if (file.size() < D88_HEADER) return -1;
    ByteReader r(file.data(), file.size());
    int64_t off = 0;
    for (int k = 1; k < diskno; k++) {
        if ((size_t)off + D88_HEADER > file.size()) return off;  // no header to read here
        uint32_t size = r.LE32((size_t)off + 0x1C);
        if (size < D88_MIN_DISK || size > D88_MAX_DISK || size > file.size() - (size_t)off) return -1;
        off += size;
    }
    return off;
}

int VDisk::GetD68MediaOffset(const Filepath &path, int diskno) {
    std::vector<uint8_t> file;
    if (!LoadImageFile(path, file, nullptr)) return -1;
    return (int)D68Offset(file, diskno);
}

int VDisk::ImportD68(const Filepath &path, int diskno) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable)) return 0;
    int64_t base = D68Offset(file, diskno);
    if (base < 0 || (size_t)base + D88_HEADER > file.size()) return 0;

    // The image spans its size field when that is plausible, else the rest
    // of the file; nothing of it is read from beyond that span.
    size_t span = file.size() - (size_t)base;
    ByteReader hdr(file.data() + base, span);
    uint32_t disksize = hdr.LE32(0x1C);
    if (disksize >= D88_HEADER && disksize < span) span = disksize;
    ByteReader img(file.data() + base, span);

    int t, cyls;
    switch (img.U8(0x1B)) {
    case 0x00: t = TYPE_2D, cyls = 42; break;
    case 0x10: t = TYPE_2DD, cyls = img.LE32(0x20) == D88_HEADER ? 82 : 80; break;
    case 0x20: t = TYPE_2HD, cyls = img.LE32(0x20) == D88_HEADER ? 82 : 80; break;
    default: return 0;
    }
    Init(t, cyls, 2);
    char text[18] = {0};
    img.Bytes(0, text, 17);
    CopyName(name, text, sizeof name - 1);
    protect = !writable || img.U8(0x1A) != 0;

    // Every sector is stored once in a well-formed image, so the sectors read
    // can never add up to more bytes than the image has: this bounds what a
    // damaged track table (tracks sharing data, huge counts) can make us hold.
    size_t budget = span;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            size_t pos = img.LE32(0x20 + 4 * (2 * c + h));
            if (!pos) continue;
            uint32_t count = img.LE16(pos + 4);
            if (!img.ok() || count == 0) return 0;
            for (uint32_t i = 0; i < count; i++) {
                uint32_t size = img.LE16(pos + 14);
                if (!img.ok() || size > D88_MAX_SECTOR || size + D88_SECTOR_HEADER > budget) return 0;
                VSector *s = NewSector(img.U8(pos + 6) != 0x40, img.U8(pos), img.U8(pos + 1), img.U8(pos + 2),
                                       img.U8(pos + 3), (int)size, img.U8(pos + 7) ? SECTOR_DELETED : 0);
                if (size) img.Bytes(pos + D88_SECTOR_HEADER, s->data, size);
                tracks[c][h]->AddSector(s);
                if (!img.ok()) return 0;
                budget -= size + D88_SECTOR_HEADER;
                pos += size + D88_SECTOR_HEADER;
            }
        }
    return 1;
}

// Deleted-mark and status bytes of a D88 sector header; a later rule wins.
static void D88Status(const VSector *s, uint8_t *deleted, uint8_t *status) {
    *deleted = *status = 0x00;
    if (s->status & SECTOR_DELETED) *deleted = *status = 0x10;
    if (s->status & SECTOR_IDCRC) *status = 0xA0;
    if (s->status & SECTOR_DATACRC) *status = 0xB0;
    if (s->status & SECTOR_NODATA) *status = 0xF0;
}

int VDisk::ExportD68(const Filepath &path) {
    std::vector<uint8_t> out(D88_HEADER, 0);
    CopyName((char *)out.data(), name, 16);
    out[0x1A] = protect ? 0x10 : 0x00;
    out[0x1B] = type == TYPE_2HD ? 0x20 : cylinders > 42 ? 0x10 : 0x00;

    int cyls = cylinders < 82 ? cylinders : 82;
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(*this, c, h);
            if (!CountSectors(t)) continue;
            PutLE32(&out[0x20 + 4 * (2 * c + h)], (uint32_t)out.size());
            for (const VSector *s = t->sectors; s; s = s->next) {
                uint8_t sh[D88_SECTOR_HEADER] = {s->c, s->h, s->r, s->n};
                PutLE16(sh + 4, (uint32_t)t->SectorCount());
                sh[6] = s->mfm ? 0x00 : 0x40;
                D88Status(s, &sh[7], &sh[8]);
                PutLE16(sh + 14, (uint32_t)s->length);
                // The size field is 16 bits: a longer sector cannot be stored.
                if (s->length < 0 || s->length > 0xFFFF) return 0;
                out.insert(out.end(), sh, sh + sizeof sh);
                if (s->length > 0) out.insert(out.end(), s->data, s->data + s->length);
            }
        }
    PutLE32(&out[0x1C], (uint32_t)out.size());
    return SaveImageFile(path, out);
}
