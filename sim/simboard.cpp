// The SoC register model and the interface board's wiring.
//
// Pin levels (what GPLEV0 reads):
//   output        the latch
//   input         low while a device asserts the line, else high (the bus is
//                 pulled up; a pin with pull-down and nothing on it reads low)
//   GPIO 9        the data line from the devices: TypeA passes the bus level
//                 (low = pulse), TypeB/TypeC invert it on the board
//   GPIO 10 ALT0  the bit SPI0 is shifting out
//   GPIO 11 input board detection: high on TypeA; low on TypeB; on TypeC high
//                 once GPIO 19 has been held low for 100 us
// A line the Pi drives is asserted while its pin is an output whose latch
// holds 0: that covers TypeA (switched between input and output with the
// latch at 0) and TypeB/TypeC (kept output, level set by GPSET0/GPCLR0).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim.h"

static const int64_t kBoardDetectPs = 100 * SIM_PS_PER_US;

SimBoard::SimBoard(const SimConfig &c) : cfg(c) {
    now = 0;
    in_mask = 0x0FFFFFFF;  // every pin starts as an input
    memset(spi.tx, 0, sizeof spi.tx);
    memset(spi.rx, 0, sizeof spi.rx);
}

SimBoard::~SimBoard() {
    for (auto &f : files) close(f.first);
    if (own_dir && !dir.empty()) {
        static const char *names[] = {"ranges", "cpuinfo", "scaling_governor", "sched_rt_runtime_us",
                                      "mem", "vcio", "i2c-1"};
        for (const char *n : names) unlink(PlatformFile(n).c_str());
        rmdir(dir.c_str());
    }
}

static int WriteWholeFile(const std::string &path, const void *data, size_t len) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    int ok = write(fd, data, len) == (ssize_t)len;
    return close(fd) == 0 && ok;
}

int SimBoard::Setup(std::string *error) {
    if (cfg.dir.empty()) {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string tmpl = std::string(base && *base ? base : "/tmp");
        mkdir(tmpl.c_str(), 0755);
        tmpl += "/zelmo-sim-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) {
            *error = "cannot create a folder for the simulated board";
            return 0;
        }
        dir = buf.data();
        own_dir = true;
    } else {
        dir = cfg.dir;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir;
            return 0;
        }
    }

    // Device-tree ranges: big-endian cells child address, parent address
    // (two cells on the BCM2711), size.
    static const uint32_t ranges[4][4] = {{0x7E000000, 0x20000000, 0x02000000, 0},
                                          {0x7E000000, 0x3F000000, 0x01000000, 0},
                                          {0x7E000000, 0x3F000000, 0x01000000, 0},
                                          {0x7E000000, 0x00000000, 0xFE000000, 0x01800000}};
    int soc = cfg.soc < 1 || cfg.soc > 4 ? 3 : cfg.soc;
    uint8_t cells[16];
    for (int i = 0; i < 4; i++)
        for (int b = 0; b < 4; b++) cells[i * 4 + b] = (uint8_t)(ranges[soc - 1][i] >> (24 - 8 * b));
    static const char *parts[4] = {"0xb76", "0xc07", "0xd03", "0xd08"};
    std::string cpuinfo;
    for (int cpu = 0; cpu < (soc == 1 ? 1 : 4); cpu++) {
        char block[256];
        snprintf(block, sizeof block,
                 "processor\t: %d\nBogoMIPS\t: 38.40\nFeatures\t: fp asimd evtstrm crc32 cpuid\n"
                 "CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x0\nCPU part\t: %s\n"
                 "CPU revision\t: 4\n\n",
                 cpu, parts[soc - 1]);
        cpuinfo += block;
    }
    int ok = WriteWholeFile(PlatformFile("ranges"), cells, soc == 4 ? 16 : 12) &&
             WriteWholeFile(PlatformFile("cpuinfo"), cpuinfo.data(), cpuinfo.size());
    if (!cfg.governor.empty())
        ok = ok && WriteWholeFile(PlatformFile("scaling_governor"), cfg.governor.data(), cfg.governor.size());
    if (!cfg.rt_runtime.empty())
        ok = ok && WriteWholeFile(PlatformFile("sched_rt_runtime_us"), cfg.rt_runtime.data(), cfg.rt_runtime.size());
    // Stand-ins for the device nodes: they give real descriptors to hand out.
    if (cfg.devmem) ok = ok && WriteWholeFile(PlatformFile("mem"), "", 0);
    if (cfg.vcio) ok = ok && WriteWholeFile(PlatformFile("vcio"), "", 0);
    if (cfg.i2c) ok = ok && WriteWholeFile(PlatformFile("i2c-1"), "", 0);
    if (!ok) *error = "cannot write the platform files in " + dir;
    return ok;
}

