// The ZEL track image: records, conversions between the encode and raw forms,
// and the file format (layout in zeldisk.h).
//
// A record is one heap block: the 16-byte track header, little-endian exactly
// as in the file, followed by the track bits. Every record holds its track:
// bits <= (recsize - 16) * 8 is kept true by every operation here, so the
// emulator and the codecs can trust GetTrackLen against GetTrackData.
#include "zeldisk.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "bytes.h"
#include "fileio.h"
#include "filepath.h"
#include "zel.h"

namespace {

// Offsets of the file header fields.
enum {
    HDR_SIGNATURE = 0, HDR_REVISION = 3, HDR_NAME = 4, HDR_RESERVED0 = 64, HDR_TYPE = 68, HDR_CYLINDERS = 72,
    HDR_HEADS = 76, HDR_RATE = 80, HDR_RPM = 84, HDR_WRITEPROTECT = 88, HDR_RESERVED1 = 92, HDR_TRACKLEN = 96,
    HDR_TRACKSIZE = 100, HDR_RESERVED2 = 104
};
// Offsets of the track header fields inside a record.
enum { REC_CYLINDER = 0, REC_HEAD = 4, REC_START = 8, REC_BITS = 12 };

const char kBlankName[] = "BLANK IMAGE";
const int kNameChars = 59;

// Default geometry and record sizes of the three encode types.
struct zelgeometry_t {
    int cylinders, rate, rpm, encsize, rawsize;
};
const zelgeometry_t kGeometry[3] = {
    {42, 500, 300, 16384, 131072},   // 2D
    {84, 500, 300, 16384, 131072},   // 2DD
    {84, 1000, 360, 32768, 262144},  // 2HD
};

int32_t RecField(const uint8_t *rec, int off) { return (int32_t)GetLE32(rec + off); }

// Bytes of a record holding bits bits.
int64_t RecordFor(int64_t bits) { return ZEL_TRACK_HEADER + (bits + 7) / 8; }

// Bits the data area of a record of size bytes holds.
int64_t BitsIn(int size) { return ((int64_t)size - ZEL_TRACK_HEADER) * 8; }

// A record that is about to be read whole from a file need not be zeroed.
uint8_t *AllocRecord(int size, int cylinder, int head, int bits, bool zero = true) {
    uint8_t *rec = static_cast<uint8_t *>(malloc((size_t)size));
    if (!rec) return nullptr;
    PrefaultPages(rec, (size_t)size);
    if (zero) memset(rec, 0, (size_t)size);
    PutLE32(rec + REC_CYLINDER, (uint32_t)cylinder);
    PutLE32(rec + REC_HEAD, (uint32_t)head);
    PutLE32(rec + REC_BITS, (uint32_t)bits);
    return rec;
}

void ReadHeader(const uint8_t *raw, zelheader_t *h) {
    ByteReader r(raw, ZEL_HEADER_SIZE);
    r.Bytes(HDR_SIGNATURE, h->signature, sizeof h->signature);
    h->revision = (uint8_t)r.U8(HDR_REVISION);
    r.Bytes(HDR_NAME, h->name, sizeof h->name);
    h->reserved0 = r.SLE32(HDR_RESERVED0);
    h->type = r.SLE32(HDR_TYPE);
    h->cylinders = r.SLE32(HDR_CYLINDERS);
    h->heads = r.SLE32(HDR_HEADS);
    h->rate = r.SLE32(HDR_RATE);
    h->rpm = r.SLE32(HDR_RPM);
    h->writeprotect = r.SLE32(HDR_WRITEPROTECT);
    h->reserved1 = r.SLE32(HDR_RESERVED1);
    h->tracklen = r.SLE32(HDR_TRACKLEN);
    h->tracksize = r.SLE32(HDR_TRACKSIZE);
    r.Bytes(HDR_RESERVED2, h->reserved2, sizeof h->reserved2);
}

void WriteHeader(const zelheader_t &h, uint8_t *raw) {
    memcpy(raw + HDR_SIGNATURE, h.signature, sizeof h.signature);
    raw[HDR_REVISION] = h.revision;
    memcpy(raw + HDR_NAME, h.name, sizeof h.name);
    PutLE32(raw + HDR_RESERVED0, (uint32_t)h.reserved0);
    PutLE32(raw + HDR_TYPE, (uint32_t)h.type);
    PutLE32(raw + HDR_CYLINDERS, (uint32_t)h.cylinders);
    PutLE32(raw + HDR_HEADS, (uint32_t)h.heads);
    PutLE32(raw + HDR_RATE, (uint32_t)h.rate);
    PutLE32(raw + HDR_RPM, (uint32_t)h.rpm);
    PutLE32(raw + HDR_WRITEPROTECT, (uint32_t)h.writeprotect);
    PutLE32(raw + HDR_RESERVED1, (uint32_t)h.reserved1);
    PutLE32(raw + HDR_TRACKLEN, (uint32_t)h.tracklen);
    PutLE32(raw + HDR_TRACKSIZE, (uint32_t)h.tracksize);
    memcpy(raw + HDR_RESERVED2, h.reserved2, sizeof h.reserved2);
}

// Bytes of the record a full save writes for a track of bits bits: 17 to
// 528 bytes above its data, a multiple of 512.
int64_t SavedRecord(int64_t bits) { return ((bits + 7) / 8 + 528) & ~(int64_t)511; }

// The limits every header must meet before a record is read: the geometry
// fits the track tables, a record has room for its track header and stays
// below ZEL_MAX_TRACKSIZE, no value is negative, and a revolution at the
// header's rate and speed fits a record a save can write. Null when the
// header fits, else what does not.
const char *HeaderProblem(const zelheader_t &h) {
    if (memcmp(h.signature, "ZEL", 3) != 0) return "it is not a ZEL image";
    if (h.revision < 1 || h.revision > 3) return "its revision is not 1, 2 or 3";
    if (h.cylinders < 0 || h.cylinders > ZEL_MAX_CYLINDERS) return "its cylinder count is out of range (0..84)";
    if (h.heads < 1 || h.heads > ZEL_MAX_HEADS) return "its head count is out of range (1..2)";
    if (h.tracksize < ZEL_TRACK_HEADER || h.tracksize > ZEL_MAX_TRACKSIZE)
        return "its track record size is out of range (16..1048576)";
    if (h.rate < 0 || h.rate > ZEL_MAX_RATE) return "its rate is out of range (0..8000000)";
    if (h.rpm < 0) return "its rpm is negative";
    if (h.rpm > 0 && SavedRecord((int64_t)h.rate * 60000 / h.rpm) > ZEL_MAX_TRACKSIZE)
        return "a revolution at its rate and rpm is longer than a track record can hold";
    // A revision-1 file gives one length, in bytes, for all its tracks.
    if (h.revision == 1 && (h.tracklen < 0 || h.tracklen > h.tracksize - ZEL_TRACK_HEADER))
        return "its track length is out of range";
    return nullptr;
}

// Turns a track so that bit start becomes bit 0: new bit j = old bit
// (j + start) mod bits.
bool RotateTrack(uint8_t *data, int bits, int start) {
    size_t bytes = (size_t)(bits + 7) / 8;
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[bytes]());
    if (!out) return false;
    for (int j = 0, src = start; j < bits; ++j) {
        if (BfGetBit(data, src)) BfSetBit(out.get(), j);
        if (++src == bits) src = 0;
    }
    memcpy(data, out.get(), bytes);
    return true;
}

