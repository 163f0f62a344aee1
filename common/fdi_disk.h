// Helpers shared by the image-file readers and writers (sector formats and HFE).
//
// Readers take the whole file into memory once and parse it with ByteReader, so
// no field or sector can be taken from past the end of what was read. Writers
// build the whole output in memory and hand it to SaveImageFile (or stream a
// header and the sector data through SaveSectorImage), which never leaves a
// half-written image behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Filepath;
class VDisk;
class VSector;
class VTrack;

// Largest image file a reader takes in (far above any floppy image, even a
// D88 file holding dozens of disks).
enum { IMAGE_FILE_MAX = 256 * 1024 * 1024 };

// Writes head and then the data of every sector of tracks 0 .. cylinders - 1
// on both heads (in list order; a missing track adds nothing) as the whole
// content of the file, the way SaveImageFile does, but through a small
// staging buffer rather than a copy of the whole image. The number of bytes
// written goes to size (may be null).
int SaveSectorImage(const Filepath &path, const std::vector<uint8_t> &head, const VDisk &d, int cylinders,
                    int64_t *size = nullptr);

// Reads the whole file into buf. writable (may be null) receives 1 when the
// file can also be opened for reading and writing, which is how the readers
// learn that an image is write-protected. 0 when the file cannot be opened or
// read, or is larger than IMAGE_FILE_MAX.
int LoadImageFile(const Filepath &path, std::vector<uint8_t> &buf, int *writable);

// Size of the file in bytes, -1 when it cannot be opened.
int64_t ImageFileSize(const Filepath &path);

// Writes data as the whole content of the file. The bytes go to a temporary
// file "<path>.tmpXXXX" in the same folder, which is flushed to the device
// and then renamed over the target, so a failure at any point leaves an
// existing file exactly as it was. An existing target without the owner's
// write permission is refused (it is write-protected), and its permission
// bits carry over to the new file.
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

// A track of exactly count sectors of size code n, each holding its full
// 128 << n bytes (and all MFM when mfmonly): the only kind of track the
// formats without sector IDs can store.
bool IsUniformTrack(const VTrack *t, int count, int n, bool mfmonly);

// Appends the data of every sector of the track (null: none), in list order.
void AppendTrackData(std::vector<uint8_t> &out, const VTrack *t);