void SimBoard::Attach(SimDevice *device) {
    std::lock_guard<std::mutex> g(lock);
    devices.push_back(device);
}

void SimBoard::Finish() {
    std::lock_guard<std::mutex> g(lock);
    if (finished) return;
    finished = true;
    Advance(now);
    for (SimDevice *d : devices) d->Finish(now);
    WriteReport();
}

// ---- Time --------------------------------------------------------------------

int SimBoard::CoreKHz(int64_t t) const {
    if (cfg.core_change_at_us >= 0 && t >= cfg.core_change_at_us * SIM_PS_PER_US) return cfg.core_change_khz;
    return cfg.core_khz;
}

void SimBoard::Tick() {
    if (std::this_thread::get_id() == clock_thread) now += cfg.tick_ps;
    Advance(now);
}

void SimBoard::Advance(int64_t t) {
    while (spi.shifting && spi.end <= t) {
        int64_t end = spi.end;
        SpiFinishByte();
        SpiMaybeStart(end);
    }
    PwmDrain(t);
}

void SimBoard::Yield(int us) {
    std::lock_guard<std::mutex> g(lock);
    int64_t until = now + (int64_t)(us < cfg.yield_us ? cfg.yield_us : us) * SIM_PS_PER_US;
    // A loop that yields wakes at the next scripted edge at the latest.
    for (SimDevice *d : devices) {
        int64_t edge = d->NextChange(now);
        if (edge > now && edge < until) until = edge;
    }
    now = until;
    Advance(now);
}

int64_t SimBoard::Now() {
    std::lock_guard<std::mutex> g(lock);
    return now;
}

// The simulator never changes the host's scheduling: requests are counted.
int SimBoard::SetScheduling(int, int) {
    std::lock_guard<std::mutex> g(lock);
    rt_requests++;
    return 1;
}
int SimBoard::PinCpu(int) { return 1; }

// ---- SPI0 ----------------------------------------------------------------------
//
// 64-byte FIFOs each way. A byte shifts while TA is set, the transmit FIFO
// holds data and the receive FIFO has room: 8 clocks back to back when
// DLEN >= 2, else 9 (an idle clock after each byte). MOSI reaches the bus and
// MISO is sampled only while GPIO 10 / 9 are in ALT0.

void SimBoard::SpiMaybeStart(int64_t t) {
    if (spi.shifting || !(spi.cs & SPI_CS_TA) || spi.txcount == 0 || spi.rxcount == 64) return;
    spi.cur = spi.tx[spi.txhead];
    spi.txhead = (spi.txhead + 1) & 63;
    spi.txcount--;
    uint32_t cdiv = spi.clk & 0xFFFF;
    if (cfg.spi_even_divider) cdiv &= ~1u;
    if (cdiv == 0) cdiv = 65536;
    int core = CoreKHz(t);
    spi.bitps = (int64_t)cdiv * 1000000000 / (core > 0 ? core : 1);
    spi.clocks = spi.dlen >= 2 ? 8 : 9;
    spi.start = t;
    spi.end = t + spi.clocks * spi.bitps;
    spi.shifting = true;
}