// Writes count zero bytes.
int WriteZeros(Fileio &file, int64_t count) {
    static const uint8_t zeros[4096] = {};
    while (count > 0) {
        int n = count < (int64_t)sizeof zeros ? (int)count : (int)sizeof zeros;
        if (!file.Write(zeros, n)) return 0;
        count -= n;
    }
    return 1;
}

}  // namespace

ZELDisk::ZELDisk() {
    memset(tracks, 0, sizeof tracks);
    memset(recsize, 0, sizeof recsize);
    Reset();
}

ZELDisk::~ZELDisk() { FreeTracks(); }

void ZELDisk::FreeTracks() {
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h) {
            free(tracks[c][h]);
            tracks[c][h] = nullptr;
            recsize[c][h] = 0;
        }
}

void ZELDisk::Reset() {
    FreeTracks();
    valid = readonly = relayout = 0;
    savedwhole = false;
    saveddev = savedino = 0;
    memset(&header, 0, sizeof header);
    memset(dirty, 0, sizeof dirty);
}

void ZELDisk::Cleanup() {
    if (valid) Reset();
    else FreeTracks();  // an import that failed half-way may have left records
}

int ZELDisk::NewTrack(int cylinder, int head, int size, int bits, bool zero) {
    uint8_t *rec = AllocRecord(size, cylinder, head, bits, zero);
    if (!rec) return 0;
    free(tracks[cylinder][head]);
    tracks[cylinder][head] = rec;
    recsize[cylinder][head] = size;
    return 1;
}

