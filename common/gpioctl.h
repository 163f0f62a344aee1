// The Raspberry Pi hardware layer: GPIO pins wired through the interface board
// to the 34-pin floppy bus, SPI0 as the shift register of the data line, I2C
// for the front-panel display, PWM for sound, pad drive strength and the
// free-running microsecond timer.
//
// Everything goes through one seam, HwPlatform: register accesses on an
// offset into the peripheral window (RegRead / RegWrite below) and every
// platform file (/dev/mem, the device tree, cpuinfo, the governor and
// real-time throttling files, the firmware mailbox, the I2C bus). The base
// class is the real board: /dev/mem mapped, registers reached by volatile
// loads and stores, files through POSIX calls. The simulated board (sim/)
// derives from it and is installed with GPIOCTL::SetPlatform before Init.
//
// Register blocks, as offsets from the peripheral base (window 0x1000100 bytes):
//   0x003000 system timer   CLO +0x04, CHI +0x08
//   0x00B000 ARM timer      control +0x408
//   0x100000 pads           GPIO 0-27 +0x2C
//   0x101000 clock manager  CM_PWMCTL +0xA0, CM_PWMDIV +0xA4
//   0x200000 GPIO           GPFSEL0-3 +0x00.., GPSET0 +0x1C, GPCLR0 +0x28,
//                           GPLEV0 +0x34, GPPUD +0x94, GPPUDCLK0 +0x98,
//                           GPIO_PUP_PDN_CNTRL_REG0/1 +0xE4/+0xE8
//   0x204000 SPI0           CS +0x00, FIFO +0x04, CLK +0x08, DLEN +0x0C
//   0x20C000 PWM            CTL +0x00, STA +0x04, RNG1 +0x10, FIF1 +0x18, RNG2 +0x20
//   0x804000 BSC1           mapped, unused (I2C goes through the kernel driver)
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>

// The platform behind the hardware layer. The base class is the real board.
class HwPlatform {
  public:
    virtual ~HwPlatform() {}

    // Maps len bytes of physical memory at base through fd (an open /dev/mem).
    // On success *window is the mapped window for direct volatile access, or
    // null when this platform serves registers through Read / Write.
    virtual int MapWindow(int fd, uint64_t base, size_t len, volatile uint32_t **window);
    // Register access by offset; used only when MapWindow gave no window.
    virtual uint32_t Read(uint32_t offset);
    virtual void Write(uint32_t offset, uint32_t value);

    // Platform files.
    virtual int OpenFile(const char *path, int flags);
    virtual int Exists(const char *path);
    virtual long ReadFile(int fd, void *buf, size_t len);
    // Reads at an absolute offset without moving the file position.
    virtual long ReadFileAt(int fd, void *buf, size_t len, long offset);
    virtual long WriteFile(int fd, const void *buf, size_t len);
    virtual int CloseFile(int fd);
    virtual int Ioctl(int fd, unsigned long request, void *arg);

    // Gives up the CPU for about us microseconds (the idle yields of a loop).
    virtual void Yield(int us);
    // Scheduling of the calling thread: policy is SCHED_OTHER, SCHED_IDLE or
    // SCHED_FIFO; cpu < 0 leaves the affinity alone. 1 on success.
    virtual int SetScheduling(int policy, int priority);
    virtual int PinCpu(int cpu);
};

