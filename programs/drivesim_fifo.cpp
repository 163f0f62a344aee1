// The SPI FIFO side of streaming: each pass of the signal loop tops up the
// transmit FIFO while the host reads, or drains the receive FIFO into the
// track while it writes.
#include "drivesim.h"

#include "gpioctl.h"

// One refill of the transmit FIFO. The bytes shifted in meanwhile are
// discarded. The FIFO (64 bytes) holds 512 cells not yet on the line, so the
// head is that far behind feedpos.
void SendData(fdd_t &d) {
    if (d.tracklen <= 0 || !d.trackdata) return;
    uint8_t (*next)(fdd_t &) = d.type == 9 ? ReadDataRaw : ReadData;
    while (gpioctl.IsSpiTx()) {
        gpioctl.TxSpi(next(d));
        d.feedpos = WrapPos(d.feedpos + 8, d.tracklen);
    }
    gpioctl.ClearSpiRx();
    d.headpos = WrapPos(d.feedpos - 512, d.tracklen);
}

// One pass over the receive FIFO while the host writes.
void ReceiveData(fdd_t &d) {
    if (d.tracklen <= 0 || !d.trackdata) return;
    gpioctl.TxSpi(0);  // keeps the shifter clocking
    while (gpioctl.IsSpiRx()) {
        MergeWrite(d, (uint8_t)gpioctl.RxSpi());
        gpioctl.TxSpi(0);
    }
    d.headpos = d.feedpos;
}
