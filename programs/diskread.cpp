// diskread: dumps a floppy disk in a real drive into an image file, a ZEL
// image of encoded or raw tracks, or any sector format the library exports.
// Every track is read with retries and the best attempt kept; a track that
// cannot be read cleanly is stored as read, with a warning.
//
// A read is never thrown away: from the first track stored on, a signal, a
// failure or a save or export that does not succeed keeps the image as a ZEL
// beside the target (hwprog.h). What a sector format can hold is checked
// before the drive is touched, when the options already tell it. Every read
// ends with a summary of clean, damaged and unformatted tracks; a read that
// found no sector at all fails with the likely cause (the image is saved).

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fdd.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"
#include "hwprog.h"
#include "picture.h"
#include "zeldisk.h"

GPIOCTL gpioctl;

namespace {

// The shared options, and the data rate in kbps, the noise-cancel level, the
// raw flag and the image path.
struct param_t : hwparam_t {
    int rate;
    int denoise;
    int raw;
    Filepath path;
    Filepath map;  // -m: the disk map of what was read, as SVG
};

param_t param;
ZELDisk *image = nullptr;
dump_t *dumps = nullptr; // two attempts: the best so far and the one being read

// What the read found, for the summary.
struct tally_t {
    int clean = 0;
    int damaged = 0;
    int unformatted = 0;
    int unstored = 0;    // tracks that did not fit the image record
    std::string details; // one line per damaged track
};
tally_t tally;

const int kDefaultDenoise = 8;
const int kDefaultRetry = 5;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, argv, "Floppy disk dump utility")) return 1;
    HwUsageStart(argv[0], "-i ID [OPTION]... FILE");
    printf(" FILE is image file path.\n\n");
    printf("OPTION\n");
    printf(" -c CYLINDERS is number of cylinders. Default is 40.\n");
    printf(" -h HEADS is number of heads. Default is Default is 2.\n");
    printf(" -d DENSITY is FDD density {double|high}. Default is double.\n");
    printf(" -b BEGIN is begin cylinder. Default is 0.\n");
    printf(" -e END is end cylinder. Default is CYLINDERS - 1.\n");
    printf(" -t TRACK is only 1 track operation.\n");
    printf(" -s STEPS is seek step count {1|2}. Default is 1.\n");
    printf(" -n LEVEL is denoise level. Default is %d.\n", kDefaultDenoise);
    printf(" -a ANALYZE is analyze mode {upd765|mb8877}, Default is upd765.\n");
    printf(" -f FORMAT is data format {encode|raw}. Default is encode.\n");
    HwUsagePins();
    printf(" -r RETRY is retry times for invalid track. Default is %d.\n", kDefaultRetry);
    printf(" -v is verbose mode.\n");
    printf(" -m MAP.svg draws the disk read (each sector coloured by its state).\n");
    return 0;
}

void Cleanup() {
    delete[] dumps;
    dumps = nullptr;
    delete image;
    image = nullptr;
    HwCleanup();
}

int Init() {
    if (!HwInitTool()) return 0;
    param.drive = -1;
    param.cylinders = 40;
    param.heads = 2;
    param.begin = param.end = param.track = -1;
    param.rate = 500;
    param.steps = 1;
    param.denoise = kDefaultDenoise;
    param.analyze = ANALYZE_UPD765;
    param.pin2 = param.pin4 = param.pin12 = 0;
    param.retry = kDefaultRetry;
    param.raw = 0;
    param.path.Clear();
    param.verbose = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    auto own = [](int opt, const char *arg) {
        switch (opt) {
        case 'd':
            param.rate = (arg[0] == 'd' || arg[0] == 'D') ? 500 : 1000;
            return 1;
        case 'f':
            if (arg[0] == 'r' || arg[0] == 'R') param.raw = 1;
            return 1;
        case 'n':
            param.denoise = Clamp(OptNum(arg), 0, 16);
            return 1;
        case 'm':
            if (param.map.SetPath(arg) && !param.map.IsClear()) return 1;
            fprintf(stderr, "Error : Invalid map file path\n");
            return 0;
        default:
            return -1;
        }
    };
    return HwParseOptions(argc, argv, "i:c:h:b:e:t:d:f:s:n:a:r:p:vm:", &param, own) &&
           HwImagePath(argc, argv, &param.path, "Error : Invalid file path");
}

