// Shared pieces of the programs that drive a real floppy drive (diskread,
// diskwrite, diskwipe, drivetest): start-up, the options they share, the
// simulated board, signal handling, the drive set-up steps and the progress
// lines they print alike.
//
// Signals: the handler only records the signal. The programs look at it
// between steps (every track, every step pulse) and then release the
// hardware, print "Done" and exit 0. The hardware is never touched from
// inside the handler, where it may be half-way through a register access;
// the hardware layer's waits end early once the signal is recorded.
//
// Read data: while a program holds tracks it has read (HwHoldRead), no way
// out loses them. A signal, a failure, or a save or export that did not
// succeed first keeps the image as a ZEL beside the target, under a name no
// file has yet, and names it (HwKeepRead).
#pragma once

#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmdline.h"
#include "filepath.h"
#include "gpioctl.h"
#include "lossprint.h"
#include "sim.h"
#include "version.h"
#include "zeldisk.h"

extern GPIOCTL gpioctl;

inline volatile sig_atomic_t hwsignalled = 0;
inline int hwsimulated = 0;
inline int hwmapped = 0;

// The banner and the line naming the tool; 1 when there are arguments,
// else (and for --help) the caller prints its usage after it. --version is
// answered here, alone, and ends the program.
inline int HwBanner(int argc, char **argv, const char *tool) {
    if (AnswerVersion(argc, argv)) exit(0);
    // Every line reaches the output when it is ended, so a log of both
    // streams (2>&1) reads in the order things happened.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("%s\n\n", tool);
    return argc > 1 && !WantsHelp(argc, argv);
}

// The head of a usage text: the command line and the drive number.
inline void HwUsageStart(const char *program, const char *args) {
    printf("Usage: %s %s\n\n", program, args);
    printf(" ID is unit number {0|1}.\n");
}

// The usage lines of -p for the programs that say no more of the pins.
inline void HwUsagePins() {
    printf(" -p2 Assert Pin 2.\n");
    printf(" -p4 Assert Pin 4.\n");
    printf(" -p12 Assert Pin 12.\n");
}

// A base-10 option value, as strtol reads it, held to the range of int.
inline int OptNum(const char *text) {
    long v = strtol(text ? text : "", nullptr, 10);
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}

inline int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// A number option that must lie in lo..hi; otherwise message (with the
// value) goes to standard error and 0 is returned.
inline int OptInRange(const char *text, int lo, int hi, const char *message, int *field) {
    *field = OptNum(text);
    if (*field >= lo && *field <= hi) return 1;
    fprintf(stderr, message, *field);
    return 0;
}

// -p 2, 4 or 12: assert that pin of the drive connector; others are ignored.
inline void OptPin(const char *text, int *pin2, int *pin4, int *pin12) {
    int pin = OptNum(text);
    if (pin == 2) *pin2 = 1;
    if (pin == 4) *pin4 = 1;
    if (pin == 12) *pin12 = 1;
}

// The options of the drive programs. Every program takes the drive and the
// pins; the image programs (diskread, diskwrite) take the rest as well. Each
// program's param_t extends this with its own options; Init sets defaults.
struct hwparam_t {
    int drive = -1;
    int cylinders = -1;
    int heads = -1;
    int begin = -1; // -1: not given
    int end = -1;
    int track = -1;
    int steps = 1;   // step pulses per cylinder
    int analyze = 0; // decoder rules: 0 uPD765, 1 MB8877
    int pin2 = 0, pin4 = 0, pin12 = 0;
    int retry = 5;
    int verbose = 0;
};

// One of the options the drive programs share: 1 taken, 0 refused (its
// message on standard error), -1 not one of them.
inline int HwOption(int opt, const char *arg, hwparam_t *p) {
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

// Reads the options with getopt (its own messages off; unknown options are
// ignored). own(opt, arg) sees each option first and answers as HwOption
// does; what it leaves (-1) goes to HwOption. Then the drive number is
// checked. 1 when everything is valid.
template <class Own> int HwParseOptions(int argc, char **argv, const char *optstring, hwparam_t *p, Own own) {
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, optstring)) != -1) {
        int taken = own(opt, optarg);
        if (taken < 0) taken = HwOption(opt, optarg, p);
        if (taken == 0) return 0;
    }
    if (p->drive < 0 || p->drive > 1) {
        fprintf(stderr, "Error : Invalid id range [%d]\n", p->drive);
        return 0;
    }
    return 1;
}

// The image path, the first operand; message when it is missing or empty.
inline int HwImagePath(int argc, char **argv, Filepath *path, const char *message) {
    if (optind < argc && argv[optind][0] && path->SetPath(argv[optind])) return 1;
    fprintf(stderr, "%s\n", message);
    return 0;
}

inline void HwSignalHandler(int) {
    hwsignalled = 1;
}

