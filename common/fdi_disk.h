// Inside the sector image formats: what the dispatch table (fdi_disk.cpp)
// and the format files (fdi_plain, fdi_d88, fdi_dim, fdi_fdi, fdi_fdd,
// fdi_nfd, fdi_imd) share, and the file helpers the track formats use too.
//
// Every format is a reader and a writer over bytes in memory. A reader fills
// a sector disk from the whole file and never reads past it (ByteReader). A
// writer turns a disk into the whole file; it stores what the format can
// hold and leaves the judgement of what it could not to the loss check: the
// export reads the bytes back with the reader, compares the sectors with the
// disk (fdi_loss.h), and only then replaces the file (SaveImageFile). A
// writer fails only when the disk has no form in the format at all, and
// says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ByteReader;
class Filepath;
class VDisk;
class VSector;
class VTrack;

// Largest image file a reader takes in (far above any floppy image, even a
// D88 file holding dozens of disks).
enum { IMAGE_FILE_MAX = 256 * 1024 * 1024 };

// A whole image file as the readers take it.
struct imagefile_t {
    const uint8_t *data;
    size_t size;
    const char *shortname;  // the file's name: the disk name of formats that store none
    int writable;           // 0: the file cannot be written, the disk is write-protected
    int diskno;             // disk of a multi-disk file, counted from 1
};

typedef int (*imagereader_t)(VDisk &disk, const imagefile_t &file);
// out receives the whole file; on 0, why says what the format cannot hold.
typedef int (*imagewriter_t)(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);

int ReadD88(VDisk &disk, const imagefile_t &file);
int WriteD88(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
int ReadDIM(VDisk &disk, const imagefile_t &file);
int WriteDIM(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
int ReadFDI(VDisk &disk, const imagefile_t &file);
int WriteFDI(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
int ReadFDD(VDisk &disk, const imagefile_t &file);
int WriteFDD(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
int ReadNFD(VDisk &disk, const imagefile_t &file);
int WriteNFD(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
int ReadIMD(VDisk &disk, const imagefile_t &file);
int WriteIMD(const VDisk &disk, std::vector<uint8_t> &out, std::string &why);
// Plain dumps: the geometry is row `row` of VDisk::FixFormat.
int ReadFIX(VDisk &disk, const imagefile_t &file, int row);
int WriteFIX(const VDisk &disk, int row, std::vector<uint8_t> &out, std::string &why);

// Offset of disk diskno (from 1) in a D88 file, -1 when the walk over the
// disks before it meets an implausible size.
int64_t D88DiskOffset(const uint8_t *data, size_t size, int diskno);
// Bytes of the disk that starts at base: up to the next disk, or to the end
// of the file for the last one (0 when no header fits there).
size_t D88DiskSpan(const uint8_t *data, size_t size, size_t base);

// Reads the whole file into buf. writable (may be null) receives 1 when the
// file can also be opened for reading and writing, which is how the readers
// learn that an image is write-protected. 0 when the file cannot be opened or
// read, or is larger than IMAGE_FILE_MAX.
int LoadImageFile(const Filepath &path, std::vector<uint8_t> &buf, int *writable);

// What a file looks like by its signature or its header ("an HFE image"),
// for the message of a reader that refuses it; null when it looks like
// nothing known.
const char *ImageLooksLike(const uint8_t *data, size_t size);

// "an IMD image", "a D88 image": the name of a format with its article, as
// the messages say it (an acronym read letter by letter takes "an" before a
// letter whose name starts with a vowel).
std::string ImageKind(const char *name);

// Size of the file in bytes, -1 when it cannot be opened.
int64_t ImageFileSize(const Filepath &path);

// Writes data as the whole content of the file. The bytes go to a temporary
// file in the same folder, which is flushed to the device and then renamed
// over the target, so a failure at any point leaves an existing file exactly
// as it was. An existing target without the owner's write permission is
// refused (it is write-protected), and its permission bits carry over to the
// new file.
int SaveImageFile(const Filepath &path, const uint8_t *data, size_t len);
inline int SaveImageFile(const Filepath &path, const std::vector<uint8_t> &data) {
    return SaveImageFile(path, data.data(), data.size());
}

// A sector as the sector-image readers create it: zero-filled data of
// length bytes, GAP2 22 (MFM) or 11 (FM), and GAP3 from the gap table for the
// density and size code unless gap3 is given (>= 0).
VSector *NewSector(int mfm, int c, int h, int r, int n, int length, int status, int gap3 = -1);

// Copies at most maxlen characters of src (stopping at a NUL) into dst, which
// holds maxlen + 1 bytes, and terminates it.
void CopyName(char *dst, const char *src, size_t maxlen);

// Appends n bytes of value to out and returns the offset of the first.
size_t AppendFill(std::vector<uint8_t> &out, uint8_t value, size_t n);

// The track at cylinder c, head h, or null: writers treat a place the disk
// does not have (one head, fewer cylinders) as an empty track.
const VTrack *TrackAt(const VDisk &d, int c, int h);
int CountSectors(const VTrack *t);  // 0 for a null track
// One past the last cylinder that holds a sector (0 for a blank disk).
int FormattedCylinders(const VDisk &d);

// Formats without sector IDs store a track as a row of slots, one for each
// sector the format's geometry defines. SlotSector finds the sector for the
// slot of ID c h r n in that density (the first of equal IDs), null when the
// track has none; AppendSlot appends its data, cut or zero-padded to len
// bytes, or len zero bytes for an empty slot. Whatever the track holds
// beyond its slots is left for the loss check to name.
const VSector *SlotSector(const VTrack *t, int c, int h, int r, int n, int mfm);
void AppendSlot(std::vector<uint8_t> &out, const VSector *s, int len);

// Tables of 26 sector entries a track (FDD, NFD), entrysize bytes each,
// tracks tracks from table on. An entry whose C H R N are all FF is unused.
enum { TABLE_SECTORS = 26 };
bool IsUnusedEntry(ByteReader &r, size_t entry);
// The tracks in use: up to the last whose first entry is used, so that an
// unformatted track between formatted ones hides nothing. *first receives
// the first used track's first entry (left as it is when none is used).
int TracksInUse(ByteReader &r, size_t table, size_t entrysize, int tracks, size_t *first);
// Bytes of a sector of size code n in those tables.
inline int SizeOfN(int n) { return 128 << (n < 7 ? n : 7); }