void SimBoard::SpiFinishByte() {
    int typea = cfg.board == 1;
    if (Function(10) == GPIO_ALT0) {
        uint32_t bits = typea ? (uint8_t)~spi.cur : spi.cur;
        for (SimDevice *d : devices) d->DataOut(spi.start, spi.bitps, bits, 8);
    }
    uint8_t in = 0;
    int alt = Function(9) == GPIO_ALT0;
    for (int i = 0; i < 8; i++) {
        int64_t ts = spi.start + i * spi.bitps + spi.bitps / 2;  // sampled mid-bit, on the rising clock
        in = (uint8_t)(in << 1 | (alt ? DataPinLevel(ts) : 0));
    }
    spi.rx[(spi.rxhead + spi.rxcount) & 63] = in;
    spi.rxcount++;
    spi.lastbit = spi.cur & 1;
    spi.shifting = false;
    spi.bytes++;
    if (spi.txcount == 0) {
        spi.starved = true;
    } else {
        if (spi.min_fill < 0 || spi.txcount < spi.min_fill) spi.min_fill = spi.txcount;
        if (spi.rxcount == 64) spi.stalls++;
    }
}

int SimBoard::MosiLevel(int64_t t) const {
    if (spi.shifting && t >= spi.start) {
        int64_t i = (t - spi.start) / spi.bitps;
        if (i < 8) return (spi.cur >> (7 - i)) & 1;
    }
    return cfg.mosi_idle_low ? 0 : spi.lastbit;
}

int SimBoard::DataPinLevel(int64_t t) {
    int asserted = 0;
    for (SimDevice *d : devices) asserted |= d->DataAsserted(t);
    return cfg.board == 1 ? !asserted : asserted;
}

// ---- PWM ---------------------------------------------------------------------------
//
// The clock manager feeds PLLD (500 MHz, 750 MHz on the BCM2711) through the
// integer divisor; each channel that uses the FIFO takes one word every range
// clocks, so the shared 16-word FIFO drains at the sample rate per channel.

void SimBoard::PwmDrain(int64_t t) {
    uint32_t divi = (pwm.cmdiv >> 12) & 0xFFF;
    int running = (pwm.cmctl & 0x10) && (pwm.cmctl & 0xF) == 6 && divi > 0;
    int channels = ((pwm.ctl & 0x21) == 0x21) + ((pwm.ctl & 0x2100) == 0x2100);
    if (!running || channels == 0 || pwm.fifo == 0 || pwm.rng1 == 0) {
        pwm.drained_at = t;
        return;
    }
    int64_t plld_mhz = cfg.soc == 4 ? 750 : 500;
    int64_t word_ps = (int64_t)pwm.rng1 * divi * SIM_PS_PER_US / plld_mhz / channels;
    int64_t words = (t - pwm.drained_at) / word_ps;
    if (words >= pwm.fifo) {
        pwm.fifo = 0;
        pwm.drained_at = t;
    } else {
        pwm.fifo -= (int)words;
        pwm.drained_at += words * word_ps;
    }
}

// ---- GPIO ----------------------------------------------------------------------------

int SimBoard::Function(int pin) { return (int)((fsel[pin / 10] >> ((pin % 10) * 3)) & 7); }
int SimBoard::Latch(int pin) { return (int)((latch >> pin) & 1); }
int SimBoard::Pull(int pin) { return pull[pin & 31]; }

uint32_t SimBoard::ComputeLevel() {
    uint32_t dev = 0;
    for (SimDevice *d : devices) dev |= d->Asserted(now);
    // Plain inputs read high unless a device asserts the line or a pull-down holds them.
    uint32_t plain = in_mask & ~(1u << 9 | 1u << 11);
    uint32_t level = (out_mask & latch) | (plain & ~dev & ~pulldown_mask);
    int f9 = Function(9);
    if (f9 == GPIO_INPUT || f9 == GPIO_ALT0) level |= (uint32_t)DataPinLevel(now) << 9;
    if (Function(10) == GPIO_ALT0) level |= (uint32_t)MosiLevel(now) << 10;
    if (in_mask & (1u << 11)) {
        int bit = cfg.board == 1 ? !(dev & (1u << 11))
                  : cfg.board == 3 ? pin19_low_since >= 0 && now - pin19_low_since >= kBoardDetectPs
                                   : 0;
        level |= (uint32_t)bit << 11;
    }
    return level;
}

