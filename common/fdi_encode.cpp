// FM/MFM track encoder: a sector list becomes the cells of one revolution,
// laid out the way a uPD765 or MB8877 FORMAT command lays out a track.
//
// Every field lies on whole bytes of the cell buffer (an MFM byte is 2 cell
// bytes, an FM byte 4), so the writers below work on byte pointers.
//
// Track layout (sizes in bytes of the field's own density):
//   preamble   MFM: 80 x 4E, 12 x 00, C2 C2 C2 FC, 50 x 4E    = 146 bytes
//              FM:  40 x FF,  6 x 00, FC/D7,       26 x FF    =  73 bytes
//              either way 2336 cells at cell 0
//   sector     SYNC, ID mark, C H R N, CRC, GAP2, SYNC, data mark, data,
//              CRC, GAP3 (SYNC 12 x 00 MFM, 6 x 00 FM; gaps 4E MFM, FF FM)
//   GAP4b      the track's gap byte up to the end of the buffer
#include <cstring>
#include <vector>

#include "fdi.h"
#include "zel.h"

namespace {

// Address marks as cells. In MFM the sync bytes lose one clock cell, so no
// data can imitate them:
//   data    1  0  1  0  0  0  0  1   = A1
//   cells  01 00 01 00 10 00 10 01   = 44 89  (the sixth bit's clock cell is left out)
//   data    1  1  0  0  0  0  1  0   = C2
//   cells  01 01 00 10 00 10 01 00   = 52 24  (the fifth bit's clock cell is left out)
//   data    1  1  1  1  1  1  1  0   = FE     (last data bit 0)
//   cells  01 01 01 01 01 01 01 00   = 55 54
//   data    1  1  1  1  1  0  1  1   = FB     (last data bit 1)
//   cells  01 01 01 01 01 00 01 01   = 55 45
//   data    1  1  1  1  1  0  0  0   = F8     (last data bit 0)
//   cells  01 01 01 01 01 00 10 10   = 55 4A
// FM marks carry a clock byte other than FF; each bit is the cells c 0 d 0:
//   clock   1    1    0    1    0    1    1    1     = D7
//   data    1    1    1    1    1    1    0    0     = FC
//   cells 1010 1010 0010 1010 0010 1010 1000 1000   = AA 2A 2A 88
//   clock   1    1    0    0    0    1    1    1     = C7
//   data    1    1    1    1    1    1    1    0     = FE
//   cells 1010 1010 0010 0010 0010 1010 1010 1000   = AA 22 2A A8
const uint8_t kIAM_MFM[8] = {0x52, 0x24, 0x52, 0x24, 0x52, 0x24, 0x55, 0x52};
const uint8_t kIDAM_MFM[8] = {0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x54};
const uint8_t kDAM_MFM[8] = {0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x45};
const uint8_t kDDAM_MFM[8] = {0x44, 0x89, 0x44, 0x89, 0x44, 0x89, 0x55, 0x4A};
const uint8_t kIAM_FM[4] = {0xAA, 0x2A, 0x2A, 0x88};  // FC/D7
const uint8_t kIDAM_FM[4] = {0xAA, 0x22, 0x2A, 0xA8}; // FE/C7
const uint8_t kDAM_FM[4] = {0xAA, 0x22, 0x28, 0xAA};  // FB/C7
const uint8_t kDDAM_FM[4] = {0xAA, 0x22, 0x28, 0x88}; // F8/C7

// CRCs of the mark bytes that open each field; the field's CRC continues
// from them over the ID or data bytes.
const uint16_t kCrcIdMFM = 0xB230;   // CRC of A1 A1 A1 FE
const uint16_t kCrcIdFM = 0xEF21;    // CRC of FE
const uint16_t kCrcDamMFM = 0xE295;  // CRC of A1 A1 A1 FB
const uint16_t kCrcDdamMFM = 0xD2F6; // CRC of A1 A1 A1 F8
const uint16_t kCrcDamFM = 0xBF84;   // CRC of FB
const uint16_t kCrcDdamFM = 0x8FE7;  // CRC of F8

// Writes fields one after another into the cell buffer and clips at its end:
// a field that would cross the end is cut at the last whole cell byte inside
// the buffer, and nothing after it is written. `prev` is the last data bit
// written, which decides the first clock cell of the next MFM byte.
class TrackWriter {
  public:
    TrackWriter(uint8_t *buf, int bytes) : m_buf(buf), m_end(bytes) {}

