// A floppy drive on the bus of the controller role.
//
// The medium is a list of flux transition positions per cylinder and side, in
// picoseconds of one nominal revolution (60 s / rpm). The disk turns from time
// 0 at the set speed (with its speed error) or, with a spin-up time, stands
// until the motor starts and speeds up evenly to full speed; the index pulse
// covers the first index_us (at full speed) of each revolution. The drive
// answers only while selected: index while the motor runs, ready once it is
// up to speed, TRK00 at cylinder 0 (unless the sensor is set broken), write
// protect, and read pulses of pulse_ns at each transition. The head steps on
// the leading edge of STP: inwards (cylinder + 1, up to last_cylinder) while
// DIR is asserted, outwards down to 0 otherwise, and settles for settle_ms:
// meanwhile the read line carries noise, and a write whose gate opens then is
// recorded as noise. Cylinders past the 84 of an image read blank and keep
// nothing written. While the write gate is asserted the transitions on the
// write-data line are recorded, and they replace the flux of the written
// stretch when the gate is released; a track written here is recorded at this
// drive's speed, and the medium is saved with cells fine enough for it.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <cstring>

#include "fdi.h"
#include "filepath.h"
#include "sim.h"
#include "zel.h"
#include "zeldisk.h"

static uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A blank medium is taken as recorded in this drive, at the density such a
// drive turns: 1000 kcells at 360 rpm (2HD), 500 kcells otherwise.
SimDrive::SimDrive(const SimDriveConfig &c) : cfg(c) {
    if (cfg.rpm <= 0) cfg.rpm = 300;
    rev_ps = (int64_t)(60.0e12 / cfg.rpm);
    medium_rpm = cfg.rpm;
    if (cfg.rpm > 330) rate = 1000, type = ZEL_TYPE_2HD;
}

// A medium recorded at medium_rpm turns here at the drive's rpm: a 2DD disk
// of 500 kcells at 300 rpm passes 600 kcells a second in a 360-rpm drive.
int64_t SimDrive::CellPs(int cellrate) const {
    return (int64_t)(1.0e9 / cellrate * medium_rpm / cfg.rpm + 0.5);
}

void SimDrive::SetTrackCells(int cylinder, int head, const uint8_t *cells, int count, int cellrate) {
    if (cylinder < 0 || cylinder >= 84 || head < 0 || head > 1 || cellrate <= 0) return;
    rate = cellrate;
    type = cellrate >= 1000 ? ZEL_TYPE_2HD : ZEL_TYPE_2DD;
    std::vector<int64_t> &f = flux[cylinder][head];
    f.clear();
    int64_t cellps = CellPs(cellrate);
    for (int i = 0; i < count; i++) {
        if (!BfGetBit(cells, i)) continue;
        int64_t pos = i * cellps;
        if (pos >= rev_ps) break;  // a track longer than the revolution is cut at the index
        f.push_back(pos);
    }
}

int SimDrive::LoadImage(const char *path) {
    Filepath fp;
    if (!fp.SetPath(path)) return 0;
    ZELDisk disk;
    int ok = fp.HasExt(".ZEL") ? disk.Load(fp, 0) : disk.Import(fp, 0);
    if (!ok || !disk.valid) return 0;
    int raw = disk.header.type == ZEL_TYPE_RAW;
    int hrate = disk.header.rate;
    if (hrate <= 0) return 0;
    rate = raw ? hrate / 8 : hrate;
    type = raw ? (rate >= 1000 ? ZEL_TYPE_2HD : ZEL_TYPE_2DD) : disk.header.type;
    medium_rpm = disk.header.rpm > 0 ? disk.header.rpm : cfg.rpm;
    int64_t unit = CellPs(hrate);  // one cell or one sample
    for (int c = 0; c < 84; c++) {
        for (int h = 0; h < 2; h++) {
            std::vector<int64_t> &f = flux[c][h];
            f.clear();
            const uint8_t *data = c < disk.header.cylinders && h < disk.header.heads ? disk.GetTrackData(c, h) : nullptr;
            int len = data ? disk.GetTrackLen(c, h) : 0;
            if (len > disk.GetTrackCapacity(c, h) * 8) len = disk.GetTrackCapacity(c, h) * 8;
            int prev = len > 0 && raw ? BfGetBit(data, len - 1) : 0;
            for (int i = 0; i < len; i++) {
                int bit = BfGetBit(data, i);
                // encode: a transition in each 1 cell; raw: at each rising edge
                if (bit && (!raw || !prev) && i * unit < rev_ps) f.push_back(i * unit);
                prev = bit;
            }
        }
    }
    return 1;
}

