// DIM images: a 256-byte header, then the data of every present track,
// cylinder by cylinder, head 0 then head 1, its sectors in R order. Numbers
// are little-endian.
//   off   size  field
//   0x00     1  media code (below)
//   0x01   170  track present flags, one byte per track 2*c+h (1 present)
//   0xAB    14  "DIFC HEADER  " and a NUL
//   0xBA     8  04 21 03 22 01 00 00 00 (written, not read)
//   0xC2    59  comment (the disk name), NUL-padded
//   0xFE     1  0x19 (written, not read)
//   0xFF     1  over-track: media code 0 with more than 77 cylinders
// Media codes (all MFM, R = 1 .. count, unless said):
//   0   8 x 1024
//   1   9 x 1024  R = 10 .. 18; on cylinder 0 head 0 R = 1, 11 .. 18
//   2  15 x 512
//   3   9 x 1024  H = 0x80 + head, but the first sector of cylinder 0 head 0 has H = 0
//   9  18 x 512
//  17  26 x 256   cylinder 0 head 0 is 26 x 128 in FM
// No sector ID or status is stored: every present track holds exactly the
// sectors of its media code, and an absent track is unformatted.
#include <cstring>

#include "fdi.h"
#include "fdi_disk.h"

namespace {

enum { DIM_HEADER = 256, DIM_FLAGS = 0x01, DIM_TRACKS = 170, DIM_MAGIC = 0xAB, DIM_COMMENT = 0xC2,
       DIM_OVERTRACK = 0xFF };
const char DimMagic[] = "DIFC HEADER  ";

struct dimformat_t {
    int code;
    int sectors;
    int n;
};

const dimformat_t DimGeometry[] = {
    {0, 8, 3},    // 2HD 8 x 1024
    {1, 9, 3},    // 2HS: R = 10 .. 18 (c0h0: 1, 11 .. 18)
    {2, 15, 2},   // 2HC 15 x 512
    {3, 9, 3},    // 2HDE: H = 0x80 + head (the very first sector H = 0)
    {9, 18, 2},   // 2HQ 18 x 512
    {17, 26, 1},  // 26 x 256; c0h0 is 26 x 128 in FM
};

const dimformat_t *FindDim(int code) {
    for (const dimformat_t &g : DimGeometry)
        if (g.code == code) return &g;
    return nullptr;
}

// The ID of sector i (from 0) of track c, h on a DIM medium, and its density.
void DimSectorId(const dimformat_t &g, int c, int h, int i, int *hid, int *r, int *n, int *mfm) {
    bool first = c == 0 && h == 0;
    *hid = h;
    *r = i + 1;
    *n = g.n;
    *mfm = 1;
    switch (g.code) {
    case 1: *r = first && i == 0 ? 1 : 10 + i; break;
    case 3: *hid = first && i == 0 ? 0 : 0x80 + h; break;
    case 17:
        if (first) *n = 0, *mfm = 0;
        break;
    }
}

const VSector *FirstSector(const VTrack *t) { return t ? t->sectors : nullptr; }

// The media code of a disk, from its cylinder 0 head 1 (the first track
// that has the disk's own geometry) and its cylinder count; -1 and why when
// no code has that form.
int ChooseCode(const VDisk &d, int cyls, std::string &why) {
    const VTrack *ref = TrackAt(d, 0, 1);
    const VSector *refsec = FirstSector(ref);
    if (!refsec) {
        why = "a DIM image takes its geometry from cylinder 0 head 1, which is unformatted";
        return -1;
    }
    const int count = ref->SectorCount(), refn = refsec->n;
    const VSector *first = FirstSector(TrackAt(d, 0, 0));
    if (cyls < 77) {
        why = "a DIM image holds 77 cylinders or more, the disk has " + std::to_string(cyls);
        return -1;
    }
    if (refn == 1 && first && !first->mfm && first->n == 0) return 17;
    if (count == 8 && refn == 3) return 0;
    if (count == 9 && refn == 3 && cyls >= 80) {
        const VSector *c2 = FirstSector(TrackAt(d, 2, 0));
        return c2 && c2->h >= 0x80 ? 3 : 1;
    }
    if (count == 15 && refn == 2 && cyls >= 80) return 2;
    if (count == 18 && refn == 2 && cyls >= 80) return 9;
    why = "no DIM media code has " + std::to_string(count) + " sectors of " + std::to_string(128 << (refn & 7)) +
          " bytes on " + std::to_string(cyls) + " cylinders";
    return -1;
}

} // namespace

int ReadDIM(VDisk &d, const imagefile_t &file) {
    if (file.size < DIM_HEADER || memcmp(file.data + DIM_MAGIC, DimMagic, sizeof DimMagic) != 0) return 0;
    const dimformat_t *g = FindDim(file.data[0]);
    if (!g) return 0;

    d.Init(VDisk::TYPE_2HD, VDisk::MAX_CYLINDERS, 2);
    const char *comment = (const char *)file.data + DIM_COMMENT;
    CopyName(d.name, comment[0] ? comment : file.shortname, sizeof d.name - 1);
    d.protect = !file.writable;

    size_t pos = DIM_HEADER;
    for (int c = 0; c < VDisk::MAX_CYLINDERS; c++)
        for (int h = 0; h < 2; h++) {
            if (!file.data[DIM_FLAGS + 2 * c + h]) continue;
            for (int i = 0; i < g->sectors; i++) {
                int hid, r, n, mfm;
                DimSectorId(*g, c, h, i, &hid, &r, &n, &mfm);
                size_t len = (size_t)128 << n;
                if (pos > file.size || len > file.size - pos) return 0;
                VSector *s = NewSector(mfm, c, hid, r, n, (int)len, 0);
                memcpy(s->data, file.data + pos, len);
                pos += len;
                d.tracks[c][h]->AddSector(s);
            }
        }
    return 1;
}

int WriteDIM(const VDisk &d, std::vector<uint8_t> &out, std::string &why) {
    const int cyls = FormattedCylinders(d);
    const int code = ChooseCode(d, cyls, why);
    if (code < 0) return 0;
    const dimformat_t &g = *FindDim(code);

    out.assign(DIM_HEADER, 0);
    out[0] = (uint8_t)code;
    memcpy(&out[DIM_MAGIC], DimMagic, sizeof DimMagic);
    static const uint8_t stamp[8] = {0x04, 0x21, 0x03, 0x22, 0x01, 0x00, 0x00, 0x00};
    memcpy(&out[0xBA], stamp, sizeof stamp);
    CopyName((char *)&out[DIM_COMMENT], d.name, 59);
    out[0xFE] = 0x19;
    out[DIM_OVERTRACK] = code == 0 && cyls != 77;

    // A formatted track is present and holds its media code's sectors.
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(d, c, h);
            if (!CountSectors(t)) continue;
            out[DIM_FLAGS + 2 * c + h] = 1;
            for (int i = 0; i < g.sectors; i++) {
                int hid, r, n, mfm;
                DimSectorId(g, c, h, i, &hid, &r, &n, &mfm);
                AppendSlot(out, SlotSector(t, c, hid, r, n, mfm), 128 << n);
            }
        }
    return 1;
}
