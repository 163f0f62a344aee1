// drivesim: one or two floppy drives emulated toward a host computer.
//
// Threads (each polls `status` and ends when it becomes 0):
//   main      the signal loop: follows the host's lines and streams the track
//             under the head through SPI (drivesim_loop.cpp, drivesim_stream.cpp)
//   event     sounds, delayed write-back, drive table (drivesim_disk.cpp)
//   control   TCP requests on 127.0.0.1:6869 and the front-panel menu
//             (drivesim_server.cpp, drivesim_panel.cpp)
//   x68k      the X68000 option-select, eject and interrupt lines
//
// Who may touch a drive record: the signal loop owns the streaming fields
// while it runs. Inserting and ejecting change the image only after the loop
// has paused (status 3 -> 4) and are serialised among themselves by diskmutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "filepath.h"

class ZELDisk;

// ---- Options and run state --------------------------------------------------

struct param_t {
    char basedir[260];  // front-panel folder tree and new disks
    char path0[260];    // image for drive 0 (-0)
    char path1[260];    // image for drive 1 (-1)
    int x68k;           // X68000 option lines
    int pc98;           // PC-98 mode-select speed rules
    int motor;          // stream only while MOT is asserted
    int step;           // 0 half, 1 or 2 positions per step pulse
    int rawcorrect;     // passed to ZELDisk::Load
    int verbose;
};
extern param_t param;

// Run state of the signal loop: 0 stop, 1 resume requested, 2 running,
// 3 pause requested, 4 paused.
enum { ST_STOP = 0, ST_RESUME = 1, ST_RUNNING = 2, ST_PAUSE = 3, ST_PAUSED = 4 };
extern std::atomic<int> status;
extern std::atomic<int> eventdone;  // the event thread has ended (it may be playing a sound until then)
// 1 while the signal loop is not running its passes (before it starts and
// after it has returned), so a stopping eject never frees a track under it.
extern std::atomic<int> loopidle;
extern char exedir[4096];

enum execprio_e { EXEC_NORMAL = 0, EXEC_IDLE = 1, EXEC_REALTIME = 2 };
enum boost_e { BOOST_OFF = 0, BOOST_REQUEST = 1, BOOST_ON = 2 };
extern std::atomic<int> boost;
extern std::atomic<uint64_t> tm_boost;

int FixCpu(int cpu);
void SetScheduler(execprio_e prio);
void SetBoost(boost_e b);
void KeepBoost(int busy);
// The signal loop's idle yield (usleep of us on the real board).
void IdleYield(int us);
void SleepSec(int s);
void SleepMs(int ms);
void SleepUs(int us);
long strtol10(const char *text, const char **end);
// Waits one second at a time until status leaves 0 (thread start-up).
void WaitForStart();
// 1 on the main thread (the signal loop), the one that moves the simulated
// board's clock.
int OnMainThread();
// 1 when running on the simulated board.
int IsSimulated();

// ---- Drives ------------------------------------------------------------------

struct fdd_t {
    int id;
    Filepath path;
    int native;       // loaded from ".ZEL"
    // The ZEL file that takes the host's writes: the image file itself when
    // it is a ZEL that could be written at insertion; otherwise clear until
    // the first save makes a rescue file beside the image, then that file.
    Filepath savepath;
    ZELDisk *disk;
    std::atomic<int> ejectreq;  // X68000 eject request
    // An X68000 eject request that failed (the disk was kept): no new
    // request is taken until the host has released its request.
    std::atomic<int> ejectrefused;
    int savefailing;  // the write-back failed and said so; it is retried quietly
    int type;         // image type, -1 when empty
    int cylinders;    // head positions (doubled in half-step mode)
    int heads;
    int rate;         // image rate, kHz
    int rpm;
    int hd;
    int readonly;     // the image cannot take writes: a read-only or protected ZEL, or an imported image
    std::atomic<int> protect;
    int selected;
    int cylinder;
    int side;
    int tracklen;     // bits of the current track, 0 = none
    uint8_t *trackdata;
    int period;       // one revolution as played, us (tracklen * 1000 / speed)
    std::atomic<int> dirty;
    std::atomic<uint64_t> dirtytime;
    int speed;        // cells (samples) per ms as played
    int headpos;      // bit under the head (index pulse)
    int feedpos;      // next bit to or from the SPI FIFO
    int index;
    int ready;
    int settle;
    uint64_t settletime;
    std::atomic<int> diskint;
    int modepin;
    int mode300;
};
extern fdd_t fdd[2];

// Clears a drive record to the empty state, keeping cylinder and side.
void ClearDrive(fdd_t &d);
// Image cylinder under the head, or -1 when the image has no such cylinder.
int ImageCylinder(const fdd_t &d);

// ---- Streaming (drivesim_stream.cpp, drivesim_fifo.cpp) -----------------------------------------

enum spi_e { SPI_OFF = 0, SPI_READ = 1, SPI_WRITE = 2 };
struct spi_t {
    spi_e mode;
    int rate;
    int sclk;
    uint8_t fill;   // 0xE0 once a raw image has been streamed
    uint8_t prev;   // last byte received
    int count;      // samples since the last write pulse
    int zeros;      // run of 0 cells (encode) or 0 bytes (raw) just sent
    // The track a write goes into (set when SPI starts receiving) and
    // whether the write has changed it: when the write ends, the track is
    // marked changed again, so a save made while the host was writing it
    // never counts as the last word.
    fdd_t *wdrive;
    int wcylinder, wside;
    int merged;
};
extern spi_t spi;

