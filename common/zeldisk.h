// The ZEL track image: a whole disk as one circular bitstream per cylinder and
// head, in encode or raw form (see zel.h), and its file format.
//
// File layout (all integers 32-bit little-endian, signed):
//
//   header, 256 bytes
//   off  size  field
//     0     3  signature "ZEL"
//     3     1  revision (3 written; 1 and 2 read)
//     4    60  name, NUL-terminated
//    64     4  reserved
//    68     4  type: 0 2D, 1 2DD, 2 2HD (encode), 9 RAW
//    72     4  cylinders
//    76     4  heads
//    80     4  rate: cells/ms (encode) or samples/ms (raw)
//    84     4  rpm
//    88     4  writeprotect
//    92     4  reserved
//    96     4  tracklen (revision 1 only: bytes per track)
//   100     4  tracksize: bytes of every track record, header included
//   104   152  reserved
//
//   then cylinders x heads records (c0h0, c0h1, c1h0, ...), tracksize bytes each:
//     0     4  cylinder
//     4     4  head
//     8     4  start: bit where the revolution begins (0 when written here)
//    12     4  bits: track length in bits
//    16     -  track bits, MSB first, then padding
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Filepath;
class Fileio;
class LossReport;
class VDisk;
class VTrack;
struct diskmap_t;

enum { ZEL_MAX_CYLINDERS = 84, ZEL_MAX_HEADS = 2, ZEL_HEADER_SIZE = 256, ZEL_TRACK_HEADER = 16 };
// Largest record and stored rate a file may declare: far above any real
// track (a raw high-density revolution needs 262144 bytes) and small enough
// that a damaged header cannot make Load allocate without bound.
enum { ZEL_MAX_TRACKSIZE = 0x100000, ZEL_MAX_RATE = 8000000 };
enum { ZEL_TYPE_2D = 0, ZEL_TYPE_2DD = 1, ZEL_TYPE_2HD = 2, ZEL_TYPE_RAW = 9 };

// The header as held in memory; read and written field by field.
struct zelheader_t {
    char signature[3];
    uint8_t revision;
    char name[60];
    int32_t reserved0;
    int32_t type;
    int32_t cylinders;
    int32_t heads;
    int32_t rate;
    int32_t rpm;
    int32_t writeprotect;
    int32_t reserved1;
    int32_t tracklen;
    int32_t tracksize;
    uint8_t reserved2[152];
};

class ZELDisk {
  public:
    ZELDisk();
    virtual ~ZELDisk();
    ZELDisk(const ZELDisk &) = delete;  // owns its records
    ZELDisk &operator=(const ZELDisk &) = delete;

    int Init(int type, int rate, int rpm, int raw);
    void Cleanup();

    char *GetName(char *buf) const;  // buf holds at least 60 bytes
    void SetName(const char *name);

    // Track accessors: callers pass cylinder 0..83 and head 0..1.
    int GetTrackLen(int cylinder, int head) const;
    uint8_t *GetTrackData(int cylinder, int head) const;
    void UpdateTrack(int cylinder, int head) { dirty[cylinder][head] = 1; }
    // Bytes of track data the record can hold (0 when missing).
    int GetTrackCapacity(int cylinder, int head) const;
    int GetTrackStart(int cylinder, int head) const;
    // Sets the record's bits (and start to 0); fails when the record is
    // missing or too small for that many bits.
    int SetTrackLen(int cylinder, int head, int bits);

    // Decodes one track into a new VTrack (caller deletes it); null when the
    // image is not valid or the track lies outside it. options: what the
    // decode keeps beside the sectors (DECODE_CELLS, DECODE_RATES, fdi.h);
    // without them, everything.
    VTrack *Analyze(int cylinder, int head, int mode);
    VTrack *Analyze(int cylinder, int head, int mode, int options);

