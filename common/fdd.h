// Real-drive track reading and writing.
//
// Reading: the drive's read line is sampled through the SPI receiver at eight
// samples per cell from one index pulse over somewhat more than a revolution
// (Sample). The samples are converted to cells, one revolution (the "lap") is
// found between two occurrences of the first ID mark, cut out of the samples
// and rotated so that its bit 0 lies at the index hole, every pulse is shaped
// to three samples, noise is cancelled, and the lap is encoded and decoded
// into sectors (ReadTrack). EvaluateTrackScore ranks read attempts.
//
// Writing: a track of an image becomes restore data, one revolution of
// samples at this drive's speed plus a splice point, the place past the index
// where the write stops so that the seam between the end and the start of the
// written revolution falls into a gap, an unformatted stretch or the index
// (MakeRestoreData). Flux-free stretches are filled with noise pairs so they
// read back as unformatted. WriteTrack shifts the samples out through the SPI
// transmitter with the write gate on.
//
// Units: positions and lengths are bit counts of MSB-first buffers (zel.h);
// rates are in kHz of samples (sampling) or kbps of cells (data rate); the
// sampling rate is eight times the data rate.
#pragma once

#include <cstdint>

#include "fdi.h"

class GPIOCTL;
class ZELDisk;

enum {
    FDD_RAW_BYTES = 786432, // sample ring and lap: 6,291,456 samples
    FDD_RAW_BITS = FDD_RAW_BYTES * 8,
    FDD_ENC_BYTES = 98304, // cell buffer: 786,432 cells
    FDD_ENC_CELLS = FDD_ENC_BYTES * 8,
    FDD_INFO_SIZE = 516,
};

// One read attempt of one track. About 1.6 MiB: always allocate on the heap.
struct dump_t {
    uint8_t raw[FDD_RAW_BYTES]; // samples from the index pulse on, one bit per pulse edge
    int rawlen = 0;             // samples taken
    uint8_t enc[FDD_ENC_BYTES]; // cells of the track
    int encrate = 0;            // data rate, kbps
    int enclen = 0;             // cells in enc
    int encstart = 0;           // first cell of the lap in the first encoding of raw
    int encend = 0;             // last cell of that lap
    uint8_t lap[FDD_RAW_BYTES]; // one revolution of samples, bit 0 at the index hole
    int laprate = 0;            // sampling rate of lap, kHz
    int laplen = 0;             // samples in lap
    int lapstart = 0;           // where the lap began in raw
    int lapend = 0;             // where it ended (inclusive)
    int found = 0;              // 1 when a revolution was found between two ID marks
    int noise = 0;              // noise pulses removed
    VTrack track;               // sectors decoded from enc
    // Lap bytes from here on are all 0 (kept by CutLap, which clears no more).
    int lapzero = FDD_RAW_BYTES;
};

// One track prepared for writing. About 770 KiB: always allocate on the heap.
struct restore_t {
    int rate = 0;                   // sampling rate of the write, kHz
    uint8_t raw[FDD_RAW_BYTES];     // one revolution, bit 0 at the index hole
    int len = 0;                    // samples in one revolution
    int writelen = 0;               // samples to write: len + splice point
    char info[FDD_INFO_SIZE] = {0}; // what was found and where the splice lies
    VTrack track;                   // the track decoded from raw
};

// The first ID mark of each density as cells (MSB first):
//   MFM  four 00 bytes, A1 A1 A1 (sync marks), the first 8 cells of FE   = 120 cells
//   FM   two 00 bytes, the first 12 FM cells of FE with clock C7           =  88 cells
extern const uint8_t Bf_IDAM_MFM[16];
extern const uint8_t Bf_IDAM_FM[12];
// One gap byte as cells: 4E in MFM, FF in FM.
enum { GAP_MFM = 0x9254, GAP_FM = 0xAAAA };

// ---- reading ----

// Samples the read line at rate kHz for duration us from the next index
// pulse. Keeps the first sample of every pulse. Returns 0 (and takes nothing)
// when the window would not fit the ring.
int Sample(GPIOCTL *gpio, dump_t *dump, int rate, int duration);
// Rescales the set bits of buf from len to newlen positions in place; buf
// must hold (newlen + 7) / 8 bytes. The first argument is unused. Returns newlen.
int StrechSmp(int unused, unsigned char *buf, int len, int newlen);
// Reads one track (period: index period in us; rate: sampling rate in kHz;
// denoise: noise-cancel level, 0 off; analyze: decoder mode). Always 1; the
// outcome is in the dump.
int ReadTrack(GPIOCTL *gpio, dump_t *dump, int period, int rate, int denoise, int analyze);
// What ReadTrack does with the samples of one window of quarters / 4
// revolutions: rescale from the SPI's real rate spirate to rate, encode, and
// look for one revolution. Returns 1 when found; *start / *end as FindLapEnc.
int LocateLap(dump_t *dump, int rate, int spirate, int quarters, int *start, int *end);
// What ReadTrack does after its last window: cuts out the lap (or lets the
// first revolution stand in for it), shapes, denoises, encodes and decodes it.
// The dump is as LocateLap left it: the window's samples and their cells.
void CutLap(dump_t *dump, int period, int rate, int found, int start, int end, int denoise, int analyze);
// LocateLap and CutLap on a dump already holding one window of samples.
void ProcessTrack(dump_t *dump, int period, int rate, int spirate, int quarters, int denoise, int analyze);
// Rewrites every pulse start of a circular raw stream to the 8-sample pattern.
void ShapePulseRaw(unsigned char *buf, int len, unsigned char pattern);
// Finds one revolution of an encoded stream: the first ID mark and its copy
// about expected cells later. 1 when found.
int FindLapEnc(unsigned char *enc, int len, int expected, int *start, int *end);
// Quality of a read attempt; higher is better, 0 without a lap, else the
// ScoreTrack (fdi.h) of its decoded track and the noise removed.
uint32_t EvaluateTrackScore(const dump_t *dump);

// ---- writing ----

// Prepares the track (cylinder, head) of the image for a drive whose index
// period is period us. 1 on success; 0 when the track is missing or does not
// fit the buffers at this drive's speed.
int MakeRestoreData(GPIOCTL *gpio, restore_t *restore, int period, ZELDisk *disk, int cylinder, int head,
                    int analyze);
// The same with the SPI transmitter's real rate for the image's sampling
// rate given (spirate), so the preparation needs no hardware.
int PrepareRestore(restore_t *restore, int period, int spirate, ZELDisk *disk, int cylinder, int head,
                   int analyze);
// Sampling rate (kHz) a track of this image is written at; 0 when not valid.
int RestoreRate(const ZELDisk *disk);
// Encoded position of a splice point inside a run of gap bytes, or -1.
int FindSplicingGapEnc(unsigned char *enc, int len, int from, int count, int mfm);
// Fills pulse-free stretches with pairs of pulses 16 samples apart every 96
// samples. The first argument is unused.
void MakeNoiseRaw(int unused, unsigned char *raw, int len);
// Walks count positions from 0 up (forward) or from len down, circularly, and
// returns the first position of the first run of need zero samples, -1 if none.
int FindUnf(unsigned char *raw, int len, int count, int need, int forward);
// Start of the longest zero run of raw[0, len) (the first of equal runs), or -1;
// its length in *size when size is given.
int FindMaxUnf(unsigned char *raw, int len, int *size);
// Writes one prepared track after holding the gate on for delay us. Returns
// len, or 0 when the SPI transmitter did not take the samples in the time
// they need (the gate is closed all the same).
int WriteTrack(GPIOCTL *gpio, int delay, restore_t *restore);
