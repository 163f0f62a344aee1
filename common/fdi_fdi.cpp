// FDI images: a header of header-length bytes, then every track, cylinder
// by cylinder, head 0 then head 1, sectors R = 1 .. count, all MFM. Numbers
// are little-endian.
//   0x00  4  0             0x10  4  sector bytes
//   0x04  4  drive type    0x14  4  sectors per track
//   0x08  4  header length 0x18  4  heads (2)
//   0x0C  4  data length   0x1C  4  cylinders
// Drive types: 0x10 2DD, 0x30 2HD 1.44 MB, 0x90 2HD 1.2 MB, 0x50 2D (on
// reading only the upper nibble of the low byte counts). One geometry holds
// for every track and no sector ID or status is stored: a sector comes back
// as C = its cylinder, H = its head, R = its place on the track.
#include <cstring>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"

enum { FDI_FIELDS = 32, FDI_HEADER = 4096 };

int ReadFDI(VDisk &d, const imagefile_t &file) {
    if (file.size < FDI_FIELDS) return 0;
    ByteReader hdr(file.data, file.size);
    uint32_t drive = hdr.LE32(0x04), hdrlen = hdr.LE32(0x08), bytes = hdr.LE32(0x10);
    uint32_t sectors = hdr.LE32(0x14), heads2 = hdr.LE32(0x18), cyls = hdr.LE32(0x1C);

    int n = 0;
    while (n < 7 && (128u << n) != bytes) n++;
    if ((128u << n) != bytes || sectors < 1 || sectors > 255 || heads2 != 2) return 0;
    // A track holds no more than the longest track can.
    if (sectors * bytes > TRACK_MAX_BYTES) return 0;
    // Cylinders beyond what a sector disk holds are refused, not cut off.
    if (cyls < 1 || cyls > VDisk::MAX_CYLINDERS) return 0;
    if ((uint64_t)hdrlen + (uint64_t)sectors * bytes * cyls * 2 != file.size) return 0;

    int t;
    switch (drive & 0xF0) {
    case 0x10: case 0x70: case 0xF0: t = VDisk::TYPE_2DD; break;
    case 0x30: case 0x90: case 0xB0: t = VDisk::TYPE_2HD; break;
    case 0x50: case 0xD0: t = VDisk::TYPE_2D; break;
    default: return 0;
    }
    d.Init(t, (int)cyls, 2);
    CopyName(d.name, file.shortname, sizeof d.name - 1);
    d.protect = !file.writable;

    const uint8_t *p = file.data + hdrlen;
    for (int c = 0; c < (int)cyls; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= (int)sectors; r++, p += bytes) {
                VSector *s = NewSector(1, c, h, r, n, (int)bytes, 0);
                memcpy(s->data, p, bytes);
                d.tracks[c][h]->AddSector(s);
            }
    return 1;
}

int WriteFDI(const VDisk &d, std::vector<uint8_t> &out, std::string &why) {
    // The geometry of every track is that of cylinder 0 head 0.
    const VTrack *ref = TrackAt(d, 0, 0);
    const VSector *refsec = ref ? ref->sectors : nullptr;
    if (!refsec) {
        why = "an FDI image takes its geometry from cylinder 0 head 0, which is unformatted";
        return 0;
    }
    const int count = ref->SectorCount(), refn = refsec->n;
    // The header holds one sector size, read back as a power of two from 128.
    if (refn > 7 || count > 255) {
        why = "an FDI image cannot hold the geometry of cylinder 0 head 0";
        return 0;
    }
    const int cyls = FormattedCylinders(d);
    const uint32_t bytes = 128u << refn;

    out.assign(FDI_HEADER, 0);
    uint32_t drive = d.type == VDisk::TYPE_2DD ? 0x10
                     : d.type == VDisk::TYPE_2D ? 0x50
                     : ref->GetLength() > 10999 ? 0x30
                                                 : 0x90;
    PutLE32(&out[0x04], drive);
    PutLE32(&out[0x08], FDI_HEADER);
    PutLE32(&out[0x0C], bytes * (uint32_t)count * (uint32_t)cyls * 2);
    PutLE32(&out[0x10], bytes);
    PutLE32(&out[0x14], (uint32_t)count);
    PutLE32(&out[0x18], 2);
    PutLE32(&out[0x1C], (uint32_t)cyls);
    out.reserve(FDI_HEADER + (size_t)bytes * count * cyls * 2);
    for (int c = 0; c < cyls; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *t = TrackAt(d, c, h);
            for (int r = 1; r <= count; r++) AppendSlot(out, SlotSector(t, c, h, r, refn, 1), (int)bytes);
        }
    return 1;
}