    int ConvertRaw();
    int ConvertEnc();
    // full: writes a temporary file beside the target, flushes it and renames
    // it over the target (FileReplace), so a failure leaves the old file as
    // it was; an existing target without its owner-write bit is refused.
    // Otherwise writes only the dirty tracks into the existing file (refused
    // when its owner-write bit is clear). That is done only into a file the
    // dirty flags refer to and whose header has the image's layout; any other
    // file (one the image was never written to whole while another was, one
    // from an older revision or a smaller geometry, a converted or new image)
    // is rewritten whole the same safe way.
    // The flags are taken when the writing starts: a track marked while the
    // save runs (another thread changing it) stays dirty for the next save,
    // and a failed save leaves every flag it took set again.
    int Save(const Filepath &path, int full);
    // why (may be null) receives the reason a load failed: the path and
    // the system's reason, or the header field that is out of range.
    int Load(const Filepath &path, int correct, std::string *why = nullptr);

    // Import and export succeed only when every sector of the source reaches
    // the destination with its ID, status and data (the loss check,
    // fdi_loss.h); otherwise they fail, an export writing nothing. report
    // (may be null) receives the losses and reasons, and sets which kinds
    // of loss are accepted (then only listed).
    int Import(const Filepath &path, int diskno, LossReport *report = nullptr);
    // diskno > 0: the image replaces that disk of an existing multi-disk D88
    // file, whose other disks stay as they are.
    int Export(const Filepath &path, int analyze, LossReport *report = nullptr, int diskno = 0);
    // Whether the path's extension names a format Export writes.
    static bool CanExport(const Filepath &path);
    // Whether it names a track image format (HFE, MFI, SCP): one that holds
    // the tracks themselves, not sectors decoded from them.
    static bool IsTrackFormat(const Filepath &path);
    int ImportHFE(const Filepath &path);
    int ExportHFE(const Filepath &path, int analyze = 0, LossReport *report = nullptr);

    // The sectors of every track as the decoder reads them (cells released).
    // measure 0 leaves out what only the samples of a raw image tell (the
    // data rate of each sector), which the loss check does not compare.
    void Sectors(VDisk &disk, int analyze, int measure = 1);
    // The disk map of the image (picture.h); kind names its type.
    void Map(diskmap_t &map, int analyze, const char *kind);

    // Nominal bits of one revolution: rate * 60000 / rpm (0 when rpm is 0).
    int NominalLength() const;
    // Makes every record at least size bytes: when they are smaller, each is
    // replaced by a blank one of that size (nominal length, dirty). 0 when
    // memory runs out or size exceeds ZEL_MAX_TRACKSIZE.
    int GrowRecords(int size);

    int valid;
    int readonly;
    zelheader_t header;
    uint8_t *tracks[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS];
    int dirty[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS];

  private:
    void Reset();  // frees every record and zeroes all fields
    void FreeTracks();
    int LoadFailed();  // releases what a failed Load read; returns 0
    int SaveFull(const Filepath &path);
    // Replaces every track of the image by convert's output in new records
    // of at least size bytes; all or nothing.
    typedef int (*trackconv_t)(const uint8_t *in, int len, uint8_t *out, int capacity, int limit);
    int ConvertTracks(int size, int limit, trackconv_t convert);
    int WriteTrack(Fileio &file, int cylinder, int head, int tracksize) const;
    int relayout;  // the file no longer has the image's layout: rewrite it whole
    // The file last written whole (device and inode), to which the dirty flags
    // refer from then on; none before the first full save.
    bool savedwhole;
    uint64_t saveddev, savedino;
    // Clears the dirty flags into taken (an atomic exchange each: the emulator
    // marks tracks while saving); PutBackDirty sets the taken ones again.
    void TakeDirty(int (&taken)[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS]);
    void PutBackDirty(const int (&taken)[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS]);
    bool InPlaceFits(const Filepath &path, Fileio &file);
    // Allocates a record of size bytes with its track header, zero-filled
    // unless it is about to be read whole from a file.
    int NewTrack(int cylinder, int head, int size, int bits, bool zero = true);
    int recsize[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS];  // bytes each record was allocated with
};