// A medium with tracks written in this drive is saved at the drive's speed,
// with cells of the rate every track on it shares (tracks as loaded count at
// the rate they pass this drive's head), or, on a medium of mixed rates, of
// the least common multiple of them (at most 8000, else the highest).
int SimDrive::SaveImage(const char *path) const {
    Filepath fp;
    if (!fp.SetPath(path)) return 0;
    double save_rpm = medium_rpm;
    int save_rate = rate, save_type = type;
    if (rewritten) {
        save_rpm = cfg.rpm;
        int loaded = (int)(rate * cfg.rpm / medium_rpm + 0.5);
        int mixed = 0, highest = 0;
        for (int c = 0; c < 84; c++)
            for (int h = 0; h < 2; h++) {
                int r = written_rate[c][h] ? written_rate[c][h] : flux[c][h].empty() ? 0 : loaded;
                if (!r) continue;
                highest = std::max(highest, r);
                mixed = mixed ? (int)std::min<int64_t>((int64_t)mixed / std::gcd(mixed, r) * r, 8001) : r;
            }
        save_rate = !mixed ? loaded : mixed > 8000 ? highest : mixed;
        save_type = save_rate >= 1000 ? ZEL_TYPE_2HD : ZEL_TYPE_2DD;
    }
    ZELDisk disk;
    if (!disk.Init(save_type == ZEL_TYPE_2D || save_type == ZEL_TYPE_2HD ? save_type : ZEL_TYPE_2DD,
                   save_rate, (int)save_rpm, 0))
        return 0;
    int64_t cellps = (int64_t)(1.0e9 / save_rate * save_rpm / cfg.rpm + 0.5);
    int bits = (int)(save_rate * 60000.0 / save_rpm); // one revolution as recorded
    for (int c = 0; c < disk.header.cylinders && c < 84; c++) {
        for (int h = 0; h < disk.header.heads && h < 2; h++) {
            int n = std::min(bits, disk.GetTrackCapacity(c, h) * 8);
            if (n <= 0 || !disk.SetTrackLen(c, h, n)) return 0;
            uint8_t *data = disk.GetTrackData(c, h);
            memset(data, 0, (size_t)(n + 7) / 8);
            // Cells are counted interval by interval, as a data separator
            // does: a track written at a clock a little off the nominal rate
            // keeps every interval, where rounding each position on its own
            // would move some transitions to the neighbouring cell.
            int64_t cell = -1, last = 0;
            for (int64_t pos : flux[c][h]) {
                cell = cell < 0 ? (pos + cellps / 2) / cellps
                                : cell + std::max<int64_t>(1, (pos - last + cellps / 2) / cellps);
                last = pos;
                if (cell < n) BfSetBit(data, (int)cell);
            }
        }
    }
    return disk.Save(fp, 1);
}

// ---- Rotation ------------------------------------------------------------------

int64_t SimDrive::RotationPs() const {
    return (int64_t)(60.0e12 / ((cfg.rpm > 0 ? cfg.rpm : 300) * (1.0 + cfg.speed_error / 100.0)));
}

// Without spin-up the disk turns from time 0. With it, the disk stands while
// the motor is off and, from each start, speeds up evenly over spinup_ms: the
// position grows as v e^2 / 2T during the spin-up (e since the start, T the
// spin-up time, v full speed) and by v e - v T / 2 after it.
int64_t SimDrive::Unwrapped(int64_t t) const {
    double v = (double)rev_ps / (double)RotationPs();
    if (cfg.spinup_ms <= 0) return (int64_t)((double)t * v);
    if (motor_on < 0 || t < motor_on) return spun;
    double e = (double)(t - motor_on), T = (double)cfg.spinup_ms * 1000 * SIM_PS_PER_US;
    return spun + (int64_t)(e < T ? v * e * e / (2 * T) : v * (e - T / 2));
}

int64_t SimDrive::Position(int64_t t) const {
    if (cfg.spinup_ms <= 0) {
        int64_t rot = RotationPs();
        return (int64_t)((double)(t % rot) * (double)rev_ps / (double)rot);
    }
    return Unwrapped(t) % rev_ps;
}

bool SimDrive::Settling(int64_t t) const {
    return t - stepped < (int64_t)cfg.settle_ms * 1000 * SIM_PS_PER_US;
}

