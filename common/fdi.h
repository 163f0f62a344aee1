// The sector-level view of a floppy disk: sectors, tracks, whole sector disks,
// the FM/MFM track encoder and decoder, and the sector image formats.
//
// Cell units: one cell per bit of the encode stream, MSB first. The grid is the
// MFM grid: an MFM byte is 16 cells, an FM byte 32 cells (each FM bit is the
// four cells clock, 0, data, 0).
#pragma once

#include <cstdint>
#include <vector>

class Filepath;
class LossReport;

// Sector status flags.
enum {
    SECTOR_NODATA = 0x01,    // neither a data nor a deleted-data mark after the ID
    SECTOR_DELETED = 0x04,   // deleted-data mark (F8)
    SECTOR_IDCRC = 0x08,     // ID CRC error
    SECTOR_DATACRC = 0x10,   // data CRC error
};

// Track flags.
enum {
    TRACK_IAM = 0x0001,       // index address mark found (iampos valid)
    TRACK_FM = 0x0002,        // at least one FM sector
    TRACK_MFM = 0x0004,       // at least one MFM sector
    TRACK_STRADDLE = 0x0008,  // a sector's data field wraps past the index
    TRACK_NODATA = 0x0100,    // a sector without data field
    TRACK_DATACRC = 0x0200,   // a data CRC error
    TRACK_IDCRC = 0x0C00,     // an ID CRC error (both bits together)
    TRACK_MANYDAM = 0x2000,   // more data marks than ID marks
    TRACK_OVERLAP = 0x4000,   // two sectors overlap
    TRACK_UNFORMAT = 0x8000,  // no cells, or no ID mark at all
    TRACK_ERRORS = 0xFF00,    // any of the irregularities above
};

enum { TRACK_MAX_CELLS = 262144, TRACK_ENC_BYTES = TRACK_MAX_CELLS / 8 };
// Cells before the first sector: the preamble both encoders write (146 MFM
// bytes or 73 FM bytes).
enum { TRACK_PREAMBLE_CELLS = 2336 };
// What the longest track holds: no more data bytes than its cells make at
// 16 cells a byte, no more sectors than fit with no data and no gaps (62
// bytes each). A sector image claiming more for one track is not a disk.
enum { TRACK_MAX_BYTES = TRACK_MAX_CELLS / 16, TRACK_MAX_SECTORS = TRACK_MAX_CELLS / (62 * 16) };
enum { ANALYZE_UPD765 = 0, ANALYZE_MB8877 = 1 };
// What a decode keeps beside the sectors: the cell stream (encdata), and for
// raw samples the data rate of each sector, measured with a second walk over
// the samples.
enum { DECODE_CELLS = 1, DECODE_RATES = 2, DECODE_ALL = DECODE_CELLS | DECODE_RATES };

// CRC-16/CCITT, polynomial 0x1021, MSB first, no reflection, no final XOR.
extern const uint16_t crctbl[256];
uint16_t CalcCRC(const uint8_t *data, int len, uint16_t crc = 0xFFFF);

// Cell patterns of every byte: MFM with the previous data bit 0 (16 cells),
// FM with all clock bits 1 (32 cells).
extern const uint16_t MFMTable[256];
extern const uint32_t FMTable[256];

class VSector {
  public:
    VSector() {}
    virtual ~VSector() { delete[] data; }
    VSector(const VSector &) = delete;
    VSector &operator=(const VSector &) = delete;

    // Nominal GAP3 by density and size code (clamped to 0..3).
    int CalcGAP3(int mfm, int n) const;
    // Cells the sector takes on a track with GAP2 at its standard length.
    int64_t NominalCells() const;

    int32_t mfm = 0;  // 1 MFM, 0 FM
    uint8_t c = 0, h = 0, r = 0, n = 0;
    int32_t gap2 = 0;
    int32_t length = 0;      // bytes in data
    uint8_t *data = nullptr;  // owned, length bytes
    int32_t gap3 = 0;
    uint8_t status = 0;
    uint8_t idcrc[2] = {0, 0};    // as found on the medium, high byte first
    uint8_t datacrc[2] = {0, 0};
    int32_t idpos = 0;     // cell of the ID mark (first A1, or the FM mark byte)
    int32_t dampos = 0;    // cell of the data mark
    int32_t datapos = 0;   // cell of the first data byte (not wrapped)
    int32_t endpos = 0;    // cell just past the data CRC
    int32_t datacells = 0; // length * cells per byte
    int32_t rate = 0;      // per mille deviation of the data field's length
    VSector *next = nullptr;
};

class VTrack {
  public:
    VTrack() {}
    virtual ~VTrack() { Cleanup(); }
    VTrack(const VTrack &) = delete;
    VTrack &operator=(const VTrack &) = delete;

    void Cleanup();
    void ClrSector();
    // Drops the decoded cell stream (encdata, cells) and keeps the sectors:
    // a whole disk of sector lists then takes a fraction of the memory.
    void ReleaseCells();
    void AddSector(VSector *sector);
    VSector *GetSectorByIndex(int index) const;
    VSector *GetLasttSector() const;
    int GetLength() const;
    int GetEncData(int pos) const;
    int CalcTotalMFM() const;
    int CalcTotalFM() const;
    int ShrinkGapMFM(int target);
    int ShrinkGapFM(int target);
    // Cells the sector list takes with every GAP3 at 0: no revolution
    // shorter than this holds the track.
    int64_t MinimumCells() const;
    // Shrinks the GAP3s until the track fits a revolution of count cells:
    // first down to 20 bytes within 97 % of it (3 % stays free for a drive's
    // speed error), then further down to 0 bytes, and last into the spare
    // 3 %, as formatters of crowded tracks do. 1 when the track fits.
    int FitGaps(int count);
    int SectorCount() const { return mfmcount + fmcount; }