    // count bytes of value (count <= 0 writes nothing).
    void Fill(int mfm, uint8_t value, int count) {
        if (count <= 0) return;
        int unit = mfm ? 2 : 4;
        int fit = Fit(count, unit);
        m_pos += mfm ? VTrack::FillMFM(m_buf + m_pos, value, fit, &m_prev)
                     : VTrack::FillFM(m_buf + m_pos, value, fit);
        if (fit < count) {
            uint8_t tail[4];
            int n = mfm ? VTrack::FillMFM(tail, value, 1, &m_prev) : VTrack::FillFM(tail, value, 1);
            Cells(tail, n);
        }
        if (!mfm) m_prev = 0;
    }

    // count bytes from src; a missing source reads as zeros.
    void Bytes(int mfm, const uint8_t *src, int count) {
        if (count <= 0) return;
        if (!src) {
            Fill(mfm, 0x00, count);
            return;
        }
        int unit = mfm ? 2 : 4;
        int fit = Fit(count, unit);
        m_pos +=
            mfm ? VTrack::GenMFM(m_buf + m_pos, src, fit, &m_prev) : VTrack::GenFM(m_buf + m_pos, src, fit);
        if (fit < count) {
            uint8_t tail[4];
            int n = mfm ? VTrack::GenMFM(tail, src + fit, 1, &m_prev) : VTrack::GenFM(tail, src + fit, 1);
            Cells(tail, n);
        }
        if (!mfm) m_prev = 0;
    }

    // A fixed cell pattern (an address mark) whose last data bit is lastbit.
    void Mark(const uint8_t *cells, int n, int lastbit) {
        Cells(cells, n);
        m_prev = lastbit;
    }

  private:
    // Whole units of `unit` bytes that fit before the end.
    int Fit(int count, int unit) const {
        int room = (m_end - m_pos) / unit;
        if (room < 0) room = 0;
        return count < room ? count : room;
    }
    void Cells(const uint8_t *cells, int n) {
        int room = m_end - m_pos;
        if (room <= 0) return;
        if (n > room) {
            memcpy(m_buf + m_pos, cells, (size_t)room);
            m_pos = m_end;
            return;
        }
        memcpy(m_buf + m_pos, cells, (size_t)n);
        m_pos += n;
    }

