// Shared pieces of the programs that drive a real floppy drive (diskread,
// diskwrite, diskwipe, drivetest): banner, option numbers, the simulated
// board, signal handling, and the drive set-up steps they print alike.
//
// Signals: the handler only records the signal. The programs look at it
// between steps (every track, every step pulse) and then release the
// hardware, print "Done" and exit 0. The hardware is never touched from
// inside the handler, where it may be half-way through a register access.
#pragma once

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "gpioctl.h"
#include "sim.h"
#include "version.h"

extern GPIOCTL gpioctl;

inline volatile sig_atomic_t hwsignalled = 0;
inline int hwsimulated = 0;
inline int hwmapped = 0;

inline void PrintToolBanner(const char *tool) {
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("%s\n\n", tool);
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

// Called between steps: ends the program after a signal.
inline void HwCheckSignal() {
    if (!hwsignalled) return;
    HwCleanup();
    exit(0);
}

inline void HwWarnCoreClock() {
    int mhz = (gpioctl.corefreq + 500) / 1000;
    if (mhz != 400) fprintf(stderr, "Warning : Core frequency is not 400MHz.(%dMHz)\n\n", mhz);
}

// Reset, motor on, 1 ms, then the asked pins of the drive connector.
inline void HwStartDrive(int pin2, int pin4, int pin12) {
    gpioctl.Reset();
    gpioctl.SetMOT(1);
    SysTimer::DelayUs(1000);
    if (pin2) gpioctl.SetFD2(1);
    if (pin4) gpioctl.SetFD4(1);
    if (pin12) gpioctl.SetFD12(1);
}

// Prints "Index period       : " and the period; 0 without index pulses.
inline int HwIndexPeriod() {
    printf("Index period       : ");
    fflush(stdout);
    int period = gpioctl.GetIndexPeriod();
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

// Steps count cylinders in the current direction, then settles.
inline void HwStep(int count, int fast) {
    for (int i = 0; i < count; i++) {
        gpioctl.StepPulse(fast);
        HwCheckSignal();
    }
}

// Visits cylinders first..last, each head of each (only track % heads when a
// single track is asked for), from the head's position at cylinder 0: steps
// inward to first, selects the side of each head, and steps on after each
// cylinder.
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
        if (c < last) {
            HwStep(steps, fast);
            gpioctl.Settling();
        }
    }
}

// Rewrites the progress line in place: cursor to column 1, erase the line.
inline void HwLineStart() {
    printf("\x1b[1G\x1b[0D\x1b[0K");
}

// Back to track 0, drive deselected, motor off.
inline void HwPark(int drive, int limit, int fast) {
    HwSeekTrack0(limit, fast);
    gpioctl.Settling();
    gpioctl.SetDS(drive, 0);
    gpioctl.SetMOT(0);
}
