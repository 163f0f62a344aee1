// drivesim: the Raspberry Pi as one or two floppy drives toward a host
// computer. This file is the frame: banner and help, options, start-up
// (single-instance guard, signals, hardware, sounds, threads), the real-time
// boost of the signal loop and the orderly shutdown that saves every changed
// image.
#include "drivesim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "gpioctl.h"
#include "cmdline.h"
#include "version.h"
#include "zeldisk.h"

#if __has_include("sim.h")
#include "sim.h"
#define DRIVESIM_HAS_SIM 1
#endif

GPIOCTL gpioctl;
param_t param;
std::atomic<int> status{ST_STOP};
std::atomic<int> eventdone{1};
std::atomic<int> loopidle{1};
char exedir[4096];
int monsocket = -1;
std::atomic<int> boost{BOOST_OFF};
std::atomic<uint64_t> tm_boost{0};

static pthread_t monthread, eventthread, x68koptthread;
// Under the simulated board nothing may change how the host machine schedules.
static int simulated = 0;

int IsSimulated() { return simulated; }

static pthread_t mainthread;
int OnMainThread() { return pthread_equal(pthread_self(), mainthread); }

// ---- Timing and scheduling ---------------------------------------------------

void SleepSec(int s) { sleep((unsigned)s); }
void SleepMs(int ms) { usleep((useconds_t)ms * 1000); }
void SleepUs(int us) { usleep((useconds_t)us); }

void WaitForStart() {
    while (status == ST_STOP) SleepSec(1);
}

int FixCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    int count = CPU_COUNT(&set);
    if (count > cpu && !simulated) GPIOCTL::PinCpu(cpu);
    return count;
}

void SetScheduler(execprio_e prio) {
    if (simulated) return;
    switch (prio) {
    case EXEC_IDLE: GPIOCTL::SetScheduling(SCHED_IDLE, 0); break;
    case EXEC_REALTIME: GPIOCTL::SetScheduling(SCHED_FIFO, sched_get_priority_min(SCHED_FIFO)); break;
    default: GPIOCTL::SetScheduling(SCHED_OTHER, 0); break;
    }
}

// The signal loop runs SCHED_FIFO only while the host is active: every line
// change requests (or refreshes) the boost, and 30 s without one drops it.
void SetBoost(boost_e b) {
    switch (b) {
    case BOOST_REQUEST:
        if (boost == BOOST_ON) tm_boost = SysTimer::GetTimer();
        else boost = BOOST_REQUEST;
        break;
    case BOOST_ON:
        boost = BOOST_ON;
        tm_boost = SysTimer::GetTimer();
        SetScheduler(EXEC_REALTIME);
        break;
    default:
        boost = BOOST_OFF;
        tm_boost = 0;
        SetScheduler(EXEC_NORMAL);
        break;
    }
}

void KeepBoost(int busy) {
    int b = boost;
    if (b == BOOST_REQUEST) SetBoost(BOOST_ON);
    else if (b == BOOST_ON && SysTimer::GetTimer() - tm_boost > 29999999) SetBoost(BOOST_OFF);
    else if (!busy && (b == BOOST_OFF || simulated)) IdleYield(0);
}

// The simulated board has no real-time class for the loop to spin in: there
// every idle pass yields (boost or not), which lets virtual time run ahead
// of the wall clock, so quiet stretches (the 60 s write-back) pass quickly.
void IdleYield(int us) { GPIOCTL::Yield(us); }

// ---- Options -------------------------------------------------------------------

// Decimal number: blanks, one optional sign, then at least one digit.
long strtol10(const char *text, const char **end) {
    const char *p = text;
    while (*p == ' ') p++;
    int neg = 0;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    if (!isdigit((unsigned char)*p)) {
        if (end) *end = text;
        return 0;
    }
    long v = 0;
    while (isdigit((unsigned char)*p)) {
        if (v < 100000000) v = v * 10 + (*p - '0');
        p++;
    }
    if (end) *end = p;
    return neg ? -v : v;
}

static int Banner(int argc, char **argv) {
    if (AnswerVersion(argc, argv)) return 0;
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("Floppy disk drive emulation");
    if (argc != 2 || (strcasecmp(argv[1], "-h") != 0 && strcmp(argv[1], "--help") != 0)) return 1;
    puts("\n");
    printf("Usage: %s [-0 FILE] [-1 FILE] [-s OP] [-v] [-o OPTION]\n\n", argv[0]);
    puts(" -0 insert disk for 1st drive. FILE is disk image ZEL file path.");
    puts(" -1 insert disk for 2nd drive. FILE is disk image ZEL file path.");
    puts(" -s select STEP SIGNAL operation. OP is {half|1|2}. Default setting is 1.");
    puts(" -v enable verbose mode.");
    puts(" -h print help message.");
    puts(" -o setup options.");
    puts("");
    puts(" OPTION is [x0|x1|q0|q1|m0|m1|c0|c1|vn].");
    puts("  'x' : enable X68K control(0:off,1:on).");
    puts("  'q' : enable PC98 control(0:off,1:on).");
    puts("  'm' : enable Motor signal control(0:off,1:on).");
    puts("  'c' : enable Raw data correction(0:off,1:on).");
    printf("  Default setting is '-o x%d -o q%d -o m%d -o c%d'.\n", 1, 0, 1, 0);
    return 0;
}