int ZELDisk::Init(int type, int rate, int rpm, int raw) {
    Reset();
    memcpy(header.signature, "ZEL", 3);
    header.revision = 3;
    memcpy(header.name, kBlankName, sizeof kBlankName);
    if (type < ZEL_TYPE_2D || type > ZEL_TYPE_2HD) return 0;

    const zelgeometry_t &g = kGeometry[type];
    if (rate == 0) rate = g.rate;
    if (rpm == 0) rpm = g.rpm;
    if (rate < 0 || rpm < 0 || rate > ZEL_MAX_RATE / 8) return 0;
    int64_t len = (int64_t)rate * (raw ? 480000 : 60000) / rpm;
    // The default record size holds a revolution at the type's own speed; an
    // unusual rate or rpm gets records large enough for its track.
    int64_t size = raw ? g.rawsize : g.encsize;
    if (RecordFor(len) > size) size = (RecordFor(len) + 511) & ~511;
    if (size > ZEL_MAX_TRACKSIZE) return 0;

    header.type = raw ? ZEL_TYPE_RAW : type;
    header.cylinders = g.cylinders;
    header.heads = ZEL_MAX_HEADS;
    header.rate = raw ? rate * 8 : rate;
    header.rpm = rpm;
    header.tracksize = (int32_t)size;
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h) {
            if (!NewTrack(c, h, (int)size, (int)len)) {
                Reset();
                return 0;
            }
            dirty[c][h] = 1;
        }
    relayout = 1;  // no file has this image yet
    valid = 1;
    return 1;
}

char *ZELDisk::GetName(char *buf) const {
    size_t n = strnlen(header.name, kNameChars);
    memcpy(buf, header.name, n);
    buf[n] = 0;
    return buf;
}

void ZELDisk::SetName(const char *name) {
    memset(header.name, 0, sizeof header.name);
    if (name) memcpy(header.name, name, strnlen(name, kNameChars));
}

int ZELDisk::GetTrackLen(int cylinder, int head) const {
    const uint8_t *rec = tracks[cylinder][head];
    return rec ? RecField(rec, REC_BITS) : 0;
}

uint8_t *ZELDisk::GetTrackData(int cylinder, int head) const {
    uint8_t *rec = tracks[cylinder][head];
    return rec ? rec + ZEL_TRACK_HEADER : nullptr;
}

int ZELDisk::GetTrackCapacity(int cylinder, int head) const {
    return tracks[cylinder][head] ? recsize[cylinder][head] - ZEL_TRACK_HEADER : 0;
}