// The seam's state: the installed platform and, on the real board, the window.
namespace hwseam {
extern HwPlatform *platform;       // never null
extern volatile uint32_t *window;  // null while the platform models the registers

inline uint32_t RegRead(uint32_t offset) { return window ? window[offset >> 2] : platform->Read(offset); }
// Every write is followed by a full barrier so it reaches the bus before the next step.
inline void RegWrite(uint32_t offset, uint32_t value) {
    if (window) window[offset >> 2] = value;
    else platform->Write(offset, value);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
}  // namespace hwseam

// Register block offsets within the peripheral window.
enum : uint32_t {
    HW_WINDOW_SIZE = 0x1000100,
    SYST_OFFSET = 0x003000,
    ARMT_OFFSET = 0x00B000,
    PADS_OFFSET = 0x100000,
    CLK_OFFSET = 0x101000,
    GPIO_OFFSET = 0x200000,
    SPI0_OFFSET = 0x204000,
    PWM_OFFSET = 0x20C000,
    BSC1_OFFSET = 0x804000,
};

// Registers within their blocks.
enum : uint32_t {
    SYST_CLO = 0x04, SYST_CHI = 0x08,
    ARMT_CTRL = 0x408,
    PADS_GPIO0 = 0x2C,
    CM_PWMCTL = 0xA0, CM_PWMDIV = 0xA4,
    GPIO_FSEL0 = 0x00, GPIO_SET0 = 0x1C, GPIO_CLR0 = 0x28, GPIO_LEV0 = 0x34,
    GPIO_PUD = 0x94, GPIO_PUDCLK0 = 0x98, GPIO_PUPPDN0 = 0xE4, GPIO_PUPPDN1 = 0xE8,
    SPI_CS = 0x00, SPI_FIFO = 0x04, SPI_CLK = 0x08, SPI_DLEN = 0x0C,
    PWM_CTL = 0x00, PWM_STA = 0x04, PWM_RNG1 = 0x10, PWM_FIF1 = 0x18, PWM_RNG2 = 0x20,
};

// SPI0 CS bits.
enum : uint32_t {
    SPI_CS_CLEAR_TX = 1u << 4, SPI_CS_CLEAR_RX = 1u << 5, SPI_CS_TA = 1u << 7,
    SPI_CS_DONE = 1u << 16, SPI_CS_RXD = 1u << 17, SPI_CS_TXD = 1u << 18,
};

// Pin functions as GPFSEL codes.
enum { GPIO_INPUT = 0, GPIO_OUTPUT = 1, GPIO_ALT5 = 2, GPIO_ALT0 = 4 };
// Pull codes of PullConfig.
enum { PULL_NONE = 0, PULL_DOWN = 1, PULL_UP = 2 };

// Interface board revisions as reported by GPIOCTL (board, pro).
enum { BOARD_TYPEA = 1, BOARD_TYPEBC = 2 };

// The free-running 1 MHz system timer.
class SysTimer {
  public:
    static void Init(uint32_t syst, uint32_t armt);
    static uint64_t GetTimer();
    static uint32_t GetTimerLow() { return hwseam::RegRead(systaddr + SYST_CLO); }
    static uint32_t GetTimerHigh() { return hwseam::RegRead(systaddr + SYST_CHI); }
    // Busy-waits until CLO has advanced by at least us.
    static void DelayUs(uint32_t us);

    static uint32_t systaddr;  // system-timer block, offset in the window
    static uint32_t armtaddr;  // ARM-timer block, offset in the window
};

class GPIOCTL {
  public:
    enum mode_e { MODE_EMULATOR = 0, MODE_CONTROLLER = 1 };

    GPIOCTL();
    virtual ~GPIOCTL() {}

    // Installs the platform used from the next Init on (null: the real board).
    static void SetPlatform(HwPlatform *platform);
    // The seam's idle yield and thread scheduling, for the programs' loops.
    static void Yield(int us) { hwseam::platform->Yield(us); }
    static int SetScheduling(int policy, int priority) { return hwseam::platform->SetScheduling(policy, priority); }
    static int PinCpu(int cpu) { return hwseam::platform->PinCpu(cpu); }

    // Core (GPIO, pads, board detection, kernel settings).
    int Init(mode_e mode);
    int MapGpioMem();
    void Reset();
    void Cleanup();
    uint32_t Aquire();
    int GetSignal(int pin) const { return (int)((signals >> pin) & 1); }
    void SetSignal(int pin, int on);
    void PinConfig(int pin, int function);
    void PullConfig(int pin, int pull);
    int PinGetSignal(int pin);
    void PinSetSignal(int pin, int level);
    uint32_t DrvConfig(uint32_t strength);

    // Input lines, read from the last sample (1 = asserted).
    int GetDS(int n) const { return GetSignal(n == 0 ? 21 : 26); }
    int GetDS0() const { return GetSignal(21); }
    int GetDS1() const { return GetSignal(26); }
    int GetMOT() const { return GetSignal(0); }
    int GetDIR() const { return GetSignal(12); }
    int GetSTP() const { return GetSignal(1); }
    int GetWTG() const { return GetSignal(7); }
    int GetSID() const { return GetSignal(23); }
    int GetOS(int n) const { return GetSignal(n == 0 ? 16 : 20); }
    int GetOS0() const { return GetSignal(16); }
    int GetOS1() const { return GetSignal(20); }
    int GetEJC() const { return GetSignal(13); }
    int GetIDX() const { return GetSignal(27); }
    int GetTRZ() const { return GetSignal(25); }
    int GetWTP() const { return GetSignal(24); }
    int GetRDY() const { return GetSignal(22); }

