// diskwipe: erases every track of a floppy disk in a real drive so that it
// reads as unformatted. On each track the write gate is held on for a
// quarter of a second with no data, which leaves the track without flux.
#include <unistd.h>

#include <cstdio>

#include "hwprog.h"

GPIOCTL gpioctl;

namespace {

struct param_t {
    int drive;
    int cylinders;
    int heads;
    int steps;
    int pin2, pin4, pin12;
};

param_t param;

int Banner(int argc, char **argv) {
    PrintToolBanner("Floppy disk unformat utility");
    if (argc > 1) return 1;
    printf("Usage: %s -i ID -c CYLINDERS [-h HEADS] [OPTION]...\n\n", argv[0]);
    printf(" ID is unit number {0|1}.\n");
    printf(" CYLINDERS is number of cylinders.\n");
    printf(" HEADS is number of heads. Default is 2.\n\n");
    printf("OPTION\n");
    printf(" -s STEPS is seek step count {1|2}. Default is 1.\n");
    printf(" -p2 Assert Pin 2.\n");
    printf(" -p4 Assert Pin 4.\n");
    printf(" -p12 Assert Pin 12.\n");
    return 0;
}

int Init() {
    if (!HwInstallSignals()) return 0;
    if (!HwInit()) return 0;
    param.drive = -1;
    param.cylinders = -1;
    param.heads = 2;
    param.steps = 1;
    param.pin2 = param.pin4 = param.pin12 = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "i:c:h:s:p:")) != -1) {
        switch (opt) {
        case 'i':
            param.drive = optarg[0] - '0';
            break;
        case 'c':
            param.cylinders = OptNum(optarg);
            break;
        case 'h':
            param.heads = OptNum(optarg);
            break;
        case 's':
            param.steps = optarg[0] - '0';
            break;
        case 'p':
            OptPin(optarg, &param.pin2, &param.pin4, &param.pin12);
            break;
        default:
            break;
        }
    }
    if (param.drive < 0 || param.drive > 1) {
        fprintf(stderr, "Error : Invalid id range [%d]\n", param.drive);
        return 0;
    }
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

[[noreturn]] void Fail(const char *message) {
    fprintf(stderr, "%s\n", message);
    HwCleanup();
    exit(14);
}

} // namespace

int main(int argc, char **argv) {
    if (!Banner(argc, argv)) return 0;
    if (!HwInstallSim()) return 1;
    if (!Init()) {
        fprintf(stderr, "Error : Initializing\n");
        return 1;
    }
    if (!ParseArgument(argc, argv)) {
        HwCleanup();
        return 22;
    }

    HwStartDrive(param.pin2, param.pin4, param.pin12);
    printf("Drive number       : %d\n", param.drive);
    gpioctl.SetDS(param.drive, 1);
    SysTimer::DelayUs(1000);
    int period = HwIndexPeriod();
    if (!period) Fail("Error : Drive not ready");
    gpioctl.Aquire();
    printf("Write protect      : ");
    if (gpioctl.GetWTP()) {
        printf("Protected\n");
        Fail("Error : Disk is protected");
    }
    printf("Writable\n");
    if (!HwRecalibrate()) Fail("Error : Can't detect track0");
    HwPrintRpm(period);
    printf("Total tracks       : %d cylinders x %d heads = %d\n", param.cylinders, param.heads,
           param.cylinders * param.heads);

    const int fast = param.cylinders > 42;
    const int total = param.cylinders * param.heads;
    HwWalkTracks(0, param.cylinders - 1, param.heads, -1, param.steps, fast, [&](int i, int j) {
        HwLineStart();
        printf("Processing         : %3d%%(T%3d C%2d H%d)", ((i * param.heads + j) * 100 + 100) / total,
               i * param.heads + j + 1, i, j);
        fflush(stdout);
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