// Tells the devices about every line the Pi asserted or released.
void SimBoard::GpioChanged() {
    out_mask = in_mask = 0;
    for (int pin = 0; pin < 28; pin++) {
        int f = Function(pin);
        if (f == GPIO_OUTPUT) out_mask |= 1u << pin;
        if (f == GPIO_INPUT) in_mask |= 1u << pin;
    }
    uint32_t mask = out_mask & ~latch & ~(1u << 9 | 1u << 10);
    uint32_t changed = mask ^ pi_mask;
    uint32_t before = pi_mask;
    pi_mask = mask;
    if (!changed) return;
    if (changed & (1u << 19)) pin19_low_since = (mask & (1u << 19)) ? now : -1;
    // TypeB/TypeC: the rising edge of GPIO 8 loads the disk latch from GPIO 16 and 20.
    if (cfg.board != 1 && (before & (1u << 8)) && !(mask & (1u << 8)))
        latch_disks = ((mask >> 16) & 1) | ((mask >> 20) & 1) << 1;
    for (int pin = 0; pin < 28; pin++)
        if (changed & (1u << pin))
            for (SimDevice *d : devices) d->LineChanged(pin, (mask >> pin) & 1, now);
}

void SimBoard::PullsChanged() {
    pulldown_mask = 0;
    for (int pin = 0; pin < 32; pin++)
        if (pull[pin] == PULL_DOWN) pulldown_mask |= 1u << pin;
}

uint32_t SimBoard::Level() {
    std::lock_guard<std::mutex> g(lock);
    return ComputeLevel();
}
uint32_t SimBoard::PiAsserted() {
    std::lock_guard<std::mutex> g(lock);
    return pi_mask;
}
uint32_t SimBoard::Pads() {
    std::lock_guard<std::mutex> g(lock);
    return pads;
}
uint64_t SimBoard::WriteCount(uint32_t offset) {
    std::lock_guard<std::mutex> g(lock);
    auto it = write_counts.find(offset);
    return it == write_counts.end() ? 0 : it->second;
}
uint64_t SimBoard::TotalWrites() {
    std::lock_guard<std::mutex> g(lock);
    uint64_t n = 0;
    for (auto &w : write_counts) n += w.second;
    return n;
}

// ---- Register access -------------------------------------------------------------------

int SimBoard::MapWindow(int fd, uint64_t, size_t, volatile uint32_t **window) {
    std::lock_guard<std::mutex> g(lock);
    auto it = files.find(fd);
    if (it == files.end() || it->second != FILE_MEM) return 0;
    *window = nullptr;  // registers are served through Read / Write
    return 1;
}

uint32_t SimBoard::Read(uint32_t offset) {
    std::lock_guard<std::mutex> g(lock);
    Tick();
    return ReadLocked(offset);
}

void SimBoard::Write(uint32_t offset, uint32_t value) {
    std::lock_guard<std::mutex> g(lock);
    Tick();
    write_counts[offset]++;
    WriteLocked(offset, value);
}

uint32_t SimBoard::ReadLocked(uint32_t off) {
    if (off >= GPIO_OFFSET && off < GPIO_OFFSET + 0x100) {
        uint32_t r = off - GPIO_OFFSET;
        if (r < 0x18) return fsel[r / 4];
        if (r == GPIO_LEV0) return ComputeLevel();
        if (r >= GPIO_PUPPDN0 && r < GPIO_PUPPDN0 + 16) return cfg.soc == 4 ? pupdn[(r - GPIO_PUPPDN0) / 4] : 0;
        return 0;
    }
    if (off >= SPI0_OFFSET && off < SPI0_OFFSET + 0x20) {
        switch (off - SPI0_OFFSET) {
        case SPI_CS: {
            uint32_t v = spi.cs & 0xFFFF;
            if ((spi.cs & SPI_CS_TA) && spi.txcount == 0 && !spi.shifting) v |= SPI_CS_DONE;
            if (spi.rxcount) v |= SPI_CS_RXD;
            if (spi.txcount < 64) v |= SPI_CS_TXD;
            if (spi.rxcount >= 48) v |= 1u << 19;  // RXR
            if (spi.rxcount == 64) v |= 1u << 20;  // RXF
            return v;
        }
        case SPI_FIFO: {
            if (!spi.rxcount) return 0;
            uint32_t v = spi.rx[spi.rxhead];
            spi.rxhead = (spi.rxhead + 1) & 63;
            spi.rxcount--;
            SpiMaybeStart(now);
            return v;
        }
        case SPI_CLK: return spi.clk;
        case SPI_DLEN: return spi.dlen;
        }
        return 0;
    }
    if (off == SYST_OFFSET + SYST_CLO || off == SYST_OFFSET + SYST_CHI) {
        uint64_t us = cfg.clock_start_us + (uint64_t)(now / SIM_PS_PER_US);
        return off == SYST_OFFSET + SYST_CLO ? (uint32_t)us : (uint32_t)(us >> 32);
    }
    if (off == ARMT_OFFSET + ARMT_CTRL) return armctrl;
    if (off == PADS_OFFSET + PADS_GPIO0) return pads;
    if (off == CLK_OFFSET + CM_PWMCTL) return (pwm.cmctl & 0x7F) | ((pwm.cmctl & 0x10) ? 0x80 : 0);
    if (off == CLK_OFFSET + CM_PWMDIV) return pwm.cmdiv & 0xFFFFFF;
    if (off >= PWM_OFFSET && off < PWM_OFFSET + 0x28) {
        switch (off - PWM_OFFSET) {
        case PWM_CTL: return pwm.ctl;
        case PWM_STA: return (pwm.fifo >= 16 ? 1u : 0u) | (pwm.fifo == 0 ? 2u : 0u);
        case PWM_RNG1: return pwm.rng1;
        case PWM_RNG2: return pwm.rng2;
        }
    }
    return 0;
}

