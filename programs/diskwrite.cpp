// diskwrite: writes an image (ZEL, or any format the library imports) onto a
// floppy disk in a real drive, track by track, and verifies every formatted
// track by reading it back. The image decides density, speed and format; it
// is never changed.
//
// The user's disk comes first. Without -e or -t the write ends at the last
// cylinder of the image that holds a formatted track (imported images have
// 84 or 42 cylinders, most of them blank at the end), and before anything is
// written the head is stepped to the last cylinder of the range and counted
// back to track 0: a drive that stops short would put the outer tracks over
// its last real cylinder, so the write is refused. A track that could not be
// prepared, written or verified makes the run fail (exit 14).
#include <cstdio>
#include <cstring>
#include <memory>

#include "fdd.h"
#include "filepath.h"
#include "hwprog.h"
#include "zeldisk.h"

GPIOCTL gpioctl;

namespace {

// The shared options, and the image path and the disk number in a
// multi-disk image.
struct param_t : hwparam_t {
    Filepath path;
    int diskno;
};

param_t param;
ZELDisk *image = nullptr;
restore_t *restore = nullptr;
dump_t *verify = nullptr;
int failed = 0; // tracks not prepared, written or verified

const int kDefaultRetry = 5;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, argv, "Floppy disk restore utility")) return 1;
    HwUsageStart(argv[0], "-i ID [OPTION]... FILE");
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
    if (!HwInitTool()) return 0;
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
    auto own = [](int opt, const char *arg) {
        if (opt != 'n') return -1; // -u takes a value and is ignored like unknown options
        param.diskno = OptNum(arg);
        return 1;
    };
    int ok = HwParseOptions(argc, argv, "i:n:c:h:b:e:t:s:a:r:p:u:v", &param, own);
    if (param.diskno < 1 || param.diskno > 16) param.diskno = 1;
    return ok && HwImagePath(argc, argv, &param.path, "Error : Invalid image file path");
}

// Writes one track, reads it back and compares what the decoder finds.
void WriteOne(int period, int samplerate, int c, int h, int first, int span) {
    int tr = c * param.heads + h;
    HwProgress((((c - first) * param.heads + h) * 100 + 100) / (param.heads * span), tr, c, h);
    if (!MakeRestoreData(&gpioctl, restore, period, image, c, h, param.analyze)) {
        fprintf(stderr, "\n Error : Track does not fit this drive's revolution\n");
        failed++;
        return;
    }
    for (int j = 0; j <= param.retry; j++) {
        HwCheckSignal();
        // The samples are made for the SPI rate, which follows the core clock.
        if (j > 0 && HwFollowCoreClock())
            MakeRestoreData(&gpioctl, restore, period, image, c, h, param.analyze);
        if (j > 0)
            HwRetryProgress(j, param.retry, (tr * 100 + 100) / (param.heads * param.cylinders), tr, c, h);
        if (param.verbose) printf("%s", restore->info);
        int written = WriteTrack(&gpioctl, period, restore) > 0;
        if (written && restore->track.SectorCount() == 0) break;
        if (written) {
            ReadTrack(&gpioctl, verify, period, samplerate, 0, param.analyze);
            if (verify->track.flags == restore->track.flags &&
                verify->track.SectorCount() == restore->track.SectorCount())
                break;
        }
        if (j == param.retry) {
            fflush(stdout);
            fprintf(stderr, written ? "\n Error : Verify failed\n" : "\n Error : Write did not finish\n");
            failed++;
        }
    }
    if (param.verbose) HwLineEnd();
    fflush(stdout);
}

// The last cylinder below cylinders with a formatted track on one of heads; -1
// when there is none.
int LastFormattedCylinder(int cylinders, int heads) {
    for (int c = cylinders - 1; c >= 0; c--)
        for (int h = 0; h < heads; h++) {
            std::unique_ptr<VTrack> t(image->Analyze(c, h, param.analyze));
            if (t && t->SectorCount() > 0) return c;
        }
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    int status = HwStartUp(argc, argv, Banner, Init, 1, ParseArgument, Cleanup);
    if (status >= 0) return status;

    // Nothing is written from an image that lost anything on its way in.
    image = new ZELDisk;
    std::string why;
    LossReport report;
    if (param.path.HasExt(".ZEL")) {
        if (!image->Load(param.path, 0, &why)) {
            fprintf(stderr, "Error : %s\n", why.c_str());
            HwFail("Error : Can't load ZEL file", 2);
        }
    } else if (!image->Import(param.path, param.diskno, &report)) {
        PrintLosses(report);
        HwFail("Error : Can't import image file", 2);
    }

    // Drive set-up.
    HwStartDrive(param);
    printf("Drive              : %d\n", param.drive);
    printf("File               : %s\n", param.path.GetPath());
    int protect = 0;
    int period = HwReadyDrive(param.drive, 1, &protect);
    HwPrintRpm(period);
    if (HwRpm(period) != image->header.rpm) HwFail("Error : Drive's RPM does not match", 14);

    const zelheader_t &hd = image->header;
    if (param.cylinders < 0 || param.cylinders > hd.cylinders) param.cylinders = hd.cylinders;
    if (param.heads < 0 || param.heads > hd.heads) param.heads = hd.heads;
    int tail = -1; // first cylinder left out because no cylinder from it on is formatted
    if (param.end < 0 && param.track < 0) {
        int formatted = LastFormattedCylinder(param.cylinders, param.heads);
        if (formatted < 0) HwFail("Error : No formatted track in the image", 14);
        if (formatted < param.cylinders - 1) tail = formatted + 1;
        param.end = formatted;
    }
    int first, last;
    HwCylinderRange(param, &first, &last);
    if (tail >= 0) printf("Not written        : %d ... %d (unformatted)\n", tail, param.cylinders - 1);

    const int raw = hd.type == ZEL_TYPE_RAW;
    HwPrintCapacity((int64_t)period * hd.rate / (raw ? 8000 : 1000));
    if (param.track < 0) HwPrintTotal(last - first + 1, param.heads);
    printf("Data format        : %s\n", raw ? "Raw format" : "Encode(FM/MFM) format");
    printf("Data rate          : %d kbps\n", hd.rate);
    printf("Analyze mode       : %s\n", param.analyze ? "MB8877" : "uPD765");
    fflush(stdout);

    const int fast = hd.cylinders > 42;
    printf("Seek check         : ");
    fflush(stdout);
    if (!HwStepTest(last * param.steps, fast)) {
        printf("Failed\n");
        char message[80];
        snprintf(message, sizeof message, "Error : Drive does not reach cylinder %d", last);
        HwFail(message, 14);
    }
    printf("Success\n");
    fflush(stdout);

    restore = new restore_t;
    verify = new dump_t;
    const int samplerate = raw ? hd.rate : hd.rate * 8;
    HwWalkTracks(first, last, param.heads, param.track, param.steps, fast,
                 [&](int c, int h) { WriteOne(period, samplerate, c, h, first, last - first + 1); });
    HwLineStart();
    fflush(stdout);

    HwPark(param.drive, 256, fast);
    if (failed) {
        char message[80];
        snprintf(message, sizeof message, "Error : %d track%s not written as the image holds", failed,
                 failed == 1 ? "" : "s");
        HwFail(message, 14);
    }
    Cleanup();
    return 0;
}