int ZELDisk::GetTrackStart(int cylinder, int head) const {
    const uint8_t *rec = tracks[cylinder][head];
    return rec ? RecField(rec, REC_START) : 0;
}

int ZELDisk::SetTrackLen(int cylinder, int head, int bits) {
    uint8_t *rec = tracks[cylinder][head];
    if (!rec || bits < 0 || bits > BitsIn(recsize[cylinder][head])) return 0;
    PutLE32(rec + REC_START, 0);
    PutLE32(rec + REC_BITS, (uint32_t)bits);
    return 1;
}

int ZELDisk::NominalLength() const {
    if (header.rpm <= 0 || header.rate <= 0) return 0;
    int64_t n = (int64_t)header.rate * 60000 / header.rpm;
    return n > INT_MAX ? INT_MAX : (int)n;
}

int ZELDisk::GrowRecords(int size) {
    if (size <= header.tracksize) return 1;
    if (size > ZEL_MAX_TRACKSIZE) return 0;
    header.tracksize = size;
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h) {
            if (!NewTrack(c, h, size, NominalLength())) return 0;
            dirty[c][h] = 1;
        }
    return 1;
}

// Track conversions for ConvertTracks: old data and length in, the new
// track written into out (capacity bits), its length returned. A result
// above the capacity asks for a larger record.
namespace {

int CellsToSamples(const uint8_t *cells, int len, uint8_t *out, int capacity, int limit) {
    if ((int64_t)len * 8 > capacity) return len > INT_MAX / 8 ? -1 : len * 8;
    int bits = Encode2Raw(cells, len, out, capacity);
    if (bits < 0) return -1;
    return limit > 0 && bits > limit ? StrechRaw(out, bits, limit) : bits;
}

// Clock recovery decides the cell count; a noisy revolution may need more
// than the usual record holds, and then says how many.
int SamplesToCells(const uint8_t *raw, int len, uint8_t *out, int capacity, int) {
    int cells = Raw2Encode(raw, len, out, capacity);
    if (cells >= 0) return cells;
    int need = Raw2EncodeLength(raw, len);
    return need > capacity ? need : -1;
}

struct recordset_t {
    uint8_t *rec[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS] = {};
    int size[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS] = {};
    ~recordset_t() {
        for (auto &row : rec)
            for (uint8_t *p : row) free(p);
    }
};

}  // namespace

// Every new record is built before the image is touched, so a failed
// allocation leaves the image whole in its old form.
int ZELDisk::ConvertTracks(int size, int limit, trackconv_t convert) {
    recordset_t fresh;
    for (int c = 0; c < header.cylinders; ++c)
        for (int h = 0; h < header.heads; ++h) {
            const uint8_t *old = tracks[c][h];
            if (!old) continue;
            int len = RecField(old, REC_BITS), rs = size, bits = 0;
            // The output length is known only after converting (clock
            // recovery decides the cell count): a track that does not fit
            // the usual record is converted again into one that holds it.
            for (int pass = 0;; ++pass) {
                uint8_t *rec = static_cast<uint8_t *>(calloc(1, (size_t)rs));
                if (!rec) return 0;
                free(fresh.rec[c][h]);
                fresh.rec[c][h] = rec;
                fresh.size[c][h] = rs;
                memcpy(rec, old, ZEL_TRACK_HEADER);
                bits = convert(old + ZEL_TRACK_HEADER, len, rec + ZEL_TRACK_HEADER, (int)BitsIn(rs), limit);
                // A track that cannot be converted fails the whole conversion:
                // the image stays as it was rather than lose the track.
                if (bits < 0) return 0;
                if (bits <= BitsIn(rs)) break;
                if (pass > 0 || RecordFor(bits) > INT_MAX / 8) return 0;
                rs = (int)RecordFor(bits);
            }
            PutLE32(fresh.rec[c][h] + REC_BITS, (uint32_t)bits);
        }

    for (int c = 0; c < header.cylinders; ++c)
        for (int h = 0; h < header.heads; ++h) {
            if (!fresh.rec[c][h]) continue;
            free(tracks[c][h]);
            tracks[c][h] = fresh.rec[c][h];
            recsize[c][h] = fresh.size[c][h];
            fresh.rec[c][h] = nullptr;
            dirty[c][h] = 1;
        }
    header.tracksize = size;
    relayout = 1;
    return 1;
}

