// The signal loop: the main thread samples every host line with one register
// read per pass, follows drive select, motor, step, side and write gate, and
// while a selected drive has a track under its head keeps SPI streaming (the
// track to the host, or the host's write data into the track) and drives the
// index pulse from the head position.
#include "drivesim.h"

#include <cstring>

#include "gpioctl.h"
#include "zeldisk.h"

fdd_t fdd[2];

// Lines whose change wakes the loop's decoding (the rest only stream).
static const uint32_t kRelevant = SIG_MOT | SIG_STP | SIG_BTN | SIG_WTG | SIG_DS0 | SIG_SID | SIG_DS1;
static const uint32_t kDriveLines = SIG_MOT | SIG_STP | SIG_WTG | SIG_DS0 | SIG_SID | SIG_DS1;

static inline uint64_t Now() { return SysTimer::GetTimer(); }
static inline bool TypeA() { return gpioctl.board == BOARD_TYPEA; }

void ClearDrive(fdd_t &d) {
    d.path.Clear();
    d.savepath.Clear();
    d.native = 0;
    d.ejectrefused = 0;
    d.savefailing = 0;
    d.disk = nullptr;
    d.type = -1;
    d.cylinders = 84;
    d.heads = 2;
    d.rate = d.rpm = d.hd = d.readonly = 0;
    d.protect = 0;
    d.selected = 0;
    d.tracklen = 0;
    d.trackdata = nullptr;
    d.period = 0;
    d.dirty = 0;
    d.dirtytime = 0;
    d.speed = d.headpos = d.feedpos = d.index = d.ready = d.settle = 0;
    d.settletime = 0;
    d.mode300 = 0;
}

// In half-step mode a head position is half a cylinder of images up to 42
// cylinders. Positions beyond what the image holds have no track.
int ImageCylinder(const fdd_t &d) {
    if (!d.disk) return -1;
    int c = d.cylinder;
    if (param.step == 0 && d.disk->header.cylinders < 43) c /= 2;
    if (c < 0 || c >= d.disk->header.cylinders || c >= ZEL_MAX_CYLINDERS) return -1;
    return c;
}

int ProcessMotor(uint32_t lines) {
    int level = !param.motor || (lines & SIG_MOT);
    if (!TypeA()) gpioctl.SetRDY(level);
    return level;
}

// Loads the track under the head (steps shared by selection, stepping, side
// and write gate). A write gate opening marks the track changed.
static int SetTrack(fdd_t &d, int wtg) {
    d.tracklen = 0;
    d.trackdata = nullptr;
    if (d.speed == 0 || !d.disk) return 0;
    int cyl = ImageCylinder(d);
    if (cyl < 0 || d.side >= d.disk->header.heads || d.side > 1) return 0;
    int len = d.disk->GetTrackLen(cyl, d.side);
    uint8_t *data = d.disk->GetTrackData(cyl, d.side);
    if (len <= 0 || !data) return 0;
    d.tracklen = len;
    d.trackdata = data;
    d.feedpos = d.headpos % len;
    d.period = (int)((int64_t)len * 1000 / d.speed);
    if (wtg && !d.protect) {
        d.disk->UpdateTrack(cyl, d.side);
        d.dirtytime = Now();
        d.dirty = 1;
    }
    return 1;
}

static void ProcessSide(uint32_t lines, fdd_t &d) {
    d.side = (lines & SIG_SID) ? 1 : 0;
    SetTrack(d, (lines & SIG_WTG) != 0);
}

static void ProcessWriteGate(uint32_t lines, fdd_t &d) { SetTrack(d, (lines & SIG_WTG) != 0); }

// Effective cell rate of a newly selected drive. A PC-98 plays a 2HD disk at
// 360 rpm unless its mode line asks for 300 rpm, and 2DD/2D always at 360.
static int SelectSpeed(fdd_t &d, uint32_t lines) {
    int speed = d.rate;
    if (!param.pc98 || d.rpm == 0) return speed;
    if (d.hd) {
        if (lines & (1u << d.modepin)) {
            d.mode300 = 1;
            if (d.rpm != 300) speed = d.rate * 300 / d.rpm;
        } else {
            d.mode300 = 0;
            if (d.rpm == 300) speed = d.rate * 360 / 300;
        }
    } else {
        speed = d.rate * 360 / d.rpm;
    }
    return speed;
}