// An existing image to read into (-b and -e, or -t): its geometry and format
// win over the options.
int OpenExisting() {
    if (!((param.begin >= 0 && param.end >= 0) || param.track >= 0)) return 0;
    // A file that is there but cannot be read is never replaced by a disk of
    // the few tracks read now.
    if (access(param.path.GetPath(), F_OK) != 0) return 0;
    std::string why;
    LossReport report;
    int ok = param.path.HasExt(".ZEL") ? image->Load(param.path, 0, &why) : image->Import(param.path, 1, &report);
    if (!ok) {
        if (!why.empty()) fprintf(stderr, "Error : %s\n", why.c_str());
        PrintLosses(report);
        HwFail("Error : Can't update the image, it cannot be read", 2);
    }
    param.cylinders = image->header.cylinders;
    param.heads = image->header.heads;
    param.raw = image->header.type == ZEL_TYPE_RAW;
    param.rate = param.raw ? image->header.rate / 8 : image->header.rate;
    return 1;
}

// Keeps the kept attempt in the image's record: cells, or the lap's samples.
int StoreTrack(int c, int h, const dump_t *d) {
    int bits = param.raw ? d->laplen : d->enclen;
    const uint8_t *src = param.raw ? d->lap : d->enc;
    uint8_t *dst = image->GetTrackData(c, h);
    int capacity = image->GetTrackCapacity(c, h);
    if (!dst || bits < 0 || (int64_t)bits > (int64_t)capacity * 8) return 0;
    memset(dst, 0, (size_t)capacity);
    if (!image->SetTrackLen(c, h, bits)) return 0;
    memcpy(dst, src, (size_t)(bits + 7) / 8);
    image->UpdateTrack(c, h);
    return 1;
}

void ReportTrack(const dump_t *d) {
    const VTrack &t = d->track;
    int sectors = t.SectorCount();
    if (param.verbose) {
        if (d->found) {
            if (param.raw)
                printf(" -> %d bits(%d...%d)", d->laplen, d->lapstart, d->lapend);
            else
                printf(" -> %d bits(%d...%d)", d->enclen, d->encstart, d->encend);
        } else {
            printf(" -> %d bits(missing start and end)", param.raw ? d->laplen : d->enclen);
        }
        if (sectors) {
            printf(" / %d cells ", t.cells / ((t.flags & TRACK_MFM) ? 16 : 32));
            printf("/ %2d sectors ", sectors);
            printf((t.flags & TRACK_ERRORS) ? "/ inconsistent" : "/ passing");
        } else {
            printf(" / unformated");
        }
    }
    if (t.flags & TRACK_ERRORS) {
        if (sectors)
            printf(" Warning : Damaged or protected(%d sectors)", sectors);
        else
            printf(" Warning : Damaged or unformated(no sector)");
    }
}

// One line of the summary for a damaged track: its bad sectors, or what
// else is wrong with it.
std::string DamageLine(int tr, int c, int h, const VTrack &t) {
    char buf[160];
    snprintf(buf, sizeof buf, "Damaged track      : T%3d C%2d H%d", tr, c, h);
    std::string line = buf;
    int listed = 0;
    for (const VSector *s = t.sectors; s; s = s->next) {
        const char *what = (s->status & SECTOR_IDCRC)     ? "ID CRC"
                           : (s->status & SECTOR_NODATA)  ? "no data"
                           : (s->status & SECTOR_DATACRC) ? "data CRC"
                                                          : nullptr;
        if (!what) continue;
        snprintf(buf, sizeof buf, " R%d(%s)", s->r, what);
        line += buf;
        listed++;
    }
    if (!listed) {
        if (t.flags & TRACK_OVERLAP) line += " overlapping sectors";
        if (t.flags & TRACK_MANYDAM) line += " more data marks than IDs";
        if (!(t.flags & (TRACK_OVERLAP | TRACK_MANYDAM))) line += " no revolution found";
    }
    return line + "\n";
}

void CountTrack(int tr, int c, int h, const dump_t *d) {
    const VTrack &t = d->track;
    if (t.SectorCount() == 0)
        tally.unformatted++;
    else if (d->found && !(t.flags & TRACK_ERRORS))
        tally.clean++;
    else {
        tally.damaged++;
        tally.details += DamageLine(tr, c, h, t);
    }
}

