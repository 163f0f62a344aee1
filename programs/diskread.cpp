// diskread: dumps a floppy disk in a real drive into an image file, a ZEL
// image of encoded or raw tracks, or any sector format the library exports.
// Every track is read with retries and the best attempt kept; a track that
// cannot be read cleanly is stored as read, with a warning.

#include <cstdio>
#include <cstring>
#include <memory>

#include "fdd.h"
#include "filepath.h"
#include "hwprog.h"
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
};

param_t param;
ZELDisk *image = nullptr;
dump_t *dumps = nullptr;

const int kDefaultDenoise = 8;
const int kDefaultRetry = 5;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, "Floppy disk dump utility")) return 1;
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
        default:
            return -1;
        }
    };
    return HwParseOptions(argc, argv, "i:c:h:b:e:t:d:f:s:n:a:r:p:v", &param, own) &&
           HwImagePath(argc, argv, &param.path, "Error : Invalid file path");
}

// An existing image to read into (-b and -e, or -t): its geometry and format
// win over the options.
int OpenExisting() {
    if (!((param.begin >= 0 && param.end >= 0) || param.track >= 0)) return 0;
    int ok = param.path.HasExt(".ZEL") ? image->Load(param.path, 0) : image->Import(param.path, 0);
    if (!ok) return 0;
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

void ReadDisk(int period, int first, int last) {
    const int span = last - first + 1;
    const int fast = image->header.cylinders > 42;
    const int samplerate = param.rate * 8;
    dumps = new dump_t[param.retry + 1];

    HwWalkTracks(first, last, param.heads, param.track, param.steps, fast, [&](int c, int h) {
        int tr = c * param.heads + h;
        HwProgress((((c - first) * param.heads + h) * 100 + 100) / (param.heads * span), tr, c, h);

        int n = 0;
        for (;;) {
            dump_t *d = &dumps[n];
            ReadTrack(&gpioctl, d, period, samplerate, param.denoise, param.analyze);
            n++;
            HwCheckSignal();
            if (d->track.SectorCount() == 0) break;
            if (d->found && !(d->track.flags & TRACK_ERRORS)) break;
            if (n > param.retry) break;
            HwRetryProgress(n, param.retry, (tr * 100 + 100) / (param.heads * param.cylinders), tr, c, h);
        }
        int best = 0;
        if (n > 1) {
            uint32_t top = EvaluateTrackScore(&dumps[0]);
            for (int i = 1; i < n; i++) {
                uint32_t s = EvaluateTrackScore(&dumps[i]);
                if (s > top) top = s, best = i;
            }
        }
        ReportTrack(&dumps[best]);
        if (!StoreTrack(c, h, &dumps[best]))
            fprintf(stderr, "\nError : Track %d does not fit the image record\n", tr);
        if (param.verbose || (dumps[best].track.flags & TRACK_ERRORS)) printf("\n");
        fflush(stdout);
    });
    HwLineStart();
    fflush(stdout);

    delete[] dumps;
    dumps = nullptr;
    HwPark(param.drive, 256, fast);
}

} // namespace

int main(int argc, char **argv) {
    int status = HwStartUp(argc, argv, Banner, Init, 1, ParseArgument, Cleanup);
    if (status >= 0) return status;

    // Drive set-up.
    HwStartDrive(param);
    printf("Drive              : %d\n", param.drive);
    printf("File               : %s\n", param.path.GetPath());
    int protect = 0;
    int period = HwReadyDrive(param.drive, 0, &protect);

    // Image set-up.
    image = new ZELDisk;
    int update = OpenExisting();
    int rpm = HwRpm(period);
    HwPrintRpm(period);
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

    int saved =
        param.path.HasExt(".ZEL") ? image->Save(param.path, 1) : image->Export(param.path, param.analyze);
    if (!saved)
        HwFail(param.path.HasExt(".ZEL") ? "Error : Can't save ZEL file" : "Error : Can't export image file",
               14);
    Cleanup();
    return 0;
}
