// diskread: dumps a floppy disk in a real drive into an image file, a ZEL
// image of encoded or raw tracks, or any sector format the library exports.
// Every track is read with retries and the best attempt kept; a track that
// cannot be read cleanly is stored as read, with a warning.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "fdd.h"
#include "filepath.h"
#include "hwprog.h"
#include "zeldisk.h"

GPIOCTL gpioctl;

namespace {

struct param_t {
    int drive;
    int cylinders;
    int heads;
    int begin;
    int end;
    int track;
    int rate; // data rate, kbps
    int steps;
    int denoise;
    int analyze;
    int pin2, pin4, pin12;
    int retry;
    int raw;
    Filepath path;
    int verbose;
};

param_t param;
ZELDisk *image = nullptr;
dump_t *dumps = nullptr;

const int kDefaultDenoise = 8;
const int kDefaultRetry = 5;

int Banner(int argc, char **argv) {
    PrintToolBanner("Floppy disk dump utility");
    if (argc > 1) return 1;
    printf("Usage: %s -i ID [OPTION]... FILE\n\n", argv[0]);
    printf(" ID is unit number {0|1}.\n");
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
    printf(" -p2 Assert Pin 2.\n");
    printf(" -p4 Assert Pin 4.\n");
    printf(" -p12 Assert Pin 12.\n");
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
    if (!HwInstallSignals()) return 0;
    if (!HwInit()) return 0;
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
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "i:c:h:b:e:t:d:f:s:n:a:r:p:v")) != -1) {
        switch (opt) {
        case 'i':
            param.drive = optarg[0] - '0';
            break;
        case 'c':
            if (!OptInRange(optarg, 1, 84, "Error : Invalid cylinders range [%d]\n", &param.cylinders))
                return 0;
            break;
        case 'h':
            if (!OptInRange(optarg, 1, 2, "Error : Invalid heads range [%d]\n", &param.heads)) return 0;
            break;
        case 'b':
            if (!OptInRange(optarg, 0, 83, "Error : Invalid begin cylinder [%d]\n", &param.begin)) return 0;
            break;
        case 'e':
            if (!OptInRange(optarg, 0, 83, "Error : Invalid end cylinder [%d]\n", &param.end)) return 0;
            break;
        case 't':
            if (!OptInRange(optarg, 0, 167, "Error : Invalid track number [%d]\n", &param.track)) return 0;
            break;
        case 'd':
            param.rate = (optarg[0] == 'd' || optarg[0] == 'D') ? 500 : 1000;
            break;
        case 'f':
            if (optarg[0] == 'r' || optarg[0] == 'R') param.raw = 1;
            break;
        case 's':
            param.steps = optarg[0] - '0';
            if (param.steps != 1 && param.steps != 2) {
                fprintf(stderr, "Error : Invalid step [%d]\n", param.steps);
                return 0;
            }
            break;
        case 'n':
            param.denoise = Clamp(OptNum(optarg), 0, 16);
            break;
        case 'a':
            param.analyze = (optarg[0] == 'm' || optarg[0] == 'M') ? ANALYZE_MB8877 : ANALYZE_UPD765;
            break;
        case 'r':
            param.retry = Clamp(OptNum(optarg), 0, 99);
            break;
        case 'p':
            OptPin(optarg, &param.pin2, &param.pin4, &param.pin12);
            break;
        case 'v':
            param.verbose = 1;
            break;
        default:
            break;
        }
    }
    if (param.drive < 0 || param.drive > 1) {
        fprintf(stderr, "Error : Invalid id range [%d]\n", param.drive);
        return 0;
    }
    if (optind >= argc || !argv[optind][0] || !param.path.SetPath(argv[optind])) {
        fprintf(stderr, "Error : Invalid file path\n");
        return 0;
    }
    return 1;
}

[[noreturn]] void Fail(const char *message, int code) {
    fprintf(stderr, "%s\n", message);
    Cleanup();
    exit(code);
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
        HwLineStart();
        printf("Processing         : %3d%%(T%3d C%2d H%d)",
               (((c - first) * param.heads + h) * 100 + 100) / (param.heads * span), tr, c, h);
        fflush(stdout);

        int n = 0;
        for (;;) {
            dump_t *d = &dumps[n];
            ReadTrack(&gpioctl, d, period, samplerate, param.denoise, param.analyze);
            n++;
            HwCheckSignal();
            if (d->track.SectorCount() == 0) break;
            if (d->found && !(d->track.flags & TRACK_ERRORS)) break;
            if (n > param.retry) break;
            HwLineStart();
            printf("Retry %3d/%3d      : %3d%%(T%3d C%2d H%d)", n, param.retry,
                   (tr * 100 + 100) / (param.heads * param.cylinders), tr, c, h);
            fflush(stdout);
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

    HwSeekTrack0(256, fast);
    delete[] dumps;
    dumps = nullptr;
    gpioctl.Settling();
    gpioctl.SetDS(param.drive, 0);
    gpioctl.SetMOT(0);
}

} // namespace

int main(int argc, char **argv) {
    if (!Banner(argc, argv)) return 0;
    if (!HwInstallSim()) return 1;
    if (!Init()) {
        fprintf(stderr, "Error : Initializing\n");
        return 1;
    }
    HwWarnCoreClock();
    if (!ParseArgument(argc, argv)) {
        Cleanup();
        return 22;
    }

    // Drive set-up.
    HwStartDrive(param.pin2, param.pin4, param.pin12);
    printf("Drive              : %d\n", param.drive);
    printf("File               : %s\n", param.path.GetPath());
    gpioctl.SetDS(param.drive, 1);
    SysTimer::DelayUs(1000);
    int period = HwIndexPeriod();
    if (!period) Fail("Error : Drive not ready", 14);
    gpioctl.Aquire();
    int protect = gpioctl.GetWTP();
    printf("Write protect      : %s\n", protect ? "Protected" : "Writable");
    if (!HwRecalibrate()) Fail("Error : Can't detect track0", 14);

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
        if (!image->Init(type, param.rate, rpm, param.raw)) Fail("Error : Can't create image", 14);
        image->SetName(param.path.GetShort());
        image->header.writeprotect = protect;
    }
    int first = param.begin >= 0 ? param.begin : 0;
    int last = param.end >= 0 ? param.end : param.cylinders - 1;
    if (param.track >= 0) {
        first = last = param.track / param.heads;
        printf("Track              : %d\n", param.track);
    } else {
        printf("Cylinder range     : %d ... %d\n", first, last);
    }
    if (!(first < param.cylinders && last < param.cylinders && first <= last))
        Fail("Error : Invalid cylinder range", 14);
    int64_t capacity = (int64_t)param.rate * period / (param.rate <= 1000 ? 1000 : 8000);
    printf("Track capacity     : %d bits %d bytes %d cells\n", (int)capacity, (int)((capacity + 7) / 8),
           (int)((capacity + 15) / 16));
    if (param.track < 0)
        printf("Total tracks       : %d cylinders x %d heads = %d\n", last - first + 1, param.heads,
               (last - first + 1) * param.heads);
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
        Fail(param.path.HasExt(".ZEL") ? "Error : Can't save ZEL file" : "Error : Can't export image file",
             14);
    Cleanup();
    return 0;
}
