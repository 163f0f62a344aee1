// drivetest: tells what a drive on the interface board is: whether it turns
// and how fast, whether the disk is write-protected, whether the head finds
// track 0, and how many cylinders the head reaches (stepping in, then
// counting the steps back to track 0). It reads and writes no data.
#include <cstdio>

#include "hwprog.h"

GPIOCTL gpioctl;

namespace {

// The shared options; of them drivetest takes the drive and the pins.
struct param_t : hwparam_t {};

param_t param;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, "Floppy disk information utility")) return 1;
    HwUsageStart(argv[0], "-i ID [OPTION]...");
    printf("\n");
    printf("OPTION\n");
    HwUsagePins();
    return 0;
}

int Init() {
    if (!HwInitTool()) return 0;
    param.drive = -1;
    param.pin2 = param.pin4 = param.pin12 = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    return HwParseOptions(argc, argv, "i:p:", &param, [](int, const char *) { return -1; });
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
