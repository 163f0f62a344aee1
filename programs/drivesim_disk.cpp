// Disk management: insert, eject, write protect, the delayed write-back of
// what the host wrote, the event queue, the drive table, the dispatcher of
// control commands, the event thread and the X68000 option thread.
//
// Inserting and ejecting change a drive only while the signal loop is paused
// (pause handshake below) and hold diskmutex, so two of them (the control
// server, the menu and the X68000 eject) never overlap, and a write-back
// never saves an image that is being taken out.
#include "drivesim.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstring>

#include "fileio.h"
#include "gpioctl.h"
#include "zeldisk.h"

std::mutex diskmutex;

// Write-back 60 s after the host last started writing.
static const uint64_t kWriteBackUs = 60000000;

static inline uint64_t Now() { return SysTimer::GetTimer(); }
static inline bool TypeA() { return gpioctl.board == BOARD_TYPEA; }

// ---- Event queue ----------------------------------------------------------------
// A ring of 256 slots; empty when the indices are equal, so 255 events wait
// at most. Producers (signal loop, control server, event thread) take a short
// spin lock among themselves; the one consumer, the event thread, needs none.

static event_e evque[256];
static std::atomic<unsigned> evread{0}, evwrite{0};
static std::atomic_flag evlock = ATOMIC_FLAG_INIT;

int WriteEventQue(event_e ev) {
    while (evlock.test_and_set(std::memory_order_acquire)) {
    }
    unsigned w = evwrite.load(std::memory_order_relaxed);
    unsigned next = (w + 1) & 255;
    int ok = next != evread.load(std::memory_order_acquire);
    if (ok) {
        evque[w] = ev;
        evwrite.store(next, std::memory_order_release);
    }
    evlock.clear(std::memory_order_release);
    return ok;
}

int ReadEventQue(event_e *ev) {
    unsigned r = evread.load(std::memory_order_relaxed);
    if (r == evwrite.load(std::memory_order_acquire)) return 0;
    *ev = evque[r];
    evread.store((r + 1) & 255, std::memory_order_release);
    return 1;
}

int IsEmptyEventQue() { return evread.load() == evwrite.load(); }

void ClearEventQue() {
    evread = 0;
    evwrite = 0;
}

// ---- Pause handshake with the signal loop ----------------------------------------

// Waits (polling) while pred holds, at most limit_ms; 1 when it stopped holding.
template <class Pred> static int WaitWhile(Pred pred, int limit_ms) {
    for (int waited = 0; pred(); waited += 10) {
        if (limit_ms >= 0 && waited >= limit_ms) return 0;
        SleepMs(10);
    }
    return 1;
}

// Brings the loop to rest: 1 when it is paused, or stopping and no longer
// touching the drives; 0 when it never reached the running state.
static int PauseLoop() {
    if (!WaitWhile([] { int s = status; return s != ST_RUNNING && s != ST_STOP; }, 11000)) return 0;
    int running = ST_RUNNING;
    if (status.compare_exchange_strong(running, ST_PAUSE)) {
        SleepMs(200);
        WaitWhile([] { int s = status; return s != ST_PAUSED && s != ST_STOP; }, -1);
    }
    if (status == ST_STOP) return WaitWhile([] { return !loopidle; }, 5000);
    return 1;
}

static void ResumeLoop() {
    int paused = ST_PAUSED;
    if (!status.compare_exchange_strong(paused, ST_RESUME)) return;
    SleepMs(200);
    WaitWhile([] { return status == ST_RESUME; }, -1);
}

// ---- Messages and the disk lock --------------------------------------------------

void Tell(tell_t *t, const char *format, ...) {
    char line[1200];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    strcat(line, "\n");
    fputs(line, stderr);
    if (t) t->reply += line;
}

DiskLock::DiskLock() {
    if (!OnMainThread() || !IsSimulated()) {
        diskmutex.lock();
        return;
    }
    while (!diskmutex.try_lock()) {
        IdleYield(1000);
        SleepUs(200);
    }
}