void PrintSummary() {
    printf("Tracks clean       : %d\n", tally.clean);
    printf("Tracks with errors : %d\n", tally.damaged);
    printf("%s", tally.details.c_str());
    printf("Tracks unformatted : %d\n", tally.unformatted);
    fflush(stdout);
}

// Only two attempts are kept whatever the retry count: the best so far and
// the one being read. An attempt replaces the best when it scores higher, so
// the first of equal scores stays.
void ReadDisk(int period, int first, int last) {
    const int span = last - first + 1;
    const int fast = image->header.cylinders > 42;
    const int samplerate = param.rate * 8;
    dumps = new dump_t[2];

    HwWalkTracks(first, last, param.heads, param.track, param.steps, fast, [&](int c, int h) {
        int tr = c * param.heads + h;
        HwProgress((((c - first) * param.heads + h) * 100 + 100) / (param.heads * span), tr, c, h);

        dump_t *best = &dumps[0], *spare = &dumps[1];
        uint32_t top = 0;
        int redone = 0;
        for (int n = 1;; n++) {
            if (n > 1) HwFollowCoreClock();
            ReadTrack(&gpioctl, spare, period, samplerate, param.denoise, param.analyze);
            HwCheckSignal();
            if (HwFollowCoreClock() && redone++ < 3) {
                n--; // sampled while the clock changed: that attempt does not count
                continue;
            }
            const dump_t *d = spare;
            uint32_t score = EvaluateTrackScore(spare);
            if (n == 1 || score > top) {
                std::swap(best, spare);
                top = score;
            }
            if (d->track.SectorCount() == 0) break;
            if (d->found && !(d->track.flags & TRACK_ERRORS)) break;
            if (n > param.retry) break;
            HwRetryProgress(n, param.retry, (tr * 100 + 100) / (param.heads * param.cylinders), tr, c, h);
        }
        ReportTrack(best);
        CountTrack(tr, c, h, best);
        if (StoreTrack(c, h, best)) {
            HwHoldRead(image, param.path);
        } else {
            fprintf(stderr, "\nError : Track %d does not fit the image record\n", tr);
            tally.unstored++;
        }
        if (param.verbose || (best->track.flags & TRACK_ERRORS)) HwLineEnd();
        fflush(stdout);
    });
    HwLineStart();
    fflush(stdout);

    delete[] dumps;
    dumps = nullptr;
    HwPark(param.drive, 256, fast);
}

// The cylinders the options ask for, as HwCylinderRange takes them; 0 when
// they make no range (HwCylinderRange then refuses them).
int AskedRange(int *first, int *last) {
    *first = param.begin >= 0 ? param.begin : 0;
    *last = param.end >= 0 ? param.end : param.cylinders - 1;
    if (param.track >= 0) *first = *last = param.track / param.heads;
    return *first <= *last && *last < param.cylinders;
}

// Whether the target's format takes a disk made of tracks like those of the
// plain-dump geometry row on cylinders first..last (heads heads), nothing
// elsewhere (the export's own check, with nothing written).
int FormatTakes(const fixformat_t &row, int first, int last, int heads) {
    VDisk vd;
    vd.Init(row.type, last + 1, heads);
    for (int c = first; c <= last; c++)
        for (int h = 0; h < heads; h++)
            for (int r = 1; r <= row.sectors; r++)
                vd.tracks[c][h]->AddSector(NewSector(1, c, h, r, row.n, 128 << row.n, 0, row.gap3));
    return vd.Fits(param.path);
}

// A new image in a sector format: the format must be able to hold the tracks
// the options ask for. A plain dump, for one, holds every cylinder of its
// geometry on both heads, so "-c 3" or "-b 4 -e 4" into a new .hdm can never
// be exported: that is said before minutes of reading. The format's needs are
// learnt by checking stand-in disks of each plain-dump geometry against it,
// so the one table of formats stays the only one.
void CheckTargetFormat() {
    if (param.path.HasExt(".ZEL") || ZELDisk::IsTrackFormat(param.path)) return;
    int first, last;
    if (!AskedRange(&first, &last)) return;
    int fits = 0, needs = -1;
    for (const fixformat_t *row = VDisk::FixFormat; row->size >= 0 && !fits; row++) {
        if (row->size == 0) continue;
        // Cylinders past a geometry's last may well be blank: they cannot
        // be judged before they are read (the export's own check does).
        fits = FormatTakes(*row, first, last < row->cylinders ? last : row->cylinders - 1, param.heads);
        if (!fits && needs < 0 && FormatTakes(*row, 0, row->cylinders - 1, 2)) needs = row->cylinders;
    }
    if (fits) return;
    if (needs < 0) HwFail("Error : Can't export image file", 14);
    std::string message = std::string("Error : A ") + param.path.GetExt() + " image holds cylinders 0 ... " +
                          std::to_string(needs - 1) + " on 2 heads: read them all";
    HwFail(message.c_str(), 14);
}

