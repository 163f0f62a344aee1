// diskwrite: writes an image (ZEL, or any format the library imports) onto a
// floppy disk in a real drive, track by track, and verifies every formatted
// track by reading it back. The image decides density, speed and format; it
// is never changed.
#include <unistd.h>

#include <cstdio>
#include <cstring>

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
    int steps;
    int analyze;
    int pin2, pin4, pin12;
    int retry;
    Filepath path;
    int diskno;
    int verbose;
};

param_t param;
ZELDisk *image = nullptr;
restore_t *restore = nullptr;
dump_t *verify = nullptr;

const int kDefaultRetry = 5;

int Banner(int argc, char **argv) {
    PrintToolBanner("Floppy disk restore utility");
    if (argc > 1) return 1;
    printf("Usage: %s -i ID [OPTION]... FILE\n\n", argv[0]);
    printf(" ID is unit number {0|1}.\n");
    printf(" FILE is image file path.\n\n");
    printf("OPTION\n");
    printf(" -c CYLINDERS is amount of cylinders. Default is image cylinders\n");
    printf(" -h HEADS is number of heads. Default is image heads\n");
    printf(" -b BEGIN is begin cylinder. Default is 0.\n");
    printf(" -e END is end cylinder. Default is CYLINDERS - 1.\n");
    printf(" -t TRACK is only 1 track operation.\n");
    printf(" -s STEPS is seek step count {1|2}. Default is 1.\n");
    printf(" -a ANALYZE is analyze mode {upd765|mb8877}, Default is upd765.\n");
    printf(" -n DISKNO is disk number of multi image format, Default is 1.\n");
    printf(" -p2 Assert Pin 2. Pin 2 may affect RPM.\n");
    printf(" -p4 Assert Pin 4. Pin 4 may affect STEP PULSE.\n");
    printf(" -p12 Assert Pin 12. Pin 12 may affect HEAD LOAD.\n");
    printf(" -r RETRY is retry times for verify error. Default is %d.\n", kDefaultRetry);
    printf(" -v is verbose mode.\n");
    return 0;
}

void Cleanup() {
    delete restore;
    restore = nullptr;
    delete verify;
    verify = nullptr;
    delete image;
    image = nullptr;
    HwCleanup();
}

int Init() {
    if (!HwInstallSignals()) return 0;
    if (!HwInit()) return 0;
    param.drive = -1;
    param.cylinders = param.heads = -1;
    param.begin = param.end = param.track = -1;
    param.steps = 1;
    param.analyze = ANALYZE_UPD765;
    param.pin2 = param.pin4 = param.pin12 = 0;
    param.retry = kDefaultRetry;
    param.path.Clear();
    param.diskno = 1;
    param.verbose = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "i:n:c:h:b:e:t:s:a:r:p:u:v")) != -1) {
        switch (opt) {
        case 'i':
            param.drive = optarg[0] - '0';
            break;
        case 'n':
            param.diskno = OptNum(optarg);
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
        case 's':
            param.steps = optarg[0] - '0';
            if (param.steps != 1 && param.steps != 2) {
                fprintf(stderr, "Error : Invalid step [%d]\n", param.steps);
                return 0;
            }
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
            break; // -u and unknown options
        }
    }
    if (param.diskno < 1 || param.diskno > 16) param.diskno = 1;
    if (param.drive < 0 || param.drive > 1) {
        fprintf(stderr, "Error : Invalid id range [%d]\n", param.drive);
        return 0;
    }
    if (optind >= argc || !argv[optind][0] || !param.path.SetPath(argv[optind])) {
        fprintf(stderr, "Error : Invalid image file path\n");
        return 0;
    }
    return 1;
}

[[noreturn]] void Fail(const char *message, int code) {
    fprintf(stderr, "%s\n", message);
    Cleanup();
    exit(code);
}

// Writes one track, reads it back and compares what the decoder finds.
void WriteOne(int period, int samplerate, int c, int h, int first, int span) {
    int tr = c * param.heads + h;
    HwLineStart();
    printf("Processing         : %3d%%(T%3d C%2d H%d)",
           (((c - first) * param.heads + h) * 100 + 100) / (param.heads * span), tr, c, h);
    fflush(stdout);
    if (!MakeRestoreData(&gpioctl, restore, period, image, c, h, param.analyze)) {
        fprintf(stderr, "\n Error : Track does not fit this drive's revolution\n");
        return;
    }
    for (int j = 0; j <= param.retry; j++) {
        HwCheckSignal();
        if (j > 0) {
            HwLineStart();
            printf("Retry %3d/%3d      : %3d%%(T%3d C%2d H%d)", j, param.retry,
                   (tr * 100 + 100) / (param.heads * param.cylinders), tr, c, h);
            fflush(stdout);
        }
        if (param.verbose) printf("%s", restore->info);
        WriteTrack(&gpioctl, period, restore);
        if (restore->track.SectorCount() == 0) break;
        ReadTrack(&gpioctl, verify, period, samplerate, 0, param.analyze);
        if (verify->track.flags == restore->track.flags &&
            verify->track.SectorCount() == restore->track.SectorCount())
            break;
        if (j == param.retry) {
            fflush(stdout);
            fprintf(stderr, "\n Error : Verify failed\n");
        }
    }
    if (param.verbose) printf("\n");
    fflush(stdout);
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

    image = new ZELDisk;
    if (param.path.HasExt(".ZEL")) {
        if (!image->Load(param.path, 0)) Fail("Error : Can't load ZEL file", 2);
    } else if (!image->Import(param.path, param.diskno)) {
        Fail("Error : Can't import image file", 2);
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
    printf("Write protect      : ");
    if (gpioctl.GetWTP()) {
        printf("Protected\n");
        Fail("Error : Disk is protected", 14);
    }
    printf("Writable\n");
    if (!HwRecalibrate()) Fail("Error : Can't detect track0", 14);
    HwPrintRpm(period);
    if (HwRpm(period) != image->header.rpm) Fail("Error : Drive's RPM does not match", 14);

    const zelheader_t &hd = image->header;
    if (param.cylinders < 0 || param.cylinders > hd.cylinders) param.cylinders = hd.cylinders;
    if (param.heads < 0 || param.heads > hd.heads) param.heads = hd.heads;
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

    const int raw = hd.type == ZEL_TYPE_RAW;
    int64_t capacity = (int64_t)period * hd.rate / (raw ? 8000 : 1000);
    printf("Track capacity     : %d bits %d bytes %d cells\n", (int)capacity, (int)((capacity + 7) / 8),
           (int)((capacity + 15) / 16));
    if (param.track < 0)
        printf("Total tracks       : %d cylinders x %d heads = %d\n", last - first + 1, param.heads,
               (last - first + 1) * param.heads);
    printf("Data format        : %s\n", raw ? "Raw format" : "Encode(FM/MFM) format");
    printf("Data rate          : %d kbps\n", hd.rate);
    printf("Analyze mode       : %s\n", param.analyze ? "MB8877" : "uPD765");
    fflush(stdout);

    restore = new restore_t;
    verify = new dump_t;
    const int fast = hd.cylinders > 42;
    const int samplerate = raw ? hd.rate : hd.rate * 8;
    HwWalkTracks(first, last, param.heads, param.track, param.steps, fast,
                 [&](int c, int h) { WriteOne(period, samplerate, c, h, first, last - first + 1); });
    HwLineStart();
    fflush(stdout);

    delete restore;
    restore = nullptr;
    delete verify;
    verify = nullptr;
    HwPark(param.drive, 256, fast);
    Cleanup();
    return 0;
}
