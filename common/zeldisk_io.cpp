// Import and export of track images to and from every other image format:
// the track formats (HFE, MFI, SCP) directly as tracks, sector images
// through a VDisk and the FM/MFM encoder or decoder. The table of track
// formats below is the one place that lists them; each lives in a file of
// its own that opens with its layout (zeldisk_hfe.cpp, zeldisk_mfi.cpp,
// zeldisk_scp.cpp).
//
// Both ways end in the loss check. A sector image is encoded track by track
// and every track decoded again; a track format's file is read back by its
// own reader, and the sectors of both images are compared before anything
// replaces the destination.
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
#include "zel.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

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

// Choice of track format by extension: one row per format.
struct trackformat_t {
    const char *ext;
    const char *name;  // as the user knows it, for messages
    trackreader_t read;
    trackwriter_t write;
    int flux;  // 1: a raw image is written as its samples; 0: it is turned into cells first
};

const trackformat_t TrackFormats[] = {
    {".HFE", "HFE", ReadHFE, WriteHFE, 0},
    {".MFI", "MFI", ReadMFI, WriteMFI, 1},
    {".SCP", "SCP", ReadSCP, WriteSCP, 1},
};

const trackformat_t *FindTrackFormat(const Filepath &path) {
    for (const trackformat_t &f : TrackFormats)
        if (path.HasExt(f.ext)) return &f;
    return nullptr;
}

// Reads the file at path into z with the format's reader; the report says
// why when it cannot. A failed import leaves no image behind, not even the
// blank one a reader may have started from.
int ImportAs(const trackformat_t &f, ZELDisk &z, const Filepath &path, LossReport &r) {
    std::vector<uint8_t> bytes;
    int writable = 0;
    if (!LoadImageFile(path, bytes, &writable)) {
        r.Refuse(std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno));
        return 0;
    }
    imagefile_t file = {bytes.data(), bytes.size(), path.GetShort(), writable, 1};
    std::string why;
    if (f.read(z, file, why)) {
        z.readonly = !writable;
        return 1;
    }
    z.Cleanup();
    const char *like = ImageLooksLike(bytes.data(), bytes.size());
    if (!why.empty())
        r.Refuse(std::string(path.GetPath()) + ": " + why);
    else
        r.Refuse(std::string(path.GetPath()) + " is not " + ImageKind(f.name) +
                 (like && !strstr(like, f.name) ? std::string(": it looks like ") + like : std::string()));
    return 0;
}

// The checked export: the file made of the image is read back by the
// format's own reader, and the sectors of both images are compared before
// the file replaces the destination.
int ExportAs(const trackformat_t &f, ZELDisk &z, const Filepath &path, int analyze, LossReport &r) {
    VDisk want, got;
    z.Sectors(want, analyze, 0);
    std::vector<uint8_t> out;
    std::string why;
    if (!f.write(z, want, out, why)) {
        r.Refuse(why.empty() ? "the disk has no form as " + ImageKind(f.name) : why);
        return 0;
    }
    ZELDisk back;
    imagefile_t file = {out.data(), out.size(), "", 1, 1};
    if (!f.read(back, file, why)) {
        r.Refuse(std::string("the ") + f.name + " image made of the disk does not read back" +
                 (why.empty() ? std::string() : ": " + why));
        return 0;
    }
    back.Sectors(got, analyze, 0);
    CompareDisks(want, got, r);
    if (r.Fails()) return 0;
    if (!SaveImageFile(path, out)) {
        r.Refuse(std::string(path.GetPath()) + ": " + FileProblem(path.GetPath(), errno));
        return 0;
    }
    return 1;
}

} // namespace

int ZELDisk::Import(const Filepath &path, int diskno, LossReport *report) try {
    Cleanup();
    LossReport own;
    LossReport &r = report ? *report : own;
    if (path.IsClear()) return 0;
    if (const trackformat_t *f = FindTrackFormat(path)) return ImportAs(*f, *this, path, r);

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

void ZELDisk::Sectors(VDisk &vd, int analyze, int measure) {
    int cyls = header.cylinders < ZEL_MAX_CYLINDERS ? header.cylinders : ZEL_MAX_CYLINDERS;
    int heads = header.heads < ZEL_MAX_HEADS ? header.heads : ZEL_MAX_HEADS;
    vd.Init(header.type == ZEL_TYPE_2D ? VDisk::TYPE_2D : header.type == ZEL_TYPE_2DD ? VDisk::TYPE_2DD : VDisk::TYPE_2HD,
            cyls, heads);
    // Unmeasured, a raw track is decoded from the cells clock recovery
    // makes of it, as the decoder itself would make them.
    std::vector<uint8_t> cells(measure || header.type != ZEL_TYPE_RAW ? 0 : TRACK_ENC_BYTES);
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < heads; h++) {
            // The sector writers need only the sectors (and the data rates
            // when measured).
            VTrack *t = cells.empty() ? Analyze(c, h, analyze, measure ? DECODE_RATES : 0) : new VTrack;
            if (!cells.empty()) {
                int bits = GetTrackLen(c, h), capacity = GetTrackCapacity(c, h) * 8;
                bits = bits < 0 ? 0 : bits < capacity ? bits : capacity;
                if (bits > TRACK_MAX_CELLS * 8) bits = TRACK_MAX_CELLS * 8;
                int n = GetTrackData(c, h) ? Raw2Encode(GetTrackData(c, h), bits, cells.data(), TRACK_MAX_CELLS) : 0;
                t->Decode(0, cells.data(), n < 0 ? 0 : n, analyze, 0);
            }
            if (!t) continue;
            t->ReleaseCells();
            delete vd.tracks[c][h];
            vd.tracks[c][h] = t;
        }
    CopyName(vd.name, header.name, sizeof vd.name - 1);
    vd.protect = header.writeprotect ? 1 : 0;
}

int ZELDisk::Export(const Filepath &path, int analyze, LossReport *report, int diskno) try {
    if (!valid || path.IsClear()) return 0;
    LossReport own;
    LossReport &r = report ? *report : own;
    const trackformat_t *f = FindTrackFormat(path);
    if (header.type == ZEL_TYPE_RAW && !(f && f->flux) && !ConvertEnc()) {
        r.Refuse("the flux image cannot be turned into cells");
        return 0;
    }
    if (f) return ExportAs(*f, *this, path, analyze, r);

    VDisk vd;
    Sectors(vd, analyze);
    return vd.Export(path, report, diskno);
} catch (const std::bad_alloc &) {
    if (report) report->Refuse("out of memory");
    return 0;
}

bool ZELDisk::CanExport(const Filepath &path) { return FindTrackFormat(path) || VDisk::CanExport(path); }

bool ZELDisk::IsTrackFormat(const Filepath &path) { return FindTrackFormat(path) != nullptr; }

int ZELDisk::ImportHFE(const Filepath &path) {
    Cleanup();
    LossReport r;
    return ImportAs(TrackFormats[0], *this, path, r);
}

int ZELDisk::ExportHFE(const Filepath &path, int analyze, LossReport *report) try {
    if (!valid) return 0;
    LossReport own;
    return ExportAs(TrackFormats[0], *this, path, analyze, report ? *report : own);
} catch (const std::bad_alloc &) {
    if (report) report->Refuse("out of memory");
    return 0;
}