    uint8_t *m_buf;
    int m_end;
    int m_pos = 0;
    int m_prev = 0;
};

void PutCRC(TrackWriter &w, int mfm, uint16_t crc) {
    uint8_t bytes[2] = {(uint8_t)(crc >> 8), (uint8_t)crc};
    w.Bytes(mfm, bytes, 2);
}

// One sector in its own density. Its status is recorded the way a disk
// carries it: an ID CRC error or a data CRC error as a wrong CRC (the right
// one inverted), a missing data field as gap where the field would be, so
// the sectors after it keep their places.
void WriteSector(TrackWriter &w, const VSector *s) {
    int mfm = s->mfm ? 1 : 0;
    int deleted = (s->status & SECTOR_DELETED) ? 1 : 0;
    int sync = mfm ? 12 : 6;
    uint8_t gapbyte = mfm ? 0x4E : 0xFF;
    uint8_t id[4] = {s->c, s->h, s->r, s->n};
    int length = s->length > 0 ? s->length : 0;

    w.Fill(mfm, 0x00, sync);
    if (mfm)
        w.Mark(kIDAM_MFM, 8, 0);
    else
        w.Mark(kIDAM_FM, 4, 0);
    w.Bytes(mfm, id, 4);
    uint16_t idcrc = CalcCRC(id, 4, mfm ? kCrcIdMFM : kCrcIdFM);
    PutCRC(w, mfm, (s->status & SECTOR_IDCRC) ? (uint16_t)~idcrc : idcrc);
    w.Fill(mfm, gapbyte, s->gap2);

    if (s->status & SECTOR_NODATA) {
        w.Fill(mfm, gapbyte, sync + (mfm ? 4 : 1) + length + 2 + s->gap3);
        return;
    }
    w.Fill(mfm, 0x00, sync);
    uint16_t crc;
    if (mfm) {
        w.Mark(deleted ? kDDAM_MFM : kDAM_MFM, 8, deleted ? 0 : 1);
        crc = deleted ? kCrcDdamMFM : kCrcDamMFM;
    } else {
        w.Mark(deleted ? kDDAM_FM : kDAM_FM, 4, 0);
        crc = deleted ? kCrcDdamFM : kCrcDamFM;
    }
    w.Bytes(mfm, s->data, length);
    if (s->data) {
        crc = CalcCRC(s->data, length, crc);
    } else {
        static const uint8_t zero[256] = {0};
        for (int left = length; left > 0; left -= 256)
            crc = CalcCRC(zero, left < 256 ? left : 256, crc);
    }
    PutCRC(w, mfm, (s->status & SECTOR_DATACRC) ? (uint16_t)~crc : crc);
    w.Fill(mfm, gapbyte, s->gap3);
}

// The whole track: gap fill, preamble, then the sectors that fit.
int EncodeTrack(VTrack *t, uint8_t *buf, int cells, int mfm) {
    if (cells <= 0) return 0;
    uint8_t gapbyte = mfm ? 0x4E : 0xFF;

    // Gap fill over every complete byte of the track's density; the cells of
    // a trailing incomplete byte are left as they were.
    TrackWriter fill(buf, cells / 8);
    fill.Fill(mfm, gapbyte, mfm ? cells / 16 : cells / 32);

    TrackWriter w(buf, cells / 8);
    if (mfm) {
        w.Fill(1, 0x4E, 80);
        w.Fill(1, 0x00, 12);
        w.Mark(kIAM_MFM, 8, 0);
        w.Fill(1, 0x4E, 50);
    } else {
        w.Fill(0, 0xFF, 40);
        w.Fill(0, 0x00, 6);
        w.Mark(kIAM_FM, 4, 0);
        w.Fill(0, 0xFF, 26);
    }

    // Sectors are admitted by their nominal size (GAP2 at 22 / 11 bytes); a
    // longer GAP2 is still written as stored, clipped at the buffer's end.
    int64_t total = TRACK_PREAMBLE_CELLS;
    for (const VSector *s = t->sectors; s; s = s->next) {
        total += s->NominalCells();
        if (total > cells) break;
        WriteSector(w, s);
    }
    return cells;
}

} // namespace

// ---------------------------------------------------------------------------
// Field writers: each returns the bytes of cells it wrote.
// ---------------------------------------------------------------------------

namespace {
int PutMark(uint8_t *buf, const uint8_t *mfmcells, const uint8_t *fmcells, int mfm) {
    int n = mfm ? 8 : 4;
    memcpy(buf, mfm ? mfmcells : fmcells, (size_t)n);
    return n;
}
} // namespace

int VTrack::GenIAM(uint8_t *buf, int mfm) {
    return PutMark(buf, kIAM_MFM, kIAM_FM, mfm);
}
int VTrack::GenIDAM(uint8_t *buf, int mfm) {
    return PutMark(buf, kIDAM_MFM, kIDAM_FM, mfm);
}
int VTrack::GenDAM(uint8_t *buf, int deleted, int mfm) {
    return deleted ? PutMark(buf, kDDAM_MFM, kDDAM_FM, mfm) : PutMark(buf, kDAM_MFM, kDAM_FM, mfm);
}