    // Encoder.
    int Encode(int raw, uint8_t *buf, int len);
    int EncodeMFM(uint8_t *buf, int cells);
    int EncodeFM(uint8_t *buf, int cells);
    static int GenIAM(uint8_t *buf, int mfm);
    static int GenIDAM(uint8_t *buf, int mfm);
    static int GenDAM(uint8_t *buf, int deleted, int mfm);
    static int FillMFM(uint8_t *buf, uint8_t value, int count, int *prevbit);
    static int GenMFM(uint8_t *buf, const uint8_t *src, int count, int *prevbit);
    static int FillFM(uint8_t *buf, uint8_t value, int count);
    static int GenFM(uint8_t *buf, const uint8_t *src, int count);

    // Decoder. options (DECODE_CELLS, DECODE_RATES) say what is made
    // beyond the sector list; without DECODE_CELLS, cells holds the length
    // of the stream decoded and encdata stays null.
    void Decode(int raw, const uint8_t *buf, int count, int analyze);  // DECODE_ALL
    void Decode(int raw, const uint8_t *buf, int count, int analyze, int options);
    void DecodeIn(const uint8_t *cells, int count, const int (*candidates)[2], int mfmtrack, int analyze);
    // Data rates of a decoded track: the raw length of each data field, from
    // the start of its SYNC to the end of its CRC, against the nominal length.
    // RateMarks appends the two cell positions of every sector with a data
    // field to pos (and the sector to fields); SetRates takes the same
    // positions mapped to samples of a revolution of len samples (-1 where
    // the mapping ran out) and sets each sector's rate.
    void RateMarks(std::vector<int> &pos, std::vector<VSector *> &fields) const;
    static void SetRates(const std::vector<VSector *> &fields, const int *pos, int len);
    static int BfSplitClock(const uint8_t *cells, int count, int start, uint8_t *out, int bytes, int mfm,
                            int noise);

    uint32_t flags = 0;
    int32_t iampos = 0;
    int32_t gap1 = 0;
    int32_t gap4a = 0;
    int32_t gap4b = 0;
    int32_t cells = 0;
    uint8_t *encdata = nullptr;  // TRACK_ENC_BYTES, owned, after decoding with DECODE_CELLS
    VSector *sectors = nullptr;
    int32_t mfmcount = 0;
    int32_t fmcount = 0;

  private:
    VSector *m_tail = nullptr;  // the last sector, so that appending is one step
};

// Quality of one read of a track (decoded into track, noise pulses removed
// before decoding); higher is better. More sectors without an error rank
// first, then fewer damaged sectors, then the index mark, then the noise
// removed. The real-drive reader ranks its attempts with it, the flux image
// imports the revolutions of a track.
uint32_t ScoreTrack(const VTrack &track, int noise);

// One row of the plain-dump geometry table.
struct fixformat_t {
    int size;       // file size in bytes; 0 = never chosen, -1 ends the table
    int cylinders;
    int sectors;    // per track
    int n;          // size code
    int gap3;
    int type;       // VDisk media type
};

class VDisk {
  public:
    enum { TYPE_2D = 1, TYPE_2DD = 3, TYPE_2HD = 7 };
    enum { MAX_CYLINDERS = 84, MAX_HEADS = 2 };

    VDisk();
    virtual ~VDisk();
    VDisk(const VDisk &) = delete;
    VDisk &operator=(const VDisk &) = delete;

    void Init(int type, int cylinders, int heads);
    void Cleanup();
    // report (may be null) receives why an import failed, and what an
    // export would lose; the export fails, writing nothing, when the report
    // holds a loss of a kind it does not accept. An export as disk diskno
    // (from 1) of an existing multi-disk D88 file replaces that disk only.
    int Import(const Filepath &path, int diskno, LossReport *report = nullptr);
    int Export(const Filepath &path, LossReport *report = nullptr, int diskno = 0);
    // Whether the path's extension names a sector image format.
    static bool CanExport(const Filepath &path);
    // Whether Export to the path's format would keep every sector; writes
    // nothing (only the extension of the path counts).
    int Fits(const Filepath &path, LossReport *report = nullptr) const;

    int ImportFIX(const Filepath &path);
    int ExportFIX(int row, const Filepath &path);
    int ImportD68(const Filepath &path, int diskno);
    int ExportD68(const Filepath &path);
    int GetD68MediaOffset(const Filepath &path, int diskno);
    int ImportDIM(const Filepath &path);
    int ExportDIM(const Filepath &path);
    int ImportFDI(const Filepath &path);
    int ExportFDI(const Filepath &path);
    int ImportFDD(const Filepath &path);
    int ExportFDD(const Filepath &path);
    int ImportNFD(const Filepath &path);
    int ExportNFD(const Filepath &path);

    static const fixformat_t FixFormat[];

    int32_t type = 0;
    int32_t cylinders = 0;
    int32_t heads = 0;
    char name[60] = {0};
    int32_t protect = 0;
    VTrack *tracks[MAX_CYLINDERS][MAX_HEADS] = {};
};
