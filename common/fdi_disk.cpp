// The sector disk (VDisk), the choice of image format by extension, and the
// helpers the format files share. Each format lives in a file of its own
// that opens with its layout: fdi_plain.cpp (plain sector dumps), fdi_d88.cpp,
// fdi_dim.cpp, fdi_fdi.cpp, fdi_fdd.cpp, fdi_nfd.cpp, fdi_imd.cpp. The table
// below is the one place that lists them all.
//
// Every export goes the same way: the format's writer makes the whole file
// in memory, its reader reads those bytes back into a second disk, the loss
// check compares the two, and only a file that gives back every sector (or
// loses only what the caller accepts) replaces the destination.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "bytes.h"

#include "fdi.h"
#include "fdi_disk.h"
#include "fdi_loss.h"
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
    if (size < 0 || size > IMAGE_FILE_MAX) {
        errno = EFBIG;
        return 0;
    }
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

std::string ImageKind(const char *name) {
    bool acronym = name[0] && name[1] >= 'A' && name[1] <= 'Z';
    bool an = acronym ? strchr("AEFHILMNORSX", name[0]) != nullptr : strchr("aeiou", name[0]) != nullptr;
    return std::string(an ? "an " : "a ") + name + " image";
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

const VTrack *TrackAt(const VDisk &d, int c, int h) {
    if (c < 0 || c >= VDisk::MAX_CYLINDERS || h < 0 || h >= VDisk::MAX_HEADS) return nullptr;
    return d.tracks[c][h];
}

int CountSectors(const VTrack *t) { return t ? t->SectorCount() : 0; }

int FormattedCylinders(const VDisk &d) {
    for (int c = VDisk::MAX_CYLINDERS; c > 0; c--)
        if (CountSectors(TrackAt(d, c - 1, 0)) || CountSectors(TrackAt(d, c - 1, 1))) return c;
    return 0;
}

const VSector *SlotSector(const VTrack *t, int c, int h, int r, int n, int mfm) {
    for (const VSector *s = t ? t->sectors : nullptr; s; s = s->next)
        if (s->c == c && s->h == h && s->r == r && s->n == n && (s->mfm != 0) == (mfm != 0)) return s;
    return nullptr;
}

void AppendSlot(std::vector<uint8_t> &out, const VSector *s, int len) {
    size_t at = AppendFill(out, 0, (size_t)len);
    if (s && s->data && s->length > 0) memcpy(&out[at], s->data, (size_t)std::min(len, s->length));
}

bool IsUnusedEntry(ByteReader &r, size_t e) {
    return r.U8(e) == 0xFF && r.U8(e + 1) == 0xFF && r.U8(e + 2) == 0xFF && r.U8(e + 3) == 0xFF;
}

int TracksInUse(ByteReader &r, size_t table, size_t entrysize, int tracks, size_t *first) {
    int used = 0;
    for (int t = tracks - 1; t >= 0; t--) {
        size_t e = table + (size_t)t * TABLE_SECTORS * entrysize;
        if (IsUnusedEntry(r, e)) continue;
        if (!used) used = t + 1;
        *first = e;
    }
    return used;
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

namespace {

struct imageformat_t {
    const char *ext;
    const char *name;      // as the user knows it, for messages
    imagereader_t read;    // null: a plain dump of fixrow
    imagewriter_t write;
    int fixrow;
};

const imageformat_t ImageFormats[] = {
    {".2HD", "plain 2HD dump", nullptr, nullptr, 0},
    {".HDM", "plain 2HD dump", nullptr, nullptr, 0},
    {".XDF", "plain 2HD dump", nullptr, nullptr, 0},
    {".DUP", "plain 2HD dump", nullptr, nullptr, 0},
    {".IMG", "plain 2HD dump", nullptr, nullptr, 0},
    {".2HC", "plain 2HC dump", nullptr, nullptr, 3},
    {".2HQ", "plain 2HQ dump", nullptr, nullptr, 5},
    {".2DD", "plain 2DD dump", nullptr, nullptr, 8},
    {".2D", "plain 2D dump", nullptr, nullptr, 9},
    {".D68", "D88", ReadD88, WriteD88, -1},
    {".D88", "D88", ReadD88, WriteD88, -1},
    {".D77", "D88", ReadD88, WriteD88, -1},
    {".D98", "D88", ReadD88, WriteD88, -1},
    {".DIM", "DIM", ReadDIM, WriteDIM, -1},
    {".FDI", "FDI", ReadFDI, WriteFDI, -1},
    {".FDD", "FDD", ReadFDD, WriteFDD, -1},
    {".NFD", "NFD", ReadNFD, WriteNFD, -1},
    {".IMD", "IMD", ReadIMD, WriteIMD, -1},
};

const imageformat_t *FindFormat(const Filepath &path) {
    for (const imageformat_t &f : ImageFormats)
        if (path.HasExt(f.ext)) return &f;
    return nullptr;
}

const imageformat_t &Format(const char *ext) {
    for (const imageformat_t &f : ImageFormats)
        if (!strcmp(f.ext, ext)) return f;
    return ImageFormats[0];
}

int ReadAs(const imageformat_t &f, VDisk &d, const imagefile_t &file) {
    return f.read ? f.read(d, file) : ReadFIX(d, file, f.fixrow);
}

int WriteAs(const imageformat_t &f, const VDisk &d, std::vector<uint8_t> &out, std::string &why) {
    return f.write ? f.write(d, out, why) : WriteFIX(d, f.fixrow, out, why);
}

} // namespace

const char *ImageLooksLike(const uint8_t *p, size_t n) {
    auto at = [&](size_t off, const char *text) {
        size_t len = strlen(text);
        return n >= off + len && memcmp(p + off, text, len) == 0;
    };
    if (at(0, "ZEL") && n >= 256 && p[3] >= 1 && p[3] <= 3) return "a ZEL track image";
    if (at(0, "HXCPICFE")) return "an HFE image";
    if (at(0, "MAMEFLOPPYIMAGE") || at(0, "MESSFLOPPYIMAGE")) return "an MFI image";
    if (at(0, "SCP") && n >= 0x10) return "an SCP image";
    if (at(0, "IMD ")) return "an IMD image";
    if (at(0xAB, "DIFC HEADER")) return "a DIM image";
    if (at(0, "VFD1.")) return "an FDD image";
    if (at(0, "T98FDDIMAGE.R0")) return "an NFD image";
    if (n >= 32 && !GetLE32(p) && GetLE32(p + 0x18) == 2 && (uint64_t)GetLE32(p + 8) + GetLE32(p + 0xC) == n)
        return "an FDI image";
    for (const fixformat_t *row = VDisk::FixFormat; row->size >= 0; row++)
        if (row->size > 0 && (size_t)row->size == n) return "a plain sector dump";
    if (n >= 0x2B0 && (p[0x1B] == 0 || p[0x1B] == 0x10 || p[0x1B] == 0x20) && GetLE32(p + 0x1C) == n)
        return "a D88 image";
    return nullptr;
}

namespace {

// Reads the file at path with the format's reader; why says what failed.
int ImportAs(const imageformat_t &f, VDisk &d, const Filepath &path, int diskno, std::string &why) {
    std::vector<uint8_t> bytes;
    int writable = 0;
    if (!LoadImageFile(path, bytes, &writable)) {
        why = std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno);
        return 0;
    }
    imagefile_t file = {bytes.data(), bytes.size(), path.GetShort(), writable, diskno};
    if (ReadAs(f, d, file)) return 1;
    const char *like = ImageLooksLike(bytes.data(), bytes.size());
    why = std::string(path.GetPath()) + " is not " + ImageKind(f.name) +
          (like && !strstr(like, f.name) ? std::string(": it looks like ") + like : std::string());
    return 0;
}

// A D88 file may hold several disks: written as disk diskno of an existing
// file, the new disk takes that disk's place and every other disk stays as
// it was, byte for byte. 0 (and why) when the file has no such disk.
int SpliceDisk(const Filepath &path, int diskno, std::vector<uint8_t> &bytes, std::string &why) {
    std::vector<uint8_t> old;
    if (ImageFileSize(path) < 0) return 1;  // a new file holds just this disk
    if (!LoadImageFile(path, old, nullptr)) {
        why = "cannot read the D88 file to keep its other disks";
        return 0;
    }
    int64_t base = D88DiskOffset(old.data(), old.size(), diskno);
    size_t span = base < 0 ? 0 : D88DiskSpan(old.data(), old.size(), (size_t)base);
    if (!span) {
        why = "the D88 file has no disk " + std::to_string(diskno) + " to replace";
        return 0;
    }
    std::vector<uint8_t> whole(old.begin(), old.begin() + base);
    whole.insert(whole.end(), bytes.begin(), bytes.end());
    whole.insert(whole.end(), old.begin() + base + (int64_t)span, old.end());
    bytes.swap(whole);
    return 1;
}

// The checked export: write, read back, compare, then replace the file
// (unless only the check is asked for).
int ExportAs(const imageformat_t &f, const VDisk &d, const Filepath &path, LossReport *report, int diskno = 0,
             bool save = true) {
    LossReport own;
    LossReport &r = report ? *report : own;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!WriteAs(f, d, bytes, why)) {
        r.Refuse(why.empty() ? "the disk has no form as " + ImageKind(f.name) : why);
        return 0;
    }
    if (f.read == ReadD88 && diskno > 0 && !SpliceDisk(path, diskno, bytes, why)) {
        r.Refuse(why);
        return 0;
    }
    VDisk back;
    imagefile_t file = {bytes.data(), bytes.size(), "", 1, diskno > 0 ? diskno : 1};
    if (!ReadAs(f, back, file)) {
        r.Refuse(std::string("the ") + f.name + " image made of the disk does not read back");
        return 0;
    }
    CompareDisks(d, back, r);
    if (r.Fails()) return 0;
    if (save && !SaveImageFile(path, bytes)) {
        r.Refuse(std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno));
        return 0;
    }
    return 1;
}

} // namespace

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

