// Import and export of track images to and from every other image format:
// HFE directly as a bitstream, sector images through a VDisk and the FM/MFM
// encoder or decoder.
//
// HFE (revision 0) as written and read here; numbers are little-endian, a
// block is 512 bytes.
//   block 0, header (filled with 0xFF first):
//     off  size  field
//       0     8  "HXCPICFE"
//       8     1  revision, 0
//       9     1  number of tracks (cylinders)
//      10     1  number of sides
//      11     1  track encoding, 0 (ISO/IBM MFM)
//      12     2  bit rate in kbit/s (cell rate / 2: 250 or 500)
//      14     2  rpm
//      16     1  interface mode: 1 for a 2HD image, else 7
//      17     1  1
//      18     2  track list offset in blocks, 1
//      20     1  write allowed: 0x00 protected, 0xFF writable
//   block 1, track list (filled with 0xFF first), 4 bytes per track:
//       0     2  block offset of the track data
//       2     2  track length L in bytes, both sides together
//   track data: ceil(L / 512) blocks; bytes 0..255 of every block carry the
//   next 256 bytes of side 0, bytes 256..511 those of side 1. Every byte is
//   stored bit-reversed: the first cell is in bit 0 (in a track image it is in
//   bit 7).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "fdi_loss.h"
#include "fileio.h"
#include "filepath.h"
#include "zeldisk.h"

enum { HFE_BLOCK = 512, HFE_SIDE_BYTES = 256, HFE_HEADER = 26, HFE_DATA_START = 2 };
static const char HfeSignature[8] = {'H', 'X', 'C', 'P', 'I', 'C', 'F', 'E'};

// Byte with its bit order reversed.
static const struct BitReverse {
    uint8_t table[256];
    BitReverse() {
        for (int i = 0; i < 256; i++) {
            int v = 0;
            for (int b = 0; b < 8; b++)
                if (i & (1 << b)) v |= 0x80 >> b;
            table[i] = (uint8_t)v;
        }
    }
} Reverse;

namespace {

// A revolution of a high-density disk at 360 rpm, in cells.
const int64_t kCells360 = (int64_t)1000 * 60000 / 360;

// Checks one encoded track against the sectors it was made from: decoded
// with the uPD765 rules, or with the MB8877 rules when those read it back
// whole (a size code above 3 means 128 << (N & 3) bytes there).
void VerifyTrack(const VTrack *want, const uint8_t *cells, int bits, int c, int h, LossReport &report) {
    LossReport first;
    for (int mode : {ANALYZE_UPD765, ANALYZE_MB8877}) {
        LossReport trial;
        VTrack back;
        back.Decode(0, cells, bits, mode);
        CompareTrack(want, &back, c, h, trial);
        if (trial.Empty()) return;
        if (mode == ANALYZE_UPD765) first = std::move(trial);
    }
    report.Append(first);
}

} // namespace

int ZELDisk::Import(const Filepath &path, int diskno, LossReport *report) try {
    Cleanup();
    LossReport own;
    LossReport &r = report ? *report : own;
    if (path.IsClear()) return 0;
    if (path.HasExt(".HFE")) {
        // A failed import leaves no image behind, not even the blank one the
        // reader started from.
        errno = 0;
        if (ImportHFE(path)) return valid = 1;
        r.Refuse(errno ? std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno)
                       : std::string(path.GetPath()) + " is not an HFE image");
        Cleanup();
        return 0;
    }

    VDisk vd;
    if (!vd.Import(path, diskno, &r)) return 0;
    int ok = 0;
    switch (vd.type) {
    case VDisk::TYPE_2D: ok = Init(ZEL_TYPE_2D, 0, 0, 0); break;
    case VDisk::TYPE_2DD: ok = Init(ZEL_TYPE_2DD, 0, 0, 0); break;
    case VDisk::TYPE_2HD: {
        // A high-density disk spins at 360 rpm when every track fits its
        // shorter revolution (8 x 1024, 9 x 1024 with short gaps, 15 x 512),
        // else at 300 rpm (18 x 512): the longest track decides.
        bool fits = true;
        for (int c = 0; c < vd.cylinders && c < ZEL_MAX_CYLINDERS; c++)
            for (int h = 0; h < vd.heads && h < ZEL_MAX_HEADS; h++)
                if (vd.tracks[c][h] && vd.tracks[c][h]->MinimumCells() > kCells360) fits = false;
        ok = Init(ZEL_TYPE_2HD, 0, fits ? 360 : 300, 0);
        break;
    }
    default: return 0;
    }
    if (!ok) return 0;
    SetName(vd.name);
    header.writeprotect = vd.protect ? 1 : 0;
    // A 2D image says 42 cylinders but holds records for all 84: a sector
    // disk with more cylinders keeps them all.
    if (vd.cylinders > header.cylinders) header.cylinders = ZEL_MAX_CYLINDERS;

    for (int c = 0; c < vd.cylinders && c < ZEL_MAX_CYLINDERS; c++)
        for (int h = 0; h < vd.heads && h < ZEL_MAX_HEADS; h++) {
            VTrack *t = vd.tracks[c][h];
            uint8_t *data = GetTrackData(c, h);
            if (!t || !data || !t->sectors) continue;
            const int bits = GetTrackLen(c, h);
            if (!t->FitGaps(bits)) {
                char what[160];
                snprintf(what, sizeof what,
                         "%d sectors need at least %lld cells, a revolution at %d rpm holds %d: the last would "
                         "be lost",
                         t->SectorCount(), (long long)t->MinimumCells(), header.rpm, bits);
                r.Add(c, h, LOSS_SECTOR, what);
            }
            SetTrackLen(c, h, t->Encode(0, data, bits));
            VerifyTrack(t, data, GetTrackLen(c, h), c, h, r);
        }
    if (r.Fails()) {
        Cleanup();
        return 0;
    }
    valid = 1;
    return 1;
} catch (const std::bad_alloc &) {
    // Memory running out fails the import as any other reason would.
    Cleanup();
    if (report) report->Refuse("out of memory");
    return 0;
}