void SimBoard::WriteLocked(uint32_t off, uint32_t v) {
    if (off >= GPIO_OFFSET && off < GPIO_OFFSET + 0x100) {
        uint32_t r = off - GPIO_OFFSET;
        if (r < 0x18) {
            fsel[r / 4] = v & 0x3FFFFFFF;
            GpioChanged();
        } else if (r == GPIO_SET0) {
            latch |= v;
            GpioChanged();
        } else if (r == GPIO_CLR0) {
            latch &= ~v;
            GpioChanged();
        } else if (r == GPIO_PUD && cfg.soc != 4) {
            pud = v & 3;
        } else if (r == GPIO_PUDCLK0 && cfg.soc != 4) {
            for (int pin = 0; pin < 32; pin++)
                if (v & (1u << pin)) pull[pin] = (uint8_t)(pud == 3 ? 0u : pud);
            PullsChanged();
        } else if (r >= GPIO_PUPPDN0 && r < GPIO_PUPPDN0 + 16 && cfg.soc == 4) {
            int reg = (int)(r - GPIO_PUPPDN0) / 4;
            pupdn[reg] = v;
            static const uint8_t decode[4] = {PULL_NONE, PULL_UP, PULL_DOWN, PULL_NONE};
            for (int i = 0; i < 16 && reg * 16 + i < 32; i++) pull[reg * 16 + i] = decode[(v >> (2 * i)) & 3];
            PullsChanged();
        }
        return;
    }
    if (off >= SPI0_OFFSET && off < SPI0_OFFSET + 0x20) {
        switch (off - SPI0_OFFSET) {
        case SPI_CS:
            if (v & SPI_CS_CLEAR_TX) spi.txcount = 0;
            if (v & SPI_CS_CLEAR_RX) spi.rxcount = 0;
            if (!(v & SPI_CS_TA)) {
                spi.shifting = false;  // a byte on its way is cut off
                spi.starved = false;
            }
            spi.cs = v & 0xFFFF & ~(SPI_CS_CLEAR_TX | SPI_CS_CLEAR_RX);
            SpiMaybeStart(now);
            break;
        case SPI_FIFO:
            if (!(spi.cs & SPI_CS_TA)) break;
            if (spi.txcount == 64) {
                spi.lost++;  // a write to a full FIFO is lost
                break;
            }
            if (spi.starved) {
                spi.underruns++;  // the line ran dry in the middle of a stream
                spi.min_fill = 0;
                spi.starved = false;
            }
            spi.tx[(spi.txhead + spi.txcount) & 63] = (uint8_t)v;
            spi.txcount++;
            SpiMaybeStart(now);
            break;
        case SPI_CLK: spi.clk = v & 0xFFFF; break;
        case SPI_DLEN: spi.dlen = v & 0xFFFF; break;
        }
        return;
    }
    if (off == ARMT_OFFSET + ARMT_CTRL) {
        armctrl = v;
    } else if (off == PADS_OFFSET + PADS_GPIO0) {
        if ((v >> 24) == 0x5A) pads = v & 0x1F;  // writes without the password are ignored
    } else if (off == CLK_OFFSET + CM_PWMCTL || off == CLK_OFFSET + CM_PWMDIV) {
        if ((v >> 24) != 0x5A) return;
        PwmDrain(now);
        if (off == CLK_OFFSET + CM_PWMDIV) pwm.cmdiv = v & 0xFFFFFF;
        else pwm.cmctl = (v & 0x20) ? (v & 0x0F) : (v & 0x1F);  // kill stops the clock at once
    } else if (off >= PWM_OFFSET && off < PWM_OFFSET + 0x28) {
        PwmDrain(now);
        switch (off - PWM_OFFSET) {
        case PWM_CTL:
            if (v & 0x40) pwm.fifo = 0;  // CLRF1
            pwm.ctl = v & ~0x40u;
            break;
        case PWM_RNG1: pwm.rng1 = v; break;
        case PWM_RNG2: pwm.rng2 = v; break;
        case PWM_FIF1:
            if (pwm.fifo < 16) {
                if (pwm.fifo == 0) pwm.drained_at = now;
                pwm.fifo++;
                pwm.written++;
            }
            break;
        }
    }
}