static fdd_t *ProcessDS(uint32_t lines) {
    gpioctl.SetIRWT(0, 0, 0, 0);
    const uint32_t dsbit[2] = {SIG_DS0, SIG_DS1};
    for (int i = 0; i < 2; i++) {
        fdd_t &d = fdd[i];
        d.index = 0;
        if (!(lines & dsbit[i])) {
            d.selected = 0;
            continue;
        }
        if (d.selected == 1) continue;
        d.selected = 1;
        if (!d.disk) continue;
        d.side = (lines & SIG_SID) ? 1 : 0;
        d.speed = SelectSpeed(d, lines);
        SetTrack(d, (lines & SIG_WTG) != 0);
        d.settle = 1;
        d.settletime = Now() + 10000;
        // The disk has kept turning while deselected: data starts at the
        // phase the clock gives (period is one revolution in us).
        if (d.tracklen > 0) {
            uint64_t p = (uint64_t)d.period;
            d.headpos = d.feedpos = p ? (int)((uint64_t)d.tracklen * (d.settletime % p) / p) : 0;
        }
    }
    fdd_t *cur = nullptr;
    bool ds0 = lines & SIG_DS0, ds1 = lines & SIG_DS1;
    if (ds0 && !ds1) cur = &fdd[0];
    else if (ds1 && !ds0) cur = &fdd[1];
    else if (ds0 && ds1 && fdd[0].settletime > fdd[1].settletime) cur = &fdd[0];
    if (!cur) {
        IdleYield(0);
        return nullptr;
    }
    gpioctl.SetIRWT(0, cur->ready, cur->protect, cur->cylinder == 0);
    return cur;
}

static void ProcessStep(uint32_t lines, fdd_t *d) {
    if (!d) return;
    int n = param.step == 0 ? 1 : param.step;
    int pos = d->cylinder + ((lines & SIG_DIR) ? n : -n);
    if (pos >= d->cylinders) pos = d->cylinders - 1;
    if (pos < 0) pos = 0;
    if (pos == d->cylinder) return;
    d->cylinder = pos;
    SetTrack(*d, (lines & SIG_WTG) != 0);
    if (!TypeA()) gpioctl.SetTRZ(d->id, pos == 0);
    else if (d->selected) gpioctl.SetTRZ(pos == 0);
    WriteEventQue(EV_SEEK);
}

// A write has ended: the track it changed is marked again (with the drive),
// so that a save taken while the host was still writing it is not the last.
static void EndWrite() {
    fdd_t *d = spi.wdrive;
    if (d && spi.merged && d->disk) {
        d->disk->UpdateTrack(spi.wcylinder, spi.wside);
        d->dirty = 1;
    }
    spi.wdrive = nullptr;
    spi.merged = 0;
}

void SetSpiMode(spi_e mode, fdd_t *d) {
    if (mode == SPI_OFF && spi.mode == SPI_OFF) return;
    if (spi.mode == SPI_WRITE) EndWrite();
    spi.prev = 0;
    spi.mode = mode;
    spi.count = 0;
    gpioctl.ResetSpi();
    if (mode == SPI_OFF) return;
    if (!d || d->speed == 0) {
        spi.mode = SPI_OFF;
        return;
    }
    spi.rate = d->speed;
    spi.sclk = 8 * d->speed;
    if (d->type == 9) {
        spi.sclk = d->speed;
        spi.fill = 0xE0;
    }
    if (mode == SPI_WRITE) {
        int cyl = ImageCylinder(*d);
        spi.wdrive = cyl >= 0 ? d : nullptr;
        spi.wcylinder = cyl;
        spi.wside = d->side;
        spi.merged = 0;
    }
    gpioctl.StartSpi(mode == SPI_READ ? d->speed : spi.sclk);
}

// The front panel's button A asks the control server to run the menu.
static inline void MenuRequest(uint32_t changes, uint32_t lines) {
    if (menu_state == MENU_IDLE && (changes & SIG_BTN) && (lines & SIG_BTN)) menu_state = MENU_REQUEST;
}