    // Output lines of the emulator role.
    void SetIDX(int on);
    void SetRDY(int on);
    void SetTRZ(int on);
    void SetTRZ(int drive, int on);
    void SetWTP(int on);
    void SetWTP(int drive, int on);
    void SetDIN(int on);
    void SetINT(int on);
    void SetIRWT(int idx, int rdy, int wtp, int trz);
    void SetDisk(int disk0, int disk1);
    void EnableX68KOpt(int on);

    // Output lines of the controller role.
    void SetDS(int drive, int on);
    void SetDS0(int on);
    void SetDS1(int on);
    void SetMOT(int on);
    void SetDIR(int on);
    void SetSTP(int on);
    void SetSID(int on);
    void SetWTG(int on);
    void SetOS(int n, int on);
    void SetOS0(int on);
    void SetOS1(int on);
    void SetFD2(int on);
    void SetFD4(int on);
    void SetFD12(int on);

    // Timed bus actions. Every wait for a line is bounded by time (WAIT_LIMIT_US
    // for each edge) and ends early once *stop is set, so neither a dead drive
    // nor a signal can hold a program in a wait.
    enum { WAIT_LIMIT_US = 1000000 };
    int WaitRise(int pin);
    int GetIndexPeriod();
    uint32_t StepPulse(int fast);
    uint32_t Settling();

    // SPI0.
    void InitSpi();
    void CleanupSpi();
    void ResetSpi();
    int CalcFreqSpi(int rate) const;
    void StartSpi(int rate);
    int IsSpiTx() { return (hwseam::RegRead(spiaddr + SPI_CS) & SPI_CS_TXD) != 0; }
    int IsSpiRx() { return (hwseam::RegRead(spiaddr + SPI_CS) & SPI_CS_RXD) != 0; }
    int IsSpiDone() { return (hwseam::RegRead(spiaddr + SPI_CS) & SPI_CS_DONE) != 0; }
    void ClearSpiTx();
    void ClearSpiRx();
    void TxSpi(uint8_t data) { hwseam::RegWrite(spiaddr + SPI_FIFO, board == BOARD_TYPEA ? (uint8_t)~data : data); }
    uint32_t RxSpi() {
        uint32_t v = hwseam::RegRead(spiaddr + SPI_FIFO);
        return board == BOARD_TYPEA ? ~v : v;
    }

    // I2C (the front-panel display at 0x3C, through the kernel driver).
    int InitI2C();
    void CleanupI2C() {}
    int OpenI2C(unsigned addr);
    void CloseI2C(int fd);
    int WriteI2C(int fd, const uint8_t *data, int len);
    int ReadI2C(int fd, uint8_t *data, int len);
    void Send2SSD1306(const uint8_t *data, int len);

    // PWM sound on GPIO 19 (TypeC).
    void InitPWM();
    void CleanupPWM();
    void EnablePWM();
    void PlayPWM(const uint8_t *samples, int count);

    // Asks the firmware for the core clock again (the clock it runs at now,
    // else its maximum) and takes it as corefreq; 1 when it changed. The SPI
    // rates follow corefreq, and the firmware may change the clock at any time.
    int RefreshCoreClock();

    int mode;
    // A program's signal flag: the waits end early (as timed out) once it is set.
    volatile sig_atomic_t *stop = nullptr;
    uint64_t baseaddr;
    int soctype;
    int board;
    int pro;
    // Register blocks as offsets into the peripheral window.
    uint32_t gpioaddr, levaddr, padsaddr;
    uint32_t spiaddr, i2caddr, clkaddr, pwmaddr;
    uint32_t gpfsel[4];
    uint32_t signals;
    int i2cavail;
    int i2cfd;
    int corefreq;
    char governor[21];   // up to 20 bytes of text and the terminator
    char rtruntime[21];

  private:
    // Writes the function field of pin in the shadow word and, when the word
    // changes (or always), in GPFSEL; serialised so that the line operations of
    // two threads never lose each other's change.
    void UpdateFsel(int pin, int function, bool always);
    void SetLine(int pin, int on);  // asserts/releases in the board's manner
    void PinsToInput();
    void WaitForLevel(int pin, int asserted, int *ok);
    void ReadSetting(const char *path, char *saved, const char *value, int len);
    void RestoreSetting(const char *path, const char *saved);

    int mapped;
    uint32_t padsaved;  // drive strength found at Init, put back by Cleanup
    std::atomic_flag fsellock = ATOMIC_FLAG_INIT;
};

extern GPIOCTL gpioctl;