// Copies an option's path; one that does not fit is refused (left empty)
// rather than cut into a different path.
static void CopyPath(char *dst, const char *src) {
    dst[0] = 0;
    if (strlen(src) < 260) strcpy(dst, src);
    else fprintf(stderr, "Warning : Path too long, ignored (%.40s...)\n", src);
}

static void ParseArgument(int argc, char **argv) {
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "0:1:o:s:v")) != -1) {
        switch (opt) {
        case '0': CopyPath(param.path0, optarg); break;
        case '1': CopyPath(param.path1, optarg); break;
        case 's': param.step = (optarg[0] == 'h' || optarg[0] == 'H') ? 0 : optarg[0] == '2' ? 2 : 1; break;
        case 'v': param.verbose = 1; break;
        case 'o': {
            int on = optarg[0] && optarg[1] == '1';
            switch (tolower((unsigned char)optarg[0])) {
            case 'x': param.x68k = on; break;
            case 'q': param.pc98 = on; break;
            case 'm': param.motor = on; break;
            case 'c': param.rawcorrect = on; break;
            default: break;
            }
            break;
        }
        default: break;
        }
    }
    if (param.pc98) {
        param.x68k = 0;
    } else if (param.x68k) {
        // A host that holds the X68000 eject line asserted at start is no X68000.
        gpioctl.Aquire();
        if (gpioctl.GetEJC()) param.x68k = 0;
    }
}

static void SetupEx() {
    printf("(");
    if (!hwseam::platform->Exists("/dev/i2c-1")) printf("I2C Disable, ");
    else if (OledPresent()) printf("I2C_OLED, ");
    if (gpioctl.board == BOARD_TYPEA) printf("TypeA shiled");
    else printf(gpioctl.pro ? "TypeC shiled" : "TypeB shiled");
    if (param.x68k) printf(", X68000 Option enabled");
    else if (param.pc98) printf(", PC98 Option enabled");
    printf(")");
    puts("\n");
    int mhz = (gpioctl.corefreq + 500) / 1000;
    if (mhz != 400) printf("Warning : Core frequency is not 400MHz.(%dMHz)\n\n", mhz);
    gpioctl.EnableX68KOpt(param.x68k);
    gpioctl.EnablePWM();
}

// ---- Start-up and shutdown ----------------------------------------------------

static void KillHandler(int) { status = ST_STOP; }

static void ResetParam() {
    memset(&param, 0, sizeof param);
    strcpy(param.basedir, ".");
    param.x68k = 1;
    param.motor = 1;
    param.step = 1;
}

// The control port: 6869, or under the simulated board the one its file
// names, so that a simulated run never meets the drivesim of a real board.
static int ControlPort() {
#ifdef DRIVESIM_HAS_SIM
    if (simulated && SimCurrent()) return SimCurrent()->Config().control_port;
#endif
    return CONTROL_PORT;
}

// The control socket on 127.0.0.1; binding it is also the guard against a
// second instance.
static int OpenMonSocket() {
    monsocket = socket(AF_INET, SOCK_STREAM, 0);
    if (monsocket < 0) return 0;
    int one = 1;
    if (setsockopt(monsocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return 0;
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)ControlPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(monsocket, (const sockaddr *)&addr, sizeof addr) != 0) {
        fprintf(stderr, "Error : Already running?\n");
        return 0;
    }
    return 1;
}

// Sounds live beside the executable (or in the working folder when the
// executable's folder is unknown).
int LoadWav(const char *name, fddsnd_t *snd) {
    char path[4096 + 64];
    if (exedir[0]) snprintf(path, sizeof path, "%s/%s", exedir, name);
    else snprintf(path, sizeof path, "%s", name);
    return LoadWavFile(path, snd);
}

