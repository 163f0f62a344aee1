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

extern volatile sig_atomic_t hwsignalled;
extern int hwsimulated;
extern int hwmapped;

// The banner and the line naming the tool; 1 when there are arguments,
// else (and for --help) the caller prints its usage after it. --version is
// answered here, alone, and ends the program.
int HwBanner(int argc, char **argv, const char *tool);

// The head of a usage text: the command line and the drive number.
void HwUsageStart(const char *program, const char *args);

// The usage lines of -p for the programs that say no more of the pins.
void HwUsagePins();

// A base-10 option value, as strtol reads it, held to the range of int.
int OptNum(const char *text);

int Clamp(int v, int lo, int hi);

// A number option that must lie in lo..hi; otherwise message (with the
// value) goes to standard error and 0 is returned.
int OptInRange(const char *text, int lo, int hi, const char *message, int *field);

// -p 2, 4 or 12: assert that pin of the drive connector; others are ignored.
void OptPin(const char *text, int *pin2, int *pin4, int *pin12);

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
int HwOption(int opt, const char *arg, hwparam_t *p);

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
int HwImagePath(int argc, char **argv, Filepath *path, const char *message);

void HwSignalHandler(int);

// Installs the handler for SIGINT, SIGHUP and SIGTERM; 0 on failure.
int HwInstallSignals();

// The simulated board when ZELMO_SIM names a simulation file; 0 when it is
// named but cannot be set up.
int HwInstallSim();

// GPIOCTL::Init in the controller role, with the messages of a failure.
int HwInit();

// Releases the hardware (every line back to input, kernel settings
// restored), finishes the simulated board, then an empty line and "Done".
void HwCleanup();

// The program's Cleanup (which ends with HwCleanup), run before every exit.
extern void (*hwcleanup)();

// The image holding what was read, and the file it is meant for.
extern ZELDisk *hwheld;
extern Filepath hwheldtarget;

void HwHoldRead(ZELDisk *disk, const Filepath &target);

void HwReleaseRead();

// Saves the held image as a ZEL beside its target: "<target>.ZEL", else
// "<target>.1.ZEL" ... "<target>.99.ZEL", the first name no file has (a ZEL
// target starts with ".1.ZEL"); failing that, the same names in the working
// folder. Says where on standard error and releases the hold. 1 when kept.
int HwKeepRead();

// Called between steps: ends the program after a signal, keeping what was read.
void HwCheckSignal();

// The message on standard error, what was read kept, the program's Cleanup,
// exit with code.
[[noreturn]] void HwFail(const char *message, int code);

// The start of every drive program: the banner (with the usage, and exit 0,
// when there are no arguments), the simulated board, init (signals, the
// hardware in the controller role, the defaults; exit 1 on failure), for the
// programs that sample the core clock warning (their rates assume 400 MHz),
// then the options (cleanup and exit 22 when they are bad). cleanup is the
// program's Cleanup from then on. Returns -1 to go on, else the exit code.
int HwStartUp(int argc, char **argv, int (*banner)(int, char **), int (*init)(), int warnclock,
                     int (*parse)(int, char **), void (*cleanup)());

// Signals and the hardware, the first half of every program's Init. The
// hardware layer's waits watch the signal flag.
int HwInitTool();

// Reset, motor on, 1 ms, then the asked pins of the drive connector.
void HwStartDrive(const hwparam_t &p);

// One revolution from index edge to index edge, in us; 0 without index.
int HwOnePeriod();

// Prints "Index period       : " and the period; 0 without index pulses. A
// drive whose motor has just started turns slower until it is up to speed:
// the period counts once a single revolution taken after it agrees with it
// within 1 %; up to eight measurements are made.
int HwIndexPeriod();

int HwRpm(int period);

void HwPrintRpm(int period);

// Steps outward until track 0 shows, at most limit pulses (track 0 is tested
// before each). 1 when it showed.
int HwSeekTrack0(int limit, int fast);

// "Recalibrate        : " then "Success" or "Failed"; up to 256 slow steps.
int HwRecalibrate();

// Selects the drive (1 ms to settle) and makes sure it can be used, printing
// each step: its index period, the write protect (a protected disk ends the
// program when the program writes, protectfails), the recalibration. Ends the
// program with exit 14 on a drive without index or without track 0. Returns
// the index period; *protect tells whether the disk is protected.
int HwReadyDrive(int drive, int protectfails, int *protect);

// Steps count cylinders in the current direction, then lets the head settle
// (no data is read or written before it has).
void HwStep(int count, int fast);

// 1 when the head, stepped count pulses inward from track 0, needs exactly
// count pulses outward to reach track 0 again: it got there. 0 when track 0
// shows early (the head stopped at its inner end, or track 0 is always
// signalled) or not at all. The head ends at track 0 when it returns 1.
int HwStepTest(int count, int fast);

// Asks for the core clock again, which the SPI rates follow, and says when
// the firmware has changed it; 1 then.
int HwFollowCoreClock();

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
extern int hwlineopen;  // a progress line is on the screen, not ended
void HwLineStart();
// Ends the progress line (what was appended to it stays).
void HwLineEnd();

// The progress line of a track, and of its retries.
void HwProgress(int percent, int track, int c, int h);

void HwRetryProgress(int n, int retry, int percent, int track, int c, int h);

// The cylinders an image program visits, printed: begin (default 0) to end
// (default cylinders - 1), or the one cylinder of the track asked for. Ends
// the program with exit 14 when they do not lie inside the disk.
void HwCylinderRange(const hwparam_t &p, int *first, int *last);

// "Track capacity" in bits (samples or cells), then bytes and MFM cells.
void HwPrintCapacity(int64_t capacity);

void HwPrintTotal(int cylinders, int heads);

// Back to track 0, drive deselected, motor off.
void HwPark(int drive, int limit, int fast);