int ZELDisk::ConvertRaw() {
    if (!valid || header.type == ZEL_TYPE_RAW) return 0;
    // Tracks are kept within half a percent of a nominal raw revolution.
    int64_t nominal = header.rpm > 0 ? (int64_t)header.rate * 480000 / header.rpm : 0;
    int64_t limit = nominal + nominal / 200;
    if (limit > INT_MAX) limit = 0;
    if (!ConvertTracks(header.rate == 1000 ? 262144 : 131072, (int)limit, CellsToSamples)) return 0;
    header.type = ZEL_TYPE_RAW;
    header.rate *= 8;
    return 1;
}

int ZELDisk::ConvertEnc() {
    if (!valid || header.type != ZEL_TYPE_RAW) return 0;
    int rate = header.rate == 8000 ? 1000 : header.rate / 8;
    if (!ConvertTracks(rate == 1000 ? 32768 : 16384, 0, SamplesToCells)) return 0;
    if (header.rate == 8000) header.type = ZEL_TYPE_2HD;
    else header.type = header.cylinders > 42 ? ZEL_TYPE_2DD : ZEL_TYPE_2D;
    header.rate = rate;
    return 1;
}

// Writes one record of tracksize bytes: the record as held (header and data),
// cut to tracksize or padded with zeros; a missing track as an empty one.
int ZELDisk::WriteTrack(Fileio &file, int cylinder, int head, int tracksize) const {
    const uint8_t *rec = tracks[cylinder][head];
    uint8_t blank[ZEL_TRACK_HEADER] = {};
    int n = recsize[cylinder][head];
    if (!rec) {
        PutLE32(blank + REC_CYLINDER, (uint32_t)cylinder);
        PutLE32(blank + REC_HEAD, (uint32_t)head);
        rec = blank;
        n = ZEL_TRACK_HEADER;
    }
    if (n > tracksize) n = tracksize;
    return file.Write(rec, n) && WriteZeros(file, tracksize - n);
}

void ZELDisk::TakeDirty(int (&taken)[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS]) {
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h) taken[c][h] = __atomic_exchange_n(&dirty[c][h], 0, __ATOMIC_ACQ_REL);
}

void ZELDisk::PutBackDirty(const int (&taken)[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS]) {
    for (int c = 0; c < ZEL_MAX_CYLINDERS; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h)
            if (taken[c][h]) __atomic_store_n(&dirty[c][h], 1, __ATOMIC_RELEASE);
}

// Whether the changed tracks may be written into the open file: it is the
// file the dirty flags refer to (the one last written whole, if any) and its
// header and size have the image's layout. Leaves the file at its start.
bool ZELDisk::InPlaceFits(const Filepath &path, Fileio &file) {
    if (relayout) return false;
    if (savedwhole) {
        struct stat st;
        if (stat(path.GetPath(), &st) != 0 || (uint64_t)st.st_dev != saveddev || (uint64_t)st.st_ino != savedino)
            return false;
    }
    uint8_t raw[ZEL_HEADER_SIZE];
    zelheader_t f;
    if (!file.Read(raw, sizeof raw) || !file.Seek(0, 0)) return false;
    ReadHeader(raw, &f);
    int64_t need = ZEL_HEADER_SIZE + (int64_t)header.cylinders * header.heads * header.tracksize;
    return memcmp(f.signature, "ZEL", 3) == 0 && f.revision == 3 && f.cylinders == header.cylinders &&
           f.heads == header.heads && f.tracksize == header.tracksize && file.GetFileSize() >= need;
}

