// drivetest: tells what a drive on the interface board is: whether it turns
// and how fast, whether the disk is write-protected, whether the head finds
// track 0, and how many cylinders the head reaches (stepping in, then
// counting the steps back to track 0). It reads and writes no data.
#include <unistd.h>

#include <cstdio>

#include "hwprog.h"

GPIOCTL gpioctl;

namespace {

struct param_t {
    int drive;
    int pin2, pin4, pin12;
};

param_t param;

int Banner(int argc, char **argv) {
    PrintToolBanner("Floppy disk information utility");
    if (argc > 1) return 1;
    printf("Usage: %s -i ID [OPTION]...\n\n", argv[0]);
    printf(" ID is unit number {0|1}.\n\n");
    printf("OPTION\n");
    printf(" -p2 Assert Pin 2.\n");
    printf(" -p4 Assert Pin 4.\n");
    printf(" -p12 Assert Pin 12.\n");
    return 0;
}

int Init() {
    if (!HwInstallSignals()) return 0;
    if (!HwInit()) return 0;
    param.drive = -1;
    param.pin2 = param.pin4 = param.pin12 = 0;
    return 1;
}

int ParseArgument(int argc, char **argv) {
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "i:p:")) != -1) {
        switch (opt) {
        case 'i':
            param.drive = optarg[0] - '0';
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
    return 1;
}

// 1 when the head, stepped count cylinders inward, needs exactly count steps
// outward to reach track 0; 0 when it arrives early (it stopped at its inner
// end) or not at all.
int StepTest(int count, int fast) {
    gpioctl.SetDIR(1);
    gpioctl.Settling();
    for (int i = 0; i < count; i++)
        gpioctl.StepPulse(fast);
    HwCheckSignal();
    gpioctl.SetDIR(0);
    gpioctl.Settling();
    for (int k = 0; k <= count; k++) {
        gpioctl.Aquire();
        if (gpioctl.GetTRZ()) return k == count;
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
    return 0;
}

// The first failing count of a test series, or 0 when all passed.
int FirstFailing(int from, int to, int fast) {
    for (int n = from; n <= to; n++)
        if (!StepTest(n, fast)) return n;
    return 0;
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
    if (!HwRecalibrate()) {
        fprintf(stderr, "Error : Can't detect track0\n");
        HwCleanup();
        return 14;
    }

    printf("Num of cylinder    : ");
    fflush(stdout);
    int n = FirstFailing(40, 45, 0);
    if (n) {
        if (n == 40)
            printf("Unknown 2D\n");
        else
            printf("%d(0..%d)\n", n, n - 1);
        HwCleanup();
        return 0;
    }
    n = FirstFailing(77, 86, 1);
    if (n) {
        if (n == 77)
            printf("Unknown 2DD/2HD\n");
        else
            printf("%d(0..%d)\n", n, n - 1);
        HwCleanup();
        return 0;
    }
    printf("86 over\n");
    HwCleanup();
    return 34;
}
