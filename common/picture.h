// Pictures of a disk, as SVG (text, drawn here with no library) and as the
// same numbers in plain text: the disk map (every sector a cell coloured by
// its state) and the flux histogram (the spread of pulse intervals of raw
// samples, with the 2-, 3- and 4-cell peaks found and measured).
//
// The pictures are made from plain records filled by the caller (the
// viewer, the reader, the drive test), so this module needs nothing but the
// bitstream core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---- Disk map ---------------------------------------------------------------

enum mapstate_e { MAP_GOOD, MAP_DATACRC, MAP_IDCRC, MAP_DELETED, MAP_NODATA, MAP_DUPLICATE, MAP_STATES };

struct mapsector_t {
    int r;             // record number of its ID
    mapstate_e state;  // the worst thing about it: no data field, data CRC, ID CRC, duplicate, deleted
};

struct maptrack_t {
    int cylinder = 0, head = 0;
    bool formatted = false;
    bool straddle = false;    // a sector runs across the index
    bool overlap = false;     // two sectors overlap
    bool extramarks = false;  // more data marks than ID marks
    std::vector<mapsector_t> sectors;  // in the order found on the track
};

struct diskmap_t {
    std::string name, kind;  // the image's name and type ("2HD", "RAW" ...)
    int rate = 0, rpm = 0, cylinders = 0, heads = 0;
    std::vector<maptrack_t> tracks;
};

struct mapcount_t {
    int sectors[MAP_STATES] = {};
    int formatted = 0, unformatted = 0, damaged = 0;  // tracks; damaged: a sector in error
    int errors = 0;                                   // sectors in error (CRC errors, no data field)
};

// CRC errors and missing data fields are errors; deleted data and a
// duplicate ID are worth seeing, but a disk may hold them as written.
bool MapStateIsError(mapstate_e state);
mapcount_t CountMap(const diskmap_t &map);
const char *MapStateName(mapstate_e state);
const char *MapStateColour(mapstate_e state);
std::string DiskMapSvg(const diskmap_t &map);
std::string DiskMapText(const diskmap_t &map);

// ---- Flux histogram -----------------------------------------------------------

enum { FLUX_MAX_INTERVAL = 96 };  // samples; longer intervals are counted in the last bin

struct fluxpeak_t {
    int cells;        // 2, 3 or 4
    double at;        // mean interval in samples
    double spread;    // standard deviation, samples
    uint64_t pulses;  // intervals counted in the peak
};

struct fluxhist_t {
    int samplerate = 8000;  // kHz: an interval of n samples lasts n / samplerate ms
    std::vector<uint64_t> counts = std::vector<uint64_t>(FLUX_MAX_INTERVAL + 1, 0);
    uint64_t total = 0;
    bool fm = false;                // no 3-cell peak: an FM recording
    std::vector<fluxpeak_t> peaks;  // set by FindFluxPeaks
};

// Adds the intervals between the rising edges of a raw stream of len samples
// (taken round the circle).
void AddFlux(fluxhist_t &hist, const uint8_t *raw, int len);
// Finds the peaks at 2, 3 and 4 cells, each from the intervals within half
// a cell of it; the cell is half the first clear peak (8 samples in a raw
// image, 16 for a double-density disk sampled at the high-density rate);
// fm when the 3-cell one holds under 2 % of all.
void FindFluxPeaks(fluxhist_t &hist);
std::string FluxHistogramSvg(const fluxhist_t &hist, const std::string &title);
std::string FluxHistogramText(const fluxhist_t &hist);
