// Inside the track image formats: what the dispatch (zeldisk_io.cpp) and the
// format files (zeldisk_hfe, zeldisk_mfi, zeldisk_scp) share.
//
// Each track format is a reader and a writer over bytes in memory, as the
// sector formats are (fdi_disk.h). A reader fills a ZELDisk from the whole
// file and never reads past it; it answers 0 for a file that is not of its
// format, or that no track image can hold, and then why says what is wrong
// (it may stay empty for a file of another kind). A writer turns the image
// into the whole file; it is given the image's sectors as the decoder reads
// them too (cell positions included), for what a format places by them.
// The export reads those bytes back with the reader and compares the
// sectors of both images before anything replaces the file.
//
// Flux formats store transitions as times or angles. Both directions go
// through one revolution of transitions (fluxrev_t) in the units of the
// track: samples of a raw image, half cells of an encode image (a
// transition sits in the middle of its cell).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fdi_disk.h"

class ZELDisk;

typedef int (*trackreader_t)(ZELDisk &z, const imagefile_t &file, std::string &why);
typedef int (*trackwriter_t)(const ZELDisk &z, const VDisk &sectors, std::vector<uint8_t> &out,
                             std::string &why);

int ReadHFE(ZELDisk &z, const imagefile_t &file, std::string &why);
int WriteHFE(const ZELDisk &z, const VDisk &sectors, std::vector<uint8_t> &out, std::string &why);
int ReadMFI(ZELDisk &z, const imagefile_t &file, std::string &why);
int WriteMFI(const ZELDisk &z, const VDisk &sectors, std::vector<uint8_t> &out, std::string &why);
int ReadSCP(ZELDisk &z, const imagefile_t &file, std::string &why);
int WriteSCP(const ZELDisk &z, const VDisk &sectors, std::vector<uint8_t> &out, std::string &why);

// One revolution of flux.
struct fluxrev_t {
    std::vector<uint32_t> at;  // transitions, ascending, below length
    uint32_t length = 0;       // units in the revolution
    uint64_t unitrate = 0;     // units per second
};

// The transitions of track cylinder, head: the rising edges of a raw
// track, the 1 cells of an encode one. An empty revolution for a missing track.
void TrackFlux(const ZELDisk &z, int cylinder, int head, fluxrev_t &rev);
// One past the last cylinder whose tracks hold any transition (0 for a
// blank image).
int FluxCylinders(const ZELDisk &z);

// A raw revolution of len samples with a three-sample pulse rising at each
// of the sample positions (taken modulo len), as the real-drive reader shapes
// its pulses. bits receives (len + 7) / 8 bytes.
void PulsesToRaw(const std::vector<uint32_t> &samples, int len, std::vector<uint8_t> &bits);
// Stores a raw revolution of len samples as track cylinder, head of a raw
// image; records grow when the revolution does not fit them. 0 when it
// cannot be held.
int PutRawTrack(ZELDisk &z, int cylinder, int head, const std::vector<uint8_t> &bits, int len);

// Intervals between transitions, counted to find the cell length of a disk.
class FluxHistogram {
  public:
    // bucket: the width of one count in the caller's units.
    explicit FluxHistogram(double bucket) : m_bucket(bucket), m_count(kBuckets, 0) {}
    void Add(uint64_t interval);
    // The candidate cell length (caller's units) under which the most
    // intervals are 2, 3 or 4 cells long, within a quarter cell: the cell
    // grids FM and MFM both write. The first of equal ones; -1 when no
    // interval fits any.
    int Best(const double *cells, int count) const;
    uint64_t Total() const { return m_total; }

  private:
    static const int kBuckets = 4096;
    double m_bucket;
    std::vector<uint64_t> m_count;
    uint64_t m_total = 0;
};

// Type of a raw image of that rate and cylinder count: high density at
// 1000 kcells/s, else double density above 42 cylinders, else 2D.
int FluxDiskType(int rate, int cylinders);