// Installs the handler for SIGINT, SIGHUP and SIGTERM; 0 on failure.
inline int HwInstallSignals() {
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

// The simulated board when ZELMO_SIM names a simulation file; 0 when it is
// named but cannot be set up.
inline int HwInstallSim() {
    hwsimulated = SimInstallFromEnv();
    if (hwsimulated < 0) {
        fprintf(stderr, "Error : %s\n", SimError());
        return 0;
    }
    return 1;
}

// GPIOCTL::Init in the controller role, with the messages of a failure.
inline int HwInit() {
    if (!gpioctl.Init(GPIOCTL::MODE_CONTROLLER)) {
        fprintf(stderr, "Error : May be not root user.\n");
        return 0;
    }
    hwmapped = 1;
    return 1;
}

// Releases the hardware (every line back to input, kernel settings
// restored), finishes the simulated board, then an empty line and "Done".
inline void HwCleanup() {
    if (hwmapped) gpioctl.Cleanup();
    hwmapped = 0;
    if (hwsimulated > 0) SimShutdown();
    hwsimulated = 0;
    printf("\nDone\n");
    fflush(stdout);
}

// The program's Cleanup (which ends with HwCleanup), run before every exit.
inline void (*hwcleanup)() = HwCleanup;

// The image holding what was read, and the file it is meant for.
inline ZELDisk *hwheld = nullptr;
inline Filepath hwheldtarget;

inline void HwHoldRead(ZELDisk *disk, const Filepath &target) {
    hwheld = disk;
    hwheldtarget = target;
}

inline void HwReleaseRead() {
    hwheld = nullptr;
}

// Saves the held image as a ZEL beside its target: "<target>.ZEL", else
// "<target>.1.ZEL" ... "<target>.99.ZEL", the first name no file has (a ZEL
// target starts with ".1.ZEL"); failing that, the same names in the working
// folder. Says where on standard error and releases the hold. 1 when kept.
inline int HwKeepRead() {
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

// Called between steps: ends the program after a signal, keeping what was read.
inline void HwCheckSignal() {
    if (!hwsignalled) return;
    HwKeepRead();
    hwcleanup();
    exit(0);
}

// The message on standard error, what was read kept, the program's Cleanup,
// exit with code.
[[noreturn]] inline void HwFail(const char *message, int code) {
    fprintf(stderr, "%s\n", message);
    HwKeepRead();
    hwcleanup();
    exit(code);
}

// The start of every drive program: the banner (with the usage, and exit 0,
// when there are no arguments), the simulated board, init (signals, the
// hardware in the controller role, the defaults; exit 1 on failure), for the
// programs that sample the core clock warning (their rates assume 400 MHz),
// then the options (cleanup and exit 22 when they are bad). cleanup is the
// program's Cleanup from then on. Returns -1 to go on, else the exit code.
inline int HwStartUp(int argc, char **argv, int (*banner)(int, char **), int (*init)(), int warnclock,
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

// Signals and the hardware, the first half of every program's Init. The
// hardware layer's waits watch the signal flag.
inline int HwInitTool() {
    gpioctl.stop = &hwsignalled;
    return HwInstallSignals() && HwInit();
}

// Reset, motor on, 1 ms, then the asked pins of the drive connector.
inline void HwStartDrive(const hwparam_t &p) {
    gpioctl.Reset();
    gpioctl.SetMOT(1);
    SysTimer::DelayUs(1000);
    if (p.pin2) gpioctl.SetFD2(1);
    if (p.pin4) gpioctl.SetFD4(1);
    if (p.pin12) gpioctl.SetFD12(1);
}

// One revolution from index edge to index edge, in us; 0 without index.
inline int HwOnePeriod() {
    if (!gpioctl.WaitRise(27)) return 0;
    uint32_t start = SysTimer::GetTimerLow();
    if (!gpioctl.WaitRise(27)) return 0;
    return (int)(SysTimer::GetTimerLow() - start);
}

// Prints "Index period       : " and the period; 0 without index pulses. A
// drive whose motor has just started turns slower until it is up to speed:
// the period counts once a single revolution taken after it agrees with it
// within 1 %; up to eight measurements are made.
inline int HwIndexPeriod() {
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

inline int HwRpm(int period) {
    return period < 183000 ? 360 : 300;
}

inline void HwPrintRpm(int period) {
    printf("Drive RPM          : %d(%f)\n", HwRpm(period), (double)(60000000.0f / (float)period));
}

// Steps outward until track 0 shows, at most limit pulses (track 0 is tested
// before each). 1 when it showed.
inline int HwSeekTrack0(int limit, int fast) {
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

// "Recalibrate        : " then "Success" or "Failed"; up to 256 slow steps.
inline int HwRecalibrate() {
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

// Selects the drive (1 ms to settle) and makes sure it can be used, printing
// each step: its index period, the write protect (a protected disk ends the
// program when the program writes, protectfails), the recalibration. Ends the
// program with exit 14 on a drive without index or without track 0. Returns
// the index period; *protect tells whether the disk is protected.
inline int HwReadyDrive(int drive, int protectfails, int *protect) {
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

// Steps count cylinders in the current direction, then lets the head settle
// (no data is read or written before it has).
inline void HwStep(int count, int fast) {
    for (int i = 0; i < count; i++) {
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
    if (count > 0) gpioctl.Settling();
}

// 1 when the head, stepped count pulses inward from track 0, needs exactly
// count pulses outward to reach track 0 again: it got there. 0 when track 0
// shows early (the head stopped at its inner end, or track 0 is always
// signalled) or not at all. The head ends at track 0 when it returns 1.
inline int HwStepTest(int count, int fast) {
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

// Asks for the core clock again, which the SPI rates follow, and says when
// the firmware has changed it; 1 then.
inline int HwFollowCoreClock() {
    if (!gpioctl.RefreshCoreClock()) return 0;
    fprintf(stderr, "\nWarning : Core frequency changed to %dMHz\n", (gpioctl.corefreq + 500) / 1000);
    return 1;
}

// Visits cylinders first..last, each head of each (only track % heads when a
// single track is asked for), from the head's position at cylinder 0: steps
// inward to first, selects the side of each head, and steps on after each
// cylinder; the head settles after every seek. Before each track the core
// clock is asked for again, since the SPI rates follow it.
template <class Body>
void HwWalkTracks(int first, int last, int heads, int track, int steps, int fast, Body body) {
    gpioctl.SetDIR(1);
    gpioctl.Settling();
    HwStep(first * steps, fast);
    int side = 0;
    for (int c = first; c <= last; c++) {
        for (int h = 0; h < heads; h++) {
            if (track >= 0 && h != track % heads) continue;
            if (h == 1 && !side) {
                // A single track of head 1: nothing has selected side 1 yet.
                gpioctl.SetSID(1);
                gpioctl.Settling();
                side = 1;
            }
            HwCheckSignal();
            HwFollowCoreClock();
            body(c, h);
            if (h == 0 && heads == 2) {
                gpioctl.SetSID(1);
                gpioctl.Settling();
                side = 1;
            }
        }
        gpioctl.SetSID(0);
        gpioctl.Settling();
        side = 0;
        if (c < last) HwStep(steps, fast);
    }
}

// Rewrites the progress line in place: cursor to column 1, erase the line.
// Progress lines are rewritten in place on a terminal. Anywhere else (a log,
// a pipe) there is no rewriting: each progress line is ended and the next
// one printed after it, plainly.
inline int hwlineopen = 0;  // a progress line is on the screen, not ended
inline void HwLineStart() {
    static const int terminal = isatty(fileno(stdout));
    if (terminal) printf("\x1b[1G\x1b[0D\x1b[0K");
    else if (hwlineopen) putchar('\n');
    hwlineopen = 0;
}
// Ends the progress line (what was appended to it stays).
inline void HwLineEnd() {
    putchar('\n');
    hwlineopen = 0;
}

// The progress line of a track, and of its retries.
inline void HwProgress(int percent, int track, int c, int h) {
    HwLineStart();
    printf("Processing         : %3d%%(T%3d C%2d H%d)", percent, track, c, h);
    hwlineopen = 1;
    fflush(stdout);
}

inline void HwRetryProgress(int n, int retry, int percent, int track, int c, int h) {
    HwLineStart();
    printf("Retry %3d/%3d      : %3d%%(T%3d C%2d H%d)", n, retry, percent, track, c, h);
    hwlineopen = 1;
    fflush(stdout);
}

// The cylinders an image program visits, printed: begin (default 0) to end
// (default cylinders - 1), or the one cylinder of the track asked for. Ends
// the program with exit 14 when they do not lie inside the disk.
inline void HwCylinderRange(const hwparam_t &p, int *first, int *last) {
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

// "Track capacity" in bits (samples or cells), then bytes and MFM cells.
inline void HwPrintCapacity(int64_t capacity) {
    printf("Track capacity     : %d bits %d bytes %d cells\n", (int)capacity, (int)((capacity + 7) / 8),
           (int)((capacity + 15) / 16));
}

inline void HwPrintTotal(int cylinders, int heads) {
    printf("Total tracks       : %d cylinders x %d heads = %d\n", cylinders, heads, cylinders * heads);
}

// Back to track 0, drive deselected, motor off.
inline void HwPark(int drive, int limit, int fast) {
    HwSeekTrack0(limit, fast);
    gpioctl.Settling();
    gpioctl.SetDS(drive, 0);
    gpioctl.SetMOT(0);
}
