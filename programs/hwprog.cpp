// What the drive programs (diskread, diskwrite, diskwipe, drivetest) share:
// start-up, options, the drive set-up, the cylinder range, the track walk,
// progress lines and the rescue of what was read (declared in hwprog.h).
#include "hwprog.h"

volatile sig_atomic_t hwsignalled = 0;
int hwsimulated = 0;
int hwmapped = 0;
int HwBanner(int argc, char **argv, const char *tool) {
    if (AnswerVersion(argc, argv)) exit(0);
    // Every line reaches the output when it is ended, so a log of both
    // streams (2>&1) reads in the order things happened.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("%s\n\n", tool);
    return argc > 1 && !WantsHelp(argc, argv);
}

void HwUsageStart(const char *program, const char *args) {
    printf("Usage: %s %s\n\n", program, args);
    printf(" ID is unit number {0|1}.\n");
}

void HwUsagePins() {
    printf(" -p2 Assert Pin 2.\n");
    printf(" -p4 Assert Pin 4.\n");
    printf(" -p12 Assert Pin 12.\n");
}

int OptNum(const char *text) {
    long v = strtol(text ? text : "", nullptr, 10);
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}

int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

int OptInRange(const char *text, int lo, int hi, const char *message, int *field) {
    *field = OptNum(text);
    if (*field >= lo && *field <= hi) return 1;
    fprintf(stderr, message, *field);
    return 0;
}

void OptPin(const char *text, int *pin2, int *pin4, int *pin12) {
    int pin = OptNum(text);
    if (pin == 2) *pin2 = 1;
    if (pin == 4) *pin4 = 1;
    if (pin == 12) *pin12 = 1;
}

int HwOption(int opt, const char *arg, hwparam_t *p) {
    switch (opt) {
    case 'i':
        p->drive = arg[0] - '0';
        return 1;
    case 'c':
        return OptInRange(arg, 1, 84, "Error : Invalid cylinders range [%d]\n", &p->cylinders);
    case 'h':
        return OptInRange(arg, 1, 2, "Error : Invalid heads range [%d]\n", &p->heads);
    case 'b':
        return OptInRange(arg, 0, 83, "Error : Invalid begin cylinder [%d]\n", &p->begin);
    case 'e':
        return OptInRange(arg, 0, 83, "Error : Invalid end cylinder [%d]\n", &p->end);
    case 't':
        return OptInRange(arg, 0, 167, "Error : Invalid track number [%d]\n", &p->track);
    case 's':
        p->steps = arg[0] - '0';
        if (p->steps == 1 || p->steps == 2) return 1;
        fprintf(stderr, "Error : Invalid step [%d]\n", p->steps);
        return 0;
    case 'a':
        p->analyze = arg[0] == 'm' || arg[0] == 'M';
        return 1;
    case 'r':
        p->retry = Clamp(OptNum(arg), 0, 99);
        return 1;
    case 'p':
        OptPin(arg, &p->pin2, &p->pin4, &p->pin12);
        return 1;
    case 'v':
        p->verbose = 1;
        return 1;
    default:
        return -1;
    }
}

int HwImagePath(int argc, char **argv, Filepath *path, const char *message) {
    if (optind < argc && argv[optind][0] && path->SetPath(argv[optind])) return 1;
    fprintf(stderr, "%s\n", message);
    return 0;
}

void HwSignalHandler(int) {
    hwsignalled = 1;
}

int HwInstallSignals() {
    struct sigaction sa = {};
    sa.sa_handler = HwSignalHandler;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGHUP, SIGTERM})
        if (sigaction(sig, &sa, nullptr) != 0) return 0;
    // A file-size limit fails a save (which is then kept elsewhere or said)
    // instead of killing the program with the drive lines asserted.
    signal(SIGXFSZ, SIG_IGN);
    return 1;
}

int HwInstallSim() {
    hwsimulated = SimInstallFromEnv();
    if (hwsimulated < 0) {
        fprintf(stderr, "Error : %s\n", SimError());
        return 0;
    }
    return 1;
}

int HwInit() {
    if (!gpioctl.Init(GPIOCTL::MODE_CONTROLLER)) {
        fprintf(stderr, "Error : May be not root user.\n");
        return 0;
    }
    hwmapped = 1;
    return 1;
}