// ---- Platform files ------------------------------------------------------------------------

std::string SimBoard::MapPath(const char *path, FileKind *kind) const {
    static const struct {
        const char *path, *name;
        FileKind kind;
    } table[] = {
        {"/proc/device-tree/soc/ranges", "ranges", FILE_PLAIN},
        {"/proc/cpuinfo", "cpuinfo", FILE_PLAIN},
        {"/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "scaling_governor", FILE_SETTING},
        {"/proc/sys/kernel/sched_rt_runtime_us", "sched_rt_runtime_us", FILE_SETTING},
        {"/dev/mem", "mem", FILE_MEM},
        {"/dev/vcio", "vcio", FILE_VCIO},
        {"/dev/i2c-1", "i2c-1", FILE_I2C},
    };
    for (const auto &row : table) {
        if (strcmp(path, row.path) == 0) {
            *kind = row.kind;
            return PlatformFile(row.name);
        }
    }
    return "";
}

int SimBoard::OpenFile(const char *path, int flags) {
    FileKind kind = FILE_PLAIN;
    std::string mapped = path ? MapPath(path, &kind) : "";
    // Nothing outside the board's own folder is ever opened.
    if (mapped.empty() || (kind == FILE_PLAIN && (flags & O_ACCMODE) != O_RDONLY)) {
        errno = EACCES;
        return -1;
    }
    int fd = open(mapped.c_str(), (flags & O_ACCMODE) | O_CLOEXEC);
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> g(lock);
    files[fd] = kind;
    return fd;
}

int SimBoard::Exists(const char *path) {
    FileKind kind;
    std::string mapped = path ? MapPath(path, &kind) : "";
    return !mapped.empty() && access(mapped.c_str(), F_OK) == 0;
}

long SimBoard::WriteFile(int fd, const void *buf, size_t len) {
    std::unique_lock<std::mutex> g(lock);
    auto it = files.find(fd);
    FileKind kind = it == files.end() ? FILE_PLAIN : it->second;
    if (kind == FILE_I2C) {
        Tick();
        for (SimDevice *d : devices) d->I2CWrite(i2c_addr, static_cast<const uint8_t *>(buf), (int)len, now);
        return (long)len;
    }
    g.unlock();
    if (kind == FILE_SETTING) {
        // A kernel setting is replaced as a whole by each write.
        if (ftruncate(fd, 0) != 0) return -1;
        return (long)pwrite(fd, buf, len, 0);
    }
    return (long)write(fd, buf, len);
}

int SimBoard::CloseFile(int fd) {
    {
        std::lock_guard<std::mutex> g(lock);
        files.erase(fd);
    }
    return close(fd);
}

int SimBoard::Ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> g(lock);
    auto it = files.find(fd);
    if (it == files.end()) {
        errno = EBADF;
        return -1;
    }
    if (it->second == FILE_I2C && request == 0x0703) {  // I2C_SLAVE
        i2c_addr = (int)(uintptr_t)arg;
        return 0;
    }
    if (it->second == FILE_VCIO && request == 0xC0086400 && arg) {
        // Firmware property request: only the core's clock rate ("get clock rate" and
        // "get maximum clock rate", the same here) is answered.
        uint32_t *msg = static_cast<uint32_t *>(arg);
        if (msg[0] >= 32 && (msg[2] == 0x00030004 || msg[2] == 0x00030002) && msg[5] == 4) {
            msg[1] = 0x80000000;
            msg[4] = 0x80000008;
            msg[6] = (uint32_t)CoreKHz(now) * 1000;
        } else {
            msg[1] = 0x80000001;
        }
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

// ---- Report ---------------------------------------------------------------------------------

static const char *RegisterName(uint32_t off) {
    static const struct {
        uint32_t off;
        const char *name;
    } names[] = {
        {GPIO_OFFSET + 0x00, "GPFSEL0"}, {GPIO_OFFSET + 0x04, "GPFSEL1"}, {GPIO_OFFSET + 0x08, "GPFSEL2"},
        {GPIO_OFFSET + 0x0C, "GPFSEL3"}, {GPIO_OFFSET + GPIO_SET0, "GPSET0"}, {GPIO_OFFSET + GPIO_CLR0, "GPCLR0"},
        {GPIO_OFFSET + GPIO_PUD, "GPPUD"}, {GPIO_OFFSET + GPIO_PUDCLK0, "GPPUDCLK0"},
        {GPIO_OFFSET + GPIO_PUPPDN0, "GPIO_PUP_PDN_CNTRL_REG0"}, {GPIO_OFFSET + GPIO_PUPPDN1, "GPIO_PUP_PDN_CNTRL_REG1"},
        {PADS_OFFSET + PADS_GPIO0, "PADS0"}, {SPI0_OFFSET + SPI_CS, "SPI_CS"}, {SPI0_OFFSET + SPI_FIFO, "SPI_FIFO"},
        {SPI0_OFFSET + SPI_CLK, "SPI_CLK"}, {SPI0_OFFSET + SPI_DLEN, "SPI_DLEN"}, {PWM_OFFSET + PWM_CTL, "PWM_CTL"},
        {PWM_OFFSET + PWM_RNG1, "PWM_RNG1"}, {PWM_OFFSET + PWM_RNG2, "PWM_RNG2"}, {PWM_OFFSET + PWM_FIF1, "PWM_FIF1"},
        {CLK_OFFSET + CM_PWMCTL, "CM_PWMCTL"}, {CLK_OFFSET + CM_PWMDIV, "CM_PWMDIV"},
        {ARMT_OFFSET + ARMT_CTRL, "ARM_TIMER_CTRL"},
    };
    for (const auto &n : names)
        if (n.off == off) return n.name;
    return nullptr;
}

void SimBoard::WriteReport() {
    if (cfg.report.empty()) return;
    FILE *f = fopen(cfg.report.c_str(), "w");
    if (!f) return;
    fprintf(f, "virtual_time_us = %lld\n", (long long)(now / SIM_PS_PER_US));
    fprintf(f, "spi_bytes = %lld\n", (long long)spi.bytes);
    fprintf(f, "spi_min_tx_fill = %d\n", spi.min_fill);
    fprintf(f, "spi_underruns = %d\n", spi.underruns);
    fprintf(f, "spi_lost_writes = %lld\n", (long long)spi.lost);
    fprintf(f, "spi_rx_full_stalls = %lld\n", (long long)spi.stalls);
    fprintf(f, "pwm_samples = %llu\n", (unsigned long long)pwm.written);
    fprintf(f, "realtime_requests = %d\n", rt_requests);
    fprintf(f, "pins_asserted_at_exit =");
    for (int pin = 0; pin < 28; pin++)
        if (pi_mask & (1u << pin)) fprintf(f, " %d", pin);
    fprintf(f, "\n");
    for (auto &w : write_counts) {
        const char *name = RegisterName(w.first);
        if (name) fprintf(f, "writes.%s = %llu\n", name, (unsigned long long)w.second);
        else fprintf(f, "writes.0x%06X = %llu\n", w.first, (unsigned long long)w.second);
    }
    fclose(f);
}
