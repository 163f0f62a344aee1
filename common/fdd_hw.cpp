// Real-drive reading and writing on the hardware: sampling a track through
// the SPI receiver from the index pulse, and shifting restore data out
// through the SPI transmitter with the write gate on.
#include <cstring>

#include "fdd.h"
#include "fdd_bits.h"
#include "gpioctl.h"
#include "zel.h"

// Each received byte holds eight samples, the earliest in bit 7. Only the
// first sample of every high run is kept, so a pulse is one set bit at its
// rising edge however long the drive holds the line:
//   b = 0111 1000, previous byte ended in 0  ->  0100 0000
// The window is bounded by time; a window that could not fit the ring is
// refused, and bytes past the ring's end (a clock faster than asked) are
// dropped rather than written over the start.
int Sample(GPIOCTL *gpio, dump_t *dump, int rate, int duration) {
    dump->rawlen = 0;
    if (rate <= 0 || duration <= 0 || (int64_t)duration * rate / 1000 > FDD_RAW_BITS) return 0;
    uint8_t *ring = dump->raw;
    const int capacity = FDD_RAW_BYTES;
    int pos = 0;
    uint32_t prev = 0;
    gpio->StartSpi(rate);
    gpio->WaitRise(27);
    uint32_t t0 = SysTimer::GetTimerLow();
    while ((uint32_t)(SysTimer::GetTimerLow() - t0) < (uint32_t)duration) {
        gpio->TxSpi(0);
        if (!gpio->IsSpiRx()) continue;
        uint32_t b = gpio->RxSpi() & 0xFF;
        if (pos < capacity) ring[pos++] = (uint8_t)(b & ~((b >> 1) | (prev << 7)));
        prev = b;
    }
    gpio->ResetSpi();
    dump->rawlen = pos * 8;
    return 1;
}

// Windows of 1.25, 1.5, 1.75 and 2 revolutions are tried until one holds the
// first ID mark twice; a track without any ID mark is not sampled again.
int ReadTrack(GPIOCTL *gpio, dump_t *dump, int period, int rate, int denoise, int analyze) {
    int start = -1, end = -1, found = 0;
    int duration = period + period / 4;
    int spirate = gpio->CalcFreqSpi(rate);
    for (int quarters = 5; quarters < 9; quarters++) {
        Sample(gpio, dump, rate, duration);
        found = LocateLap(dump, rate, spirate, quarters, &start, &end);
        duration += period / 4;
        if (found || start == -1) break;
    }
    CutLap(dump, period, rate, found, start, end, denoise, analyze);
    return 1;
}

int MakeRestoreData(GPIOCTL *gpio, restore_t *restore, int period, ZELDisk *disk, int cylinder, int head,
                    int analyze) {
    int rate = RestoreRate(disk);
    int spirate = rate > 0 ? gpio->CalcFreqSpi(rate) : 0;
    return PrepareRestore(restore, period, spirate, disk, cylinder, head, analyze);
}

namespace {
// Samples pos .. pos + 7 of the revolution, wrapping at its end.
inline uint8_t NextByte(const restore_t *r, int pos) {
    pos %= r->len;
    if (pos + 8 <= r->len && !(pos & 7)) return r->raw[pos >> 3];
    uint8_t v = 0;
    for (int i = 0; i < 8; i++) {
        int p = (pos + i) % r->len;
        v = (uint8_t)(v << 1 | BfGetBit(r->raw, p));
    }
    return v;
}
} // namespace

// The gate is on for delay us before the data starts at the index edge. The
// FIFO is topped up whenever it has room; a fill may run up to one FIFO past
// writelen, continuing round the revolution. The samples take writelen / rate
// ms to leave; a transmitter that has not taken them a tenth of a second
// later has stopped, and the write ends there.
int WriteTrack(GPIOCTL *gpio, int delay, restore_t *restore) {
    gpio->SetWTG(1);
    if (delay > 0) SysTimer::DelayUs((uint32_t)delay);
    gpio->StartSpi(restore->rate);
    gpio->WaitRise(27);
    const uint32_t t0 = SysTimer::GetTimerLow();
    const uint32_t budget =
        restore->rate > 0 ? (uint32_t)(((int64_t)restore->writelen + 1024) * 1000 / restore->rate) + 100000
                          : 100000;
    auto late = [&]() { return SysTimer::GetTimerLow() - t0 > budget; };
    bool stalled = false;
    if (restore->writelen > 0 && restore->len > 0) {
        int pos = 0;
        do {
            while (gpio->IsSpiTx()) {
                gpio->TxSpi(NextByte(restore, pos));
                pos += 8;
            }
            gpio->ClearSpiRx();
            stalled = late();
        } while (pos < restore->writelen && !stalled);
    }
    while (!stalled && !gpio->IsSpiDone()) {
        gpio->ClearSpiRx();
        stalled = late();
    }
    gpio->SetWTG(0);
    gpio->Settling();
    gpio->ResetSpi();
    return stalled ? 0 : restore->len;
}
