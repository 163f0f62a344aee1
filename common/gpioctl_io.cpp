// Floppy interface lines, timed bus actions, SPI0, I2C and PWM.
//
// A line is asserted when it is low on the bus. TypeA boards wire the pins to
// the bus open-collector style: a pin asserts its line as an output whose
// latch holds 0 and releases it as an input. TypeB and TypeC boards buffer
// the lines: the pin stays an output and its level carries the line
// (GPCLR0 asserts, GPSET0 releases).
#include <fcntl.h>

#include "gpioctl.h"

using hwseam::RegRead;
using hwseam::RegWrite;

enum { I2C_SLAVE_REQUEST = 0x0703 };

void GPIOCTL::SetLine(int pin, int on) {
    if (board == BOARD_TYPEA) UpdateFsel(pin, on ? GPIO_OUTPUT : GPIO_INPUT, false);
    else RegWrite(gpioaddr + (on ? GPIO_CLR0 : GPIO_SET0), 1u << pin);
}

void GPIOCTL::SetSignal(int pin, int on) {
    if (pin < 0 || pin >= 28) return;
    SetLine(pin, on);
}

// ---- Emulator role ---------------------------------------------------------

void GPIOCTL::SetIDX(int on) {
    if (mode == MODE_EMULATOR) SetLine(27, on);
}
void GPIOCTL::SetRDY(int on) {
    if (mode == MODE_EMULATOR) SetLine(22, on);
}
// TypeA boards share one TRZ and one WTP line between both emulated drives;
// TypeB/TypeC boards have a pair per drive.
void GPIOCTL::SetTRZ(int on) {
    if (mode == MODE_EMULATOR && board == BOARD_TYPEA) SetLine(25, on);
}
void GPIOCTL::SetTRZ(int drive, int on) {
    if (mode == MODE_EMULATOR && board != BOARD_TYPEA) SetLine(drive == 0 ? 25 : 6, on);
}
void GPIOCTL::SetWTP(int on) {
    if (mode == MODE_EMULATOR && board == BOARD_TYPEA) SetLine(24, on);
}
void GPIOCTL::SetWTP(int drive, int on) {
    if (mode == MODE_EMULATOR && board != BOARD_TYPEA) SetLine(drive == 0 ? 24 : 5, on);
}
void GPIOCTL::SetDIN(int on) {
    if (mode == MODE_EMULATOR && board == BOARD_TYPEA) SetLine(8, on);
}
void GPIOCTL::SetINT(int on) {
    if (mode == MODE_EMULATOR && board == BOARD_TYPEA) SetLine(11, on);
}

// TypeA: IDX, RDY, WTP and TRZ all live in GPFSEL2, so one write changes the
// four status lines at the same instant when the selected drive changes.
void GPIOCTL::SetIRWT(int idx, int rdy, int wtp, int trz) {
    if (mode != MODE_EMULATOR) return;
    if (board != BOARD_TYPEA) {
        SetLine(27, idx);
        return;
    }
    while (fsellock.test_and_set(std::memory_order_acquire)) {
    }
    uint32_t word = gpfsel[2] & ~(7u << 21 | 7u << 12 | 7u << 15 | 7u << 6);  // 27, 24, 25, 22
    if (idx) word |= 1u << 21;
    if (rdy) word |= 1u << 6;
    if (wtp) word |= 1u << 12;
    if (trz) word |= 1u << 15;
    RegWrite(gpioaddr + GPIO_FSEL0 + 8, word);
    gpfsel[2] = word;
    fsellock.clear(std::memory_order_release);
}

// Loads the board latch that tells the host which drives hold a disk: the
// levels of GPIO 16 and 20 are taken on the rising edge of GPIO 8.
void GPIOCTL::SetDisk(int disk0, int disk1) {
    if (mode != MODE_EMULATOR || board == BOARD_TYPEA) return;
    PinSetSignal(16, !disk0);
    PinConfig(16, GPIO_OUTPUT);
    PinSetSignal(20, !disk1);
    PinConfig(20, GPIO_OUTPUT);
    PinSetSignal(8, 0);
    SysTimer::DelayUs(10);
    PinSetSignal(8, 1);
    PinConfig(16, GPIO_INPUT);
    PinConfig(20, GPIO_INPUT);
}

// The X68000 option line. TypeC sets it through a pulse sequence and leaves
// GPIO 19 low, since the same pin then carries the PWM sound.
void GPIOCTL::EnableX68KOpt(int on) {
    if (mode != MODE_EMULATOR || board == BOARD_TYPEA) return;
    if (!pro) {
        PinSetSignal(19, !on);
        return;
    }
    PinSetSignal(19, 0);
    SysTimer::DelayUs(10);
    PinSetSignal(19, 1);
    SysTimer::DelayUs(10);
    PinSetSignal(19, !on);
    SysTimer::DelayUs(2000);
    PinSetSignal(19, 0);
}

// ---- Controller role -------------------------------------------------------

