// GPIO core: the seam's real-board platform, mapping, SoC detection, kernel
// settings, pads, pulls, board detection and the pins' safe state.
#include "gpioctl.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

// ---- The real board --------------------------------------------------------

int HwPlatform::MapWindow(int fd, uint64_t base, size_t len, volatile uint32_t **window) {
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)base);
    if (p == MAP_FAILED) return 0;
    *window = static_cast<volatile uint32_t *>(p);
    return 1;
}
uint32_t HwPlatform::Read(uint32_t) { return 0; }
void HwPlatform::Write(uint32_t, uint32_t) {}
int HwPlatform::OpenFile(const char *path, int flags) { return open(path, flags); }
int HwPlatform::Exists(const char *path) { return access(path, F_OK) == 0; }
long HwPlatform::ReadFile(int fd, void *buf, size_t len) { return (long)read(fd, buf, len); }
long HwPlatform::ReadFileAt(int fd, void *buf, size_t len, long offset) {
    return (long)pread(fd, buf, len, (off_t)offset);
}
long HwPlatform::WriteFile(int fd, const void *buf, size_t len) { return (long)write(fd, buf, len); }
int HwPlatform::CloseFile(int fd) { return close(fd); }
int HwPlatform::Ioctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }
void HwPlatform::Yield(int us) { usleep((useconds_t)(us < 0 ? 0 : us)); }
int HwPlatform::SetScheduling(int policy, int priority) {
    sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), policy, &sp) == 0;
}
int HwPlatform::PinCpu(int cpu) {
    if (cpu < 0) return 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

static HwPlatform realboard;
namespace hwseam {
HwPlatform *platform = &realboard;
volatile uint32_t *window = nullptr;
}  // namespace hwseam

using hwseam::RegRead;
using hwseam::RegWrite;

// ---- System timer ----------------------------------------------------------

uint32_t SysTimer::systaddr = SYST_OFFSET;
uint32_t SysTimer::armtaddr = ARMT_OFFSET;

void SysTimer::Init(uint32_t syst, uint32_t armt) {
    systaddr = syst;
    armtaddr = armt;
    // 32-bit counter, timer and free-running counter enabled, prescaler 0.
    RegWrite(armtaddr + ARMT_CTRL, 0x282);
}

uint64_t SysTimer::GetTimer() {
    uint32_t hi, lo;
    do {
        hi = GetTimerHigh();
        lo = GetTimerLow();
    } while (hi != GetTimerHigh());
    return (uint64_t)hi << 32 | lo;
}

void SysTimer::DelayUs(uint32_t us) {
    if (us == 0) return;
    uint32_t start = GetTimerLow();
    while (GetTimerLow() - start < us) {
    }
}

// ---- GPIOCTL core ----------------------------------------------------------

// The 21 interface pins handled as a group, in the order they are switched.
static const int kInterfacePins[21] = {18, 17, 5, 6, 19, 21, 26, 0, 12, 1, 7, 23, 16, 20, 13, 27, 25, 24, 22, 8, 11};
// Front-panel buttons, inputs with pull-up.
static const int kButtonPins[3] = {4, 15, 14};

static const char kRangesPath[] = "/proc/device-tree/soc/ranges";
static const char kCpuinfoPath[] = "/proc/cpuinfo";
static const char kGovernorPath[] = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor";
static const char kRtRuntimePath[] = "/proc/sys/kernel/sched_rt_runtime_us";
static const char kMemPath[] = "/dev/mem";
static const char kVcioPath[] = "/dev/vcio";
static const char kI2cPath[] = "/dev/i2c-1";

GPIOCTL::GPIOCTL()
    : mode(MODE_EMULATOR), baseaddr(0), soctype(0), board(0), pro(0), gpioaddr(GPIO_OFFSET),
      levaddr(GPIO_OFFSET + GPIO_LEV0), padsaddr(PADS_OFFSET), spiaddr(SPI0_OFFSET), i2caddr(BSC1_OFFSET),
      clkaddr(CLK_OFFSET), pwmaddr(PWM_OFFSET), signals(0), i2cavail(0), i2cfd(-1), corefreq(0), mapped(0),
      padsaved(0) {
    memset(gpfsel, 0, sizeof gpfsel);
    memset(governor, 0, sizeof governor);
    memset(rtruntime, 0, sizeof rtruntime);
}

void GPIOCTL::SetPlatform(HwPlatform *platform) {
    hwseam::platform = platform ? platform : &realboard;
    hwseam::window = nullptr;
}

// Big-endian 32-bit cell of the device-tree ranges file at offset, or 0 on a short read.
static uint32_t ReadRangesCell(int fd, long offset) {
    uint8_t b[4];
    if (hwseam::platform->ReadFileAt(fd, b, 4, offset) != 4) return 0;
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

// Peripheral base from the device tree: the parent address of the first
// range, which is the second cell, or the third on the BCM2711 layout whose
// parent addresses take two cells (the first of them 0).
static uint64_t PeripheralBase() {
    HwPlatform *p = hwseam::platform;
    uint64_t base = 0x20000000;
    int fd = p->OpenFile(kRangesPath, O_RDONLY);
    if (fd < 0) return base;
    uint32_t cell = ReadRangesCell(fd, 4);
    if (cell == 0) cell = ReadRangesCell(fd, 8);
    if (cell != 0 && cell != 0xFFFFFFFF) base = cell;
    p->CloseFile(fd);
    return base;
}

// True when a line of /proc/cpuinfo names the Cortex-A53 (BCM2837).
static int CpuIsA53() {
    HwPlatform *p = hwseam::platform;
    int fd = p->OpenFile(kCpuinfoPath, O_RDONLY);
    if (fd < 0) return 0;
    char buf[4096 + 1];
    char line[257];
    int linelen = 0, found = 0;
    long n;
    while (!found && (n = p->ReadFile(fd, buf, sizeof buf - 1)) > 0) {
        for (long i = 0; i < n && !found; i++) {
            if (buf[i] != '\n') line[linelen++] = buf[i];
            if (buf[i] == '\n' || linelen == 256) {  // over-long lines are taken in 256-byte pieces
                line[linelen] = 0;
                found = strstr(line, "CPU part") && strstr(line, "0xd03");
                linelen = 0;
            }
        }
    }
    if (!found && linelen > 0) {
        line[linelen] = 0;
        found = strstr(line, "CPU part") && strstr(line, "0xd03");
    }
    p->CloseFile(fd);
    return found;
}

// Saves the kernel setting in path into saved (up to 20 bytes) and writes value.
void GPIOCTL::ReadSetting(const char *path, char *saved, const char *value, int len) {
    HwPlatform *p = hwseam::platform;
    memset(saved, 0, 21);
    int fd = p->OpenFile(path, O_RDWR | O_SYNC);
    if (fd < 0) return;
    long n = p->ReadFile(fd, saved, 20);
    if (n < 0) saved[0] = 0;
    p->CloseFile(fd);
    fd = p->OpenFile(path, O_RDWR | O_SYNC);
    if (fd < 0) return;
    p->WriteFile(fd, value, (size_t)len);
    p->CloseFile(fd);
}

void GPIOCTL::RestoreSetting(const char *path, const char *saved) {
    if (saved[0] == 0) return;
    HwPlatform *p = hwseam::platform;
    int fd = p->OpenFile(path, O_RDWR | O_SYNC);
    if (fd < 0) return;
    p->WriteFile(fd, saved, strlen(saved));
    p->CloseFile(fd);
}

int GPIOCTL::MapGpioMem() {
    HwPlatform *p = hwseam::platform;
    uint64_t base = PeripheralBase();

    int fd = p->OpenFile(kMemPath, O_RDWR | O_SYNC);
    if (fd < 0) return 0;
    volatile uint32_t *win = nullptr;
    int ok = p->MapWindow(fd, base, HW_WINDOW_SIZE, &win);
    p->CloseFile(fd);
    if (!ok) return 0;
    hwseam::window = win;
    baseaddr = base;

    if (base == 0xFE000000) soctype = 4;
    else if (base == 0x3F000000) soctype = CpuIsA53() ? 3 : 2;
    else soctype = 1;

    ReadSetting(kGovernorPath, governor, "performance", 11);
    ReadSetting(kRtRuntimePath, rtruntime, "-1", 2);

    gpioaddr = GPIO_OFFSET;
    levaddr = GPIO_OFFSET + GPIO_LEV0;
    padsaddr = PADS_OFFSET;
    spiaddr = SPI0_OFFSET;
    i2caddr = BSC1_OFFSET;
    clkaddr = CLK_OFFSET;
    pwmaddr = PWM_OFFSET;
    SysTimer::Init(SYST_OFFSET, ARMT_OFFSET);
    mapped = 1;
    return 1;
}

// Firmware mailbox: a clock rate of the core in kHz, or 0 when not answered.
// Tag 0x00030004 asks for the maximum, 0x00030002 for the rate it runs at now.
enum : uint32_t { TAG_CLOCK_RATE = 0x00030002, TAG_MAX_CLOCK_RATE = 0x00030004 };
static int QueryCoreClock(uint32_t tag) {
    HwPlatform *p = hwseam::platform;
    int fd = p->OpenFile(kVcioPath, O_RDONLY);
    if (fd < 0) return 0;
    // size, request, tag, value size, indicator, clock id 4 (core), rate, end tag
    uint32_t msg[8] = {32, 0, tag, 8, 0, 4, 0, 0};
    int r = p->Ioctl(fd, 0xC0086400, msg);
    p->CloseFile(fd);
    if (r < 0 || msg[1] != 0x80000000u) return 0;
    return (int)(msg[6] / 1000);
}

int GPIOCTL::RefreshCoreClock() {
    int clk = QueryCoreClock(TAG_CLOCK_RATE);
    if (clk <= 0) clk = QueryCoreClock(TAG_MAX_CLOCK_RATE);
    if (clk <= 0 || clk == corefreq) return 0;
    corefreq = clk;
    return 1;
}

int GPIOCTL::Init(mode_e m) {
    if (!MapGpioMem()) return 0;

    // Pads of GPIO 0-27 to 16 mA; the strength found is restored by Cleanup.
    uint32_t pads = RegRead(padsaddr + PADS_GPIO0);
    padsaved = pads & 7;
    RegWrite(padsaddr + PADS_GPIO0, pads | 0x5A000007);

    mode = m;
    for (int pin : kInterfacePins) PinConfig(pin, GPIO_INPUT);
    for (int pin : kInterfacePins) PullConfig(pin, PULL_NONE);
    for (int pin : kInterfacePins) PinSetSignal(pin, 0);
    for (int pin : kButtonPins) {
        PinConfig(pin, GPIO_INPUT);
        PullConfig(pin, PULL_UP);
    }

    // Board detection: TypeA holds GPIO 11 high. TypeB and TypeC hold it low;
    // TypeC raises it once GPIO 19 is pulled low.
    pro = 0;
    if (PinGetSignal(11)) {
        board = BOARD_TYPEA;
    } else {
        board = BOARD_TYPEBC;
        PinConfig(19, GPIO_OUTPUT);
        SysTimer::DelayUs(1000);
        pro = PinGetSignal(11);
    }

    InitSpi();

    if (mode == MODE_EMULATOR) {
        InitI2C();
        i2cfd = OpenI2C(0x3C);
        if (i2cfd >= 0) {
            static const uint8_t off[2] = {0x00, 0xAE};  // command stream: display off
            if (WriteI2C(i2cfd, off, 2) != 2) {
                CloseI2C(i2cfd);
                i2cfd = -1;
            }
        }
        InitPWM();
    }

    corefreq = soctype == 4 ? 500000 : 400000;
    int clk = QueryCoreClock(TAG_MAX_CLOCK_RATE);
    if (clk > 0) corefreq = clk;
    return 1;
}

void GPIOCTL::PinsToInput() {
    for (int pin : kInterfacePins) PinConfig(pin, GPIO_INPUT);
}

void GPIOCTL::Reset() {
    if (!mapped) return;
    PinsToInput();
    PinSetSignal(17, 0);
    PinConfig(17, GPIO_OUTPUT);
    if (mode == MODE_CONTROLLER) {
        PinSetSignal(18, 1);
        PinConfig(18, GPIO_OUTPUT);
        if (board != BOARD_TYPEA) {
            static const int outs[] = {0, 12, 1, 7, 23, 21, 26, 16, 20, 5, 6, 19};
            for (int pin : outs) {
                PinSetSignal(pin, 1);
                PinConfig(pin, GPIO_OUTPUT);
            }
        }
    } else {
        PinSetSignal(18, 0);
        PinConfig(18, GPIO_OUTPUT);
        if (board != BOARD_TYPEA) {
            static const int released[] = {27, 22, 24, 5, 25, 6, 22, 8, 19};
            static const int outs[] = {27, 22, 24, 5, 25, 6, 8, 19};
            for (int pin : released) PinSetSignal(pin, 1);
            for (int pin : outs) PinConfig(pin, GPIO_OUTPUT);
        }
    }
    ResetSpi();
    for (int i = 0; i < 4; i++) gpfsel[i] = RegRead(gpioaddr + GPIO_FSEL0 + 4 * i);
    signals = 0;
}

void GPIOCTL::Cleanup() {
    if (!mapped) return;
    Reset();
    if (mode == MODE_EMULATOR) {
        CleanupPWM();
        if (i2cfd >= 0) CloseI2C(i2cfd);
        i2cfd = -1;
    }
    CleanupSpi();
    PinsToInput();
    for (int pin : kInterfacePins) PullConfig(pin, PULL_NONE);
    for (int pin : kButtonPins) PullConfig(pin, PULL_NONE);
    RestoreSetting(kGovernorPath, governor);
    RestoreSetting(kRtRuntimePath, rtruntime);
    uint32_t pads = RegRead(padsaddr + PADS_GPIO0);
    RegWrite(padsaddr + PADS_GPIO0, (pads & ~7u) | padsaved | 0x5A000000);
}

uint32_t GPIOCTL::Aquire() {
    signals = ~RegRead(levaddr);
    return signals;
}

void GPIOCTL::UpdateFsel(int pin, int function, bool always) {
    int reg = pin / 10, shift = (pin % 10) * 3;
    while (fsellock.test_and_set(std::memory_order_acquire)) {
    }
    uint32_t word = (gpfsel[reg] & ~(7u << shift)) | (uint32_t)(function & 7) << shift;
    if (always || word != gpfsel[reg]) {
        RegWrite(gpioaddr + GPIO_FSEL0 + 4 * reg, word);
        gpfsel[reg] = word;
    }
    fsellock.clear(std::memory_order_release);
}

void GPIOCTL::PinConfig(int pin, int function) {
    if (pin < 0 || pin >= 40) return;
    // The register is read afresh, and the shadow follows it, so the TypeA
    // line operations never switch a pin back that was configured here (the
    // SPI pins in ALT0 share GPFSEL0/1 with DIN and INT).
    int reg = pin / 10;
    while (fsellock.test_and_set(std::memory_order_acquire)) {
    }
    gpfsel[reg] = RegRead(gpioaddr + GPIO_FSEL0 + 4 * reg);
    fsellock.clear(std::memory_order_release);
    UpdateFsel(pin, function, true);
}

void GPIOCTL::PullConfig(int pin, int pull) {
    if (pin < 0 || pin >= 32) return;
    if (soctype != 4) {
        RegWrite(gpioaddr + GPIO_PUD, (uint32_t)pull & 3);
        SysTimer::DelayUs(2);
        RegWrite(gpioaddr + GPIO_PUDCLK0, 1u << pin);
        SysTimer::DelayUs(2);
        RegWrite(gpioaddr + GPIO_PUD, 0);
        RegWrite(gpioaddr + GPIO_PUDCLK0, 0);
        return;
    }
    if (pull < 0 || pull >= 3) return;
    static const uint32_t code[3] = {0, 2, 1};  // none, down, up in the BCM2711 encoding
    uint32_t reg = gpioaddr + ((pin & 16) ? GPIO_PUPPDN1 : GPIO_PUPPDN0);
    int shift = (pin & 15) * 2;
    RegWrite(reg, (RegRead(reg) & ~(3u << shift)) | code[pull] << shift);
}

int GPIOCTL::PinGetSignal(int pin) {
    if (pin < 0 || pin >= 32) return 0;
    return (int)((RegRead(levaddr) >> pin) & 1);
}

void GPIOCTL::PinSetSignal(int pin, int level) {
    if (pin < 0 || pin >= 32) return;
    RegWrite(gpioaddr + (level ? GPIO_SET0 : GPIO_CLR0), 1u << pin);
}

uint32_t GPIOCTL::DrvConfig(uint32_t strength) {
    uint32_t word = (RegRead(padsaddr + PADS_GPIO0) & ~7u) | (strength & 7) | 0x5A000000;
    RegWrite(padsaddr + PADS_GPIO0, word);
    return word;
}