int ZELDisk::Save(const Filepath &path, int full) {
    if (!valid || path.IsClear() || !path.HasExt(".ZEL")) return 0;
    if (full) return SaveFull(path);

    Fileio file;
    if (!file.Open(path, Fileio::ReadWrite)) return 0;
    if (!InPlaceFits(path, file)) {
        file.Close();
        return SaveFull(path);
    }
    // In place the file keeps its record size, so every changed track must
    // fit it; nothing is written unless all of them do.
    int tracksize = header.tracksize;
    for (int c = 0; c < header.cylinders; ++c)
        for (int h = 0; h < header.heads; ++h)
            if (dirty[c][h] && GetTrackLen(c, h) > BitsIn(tracksize)) return 0;
    int taken[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS];
    TakeDirty(taken);
    uint8_t raw[ZEL_HEADER_SIZE];
    WriteHeader(header, raw);
    int ok = file.Write(raw, sizeof raw);
    for (int c = 0; ok && c < header.cylinders; ++c)
        for (int h = 0; ok && h < header.heads; ++h)
            ok = taken[c][h] ? WriteTrack(file, c, h, tracksize) : file.Seek(tracksize, 1);
    // The flags stay cleared only once the whole file is on the device: a
    // failure part-way leaves every changed track to be written again.
    ok = ok && file.Sync();
    file.Close();
    if (!ok) PutBackDirty(taken);
    return ok;
}

// A full save writes a new file beside the target and renames it over the
// target only when complete (FileReplace): the target is either the old file
// or the whole new one.
int ZELDisk::SaveFull(const Filepath &path) {
    // Records are sized for the longest track, 17 to 528 bytes above its
    // data and a multiple of 512 bytes.
    int64_t longest = NominalLength();
    for (int c = 0; c < header.cylinders; ++c)
        for (int h = 0; h < header.heads; ++h)
            if (GetTrackLen(c, h) > longest) longest = GetTrackLen(c, h);
    int64_t tracksize = SavedRecord(longest);
    if (tracksize > ZEL_MAX_TRACKSIZE) return 0;  // Load would refuse the file

    zelheader_t out = header;
    memcpy(out.signature, "ZEL", 3);
    out.revision = 3;
    out.tracklen = 0;
    out.tracksize = (int32_t)tracksize;
    uint8_t raw[ZEL_HEADER_SIZE];
    WriteHeader(out, raw);

    int taken[ZEL_MAX_CYLINDERS][ZEL_MAX_HEADS];
    TakeDirty(taken);
    FileReplace replace;
    int ok = replace.Begin(path.GetPath()) && replace.File().Write(raw, sizeof raw);
    for (int c = 0; ok && c < header.cylinders; ++c)
        for (int h = 0; ok && h < header.heads; ++h) ok = WriteTrack(replace.File(), c, h, (int)tracksize);
    ok = ok && replace.Commit();
    if (replace.Replaced()) {
        // The file has the new layout even when flushing the folder failed;
        // the tracks then stay dirty so that the next save writes them again.
        // From now on the flags refer to this file.
        header = out;
        relayout = 0;
        struct stat st;
        savedwhole = stat(path.GetPath(), &st) == 0;
        saveddev = savedwhole ? (uint64_t)st.st_dev : 0;
        savedino = savedwhole ? (uint64_t)st.st_ino : 0;
        if (!savedwhole) relayout = 1;  // the file cannot be told apart: the next save writes it whole
    }
    if (!ok) PutBackDirty(taken);
    return ok;
}