#define CONTROLLER_LINE(name, pin)                      \
    void GPIOCTL::name(int on) {                        \
        if (mode == MODE_CONTROLLER) SetLine(pin, on);  \
    }
CONTROLLER_LINE(SetDS0, 21)
CONTROLLER_LINE(SetDS1, 26)
CONTROLLER_LINE(SetMOT, 0)
CONTROLLER_LINE(SetDIR, 12)
CONTROLLER_LINE(SetSTP, 1)
CONTROLLER_LINE(SetSID, 23)
CONTROLLER_LINE(SetWTG, 7)
CONTROLLER_LINE(SetOS0, 16)
CONTROLLER_LINE(SetOS1, 20)
CONTROLLER_LINE(SetFD2, 5)
CONTROLLER_LINE(SetFD4, 6)
CONTROLLER_LINE(SetFD12, 19)
#undef CONTROLLER_LINE

void GPIOCTL::SetDS(int drive, int on) { drive == 0 ? SetDS0(on) : SetDS1(on); }
void GPIOCTL::SetOS(int n, int on) { n == 0 ? SetOS0(on) : SetOS1(on); }

// ---- Timed bus actions -----------------------------------------------------

// Samples until pin reaches the wanted state; *ok becomes 0 when WAIT_LIMIT_US
// pass first or the stop flag is set (and stays 0 for the waits that follow).
void GPIOCTL::WaitForLevel(int pin, int asserted, int *ok) {
    if (!*ok) return;
    uint32_t start = SysTimer::GetTimerLow();
    for (;;) {
        Aquire();
        if (GetSignal(pin) == asserted) return;
        if ((stop && *stop) || SysTimer::GetTimerLow() - start > (uint32_t)WAIT_LIMIT_US) break;
    }
    *ok = 0;
}

int GPIOCTL::WaitRise(int pin) {
    int ok = 1;
    Aquire();
    if (GetSignal(pin)) WaitForLevel(pin, 0, &ok);
    WaitForLevel(pin, 1, &ok);
    return ok;
}

int GPIOCTL::GetIndexPeriod() {
    int ok = 1;
    Aquire();
    for (int i = 0; i < 2; i++) {
        if (GetIDX()) WaitForLevel(27, 0, &ok);
        WaitForLevel(27, 1, &ok);
    }
    uint32_t start = SysTimer::GetTimerLow();
    for (int i = 0; i < 5; i++) {
        if (GetIDX()) WaitForLevel(27, 0, &ok);
        WaitForLevel(27, 1, &ok);
    }
    if (!ok) return 0;
    return (int)((SysTimer::GetTimerLow() - start) / 5);
}

// One step: a 10 us pulse, then the rest of 3 ms (fast, 80-cylinder drives)
// or 6 ms (40-cylinder drives).
uint32_t GPIOCTL::StepPulse(int fast) {
    SetSTP(1);
    SysTimer::DelayUs(10);
    SetSTP(0);
    SysTimer::DelayUs(fast ? 2990 : 5990);
    return Aquire();
}

uint32_t GPIOCTL::Settling() {
    SysTimer::DelayUs(20000);
    return Aquire();
}

// ---- SPI0 ------------------------------------------------------------------
//
// One SPI bit is one cell of the track (sending) or one sample of the data
// line (receiving). Only MOSI (GPIO 10) and MISO (GPIO 9) are switched to
// ALT0; the clock stays inside the chip. TypeA inverts the data in software
// (TxSpi / RxSpi), TypeB and TypeC on the board, so a 1 bit always means a
// flux transition to the callers.

void GPIOCTL::InitSpi() {
    RegWrite(spiaddr + SPI_CS, 0);
    RegWrite(spiaddr + SPI_DLEN, 2);  // bytes back to back at 8 clocks each
    PinConfig(10, GPIO_INPUT);
    PullConfig(10, PULL_NONE);
    PinConfig(9, GPIO_INPUT);
    PullConfig(9, PULL_NONE);
}

void GPIOCTL::CleanupSpi() {
    RegWrite(spiaddr + SPI_CS, 0);
    PinConfig(10, GPIO_INPUT);
    PinConfig(9, GPIO_INPUT);
}

void GPIOCTL::ResetSpi() {
    RegWrite(spiaddr + SPI_CS, 0);
    PinSetSignal(10, board == BOARD_TYPEA);  // the released level of the data line
    PinConfig(10, GPIO_OUTPUT);
    PinConfig(9, GPIO_INPUT);
}

// The rate the SPI clock really runs at for rate kHz. StartSpi writes the
// divider core clock / rate, and the hardware ignores its lowest bit: an odd
// divider runs as the even one below it (4800 kHz from 400 MHz: 83 runs as
// 82, giving 4878 kHz).
int GPIOCTL::CalcFreqSpi(int rate) const {
    if (rate <= 0) return 0;
    int divider = (corefreq / rate) & ~1;
    return divider ? corefreq / divider : 0;
}