void HwCleanup() {
    if (hwmapped) gpioctl.Cleanup();
    hwmapped = 0;
    if (hwsimulated > 0) SimShutdown();
    hwsimulated = 0;
    printf("\nDone\n");
    fflush(stdout);
}

void (*hwcleanup)() = HwCleanup;
ZELDisk *hwheld = nullptr;
Filepath hwheldtarget;
void HwHoldRead(ZELDisk *disk, const Filepath &target) {
    hwheld = disk;
    hwheldtarget = target;
}

void HwReleaseRead() {
    hwheld = nullptr;
}

int HwKeepRead() {
    ZELDisk *disk = hwheld;
    hwheld = nullptr;
    if (!disk || !disk->valid) return 0;
    const std::string bases[2] = {hwheldtarget.GetPath(),
                                  std::string(hwheldtarget.GetName()) + hwheldtarget.GetExt()};
    const int zel = hwheldtarget.HasExt(".ZEL");
    for (const std::string &base : bases) {
        for (int n = zel; n < 100; n++) {
            std::string name = base + (n ? "." + std::to_string(n) : std::string()) + ".ZEL";
            Filepath path;
            if (!path.SetPath(name.c_str())) break;
            if (access(name.c_str(), F_OK) == 0) continue;
            if (!disk->Save(path, 1)) break;
            fprintf(stderr, "Warning : The tracks read are kept in %s\n", name.c_str());
            return 1;
        }
    }
    fprintf(stderr, "Error : Can't keep the tracks read\n");
    return 0;
}

void HwCheckSignal() {
    if (!hwsignalled) return;
    HwKeepRead();
    hwcleanup();
    exit(0);
}

[[noreturn]] void HwFail(const char *message, int code) {
    fprintf(stderr, "%s\n", message);
    HwKeepRead();
    hwcleanup();
    exit(code);
}

int HwStartUp(int argc, char **argv, int (*banner)(int, char **), int (*init)(), int warnclock,
                     int (*parse)(int, char **), void (*cleanup)()) {
    if (!banner(argc, argv)) return 0;
    if (!HwInstallSim()) return 1;
    if (!init()) {
        fprintf(stderr, "Error : Initializing\n");
        return 1;
    }
    hwcleanup = cleanup;
    if (warnclock) {
        int mhz = (gpioctl.corefreq + 500) / 1000;
        if (mhz != 400) fprintf(stderr, "Warning : Core frequency is not 400MHz.(%dMHz)\n\n", mhz);
    }
    if (!parse(argc, argv)) {
        cleanup();
        return 22;
    }
    return -1;
}

int HwInitTool() {
    gpioctl.stop = &hwsignalled;
    return HwInstallSignals() && HwInit();
}

void HwStartDrive(const hwparam_t &p) {
    gpioctl.Reset();
    gpioctl.SetMOT(1);
    SysTimer::DelayUs(1000);
    if (p.pin2) gpioctl.SetFD2(1);
    if (p.pin4) gpioctl.SetFD4(1);
    if (p.pin12) gpioctl.SetFD12(1);
}

int HwOnePeriod() {
    if (!gpioctl.WaitRise(27)) return 0;
    uint32_t start = SysTimer::GetTimerLow();
    if (!gpioctl.WaitRise(27)) return 0;
    return (int)(SysTimer::GetTimerLow() - start);
}

int HwIndexPeriod() {
    printf("Index period       : ");
    fflush(stdout);
    int period = 0;
    for (int i = 0; i < 8; i++) {
        period = gpioctl.GetIndexPeriod();
        HwCheckSignal();
        int one = period > 0 ? HwOnePeriod() : 0;
        HwCheckSignal();
        if (one < 1) period = 0;
        if (period < 1 || (one - period <= period / 100 && period - one <= period / 100)) break;
    }
    if (period < 1) {
        printf("No signal\n");
        return 0;
    }
    printf("%d us\n", period);
    return period;
}

int HwRpm(int period) {
    return period < 183000 ? 360 : 300;
}

void HwPrintRpm(int period) {
    printf("Drive RPM          : %d(%f)\n", HwRpm(period), (double)(60000000.0f / (float)period));
}