static int Init() {
    ssize_t n = readlink("/proc/self/exe", exedir, sizeof exedir - 1);
    exedir[n > 0 ? n : 0] = 0;
    if (char *slash = strrchr(exedir, '/')) *slash = 0;
    else exedir[0] = 0;

    if (!OpenMonSocket()) return 0;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = KillHandler;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGHUP, SIGTERM})
        if (sigaction(sig, &sa, nullptr) != 0) return 0;
    signal(SIGPIPE, SIG_IGN);  // a control client that hangs up must not end the emulator
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails a save (which is retried or rescued), never kills

    if (!gpioctl.Init(GPIOCTL::MODE_EMULATOR)) {
        fprintf(stderr, "Error : May be not root user.\n");
        return 0;
    }
    gpioctl.Reset();

    ResetParam();
    for (int i = 0; i < 2; i++) {
        fdd[i].id = i;
        fdd[i].cylinder = 0;
        fdd[i].side = 0;
        ClearDrive(fdd[i]);
        fdd[i].modepin = i == 0 ? 16 : 20;
        fdd[i].ejectreq = 0;
        fdd[i].diskint = 0;
        if (gpioctl.board != BOARD_TYPEA) gpioctl.SetTRZ(i, 1);
    }
    ClearEventQue();
    memset(&spi, 0, sizeof spi);

    LoadWav("fddseek.wav", &fddsnd[SND_SEEK]);
    LoadWav("fddinsert.wav", &fddsnd[SND_INSERT]);
    LoadWav("fddeject.wav", &fddsnd[SND_EJECT]);

    MenuInit();
    status = ST_STOP;
    boost = BOOST_OFF;
    tm_boost = 0;

    pthread_create(&monthread, nullptr, MonThread, nullptr);
    eventdone = 0;
    if (pthread_create(&eventthread, nullptr, EventThread, nullptr) != 0) eventdone = 1;
    pthread_create(&x68koptthread, nullptr, X68KOptThread, nullptr);

    FixCpu(3);
    SetScheduler(EXEC_NORMAL);
    return 1;
}

static void Cleanup() {
    for (fdd_t &d : fdd) {
        delete d.disk;
        d.disk = nullptr;
    }
    MenuCleanup();
    // The event thread may be inside a sound: let it finish its slice and
    // end before the samples go. Idle yields keep the (simulated) clock
    // moving meanwhile; a thread that never ends keeps its sounds.
    for (int i = 0; i < 1000 && !eventdone; i++) {
        IdleYield(1000);
        usleep(1000);
    }
    if (eventdone)
        for (fddsnd_t &s : fddsnd) FreeWav(&s);
    gpioctl.Cleanup();
#ifdef DRIVESIM_HAS_SIM
    if (simulated) SimShutdown();
#endif
    if (monsocket >= 0) close(monsocket);
    monsocket = -1;
    printf("\n");
}

// Saves what the host changed, then empties the drives. Changes that cannot
// be saved where they belong go to a rescue file beside the image; 0 when
// even that failed (told, naming the image that lost them).
static int EjectAll(tell_t *t) {
    int saved = 1;
    for (int i = 0; i < 2; i++) {
        if (!fdd[i].disk) continue;
        int ok;
        {
            DiskLock hold;
            ok = SaveChanges(i, t);
            if (!ok && !fdd[i].savepath.IsClear()) {
                fdd[i].savepath.Clear();  // the save file refuses them: a rescue file takes them
                ok = SaveChanges(i, t);
            }
        }
        if (ok) {
            EjectDisk(i, t);
        } else {
            Tell(t, "Error : Changes of %s could not be saved", fdd[i].path.GetPath());
            saved = 0;
        }
    }
    return saved;
}

int main(int argc, char **argv) {
    mainthread = pthread_self();
    setvbuf(stdout, nullptr, _IOLBF, 0);  // a log file or the journal sees each line as it comes
    if (!Banner(argc, argv)) return 0;

#ifdef DRIVESIM_HAS_SIM
    simulated = SimInstallFromEnv();
    if (simulated < 0) {
        fprintf(stderr, "\nError : %s\n", SimError());
        return 1;
    }
#else
    if (getenv("ZELMO_SIM")) {
        fprintf(stderr, "\nError : This build has no simulated board\n");
        return 1;
    }
#endif

    if (!Init()) {
        if (monsocket >= 0) close(monsocket);
        return 1;
    }
    ParseArgument(argc, argv);
    SetupEx();

    if (param.path0[0]) InsertDisk(0, param.path0, 1);
    if (param.path1[0]) InsertDisk(1, param.path1, 1);
    ListDevice(stdout);
    ListDeviceOLED();

    loopidle = 0;
    status = ST_RESUME;
    ProcessMotor(gpioctl.Aquire());
    SignalLoop();
    loopidle = 1;

    gpioctl.ResetSpi();
    tell_t told;
    int saved = EjectAll(&told);
    AnswerStop(saved, told.reply);
    Cleanup();
    return saved ? 0 : 14;  // 14: changes could not be saved
}
