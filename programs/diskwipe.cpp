// diskwipe: erases every track of a floppy disk in a real drive so that it
// reads as unformatted. On each track the write gate is held on for a
// quarter of a second with no data, which leaves the track without flux.
#include <cstdio>

#include "hwprog.h"

GPIOCTL gpioctl;

namespace {

// The shared options; of them diskwipe takes the drive, cylinders, heads,
// steps and pins.
struct param_t : hwparam_t {};

param_t param;

int Banner(int argc, char **argv) {
    if (HwBanner(argc, argv, "Floppy disk unformat utility")) return 1;
    HwUsageStart(argv[0], "-i ID -c CYLINDERS [-h HEADS] [OPTION]...");
    printf(" CYLINDERS is number of cylinders.\n");
    printf(" HEADS is number of heads. Default is 2.\n\n");
    printf("OPTION\n");
    printf(" -s STEPS is seek step count {1|2}. Default is 1.\n");
    HwUsagePins();
    return 0;
}

int Init() {
    if (!HwInitTool()) return 0;
    param.drive = -1;
    param.cylinders = -1;
    param.heads = 2;
    param.steps = 1;
    param.pin2 = param.pin4 = param.pin12 = 0;
    return 1;
}

// Cylinders and heads are checked after all options, steps not at all (any
// character gives that many pulses a cylinder).
int ParseArgument(int argc, char **argv) {
    auto own = [](int opt, const char *arg) {
        switch (opt) {
        case 'c':
            param.cylinders = OptNum(arg);
            return 1;
        case 'h':
            param.heads = OptNum(arg);
            return 1;
        case 's':
            param.steps = arg[0] - '0';
            return 1;
        default:
            return -1;
        }
    };
    if (!HwParseOptions(argc, argv, "i:c:h:s:p:", &param, own)) return 0;
    if (param.cylinders < 1 || param.cylinders > 84) {
        fprintf(stderr, "Error : Invalid cylinders range [%d]\n", param.cylinders);
        return 0;
    }
    if (param.heads != 1 && param.heads != 2) {
        fprintf(stderr, "Error : Invalid heads range [%d]\n", param.heads);
        return 0;
    }
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    int status = HwStartUp(argc, argv, Banner, Init, 0, ParseArgument, HwCleanup);
    if (status >= 0) return status;

    HwStartDrive(param);
    printf("Drive number       : %d\n", param.drive);
    int protect = 0;
    int period = HwReadyDrive(param.drive, 1, &protect);
    HwPrintRpm(period);
    HwPrintTotal(param.cylinders, param.heads);

    const int fast = param.cylinders > 42;
    const int total = param.cylinders * param.heads;
    HwWalkTracks(0, param.cylinders - 1, param.heads, -1, param.steps, fast, [&](int i, int j) {
        HwProgress(((i * param.heads + j) * 100 + 100) / total, i * param.heads + j + 1, i, j);
        gpioctl.SetWTG(1);
        SysTimer::DelayUs(250000);
        gpioctl.SetWTG(0);
        gpioctl.Settling();
    });
    HwLineStart();
    fflush(stdout);

    // The way back is bounded like the recalibration: a drive that never
    // shows track 0 is reported instead of stepped for ever.
    if (!HwSeekTrack0(256, fast)) fprintf(stderr, "Warning : Can't detect track0\n");
    gpioctl.SetDS(param.drive, 0);
    gpioctl.SetMOT(0);
    HwCleanup();
    return 0;
}