bool SimDrive::DroppedOut(int64_t t) const {
    if (cfg.dropouts.empty()) return false;
    int side = (pi >> LINE_SID) & 1;
    int64_t rev = Unwrapped(t) / rev_ps - Unwrapped(arrived) / rev_ps;
    int64_t pos = Position(t);
    for (const SimDriveConfig::Dropout &d : cfg.dropouts) {
        if (d.cylinder != cyl || d.head != side) continue;
        if (pos < (int64_t)d.from_us * SIM_PS_PER_US || pos >= (int64_t)d.to_us * SIM_PS_PER_US) continue;
        for (int r : d.revolutions)
            if (r == rev) return true;
    }
    return false;
}

// Whether a read pulse covers time t.
int SimDrive::Pulse(int64_t t) const {
    int side = (pi >> LINE_SID) & 1;
    static const std::vector<int64_t> none;
    const std::vector<int64_t> &f = cyl < 84 ? flux[cyl][side] : none;
    uint64_t rev = (uint64_t)(cfg.spinup_ms <= 0 ? t / RotationPs() : Unwrapped(t) / rev_ps);
    int64_t pos = Position(t);
    int64_t width = (int64_t)cfg.pulse_ns * 1000;
    int64_t jitter = (int64_t)cfg.jitter_ns * 1000;
    auto covers = [&](int64_t start) { return pos >= start && pos < start + width; };
    if (Settling(t)) {
        // The head is still moving: a random pulse somewhere in every 4 us.
        int64_t slot = 4 * SIM_PS_PER_US, s = pos / slot;
        return covers(s * slot + (int64_t)(Mix((uint64_t)s ^ rev << 40) % (uint64_t)(slot - width)));
    }
    if (DroppedOut(t)) return 0;
    auto shift = [&](size_t i) {
        return jitter ? (int64_t)(Mix(rev << 20 ^ i) % (uint64_t)(2 * jitter + 1)) - jitter : 0;
    };

    if (cfg.noise_spikes > 0) {
        int64_t slot = std::max<int64_t>(rev_ps / cfg.noise_spikes, 1);
        int64_t s = pos / slot;
        if (covers(s * slot + (int64_t)(Mix(rev * 7919 + (uint64_t)s) % (uint64_t)slot))) return 1;
    }
    size_t n = f.size();
    size_t idx = (size_t)(std::upper_bound(f.begin(), f.end(), pos + jitter) - f.begin());
    for (size_t k = 0; k < 3 && k < idx; k++) {
        size_t i = idx - 1 - k;
        if (covers(f[i] + shift(i))) return 1;
        if (f[i] + jitter + width < pos) break;
    }
    if (n && pos < width + jitter && covers(f[n - 1] + shift(n - 1) - rev_ps)) return 1;  // pulse over the index

    if (cfg.flux_free_us > 0) {
        // A long stretch without flux: the drive's gain turns up and noise reads as pulses.
        int64_t prev = idx > 0 ? f[idx - 1] : (n ? f[n - 1] - rev_ps : 0);
        int64_t next = idx < n ? f[idx] : (n ? f[0] + rev_ps : rev_ps);
        int64_t margin = 2 * SIM_PS_PER_US, slot = std::max<int64_t>(4 * SIM_PS_PER_US, 2 * width);
        if (next - prev > (int64_t)cfg.flux_free_us * SIM_PS_PER_US && pos > prev + margin && pos < next - margin) {
            int64_t s = (pos - prev - margin) / slot;
            int64_t off = (int64_t)(Mix(rev << 32 ^ (uint64_t)prev ^ (uint64_t)s << 48) % (uint64_t)(slot - width));
            if (covers(prev + margin + s * slot + off)) return 1;
        }
    }
    return 0;
}

// ---- Bus -----------------------------------------------------------------------

uint32_t SimDrive::Asserted(int64_t t) {
    if (!((pi >> (cfg.select ? LINE_DS1 : LINE_DS0)) & 1)) return 0;
    uint32_t m = 0;
    if ((cyl == 0 && cfg.trk00 != 1) || cfg.trk00 == 2) m |= 1u << LINE_TRZ;
    if (cfg.disk && cfg.write_protect) m |= 1u << LINE_WTP;
    if (cfg.disk && motor_on >= 0) {
        if (t - motor_on >= (int64_t)cfg.spinup_ms * 1000 * SIM_PS_PER_US) m |= 1u << LINE_RDY;
        if (cfg.spinup_ms <= 0) {
            int64_t rot = RotationPs();
            if (t % rot < (int64_t)cfg.index_us * SIM_PS_PER_US) m |= 1u << LINE_IDX;
        } else if (Position(t) < (int64_t)((double)cfg.index_us * SIM_PS_PER_US * rev_ps / RotationPs())) {
            m |= 1u << LINE_IDX;
        }
    }
    return m;
}