void GPIOCTL::StartSpi(int rate) {
    RegWrite(spiaddr + SPI_CLK, rate > 0 ? (uint32_t)(corefreq / rate) : 0);
    RegWrite(spiaddr + SPI_CS, 0);
    RegWrite(spiaddr + SPI_CS, SPI_CS_TA | SPI_CS_CLEAR_RX | SPI_CS_CLEAR_TX);
    PinConfig(10, GPIO_ALT0);
    PinConfig(9, GPIO_ALT0);
}

void GPIOCTL::ClearSpiTx() { RegWrite(spiaddr + SPI_CS, RegRead(spiaddr + SPI_CS) | SPI_CS_CLEAR_TX); }
void GPIOCTL::ClearSpiRx() { RegWrite(spiaddr + SPI_CS, RegRead(spiaddr + SPI_CS) | SPI_CS_CLEAR_RX); }

// ---- I2C -------------------------------------------------------------------

int GPIOCTL::InitI2C() {
    i2cavail = hwseam::platform->Exists("/dev/i2c-1") ? 1 : 0;
    return i2cavail;
}

int GPIOCTL::OpenI2C(unsigned addr) {
    HwPlatform *p = hwseam::platform;
    int fd = p->OpenFile("/dev/i2c-1", O_RDWR);
    if (fd < 0) return -1;
    if (p->Ioctl(fd, I2C_SLAVE_REQUEST, reinterpret_cast<void *>((uintptr_t)addr)) < 0) {
        p->CloseFile(fd);
        return -1;
    }
    return fd;
}

void GPIOCTL::CloseI2C(int fd) { hwseam::platform->CloseFile(fd); }
int GPIOCTL::WriteI2C(int fd, const uint8_t *data, int len) {
    return len > 0 ? (int)hwseam::platform->WriteFile(fd, data, (size_t)len) : 0;
}
int GPIOCTL::ReadI2C(int fd, uint8_t *data, int len) {
    return len > 0 ? (int)hwseam::platform->ReadFile(fd, data, (size_t)len) : 0;
}

void GPIOCTL::Send2SSD1306(const uint8_t *data, int len) {
    if (i2cfd >= 0) WriteI2C(i2cfd, data, len);
}

// ---- PWM -------------------------------------------------------------------
//
// Clock manager: source PLLD (500 MHz, 750 MHz on the BCM2711) divided by 88
// (132) gives about 5.68 MHz, so a range of 256 plays about 22.2 k samples a
// second. Both channels feed from the shared FIFO, so each sample goes twice.

enum : uint32_t { PWM_STA_FULL1 = 1, CM_BUSY = 1u << 7, CM_PASSWORD = 0x5A000000 };

// Waits up to limit microseconds for the bits of reg to clear; 1 when they did.
static int WaitClear(uint32_t reg, uint32_t bits, uint32_t limit) {
    uint32_t start = SysTimer::GetTimerLow();
    while (RegRead(reg) & bits) {
        if (SysTimer::GetTimerLow() - start > limit) return 0;
    }
    return 1;
}

void GPIOCTL::InitPWM() {
    RegWrite(pwmaddr + PWM_CTL, 0);
    SysTimer::DelayUs(10);
    RegWrite(clkaddr + CM_PWMCTL, CM_PASSWORD | 0x20);  // kill the clock
    SysTimer::DelayUs(10);
    WaitClear(clkaddr + CM_PWMCTL, CM_BUSY, 10000);
    RegWrite(clkaddr + CM_PWMDIV, soctype == 4 ? CM_PASSWORD | 132 << 12 : CM_PASSWORD | 88 << 12);
    RegWrite(clkaddr + CM_PWMCTL, CM_PASSWORD | 0x16);  // enable, source 6 = PLLD
    SysTimer::DelayUs(10);
    RegWrite(pwmaddr + PWM_RNG1, 256);
    RegWrite(pwmaddr + PWM_RNG2, 256);
    SysTimer::DelayUs(10);
    RegWrite(pwmaddr + PWM_CTL, 0x2161);  // both channels from the FIFO, FIFO cleared
    SysTimer::DelayUs(10);
}

void GPIOCTL::CleanupPWM() {
    RegWrite(pwmaddr + PWM_CTL, 0);
    SysTimer::DelayUs(10);
    if (pro) PinConfig(19, GPIO_INPUT);
}

void GPIOCTL::EnablePWM() {
    if (pro) PinConfig(19, GPIO_ALT5);
}

// Paced by the FIFO draining at the sample rate. A FIFO that stays full for
// 10 ms (the PWM stopped) ends the playing instead of hanging the caller.
void GPIOCTL::PlayPWM(const uint8_t *samples, int count) {
    for (int i = 0; i < count; i++) {
        for (int copy = 0; copy < 2; copy++) {
            if (!WaitClear(pwmaddr + PWM_STA, PWM_STA_FULL1, 10000)) return;
            RegWrite(pwmaddr + PWM_FIF1, samples[i]);
        }
    }
}