// The index pulse covers the first 3 ms of each revolution (speed is cells
// per ms) and is released within the following millisecond.
static inline void IndexPulse(fdd_t &d) {
    if (d.headpos >= 4 * d.speed) return;
    if (d.index && d.headpos > 3 * d.speed) {
        d.index = 0;
        gpioctl.SetIDX(0);
    } else if (!d.index && d.headpos <= 3 * d.speed) {
        d.index = 1;
        gpioctl.SetIDX(1);
    }
}

void SignalLoop() {
    fdd_t *cur = nullptr;
    uint32_t prev = 0;
    int busy = 0;
    int motorready = ProcessMotor(gpioctl.Aquire());
    int wtp = 0;  // TypeA: the shared WTP line as last driven for cur

    for (;;) {
        int st = status;
        if (st == ST_STOP) {
            SetSpiMode(SPI_OFF, nullptr);  // a write still going on is marked for the final save
            break;
        }
        if (st == ST_RESUME) {
            cur = nullptr;
            prev = 0;
            busy = 0;
            status.compare_exchange_strong(st, ST_RUNNING);  // a stop request wins
        } else if (st == ST_PAUSE) {
            // Stop touching the drives before answering: the disk operation
            // that asked may replace the image as soon as it sees 4.
            SetSpiMode(SPI_OFF, nullptr);
            gpioctl.SetIDX(0);
            for (fdd_t &d : fdd) {
                d.selected = 0;
                d.side = 0;
                d.index = 0;
            }
            cur = nullptr;
            status.compare_exchange_strong(st, ST_PAUSED);
            continue;
        } else if (st != ST_RUNNING) {
            IdleYield(1);
            continue;
        }

        uint32_t lines = gpioctl.Aquire();
        uint32_t changes = lines ^ prev;
        prev = lines;
        // Protection toggled while the host keeps the drive selected reaches
        // its line at once (TypeB/TypeC drive a line per drive themselves).
        if (cur && cur->protect != wtp && TypeA()) {
            wtp = cur->protect;
            gpioctl.SetWTP(wtp);
        }

        if (!(changes & kRelevant)) {
            KeepBoost(busy);
            if (!busy) continue;
        } else {
            bool stream = false;
            do {
                if (changes & SIG_MOT) motorready = ProcessMotor(lines);
                if (changes & (SIG_DS0 | SIG_DS1)) {
                    cur = ProcessDS(lines);
                    wtp = -1;  // driven again on the next pass, whatever protect has become meanwhile
                }
                if ((changes & SIG_STP) && (lines & SIG_STP)) ProcessStep(lines, cur);
                if ((changes & SIG_WTG) && !(changes & SIG_SID) && !cur) {
                    SetSpiMode(SPI_OFF, nullptr);
                    break;
                }
                if (changes & kDriveLines) {
                    if (changes & SIG_SID) {
                        if (!cur) {
                            SetSpiMode(SPI_OFF, nullptr);
                            break;
                        }
                        ProcessSide(lines, *cur);
                    }
                    if ((changes & SIG_WTG) && cur && cur->disk) ProcessWriteGate(lines, *cur);
                    SetSpiMode(SPI_OFF, nullptr);  // restarts below in the right direction
                }
                stream = motorready && cur && cur->tracklen > 0;
            } while (false);
            MenuRequest(changes, lines);
            SetBoost(BOOST_REQUEST);
            if (!stream) {
                busy = 0;
                continue;
            }
        }

        // Streaming pass.
        fdd_t &d = *cur;
        if (d.tracklen <= 0) {
            busy = 0;
            continue;
        }
        if (d.settle) {
            busy = 1;
            if (Now() < d.settletime) continue;  // neither data nor index while settling
            d.settle = 0;
        }
        IndexPulse(d);
        if (spi.mode == SPI_OFF) SetSpiMode((lines & SIG_WTG) ? SPI_WRITE : SPI_READ, &d);
        if (spi.mode == SPI_WRITE) ReceiveData(d);
        else SendData(d);
        busy = 1;
    }
}