int HwSeekTrack0(int limit, int fast) {
    gpioctl.SetDIR(0);
    gpioctl.Settling();
    for (int i = 0; i < limit; i++) {
        gpioctl.Aquire();
        if (gpioctl.GetTRZ()) return 1;
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
    gpioctl.Aquire();
    return gpioctl.GetTRZ();
}

int HwRecalibrate() {
    printf("Recalibrate        : ");
    fflush(stdout);
    gpioctl.Aquire();
    if (!gpioctl.GetTRZ()) {
        gpioctl.SetDIR(0);
        gpioctl.Settling();
        int seen = 0;
        for (int i = 0; i < 256 && !seen; i++) {
            gpioctl.Aquire();
            if (gpioctl.GetTRZ())
                seen = 1;
            else
                gpioctl.StepPulse(0);
            HwCheckSignal();
        }
        if (!seen) {
            printf("Failed\n");
            return 0;
        }
    }
    printf("Success\n");
    return 1;
}

int HwReadyDrive(int drive, int protectfails, int *protect) {
    gpioctl.SetDS(drive, 1);
    SysTimer::DelayUs(1000);
    int period = HwIndexPeriod();
    if (!period) HwFail("Error : Drive not ready", 14);
    gpioctl.Aquire();
    *protect = gpioctl.GetWTP();
    printf("Write protect      : %s\n", *protect ? "Protected" : "Writable");
    if (*protect && protectfails) HwFail("Error : Disk is protected", 14);
    if (!HwRecalibrate()) HwFail("Error : Can't detect track0", 14);
    return period;
}

void HwStep(int count, int fast) {
    for (int i = 0; i < count; i++) {
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
    if (count > 0) gpioctl.Settling();
}

int HwStepTest(int count, int fast) {
    gpioctl.SetDIR(1);
    gpioctl.Settling();
    for (int i = 0; i < count; i++) {
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
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

int HwFollowCoreClock() {
    if (!gpioctl.RefreshCoreClock()) return 0;
    fprintf(stderr, "\nWarning : Core frequency changed to %dMHz\n", (gpioctl.corefreq + 500) / 1000);
    return 1;
}

int hwlineopen = 0;
void HwLineStart() {
    static const int terminal = isatty(fileno(stdout));
    if (terminal) printf("\x1b[1G\x1b[0D\x1b[0K");
    else if (hwlineopen) putchar('\n');
    hwlineopen = 0;
}

void HwLineEnd() {
    putchar('\n');
    hwlineopen = 0;
}

void HwProgress(int percent, int track, int c, int h) {
    HwLineStart();
    printf("Processing         : %3d%%(T%3d C%2d H%d)", percent, track, c, h);
    hwlineopen = 1;
    fflush(stdout);
}

void HwRetryProgress(int n, int retry, int percent, int track, int c, int h) {
    HwLineStart();
    printf("Retry %3d/%3d      : %3d%%(T%3d C%2d H%d)", n, retry, percent, track, c, h);
    hwlineopen = 1;
    fflush(stdout);
}

void HwCylinderRange(const hwparam_t &p, int *first, int *last) {
    *first = p.begin >= 0 ? p.begin : 0;
    *last = p.end >= 0 ? p.end : p.cylinders - 1;
    if (p.track >= 0) {
        *first = *last = p.track / p.heads;
        printf("Track              : %d\n", p.track);
    } else {
        printf("Cylinder range     : %d ... %d\n", *first, *last);
    }
    if (!(*first < p.cylinders && *last < p.cylinders && *first <= *last))
        HwFail("Error : Invalid cylinder range", 14);
}

void HwPrintCapacity(int64_t capacity) {
    printf("Track capacity     : %d bits %d bytes %d cells\n", (int)capacity, (int)((capacity + 7) / 8),
           (int)((capacity + 15) / 16));
}

void HwPrintTotal(int cylinders, int heads) {
    printf("Total tracks       : %d cylinders x %d heads = %d\n", cylinders, heads, cylinders * heads);
}

void HwPark(int drive, int limit, int fast) {
    HwSeekTrack0(limit, fast);
    gpioctl.Settling();
    gpioctl.SetDS(drive, 0);
    gpioctl.SetMOT(0);
}
