// Bitstream core: the two forms of a track and the conversions between them.
//
// A stream of n bits lives in (n + 7) / 8 bytes, most significant bit first:
// bit i is bit 7 - (i % 8) of byte i / 8. Streams are circular; position i
// stands for i mod n.
//
//  - encode form: one bit per recording cell, 1 = a flux transition in it.
//  - raw form:    one bit per sample of the read signal, eight samples per
//                 cell; a pulse is a run of 1s, its position the rising edge.
//                 Pulses written here are three samples wide (0xE0 aligned).
//
// Every function works on caller-owned buffers and keeps no state.
#pragma once

#include <cstdint>

// Software clock recovery state. 16.16 fixed point where noted.
struct VFOState {
    int32_t gain = 6553;       // loop gain of the period correction (0.1)
    int32_t locked = 0;        // a steady 2-cell or 4-cell pattern was seen
    int32_t valid = 0;         // last interval lay in 9..39 samples
    int32_t previous = 0;      // previous interval, samples
    int32_t cells = 0;         // cells assigned to the last interval
    uint64_t history = 0;      // recent cell pattern, newest cell in bit 0
    int32_t period = 0x80000;  // samples per cell (8.0)
    int32_t offset = 0xB333;   // rounding bias of the thresholds (0.7)
    int32_t T2 = 16, T3 = 24, T4 = 32;  // expected intervals of 2, 3, 4 cells
};

// Single-bit helpers on MSB-first buffers (no wrapping; pos must be in range).
inline int BfGetBit(const uint8_t *buf, int pos) { return (buf[pos >> 3] >> (7 - (pos & 7))) & 1; }
inline void BfSetBit(uint8_t *buf, int pos) { buf[pos >> 3] |= (uint8_t)(0x80 >> (pos & 7)); }
inline void BfClrBit(uint8_t *buf, int pos) { buf[pos >> 3] &= (uint8_t)~(0x80 >> (pos & 7)); }

// The 32 bits at pos .. pos + 31 (each taken modulo len), first bit in bit 31.
uint32_t BfGetLong(const uint8_t *buf, int len, int pos);

// Classifies one interval between rising edges, adapts the period.
void VFO_Update(VFOState *vfo, int interval);

// Samples -> cells. Returns the track length in cells, or -1 (and an all-zero
// buffer) when the track needs more than capacity cells.
int Raw2Encode(const uint8_t *raw, int rawLen, uint8_t *cells, int capacity);
// The number of cells Raw2Encode makes of the stream: the capacity it needs.
int Raw2EncodeLength(const uint8_t *raw, int rawLen);
// Cells -> samples (three-sample pulses). Returns cellLen * 8, or -1 (and an
// all-zero buffer) when that exceeds capacity.
int Encode2Raw(const uint8_t *cells, int cellLen, uint8_t *raw, int capacity);
// Resamples a raw stream in place to newLen samples; the buffer must hold
// (newLen + 7) / 8 bytes. Returns newLen.
int StrechRaw(uint8_t *raw, int len, int newLen);
// Cuts the samples of cells *start .. *end out of a raw stream into out
// (room for rawLen samples is always enough); stores the raw bounds back.
// Returns the sample count or -1.
int TransRaw(const uint8_t *raw, int rawLen, int *start, int *end, uint8_t *out);
// Nudges every pulse one sample toward the cell grid. Returns len.
int AlignRaw(uint8_t *raw, int len);

// A search pattern prepared once for repeated searches: its bits (kept by
// pointer), the filter tables of its last 32 bits, and the sync run it opens
// with, if any, which lets a search pass over a track a word at a time.
struct BfPattern {
    BfPattern(const uint8_t *pattern, int patbits);
    uint32_t Chunk(int j) const;
    // Compares the pattern with the data, load(j) giving the 32 data bits
    // under pattern bit j.
    template <class Load>
    bool Matches(Load load) const {
        for (int j = 0; j < len; j += chunk)
            if (load(j) >> (32 - chunk) != Chunk(j)) return false;
        return true;
    }

    const uint8_t *bits;
    int len, nbytes, chunk;
    int key, keyLen;  // the bits key .. key + keyLen - 1 filter candidates
    uint32_t xorMask[32];
    uint8_t byteKey[3][256];
    int run;           // cells of the opening sync run (repeating every 4 cells), 0 if under 63
    uint32_t sync[4];  // its 32-bit windows
};

// Offset from start of the first occurrence of the pattern wholly inside the
// window [start, start + range), or -1 (also for patbits < 1 or len < 1).
int BfFind(const uint8_t *data, int len, int start, int range, const uint8_t *pattern, int patbits);
int BfFind(const uint8_t *data, int len, int start, int range, const BfPattern &pattern);
// Cell position -> sample position of the raw stream Raw2Encode would read.
int Enc2RawPos(const uint8_t *raw, int rawLen, int cellPos);
// The same for count positions in one pass; entries not reached become -1.
int Enc2RawPosMulti(const uint8_t *raw, int rawLen, int *positions, int count);

// The first rising edge (a 1 after a 0) of a circular raw stream, the sample
// before 0 being the last one; -1 when the stream has no pulse.
int FirstEdge(const uint8_t *raw, int len);
// Erases noise pulses and short off-rhythm runs of a raw revolution in place.
// threshold: the longest run, in cells, still treated as noise.
int NoiseCancelRaw(uint8_t *raw, int len, int threshold);