int VTrack::FillMFM(uint8_t *buf, uint8_t value, int count, int *prevbit) {
    if (count <= 0) return 0;
    uint16_t cells = MFMTable[value];
    // After the first byte the previous data bit is the value's own bit 0.
    uint16_t first = (*prevbit) ? (uint16_t)(cells & 0x7FFF) : cells;
    uint16_t rest = (value & 1) ? (uint16_t)(cells & 0x7FFF) : cells;
    buf[0] = (uint8_t)(first >> 8);
    buf[1] = (uint8_t)first;
    for (int i = 1; i < count; i++) {
        buf[2 * i] = (uint8_t)(rest >> 8);
        buf[2 * i + 1] = (uint8_t)rest;
    }
    *prevbit = value & 1;
    return count * 2;
}

int VTrack::GenMFM(uint8_t *buf, const uint8_t *src, int count, int *prevbit) {
    int prev = *prevbit;
    for (int i = 0; i < count; i++) {
        // A 1 before the byte drops its first clock cell.
        uint16_t cells = (uint16_t)(MFMTable[src[i]] & ~(prev << 15));
        uint8_t pair[2] = {(uint8_t)(cells >> 8), (uint8_t)cells};
        memcpy(buf + 2 * i, pair, 2);
        prev = src[i] & 1;
    }
    *prevbit = prev;
    return count > 0 ? count * 2 : 0;
}

int VTrack::FillFM(uint8_t *buf, uint8_t value, int count) {
    uint32_t cells = FMTable[value];
    for (int i = 0; i < count; i++) {
        buf[4 * i] = (uint8_t)(cells >> 24);
        buf[4 * i + 1] = (uint8_t)(cells >> 16);
        buf[4 * i + 2] = (uint8_t)(cells >> 8);
        buf[4 * i + 3] = (uint8_t)cells;
    }
    return count > 0 ? count * 4 : 0;
}

int VTrack::GenFM(uint8_t *buf, const uint8_t *src, int count) {
    for (int i = 0; i < count; i++) {
        uint32_t cells = FMTable[src[i]];
        buf[4 * i] = (uint8_t)(cells >> 24);
        buf[4 * i + 1] = (uint8_t)(cells >> 16);
        buf[4 * i + 2] = (uint8_t)(cells >> 8);
        buf[4 * i + 3] = (uint8_t)cells;
    }
    return count > 0 ? count * 4 : 0;
}

// ---------------------------------------------------------------------------
// Track encoders
// ---------------------------------------------------------------------------

int VTrack::EncodeMFM(uint8_t *buf, int count) {
    return EncodeTrack(this, buf, count, 1);
}
int VTrack::EncodeFM(uint8_t *buf, int count) {
    return EncodeTrack(this, buf, count, 0);
}

// Encode form: len cells into buf. Raw form: len samples, made from len / 8
// cells through Encode2Raw. An empty sector list is a track without flux.
int VTrack::Encode(int raw, uint8_t *buf, int len) {
    if (len <= 0) return 0;
    if (!sectors) {
        memset(buf, 0, (size_t)len / 8);
        if (len & 7) buf[len / 8] &= (uint8_t)(0xFF >> (len & 7));
        return len;
    }

    int count = raw ? len >> 3 : len;
    std::vector<uint8_t> temp;
    uint8_t *cellbuf = buf;
    if (raw) {
        temp.assign((size_t)(count + 7) / 8 + 1, 0);
        cellbuf = temp.data();
    }

    // Squeeze the GAP3s when the nominal track is longer than the buffer;
    // sectors that still do not fit are left out by the track encoder (the
    // callers' loss check names them).
    FitGaps(count);
    if (mfmcount >= fmcount)
        EncodeMFM(cellbuf, count);
    else
        EncodeFM(cellbuf, count);
    if (!raw) return len;
    return Encode2Raw(cellbuf, count, buf, len);
}
