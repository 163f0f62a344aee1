// The bridge from a ZEL image to the FM/MFM decoder.
#include "fdi.h"
#include "zeldisk.h"

// Decodes one track of the image into a new VTrack owned by the caller. A
// missing record decodes as an empty (unformatted) track; a record's bit
// count is never trusted beyond the bytes the record holds.
VTrack *ZELDisk::Analyze(int cylinder, int head, int mode) {
    if (!valid || cylinder < 0 || head < 0) return nullptr;
    if (cylinder >= header.cylinders || head >= header.heads) return nullptr;
    if (cylinder >= ZEL_MAX_CYLINDERS || head >= ZEL_MAX_HEADS) return nullptr;

    const uint8_t *data = GetTrackData(cylinder, head);
    int bits = data ? GetTrackLen(cylinder, head) : 0;
    int64_t capacity = (int64_t)GetTrackCapacity(cylinder, head) * 8;
    if (bits > capacity) bits = (int)capacity;
    if (bits < 0) bits = 0;

    VTrack *track = new VTrack;
    track->Decode(header.type == ZEL_TYPE_RAW, data, bits, mode);
    return track;
}
