// drivetest: tells what a drive on the interface board is: whether it turns
// and how fast, whether the disk is write-protected, whether the head finds
// track 0, and how many cylinders the head reaches (stepping in, then
// counting the steps back to track 0). It reads and writes no data.
#include <cstdio>
#include <memory>
#include <string>

#include "fdd.h"
#include "fdi_disk.h"
#include "hwprog.h"
#include "picture.h"

GPIOCTL gpioctl;

namespace {

// The shared options; of them drivetest takes the drive and the pins, and
// where the flux histogram of track 0 goes (-m).
struct param_t : hwparam_t {
    Filepath picture;
};

param_t param;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, argv, "Floppy disk information utility")) return 1;
    HwUsageStart(argv[0], "-i ID [OPTION]...");
    printf("\n");
    printf("OPTION\n");
    HwUsagePins();
    printf(" -m FLUX.svg draws the spread of pulse intervals on track 0 (alignment and media check).\n");
    return 0;
}

int Init() {
    if (!HwInitTool()) return 0;
    param.drive = -1;
    param.pin2 = param.pin4 = param.pin12 = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    return HwParseOptions(argc, argv, "i:p:m:", &param, [](int opt, const char *arg) {
        if (opt != 'm') return -1;
        if (param.picture.SetPath(arg) && !param.picture.IsClear()) return 1;
        fprintf(stderr, "Error : Invalid picture file path\n");
        return 0;
    });
}

// Samples one revolution of track 0 at the high-density sampling rate and
// shows the spread of its pulse intervals: tight peaks at 2, 3 and 4 cells
// tell a head that reads the disk well; wide or shifted ones, misalignment
// or worn media. A double-density disk shows its peaks at twice the
// samples.
void FluxCheck(int period) {
    if (param.picture.IsClear() || !period) return;
    std::unique_ptr<dump_t> d(new dump_t);
    fluxhist_t hist;
    hist.samplerate = gpioctl.CalcFreqSpi(8000);
    if (Sample(&gpioctl, d.get(), 8000, period)) AddFlux(hist, d->raw, d->rawlen);
    FindFluxPeaks(hist);
    fputs(FluxHistogramText(hist).c_str(), stdout);
    std::string svg = FluxHistogramSvg(hist, "Drive " + std::to_string(param.drive) + " track 0");
    if (SaveImageFile(param.picture, (const uint8_t *)svg.data(), svg.size()))
        printf("Flux picture       : %s\n", param.picture.GetPath());
    else
        fprintf(stderr, "Warning : Can't write the flux picture %s\n", param.picture.GetPath());
}

// The first failing count of a test series, or 0 when all passed.
int FirstFailing(int from, int to, int fast) {
    for (int n = from; n <= to; n++)
        if (!HwStepTest(n, fast)) return n;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int status = HwStartUp(argc, argv, Banner, Init, 0, ParseArgument, HwCleanup);
    if (status >= 0) return status;

    HwStartDrive(param);
    printf("Drive              : %d\n", param.drive);
    gpioctl.SetDS(param.drive, 1);
    int period = HwIndexPeriod();
    gpioctl.Aquire();
    if (period) {
        printf("Write protect      : %s\n", gpioctl.GetWTP() ? "Protected" : "Writable");
        HwPrintRpm(period);
    } else {
        printf("Write protect      : Unknown\n");
        printf("Drive RPM          : Unknown\n");
    }
    if (!HwRecalibrate()) HwFail("Error : Can't detect track0", 14);
    FluxCheck(period);

    printf("Num of cylinder    : ");
    fflush(stdout);
    // Slow steps for 40-track drives, then fast ones for 80-track drives. The
    // first count that fails tells the cylinders; the first of a series
    // failing leaves the kind unknown.
    const struct {
        int from, to, fast;
        const char *unknown;
    } series[] = {{40, 45, 0, "Unknown 2D"}, {77, 86, 1, "Unknown 2DD/2HD"}};
    for (const auto &s : series) {
        int n = FirstFailing(s.from, s.to, s.fast);
        if (!n) continue;
        if (n == s.from)
            printf("%s\n", s.unknown);
        else
            printf("%d(0..%d)\n", n, n - 1);
        HwCleanup();
        return 0;
    }
    printf("86 over\n");
    HwCleanup();
    return 34;
}