int SimDrive::DataAsserted(int64_t t) {
    if (!((pi >> (cfg.select ? LINE_DS1 : LINE_DS0)) & 1) || !cfg.disk || motor_on < 0 || writing) return 0;
    return Pulse(t);
}

void SimDrive::LineChanged(int line, int asserted, int64_t t) {
    int selline = cfg.select ? LINE_DS1 : LINE_DS0;
    int selected = (pi >> selline) & 1;
    if (line == LINE_MOT && cfg.spinup_ms > 0) spun = Unwrapped(t); // where the disk starts or stops
    if (asserted) pi |= 1u << line;
    else pi &= ~(1u << line);
    if (line == LINE_MOT) motor_on = asserted ? t : -1;
    if (line == selline && !asserted && writing) CommitWrite(t);
    if (!selected && line != selline) return;
    if (line == LINE_STP && asserted) {
        if (writing) CommitWrite(t);
        if ((pi >> LINE_DIR) & 1) cyl = std::min(cyl + 1, std::min(cfg.last_cylinder, SIM_MAX_CYLINDER));
        else cyl = std::max(cyl - 1, 0);
        stepped = arrived = t;
    } else if (line == LINE_WTG) {
        if (asserted && cfg.disk && !cfg.write_protect && !writing) {
            writing = true;
            write_noise = Settling(t);
            write_start = Unwrapped(t);
            write_last = 0;
            written.clear();
        } else if (!asserted && writing) {
            CommitWrite(t);
        }
    } else if (line == LINE_SID) {
        if (writing) CommitWrite(t);
        arrived = t;
    }
}

void SimDrive::DataOut(int64_t t, int64_t period, uint32_t bits, int count) {
    if (!writing) return;
    for (int i = 0; i < count; i++) {
        int bit = (bits >> (count - 1 - i)) & 1;
        int64_t at = Unwrapped(t + i * period);
        if (bit && !write_last && at >= write_start) written.push_back(at);
        write_last = bit;
    }
}

// The cell rate of what was written, from its intervals: the shortest usual
// interval of FM and MFM alike is two cells. A common rate (250, 300, 500,
// 600, 1000 kcells/s) within 3 %, else 0 (no cells told).
int SimDrive::WrittenCellRate() const {
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < written.size(); i++)
        if (written[i] > written[i - 1]) gaps.push_back(written[i] - written[i - 1]);
    if (gaps.size() < 100) return 0;
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 20, gaps.end());
    double rate = 2.0e9 / (double)gaps[gaps.size() / 20];
    for (int common : {250, 300, 500, 600, 1000})
        if (std::fabs(rate - common) <= common * 0.03) return common;
    return 0;
}

// Replaces the flux between the gate's opening and t by what was written.
void SimDrive::CommitWrite(int64_t t) {
    writing = false;
    writes++;
    int side = (pi >> LINE_SID) & 1;
    if (cyl >= 84) {
        written.clear();
        return;
    }
    std::vector<int64_t> &f = flux[cyl][side];
    int64_t end = Unwrapped(t);
    if (write_noise) {
        // Written off the track while the head settled: what lies there reads as noise.
        written.clear();
        for (int64_t p = write_start, i = 0; p < end; p += 4 * SIM_PS_PER_US, i++)
            written.push_back(p + (int64_t)(Mix((uint64_t)p ^ (uint64_t)i << 32) % (3 * SIM_PS_PER_US)));
    } else if (int cellrate = WrittenCellRate()) {
        written_rate[cyl][side] = cellrate;
        rewritten = true;
    }
    std::vector<int64_t> keep;
    int64_t from = write_start;
    if (end - from >= rev_ps) {
        from = end - rev_ps;  // a whole revolution or more: the last one stands
    } else {
        int64_t s = from % rev_ps, e = end % rev_ps;
        for (int64_t p : f) {
            bool inside = s <= e ? (p >= s && p < e) : (p >= s || p < e);
            if (!inside) keep.push_back(p);
        }
    }
    for (int64_t p : written)
        if (p >= from && p < end) keep.push_back(p % rev_ps);
    std::sort(keep.begin(), keep.end());
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    f.swap(keep);
    written.clear();
}

void SimDrive::Finish(int64_t t) {
    if (writing) CommitWrite(t);
    if (!cfg.save.empty()) SaveImage(cfg.save.c_str());
}