// The disk map of the image read, when -m asks for it (a picture that
// cannot be written is said, and does not fail the read).
void SaveMap() {
    if (param.map.IsClear()) return;
    diskmap_t map;
    image->Map(map, param.analyze, param.raw ? "RAW" : param.rate > 999 ? "2HD" : "2DD");
    std::string svg = DiskMapSvg(map);
    if (SaveImageFile(param.map, (const uint8_t *)svg.data(), svg.size()))
        printf("Disk map           : %s\n", param.map.GetPath());
    else
        fprintf(stderr, "Warning : Can't write the disk map %s\n", param.map.GetPath());
}

} // namespace

int main(int argc, char **argv) {
    int status = HwStartUp(argc, argv, Banner, Init, 1, ParseArgument, Cleanup);
    if (status >= 0) return status;

    image = new ZELDisk;
    int update = OpenExisting();
    if (!update) CheckTargetFormat();

    // Drive set-up.
    HwStartDrive(param);
    printf("Drive              : %d\n", param.drive);
    printf("File               : %s\n", param.path.GetPath());
    int protect = 0;
    int period = HwReadyDrive(param.drive, 0, &protect);

    // Image set-up.
    int rpm = HwRpm(period);
    HwPrintRpm(period);
    // Tracks read at another speed do not fit the records of the image.
    if (update && image->header.rpm != rpm) HwFail("Error : Drive's RPM does not match", 14);
    if (param.rate == 500 && period < 183000) {
        fprintf(stderr, "Warning : 360rpm / 300kbps mode.\n");
        param.rate = 600;
    }
    if (!update) {
        int type = param.rate > 999 ? ZEL_TYPE_2HD : param.cylinders < 43 ? ZEL_TYPE_2D : ZEL_TYPE_2DD;
        if (!image->Init(type, param.rate, rpm, param.raw)) HwFail("Error : Can't create image", 14);
        image->SetName(param.path.GetShort());
        image->header.writeprotect = protect;
    }
    int first, last;
    HwCylinderRange(param, &first, &last);
    HwPrintCapacity((int64_t)param.rate * period / (param.rate <= 1000 ? 1000 : 8000));
    if (param.track < 0) HwPrintTotal(last - first + 1, param.heads);
    if (param.raw) {
        printf("Data format        : Raw format\n");
        printf("Data rate          : %d kbps\n", param.rate * 8);
    } else {
        printf("Data format        : Encode(FM/MFM) format\n");
        printf("Data rate          : %d kbps\n", param.rate);
    }
    printf("Denoise level      : %d\n", param.denoise);
    printf("Analyze mode       : %s\n", param.analyze ? "MB8877" : "uPD765");
    fflush(stdout);

    ReadDisk(period, first, last);
    PrintSummary();
    SaveMap();

    // An update of a multi-disk D88 file replaces its first disk only.
    LossReport report;
    int saved = param.path.HasExt(".ZEL") ? image->Save(param.path, 1)
                                          : image->Export(param.path, param.analyze, &report, update ? 1 : 0);
    if (!saved) {
        PrintLosses(report);
        HwFail(param.path.HasExt(".ZEL") ? "Error : Can't save ZEL file" : "Error : Can't export image file",
               14);
    }
    PrintLosses(report);
    HwReleaseRead();
    if (tally.clean + tally.damaged == 0) {
        char message[200];
        snprintf(message, sizeof message,
                 "Error : No sector found at %d kbps in a %d rpm drive: the disk may be of the other density "
                 "(-d), or need the drive at its other speed (-p2, -p4)",
                 param.rate, rpm);
        HwFail(message, 14);
    }
    if (tally.unstored) HwFail("Error : Tracks missing from the image", 14);
    Cleanup();
    return 0;
}