// Memory running out while a file is read or written fails that import or
// export, as any other reason would.
int VDisk::Import(const Filepath &path, int diskno, LossReport *report) try {
    // A file of a plain-dump size is a plain dump whatever its name.
    if (ImportFIX(path)) return 1;
    const imageformat_t *f = FindFormat(path);
    std::string why;
    if (f && f->read && ImportAs(*f, *this, path, diskno, why)) return 1;
    if (report) {
        if (!f) why = std::string("no image format has the extension of ") + path.GetPath();
        else if (!f->read) why = std::string("the size of ") + path.GetPath() + " fits no plain dump geometry";
        report->Refuse(why);
    }
    return 0;
} catch (const std::bad_alloc &) {
    if (report) report->Refuse("out of memory");
    return 0;
}

int VDisk::Export(const Filepath &path, LossReport *report, int diskno) try {
    const imageformat_t *f = FindFormat(path);
    if (f) return ExportAs(*f, *this, path, report, diskno);
    if (report) report->Refuse(std::string("no image format has the extension of ") + path.GetPath());
    return 0;
} catch (const std::bad_alloc &) {
    if (report) report->Refuse("out of memory");
    return 0;
}

bool VDisk::CanExport(const Filepath &path) { return FindFormat(path) != nullptr; }

int VDisk::Fits(const Filepath &path, LossReport *report) const try {
    const imageformat_t *f = FindFormat(path);
    return f && ExportAs(*f, *this, path, report, 0, false);
} catch (const std::bad_alloc &) {
    return 0;
}