void ZELDisk::Sectors(VDisk &vd, int analyze) {
    int cyls = header.cylinders < ZEL_MAX_CYLINDERS ? header.cylinders : ZEL_MAX_CYLINDERS;
    int heads = header.heads < ZEL_MAX_HEADS ? header.heads : ZEL_MAX_HEADS;
    vd.Init(header.type == ZEL_TYPE_2D ? VDisk::TYPE_2D : header.type == ZEL_TYPE_2DD ? VDisk::TYPE_2DD : VDisk::TYPE_2HD,
            cyls, heads);
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < heads; h++) {
            VTrack *t = Analyze(c, h, analyze);
            if (!t) continue;
            t->ReleaseCells();  // the sector writers need only the sectors
            delete vd.tracks[c][h];
            vd.tracks[c][h] = t;
        }
    CopyName(vd.name, header.name, sizeof vd.name - 1);
    vd.protect = header.writeprotect ? 1 : 0;
}

int ZELDisk::Export(const Filepath &path, int analyze, LossReport *report, int diskno) try {
    if (!valid || path.IsClear()) return 0;
    if (header.type == ZEL_TYPE_RAW && !ConvertEnc()) {
        if (report) report->Refuse("the flux image cannot be turned into cells");
        return 0;
    }
    if (path.HasExt(".HFE")) return ExportHFE(path, analyze, report);

    VDisk vd;
    Sectors(vd, analyze);
    return vd.Export(path, report, diskno);
} catch (const std::bad_alloc &) {
    if (report) report->Refuse("out of memory");
    return 0;
}

bool ZELDisk::CanExport(const Filepath &path) { return path.HasExt(".HFE") || VDisk::CanExport(path); }

int ZELDisk::WriteHFE(std::vector<uint8_t> &out) const {
    const int cyls = header.cylinders < ZEL_MAX_CYLINDERS ? header.cylinders : ZEL_MAX_CYLINDERS;

    out.assign(2 * HFE_BLOCK, 0xFF);
    memcpy(&out[0], HfeSignature, sizeof HfeSignature);
    out[8] = 0;
    out[9] = (uint8_t)cyls;
    out[10] = (uint8_t)header.heads;
    out[11] = 0;
    PutLE16(&out[12], (uint32_t)header.rate / 2);
    PutLE16(&out[14], (uint32_t)header.rpm);
    out[16] = header.type == ZEL_TYPE_2HD ? 1 : 7;
    out[17] = 1;
    PutLE16(&out[18], 1);
    out[20] = header.writeprotect ? 0x00 : 0xFF;

    // Track list: both sides are cut to the shorter one, in whole bytes.
    int len[ZEL_MAX_CYLINDERS];
    uint32_t block = HFE_DATA_START;
    for (int c = 0; c < cyls; c++) {
        int b0 = GetTrackLen(c, 0), b1 = GetTrackLen(c, 1);
        len[c] = ((b0 < b1 ? b0 : b1) / 8) * 2;
        // The list holds 16-bit lengths and block offsets: a longer track
        // cannot be described, so the export fails rather than cut it.
        if (len[c] > 0xFFFF || block > 0xFFFF) return 0;
        PutLE16(&out[HFE_BLOCK + 4 * c], block);
        PutLE16(&out[HFE_BLOCK + 4 * c + 2], (uint32_t)len[c]);
        block += (uint32_t)(len[c] + HFE_BLOCK - 1) / HFE_BLOCK;
    }

    for (int c = 0; c < cyls; c++) {
        const int side = len[c] / 2;
        const uint8_t *data[2] = {GetTrackData(c, 0), GetTrackData(c, 1)};
        for (int at = 0; at < side; at += HFE_SIDE_BYTES) {
            size_t b = AppendFill(out, 0, HFE_BLOCK);
            int n = side - at < HFE_SIDE_BYTES ? side - at : HFE_SIDE_BYTES;
            for (int h = 0; h < 2; h++)
                for (int i = 0; i < n; i++) out[b + HFE_SIDE_BYTES * h + i] = Reverse.table[data[h][at + i]];
        }
    }
    return 1;
}