int ZELDisk::Load(const Filepath &path, int correct, std::string *why) {
    Reset();
    if (path.IsClear() || !path.HasExt(".ZEL")) return 0;
    auto fail = [&](const std::string &what) {
        if (why) *why = std::string(path.GetPath()) + ": " + what;
        return LoadFailed();
    };

    // A file that cannot be opened for writing (or lacks the owner-write
    // bit) is a write-protected disk.
    Fileio file;
    readonly = !file.Open(path, Fileio::ReadWrite);
    if (!file.Open(path, Fileio::ReadOnly)) return fail(FileProblem(path.GetPath(), errno));

    uint8_t raw[ZEL_HEADER_SIZE];
    if (!file.Read(raw, sizeof raw)) return fail("it is shorter than a ZEL header");
    ReadHeader(raw, &header);
    if (const char *problem = HeaderProblem(header)) return fail(problem);
    const int revision = header.revision, tracksize = header.tracksize;
    // The whole image must be there before anything is allocated for it.
    int64_t need = ZEL_HEADER_SIZE + (int64_t)header.cylinders * header.heads * tracksize;
    if (file.GetFileSize() < need) return fail("it ends before its last track");

    const int64_t capacity = BitsIn(tracksize);
    for (int c = 0; c < header.cylinders; ++c)
        for (int h = 0; h < header.heads; ++h) {
            if (!NewTrack(c, h, tracksize, 0, revision == 1)) return fail("out of memory");
            uint8_t *rec = tracks[c][h];
            if (revision == 1) {
                // Revision 1: the data first, then 16 unused bytes; one
                // length for all tracks, in bytes.
                if (!file.Read(rec + ZEL_TRACK_HEADER, tracksize - ZEL_TRACK_HEADER) || !file.Seek(16, 1))
                    return fail(FileProblem(path.GetPath(), errno));
                PutLE32(rec + REC_BITS, (uint32_t)header.tracklen * 8);
                continue;
            }
            if (!file.Read(rec, tracksize)) return fail(FileProblem(path.GetPath(), errno));
            // Revision 2 counts start and length in bytes.
            int scale = revision == 2 ? 8 : 1;
            int64_t start = (int64_t)RecField(rec, REC_START) * scale;
            int64_t bits = (int64_t)RecField(rec, REC_BITS) * scale;
            // A track a save could not write again is refused here already.
            if (bits < 0 || bits > capacity || start < 0 || (start > 0 && start >= bits) ||
                SavedRecord(bits) > ZEL_MAX_TRACKSIZE)
                return fail("the length or start of track " + std::to_string(c * header.heads + h) +
                            " is out of range");
            if (start > 0 && !RotateTrack(rec + ZEL_TRACK_HEADER, (int)bits, (int)start)) return fail("out of memory");
            PutLE32(rec + REC_START, 0);
            PutLE32(rec + REC_BITS, (uint32_t)bits);
        }
    file.Close();

    if (revision < 3) {
        // Older revisions counted the rate at half its value.
        header.rate *= 2;
        header.revision = 3;
        header.tracklen = 0;
        relayout = 1;
    }
    if (correct && header.type == ZEL_TYPE_RAW)
        for (int c = 0; c < header.cylinders; ++c)
            for (int h = 0; h < header.heads; ++h) AlignRaw(GetTrackData(c, h), GetTrackLen(c, h));

    // Every image offers 42 or 84 cylinders on two heads; tracks the file
    // does not have are blank revolutions of nominal length.
    int cylinders = header.cylinders > 42 ? ZEL_MAX_CYLINDERS : 42;
    if (cylinders != header.cylinders || header.heads != ZEL_MAX_HEADS) relayout = 1;
    header.cylinders = cylinders;
    header.heads = ZEL_MAX_HEADS;
    int blank = NominalLength() < capacity ? NominalLength() : (int)capacity;
    for (int c = 0; c < cylinders; ++c)
        for (int h = 0; h < ZEL_MAX_HEADS; ++h)
            if (!tracks[c][h] && !NewTrack(c, h, tracksize, blank)) return fail("out of memory");
    valid = 1;
    return 1;
}

int ZELDisk::LoadFailed() {
    Reset();
    return 0;
}
