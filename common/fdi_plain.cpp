// Plain sector dumps (".2HD", ".HDM", ".XDF", ".DUP", ".IMG", ".2HC", ".2HQ",
// ".2DD", ".2D"): no header, no sector IDs, just the data of every sector,
// cylinder by cylinder, head 0 then head 1, sector R = 1 .. count, all MFM:
//   offset ((c * 2 + h) * count + (R - 1)) * (128 << N)   sector C=c H=h R N
// The geometry (cylinders, sectors, N) follows from the file size alone, one
// row of VDisk::FixFormat. Sector IDs and status are not stored: a sector
// comes back with C = its cylinder, H = its head, R = its place on the track,
// no status, so a dump holds only tracks of exactly that form. A track's
// sectors are written in R order whatever order the disk has them in.
#include <cstring>

#include "fdi.h"
#include "fdi_disk.h"
#include "fileio.h"

int ReadFIX(VDisk &d, const imagefile_t &file, int rowno) {
    const fixformat_t &row = VDisk::FixFormat[rowno];
    if (row.size <= 0 || file.size != (size_t)row.size) return 0;
    d.Init(row.type, row.cylinders, 2);
    CopyName(d.name, file.shortname, sizeof d.name - 1);
    d.protect = !file.writable;
    const int len = 128 << row.n;
    const uint8_t *p = file.data;
    for (int c = 0; c < row.cylinders; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= row.sectors; r++, p += len) {
                VSector *s = NewSector(1, c, h, r, row.n, len, 0, row.gap3);
                memcpy(s->data, p, (size_t)len);
                d.tracks[c][h]->AddSector(s);
            }
    return 1;
}

int WriteFIX(const VDisk &d, int rowno, std::vector<uint8_t> &out, std::string &) {
    const fixformat_t &row = VDisk::FixFormat[rowno];
    if (row.size <= 0) return 0;
    out.clear();
    out.reserve((size_t)row.size);
    PrefaultPages(out.data(), (size_t)row.size);  // one call instead of a fault per page
    const int len = 128 << row.n;
    for (int c = 0; c < row.cylinders; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(d, c, h);
            for (int r = 1; r <= row.sectors; r++) AppendSlot(out, SlotSector(t, c, h, r, row.n, 1), len);
        }
    return 1;
}