// The checked export: the HFE file made of the image is read back, and the
// sectors of both are compared before the file replaces the destination.
int ZELDisk::ExportHFE(const Filepath &path, int analyze, LossReport *report) {
    if (!valid) return 0;
    LossReport own;
    LossReport &r = report ? *report : own;
    std::vector<uint8_t> out;
    if (!WriteHFE(out)) {
        r.Refuse("a track is too long for an HFE track list");
        return 0;
    }
    ZELDisk back;
    if (!back.ReadHFE(out.data(), out.size(), 1)) {
        r.Refuse("the HFE image made of the disk does not read back");
        return 0;
    }
    VDisk want, got;
    Sectors(want, analyze);
    back.Sectors(got, analyze);
    CompareDisks(want, got, r);
    if (r.Fails()) return 0;
    if (!SaveImageFile(path, out)) {
        r.Refuse(std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno));
        return 0;
    }
    return 1;
}

int ZELDisk::ImportHFE(const Filepath &path) {
    std::vector<uint8_t> file;
    int writable = 0;
    if (!LoadImageFile(path, file, &writable)) return 0;
    return ReadHFE(file.data(), file.size(), writable);
}

int ZELDisk::ReadHFE(const uint8_t *data, size_t size, int writable) {
    if (size < HFE_HEADER || memcmp(data, HfeSignature, sizeof HfeSignature) != 0) return 0;
    ByteReader r(data, size);
    const int ntracks = (int)r.U8(9);
    const uint32_t bitrate = r.LE16(12);
    const size_t list = (size_t)r.LE16(18) * HFE_BLOCK;
    // Tracks beyond the image's 84 cylinders are refused, not dropped.
    if (ntracks > ZEL_MAX_CYLINDERS) return 0;

    size_t offset[ZEL_MAX_CYLINDERS];
    int len[ZEL_MAX_CYLINDERS], lmax = 0;
    for (int c = 0; c < ntracks; c++) {
        offset[c] = (size_t)r.LE16(list + 4 * c) * HFE_BLOCK;
        len[c] = (int)r.LE16(list + 4 * c + 2);
        if (len[c] > lmax) lmax = len[c];
        // Every block of the track must be in the file.
        size_t blocks = (size_t)(len[c] + HFE_BLOCK - 1) / HFE_BLOCK;
        if (offset[c] + blocks * HFE_BLOCK > size) return 0;
    }
    if (!r.ok()) return 0;

    // Double density is 250 kbit/s, or 300 kbit/s for a disk read in a
    // 360-rpm drive; anything else of more than 42 tracks is high density.
    int type = ZEL_TYPE_2D, rate = bitrate == 300 ? 600 : 500;
    if (ntracks > 42) {
        bool dd = bitrate == 250 || bitrate == 300;
        type = dd ? ZEL_TYPE_2DD : ZEL_TYPE_2HD;
        rate = dd ? rate : 1000;
    }
    // The first track's length tells the rotation speed: a revolution is
    // L * 4 cells at the cell rate.
    uint32_t l0 = ntracks ? (uint32_t)len[0] : 0;
    uint32_t s = l0 ? (uint32_t)rate * 60000u / (l0 * 4) : 0;
    int rpm = (s > 300 ? s - 300 : 300 - s) < (s > 360 ? s - 360 : 360 - s) ? 300 : 360;
    if (!Init(type, rate, rpm, 0)) return 0;
    readonly = !writable;
    if (!ntracks) return 1;

    // Records must hold every whole block of the longest track.
    int need = ZEL_TRACK_HEADER + HFE_SIDE_BYTES * ((lmax + HFE_BLOCK - 1) / HFE_BLOCK);
    if (need < ZEL_TRACK_HEADER + lmax / 2) need = ZEL_TRACK_HEADER + lmax / 2;
    if (need > header.tracksize) {
        header.tracksize = need;
        for (int c = 0; c < ZEL_MAX_CYLINDERS; c++)
            for (int h = 0; h < ZEL_MAX_HEADS; h++) {
                if (!NewTrack(c, h, need, NominalLength())) return 0;
                dirty[c][h] = 1;
            }
    }

    for (int c = 0; c < ntracks; c++)
        for (int h = 0; h < 2; h++) {
            uint8_t *dst = GetTrackData(c, h);
            const uint8_t *src = data + offset[c] + HFE_SIDE_BYTES * h;
            for (int b = 0; b < (len[c] + HFE_BLOCK - 1) / HFE_BLOCK; b++, src += HFE_BLOCK, dst += HFE_SIDE_BYTES)
                for (int i = 0; i < HFE_SIDE_BYTES; i++) dst[i] = Reverse.table[src[i]];
            if (!SetTrackLen(c, h, len[c] * 4)) return 0;
        }
    return 1;
}