// ---- Insert, eject, protect, write-back -------------------------------------------

static void BoardDiskLines(fdd_t &d) {
    if (TypeA()) return;
    gpioctl.SetWTP(d.id, d.protect);
    gpioctl.SetTRZ(d.id, d.cylinder == 0);
    gpioctl.SetDisk(fdd[0].disk != nullptr, fdd[1].disk != nullptr);
}

// The same file under any name (device and inode).
static bool SameFile(const Filepath &a, const Filepath &b) {
    struct stat sa, sb;
    return !a.IsClear() && !b.IsClear() && stat(a.GetPath(), &sa) == 0 && stat(b.GetPath(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

static bool HoldsFile(const fdd_t &d, const Filepath &fp) {
    return d.disk && (SameFile(fp, d.path) || SameFile(fp, d.savepath));
}

// The file a drive's changes go to (or, before a rescue file exists, its image).
static const char *SaveName(const fdd_t &d) { return d.savepath.IsClear() ? d.path.GetPath() : d.savepath.GetPath(); }

static int AnyTrackChanged(const ZELDisk &img) {
    for (const auto &row : img.dirty)
        for (int f : row)
            if (f) return 1;
    return 0;
}

int HasChanges(const fdd_t &d) { return d.disk && (d.dirty || AnyTrackChanged(*d.disk)); }

// Writes the image whole to the first free "NAME.RESCUEn.ZEL" beside it and
// makes that file the drive's save file.
static int RescueDisk(fdd_t &d, tell_t *t) {
    const char *ext = d.path.HasExt(".ZEL") ? d.path.GetExt() : ".ZEL";
    for (int n = 0; n < 10; n++) {
        char name[600];
        char num[4] = "";
        if (n) snprintf(num, sizeof num, "%d", n);
        Filepath fp;
        int len = snprintf(name, sizeof name, "%s%s.RESCUE%s%s", d.path.GetDir(), d.path.GetName(), num, ext);
        if (len < 0 || (size_t)len >= sizeof name || !fp.SetPath(name)) return 0;
        if (Fileio::IsExist(name) != -1) continue;
        if (!d.disk->Save(fp, 1)) return 0;
        d.savepath = fp;
        Tell(t, "Warning : Can't save %s, changes written to %s", d.path.GetPath(), name);
        return 1;
    }
    return 0;
}

// Writes the drive's image where its changes go: in place into its save
// file, or whole into a new rescue file when it has none yet.
static int SaveDisk(fdd_t &d, tell_t *t) {
    if (d.savepath.IsClear()) return RescueDisk(d, t);
    return d.disk->Save(d.savepath, 0);
}

int SaveChanges(int drive, tell_t *t) {
    fdd_t &d = fdd[drive];
    if (!HasChanges(d)) return 1;
    d.dirty = 0;
    if (!SaveDisk(d, t)) {
        d.dirty = 1;
        return 0;
    }
    if (AnyTrackChanged(*d.disk)) d.dirty = 1;
    return 1;
}

// Takes the disk out of the drive: saves what changed (first while the loop
// runs, so that a save that fails never stalls the host), pauses the loop,
// saves what the host changed meanwhile and empties the drive. The loop is
// left paused on success; on failure the disk stays, changes and all, and
// the loop runs. Holding diskmutex.
static int EjectLocked(fdd_t &d, tell_t *t) {
    if (!SaveChanges(d.id, t)) {
        Tell(t, "Warning : Can't save %s, disk kept in drive %d", SaveName(d), d.id);
        return 0;
    }
    if (!PauseLoop()) {
        Tell(t, "Error : Drive %d did not answer, disk kept", d.id);
        return 0;
    }
    if (!SaveChanges(d.id, t)) {
        Tell(t, "Warning : Can't save %s, disk kept in drive %d", SaveName(d), d.id);
        ResumeLoop();
        return 0;
    }
    delete d.disk;
    ClearDrive(d);
    d.diskint = 1;
    if (!TypeA()) {
        gpioctl.SetWTP(d.id, 0);
        gpioctl.SetTRZ(d.id, gpioctl.pro ? d.cylinder == 0 : 1);
        gpioctl.SetDisk(fdd[0].disk != nullptr, fdd[1].disk != nullptr);
    }
    d.ejectreq = 0;
    return 1;
}

// Puts a loaded image into the (empty) drive while the loop is paused.
static void Mount(fdd_t &d, ZELDisk *img, const Filepath &fp, int native) {
    d.disk = img;
    d.path = fp;
    d.native = native;
    d.type = img->header.type;
    d.cylinders = img->header.cylinders;
    d.heads = img->header.heads;
    d.rate = img->header.rate;
    d.rpm = img->header.rpm;
    d.ejectreq = 0;
    d.ejectrefused = 0;
    d.hd = d.rate == 1000 || d.rate == 8000;
    // Only a ZEL file that can be written takes the host's writes back; any
    // other image is shown write-protected, and what the host writes once
    // protection is lifted goes to a rescue file beside it.
    d.readonly = !native || img->readonly || img->header.writeprotect ? 1 : 0;
    d.protect = d.readonly;
    if (d.readonly) d.savepath.Clear();
    else d.savepath = fp;
    memset(img->dirty, 0, sizeof img->dirty);  // the image is what its file holds
    if (param.step == 0) d.cylinders *= 2;
    if (d.cylinder >= d.cylinders) d.cylinder = d.cylinders > 0 ? d.cylinders - 1 : 0;
    d.selected = 0;
    d.tracklen = 0;
    d.trackdata = nullptr;
    d.period = d.rpm ? 60000000 / d.rpm : 0;
    d.speed = d.rate;
    d.ready = 1;
    d.dirty = 0;
    d.savefailing = 0;
    d.diskint = 1;
    BoardDiskLines(d);
}

static ZELDisk *LoadImage(const Filepath &fp, int index, tell_t *t) {
    ZELDisk *img = new ZELDisk;
    if (fp.HasExt(".ZEL") ? img->Load(fp, param.rawcorrect) : img->Import(fp, index)) return img;
    delete img;
    Tell(t, "Error : Can't load %s", fp.GetPath());
    return nullptr;
}

int InsertDisk(int drive, const char *path, int index, tell_t *t) {
    if (drive < 0 || drive > 1) return 0;
    DiskLock hold;
    fdd_t &d = fdd[drive];
    Filepath fp;
    if (!path || !fp.SetPath(path) || fp.IsClear()) {
        Tell(t, "Error : Invalid file path");
        return 0;
    }
    // Two drives writing one file would lose one drive's writes.
    if (HoldsFile(fdd[1 - drive], fp)) {
        Tell(t, "Error : %s is in drive %d", fp.GetPath(), 1 - drive);
        return 0;
    }
    // The same file again: its changes must reach it before it is read.
    if (HoldsFile(d, fp)) {
        if (!EjectLocked(d, t)) return 0;
        ResumeLoop();
    }
    ZELDisk *img = LoadImage(fp, index, t);
    if (!img) return 0;
    int paused = d.disk ? EjectLocked(d, t) : PauseLoop();
    if (!paused) {
        if (!d.disk) Tell(t, "Error : Drive %d did not answer", drive);
        delete img;
        return 0;
    }
    Mount(d, img, fp, fp.HasExt(".ZEL"));
    ResumeLoop();
    return 1;
}

int EjectDisk(int drive, tell_t *t) {
    if (drive < 0 || drive > 1) return 0;
    DiskLock hold;
    fdd_t &d = fdd[drive];
    if (!d.disk) {
        Tell(t, "Error : No disk in drive %d", drive);
        return 0;
    }
    if (!EjectLocked(d, t)) return 0;
    ResumeLoop();
    return 1;
}

int ProtectDisk(int drive) {
    if (drive < 0 || drive > 1 || !fdd[drive].disk) return 0;
    fdd[drive].protect = !fdd[drive].protect;
    if (!TypeA()) gpioctl.SetWTP(drive, fdd[drive].protect);
    return 1;
}

// Saves a drive's changes 60 s after the host last started writing to it,
// while the host goes on (the save never pauses the loop). A failed save is
// told once and tried again every 60 s; a track the host changes while the
// save runs stays marked, and keeps the drive dirty for the next one.
void FlushDisk(int drive) {
    fdd_t &d = fdd[drive];
    if (!d.dirty) return;
    DiskLock hold;
    if (!d.disk) return;
    if (Now() - d.dirtytime < kWriteBackUs) return;
    if (d.selected && spi.mode == SPI_WRITE) return;  // the host is writing right now
    if (SaveChanges(d.id, nullptr)) {
        d.savefailing = 0;
        return;
    }
    if (!d.savefailing) Tell(nullptr, "Warning : Can't write back %s, will try again", SaveName(d));
    d.savefailing = 1;
    d.dirtytime = Now();
}

// ---- Drive table ---------------------------------------------------------------

std::string DeviceTable() {
    static const char kRule[] = "----+----+----+-------------------------------------------------\n";
    std::string t = kRule;
    t += " ID | WP | CL | DISK IMAGE\n";
    t += kRule;
    for (const fdd_t &d : fdd) {
        char line[40];
        snprintf(line, sizeof line, "  %d | %s | %02d | ", d.id, d.protect ? "ON" : "--",
                 param.step == 0 ? d.cylinder / 2 : d.cylinder);
        t += line;
        t += d.disk ? d.path.GetPath() : "EMPTY";
        t += "\n";
    }
    t += kRule;
    return t;
}

void ListDevice(FILE *fp) {
    std::string t = DeviceTable();
    fputs(t.c_str(), fp);
    fflush(fp);
}

// ---- Control commands --------------------------------------------------------------

// Splits a trailing "/N" (1-9) or "/NN" (1-16) disk index off an insert path.
static int SplitDiskIndex(std::string &text) {
    size_t n = text.size();
    if (n >= 2 && text[n - 2] == '/' && text[n - 1] >= '1' && text[n - 1] <= '9') {
        int index = text[n - 1] - '0';
        text.resize(n - 2);
        return index;
    }
    if (n >= 3 && text[n - 3] == '/') {
        long v = strtol10(text.c_str() + n - 2, nullptr);
        if (v >= 1 && v <= 16) {
            text.resize(n - 3);
            return (int)v;
        }
    }
    return 1;
}

int ProcessCmd(unsigned drive, int command, const char *text, tell_t *t) {
    if (drive > 1) {
        Tell(t, "Error : Invalid ID");
        return 0;
    }
    if (command < 1 || command > 3) {
        Tell(t, "Error : Invalid Command");
        return 0;
    }
    if (param.x68k) {
        SetBoost(BOOST_REQUEST);
        SleepSec(1);
    }
    int ok = 0;
    switch (command) {
    case 2:
        ok = EjectDisk((int)drive, t);
        if (ok) WriteEventQue(EV_EJECT);
        break;
    case 3:
        ok = ProtectDisk((int)drive);
        if (!ok) Tell(t, "Error : No disk in drive %u", drive);
        break;
    default: {
        std::string path = text ? text : "";
        int index = SplitDiskIndex(path);
        // A path no Filepath can hold is refused before anything happens.
        if (path.empty() || path.size() > Filepath::PATH_MAX_CHARS) {
            Tell(t, "Error : Invalid file path");
            return 0;
        }
        ok = InsertDisk((int)drive, path.c_str(), index, t);
        if (ok) WriteEventQue(EV_INSERT);
        break;
    }
    }
    if (TypeA() && param.x68k && (fdd[0].diskint || fdd[1].diskint)) gpioctl.SetINT(1);
    WriteEventQue(EV_UPDATE);
    return ok;
}

// ---- Event thread -------------------------------------------------------------------

static void PlaySounds(bool &happened) {
    for (;;) {
        if (status == ST_STOP) return;  // the sounds are freed at shutdown
        event_e ev;
        if (ReadEventQue(&ev)) {
            int s = ev == EV_SEEK ? SND_SEEK : ev == EV_INSERT ? SND_INSERT : ev == EV_EJECT ? SND_EJECT : -1;
            if (s >= 0 && fddsnd[s].loaded) {
                fddsnd[s].playing = 1;
                fddsnd[s].position = 0;
            }
            happened = true;
        }
        bool any = false;
        // Sounds mix by taking turns in slices of 22 samples (1 ms).
        for (fddsnd_t &s : fddsnd) {
            if (!s.playing) continue;
            int n = s.length - s.position;
            if (n > 22) n = 22;
            gpioctl.PlayPWM(s.data + s.position, n);
            s.position += n;
            if (s.position >= s.length) {
                s.playing = 0;
                s.position = 0;
            }
            any = true;
        }
        if (!any) return;
    }
}

void *EventThread(void *) {
    FixCpu(1);
    SetScheduler(EXEC_IDLE);
    WaitForStart();
    while (status != ST_STOP) {
        bool happened = false;
        PlaySounds(happened);
        for (int i = 0; i < 2; i++)
            if (fdd[i].dirty) FlushDisk(i);
        if (param.x68k) {
            for (int i = 0; i < 2; i++) {
                if (!fdd[i].ejectreq) continue;
                // A refused eject is told once; the host has to ask again.
                if (EjectDisk(i)) {
                    WriteEventQue(EV_EJECT);
                    happened = true;
                } else {
                    fdd[i].ejectrefused = 1;
                    fdd[i].ejectreq = 0;
                }
            }
        }
        if (happened) {
            ListDeviceOLED();
            if (param.verbose) {
                printf("\033[6A\033[0J");
                ListDevice(stdout);
            }
        }
        if (IsEmptyEventQue()) SleepMs(10);
    }
    eventdone = 1;
    return nullptr;
}

// ---- X68000 option lines -----------------------------------------------------------

static inline uint32_t SampleLines() { return ~hwseam::RegRead(gpioctl.levaddr); }

enum : uint32_t { SIG_OS0 = 1u << 16, SIG_OS1 = 1u << 20, SIG_EJC = 1u << 13 };

void *X68KOptThread(void *) {
    FixCpu(2);
    SetScheduler(TypeA() ? EXEC_NORMAL : EXEC_IDLE);
    WaitForStart();
    if (!param.x68k) return nullptr;
    const uint32_t os[2] = {SIG_OS0, SIG_OS1};

    if (!TypeA()) {
        // The board latches option select and eject: an option line released
        // for a drive holding a disk is the host's eject request. After a
        // refused eject the request counts again only once the line has
        // been asserted in between.
        while (status != ST_STOP) {
            uint32_t l = SampleLines();
            for (int i = 0; i < 2; i++) {
                if (l & os[i]) fdd[i].ejectrefused = 0;
                else if (fdd[i].disk && !fdd[i].ejectreq && !fdd[i].ejectrefused) fdd[i].ejectreq = 1;
            }
            SleepSec(1);
        }
        return nullptr;
    }

    uint32_t prev = SampleLines();
    while (status != ST_STOP) {
        uint32_t l = SampleLines();
        if ((l ^ prev) & (SIG_OS0 | SIG_OS1)) {
            // DIN tells the host whether the option-selected drive holds a disk.
            int din = (l & SIG_OS0) && fdd[0].disk && !fdd[0].ejectreq;
            if ((l & SIG_OS1) && fdd[1].disk) din = din || !fdd[1].ejectreq;
            gpioctl.SetDIN(din);
        }
        for (int i = 0; i < 2; i++) {
            if (!((prev & os[i]) && !(l & os[i]))) continue;
            fdd[i].diskint = 0;
            if (!fdd[0].diskint && !fdd[1].diskint) gpioctl.SetINT(0);
            if ((prev & SIG_EJC) && fdd[i].disk) fdd[i].ejectreq = 1;
        }
        prev = l;
        if (IsSimulated()) SleepUs(1000);  // a spinning thread would run the virtual clock
    }
    return nullptr;
}