uint32_t rand_xor();
// pos taken into [0, len) (len > 0).
inline int WrapPos(int pos, int len) {
    if ((unsigned)pos < (unsigned)len) return pos;
    pos %= len;
    return pos < 0 ? pos + len : pos;
}
uint8_t ReadData(fdd_t &d);
uint8_t ReadDataRaw(fdd_t &d);
// Merges one byte sampled from the write-data line into the track.
void MergeWrite(fdd_t &d, uint8_t x);
void SendData(fdd_t &d);
void ReceiveData(fdd_t &d);

// ---- Signal loop (drivesim_loop.cpp) -----------------------------------------

// Bits of the sampled line word (1 = asserted).
enum : uint32_t {
    SIG_MOT = 1u << 0, SIG_STP = 1u << 1, SIG_BTN = 1u << 4, SIG_WTG = 1u << 7, SIG_DIR = 1u << 12,
    SIG_DS0 = 1u << 21, SIG_SID = 1u << 23, SIG_DS1 = 1u << 26,
};
int ProcessMotor(uint32_t lines);
void SignalLoop();
void SetSpiMode(spi_e mode, fdd_t *d);

// ---- Disk management and events (drivesim_disk.cpp) --------------------------

enum event_e { EV_NONE = 0, EV_UPDATE = 1, EV_SEEK = 2, EV_INSERT = 3, EV_EJECT = 4 };
int WriteEventQue(event_e ev);
int ReadEventQue(event_e *ev);
int IsEmptyEventQue();
void ClearEventQue();

// Messages of a disk operation ("Error : ..." and "Warning : ..." lines):
// each goes to standard error and, when a control client asked for the
// operation, into the reply it gets.
struct tell_t {
    std::string reply;
};
void Tell(tell_t *t, const char *format, ...) __attribute__((format(printf, 2, 3)));

extern std::mutex diskmutex;
// Holds diskmutex. On the main thread the wait keeps the simulated clock
// moving, so that a disk operation of another thread can finish its timed
// line changes.
class DiskLock {
  public:
    DiskLock();
    ~DiskLock() { diskmutex.unlock(); }
    DiskLock(const DiskLock &) = delete;
    DiskLock &operator=(const DiskLock &) = delete;
};
// Inserts an image; into an occupied drive only once the new image has
// loaded, and only when the old disk could be ejected (saved).
int InsertDisk(int drive, const char *path, int index, tell_t *t = nullptr);
// 0 when the drive is empty, or when its changes could not be saved: the
// disk then stays in the drive, changes and all.
int EjectDisk(int drive, tell_t *t = nullptr);
int ProtectDisk(int drive);
void FlushDisk(int drive);
// Saves the drive's changes, if any, where they go: in place into its save
// file, or into a new rescue file when it has none yet. The loop may run
// meanwhile: a track it marks while the save runs keeps the drive dirty.
// Holding diskmutex.
int SaveChanges(int drive, tell_t *t = nullptr);
// 1 when the drive holds changes not yet in a file.
int HasChanges(const fdd_t &d);
std::string DeviceTable();
void ListDevice(FILE *fp);
// Runs one control command; 1 when it did what was asked, else 0 with the
// reason told.
int ProcessCmd(unsigned drive, int command, const char *text, tell_t *t = nullptr);

void *EventThread(void *);
void *X68KOptThread(void *);

// ---- Sounds (drivesim_sound.cpp) ---------------------------------------------

struct fddsnd_t {
    int loaded;
    uint8_t *data;
    int length;
    int playing;
    int position;
};
enum { SND_SEEK = 0, SND_INSERT = 1, SND_EJECT = 2, SND_COUNT = 3 };
extern fddsnd_t fddsnd[SND_COUNT];
// Loads a PCM mono 22050 Hz 8-bit WAV file; 1 when loaded.
int LoadWavFile(const char *path, fddsnd_t *snd);
// The same for a file beside the executable.
int LoadWav(const char *name, fddsnd_t *snd);
void FreeWav(fddsnd_t *snd);

// ---- Control server (drivesim_server.cpp) ------------------------------------

enum { CONTROL_PORT = 6869, REQUEST_MAX = 8192 };
extern int monsocket;
void *MonThread(void *);
// While the front-panel menu runs on the control server's thread: answers
// waiting control requests at once (the table, a stop, or "busy, try
// again" for drive commands). Called from the menu's waits.
void AnswerWhileBusy();
// Answers the client that asked for the stop, if any, once the images are
// saved: the messages, then the success line when ok.
void AnswerStop(int ok, const std::string &messages);

// ---- Front panel (drivesim_panel.cpp, drivesim_font.cpp) ----------------------

enum { MENU_IDLE = 0, MENU_REQUEST = 1, MENU_RUNNING = 2 };
extern std::atomic<int> menu_state;
// Glyph 0 is blank; fontmap gives each character code its glyph.
enum { FONT_GLYPHS = 158 };
extern const uint8_t (&font6x8)[FONT_GLYPHS][6];
extern const int (&fontmap)[256];
int OledPresent();
void MenuInit();
void MenuCleanup();
void MenuSelectOperation();
void ListDeviceOLED();
