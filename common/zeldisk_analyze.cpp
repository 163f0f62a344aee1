// The bridge from a ZEL image to the FM/MFM decoder.
#include "fdi.h"
#include "picture.h"
#include "zeldisk.h"

// Decodes one track of the image into a new VTrack owned by the caller. A
// missing record decodes as an empty (unformatted) track; a record's bit
// count is never trusted beyond the bytes the record holds.
VTrack *ZELDisk::Analyze(int cylinder, int head, int mode) {
    return Analyze(cylinder, head, mode, DECODE_ALL);
}

VTrack *ZELDisk::Analyze(int cylinder, int head, int mode, int options) {
    if (!valid || cylinder < 0 || head < 0) return nullptr;
    if (cylinder >= header.cylinders || head >= header.heads) return nullptr;
    if (cylinder >= ZEL_MAX_CYLINDERS || head >= ZEL_MAX_HEADS) return nullptr;

    const uint8_t *data = GetTrackData(cylinder, head);
    int bits = data ? GetTrackLen(cylinder, head) : 0;
    int64_t capacity = (int64_t)GetTrackCapacity(cylinder, head) * 8;
    if (bits > capacity) bits = (int)capacity;
    if (bits < 0) bits = 0;

    VTrack *track = new VTrack;
    track->Decode(header.type == ZEL_TYPE_RAW, data, bits, mode, options);
    return track;
}

// A sector's state for the map: the worst thing about it.
static mapstate_e SectorState(const VSector *s, const VTrack &t) {
    if (s->status & SECTOR_NODATA) return MAP_NODATA;
    if (s->status & SECTOR_DATACRC) return MAP_DATACRC;
    if (s->status & SECTOR_IDCRC) return MAP_IDCRC;
    for (const VSector *o = t.sectors; o != s; o = o->next)
        if (o->c == s->c && o->h == s->h && o->r == s->r && o->n == s->n) return MAP_DUPLICATE;
    return (s->status & SECTOR_DELETED) ? MAP_DELETED : MAP_GOOD;
}

void ZELDisk::Map(diskmap_t &map, int analyze, const char *kind) {
    char name[60];
    map = diskmap_t();
    map.name = GetName(name);
    map.kind = kind ? kind : "";
    map.rate = header.rate;
    map.rpm = header.rpm;
    map.cylinders = header.cylinders;
    map.heads = header.heads;
    for (int c = 0; c < header.cylinders && c < ZEL_MAX_CYLINDERS; c++)
        for (int h = 0; h < header.heads && h < ZEL_MAX_HEADS; h++) {
            VTrack *t = Analyze(c, h, analyze, 0);  // sectors and flags only
            if (!t) continue;
            maptrack_t m;
            m.cylinder = c, m.head = h;
            m.formatted = t->SectorCount() > 0;
            m.straddle = (t->flags & TRACK_STRADDLE) != 0;
            m.overlap = (t->flags & TRACK_OVERLAP) != 0;
            m.extramarks = (t->flags & TRACK_MANYDAM) != 0;
            for (const VSector *s = t->sectors; s; s = s->next) m.sectors.push_back({s->r, SectorState(s, *t)});
            map.tracks.push_back(std::move(m));
            delete t;
        }
}