int VDisk::ImportFIX(const Filepath &path) {
    int64_t size = ImageFileSize(path);
    int row = 0;
    while (FixFormat[row].size >= 0 && (FixFormat[row].size == 0 || FixFormat[row].size != size)) row++;
    if (FixFormat[row].size < 0) return 0;
    std::vector<uint8_t> bytes;
    int writable = 0;
    if (!LoadImageFile(path, bytes, &writable)) return 0;
    imagefile_t file = {bytes.data(), bytes.size(), path.GetShort(), writable, 1};
    return ReadFIX(*this, file, row);
}

int VDisk::ExportFIX(int row, const Filepath &path) {
    if (row < 0 || row >= (int)(sizeof FixFormat / sizeof FixFormat[0]) - 1 || FixFormat[row].size <= 0) return 0;
    for (const imageformat_t &f : ImageFormats)
        if (!f.read && f.fixrow == row) return ExportAs(f, *this, path, nullptr);
    return 0;
}

int VDisk::GetD68MediaOffset(const Filepath &path, int diskno) {
    std::vector<uint8_t> file;
    if (!LoadImageFile(path, file, nullptr)) return -1;
    return (int)D88DiskOffset(file.data(), file.size(), diskno);
}

int VDisk::ImportD68(const Filepath &path, int diskno) {
    std::string why;
    return ImportAs(Format(".D88"), *this, path, diskno, why);
}
int VDisk::ImportDIM(const Filepath &path) {
    std::string why;
    return ImportAs(Format(".DIM"), *this, path, 1, why);
}
int VDisk::ImportFDI(const Filepath &path) {
    std::string why;
    return ImportAs(Format(".FDI"), *this, path, 1, why);
}
int VDisk::ImportFDD(const Filepath &path) {
    std::string why;
    return ImportAs(Format(".FDD"), *this, path, 1, why);
}
int VDisk::ImportNFD(const Filepath &path) {
    std::string why;
    return ImportAs(Format(".NFD"), *this, path, 1, why);
}
int VDisk::ExportD68(const Filepath &path) { return ExportAs(Format(".D88"), *this, path, nullptr); }
int VDisk::ExportDIM(const Filepath &path) { return ExportAs(Format(".DIM"), *this, path, nullptr); }
int VDisk::ExportFDI(const Filepath &path) { return ExportAs(Format(".FDI"), *this, path, nullptr); }
int VDisk::ExportFDD(const Filepath &path) { return ExportAs(Format(".FDD"), *this, path, nullptr); }
int VDisk::ExportNFD(const Filepath &path) { return ExportAs(Format(".NFD"), *this, path, nullptr); }
