// HFE track images (revision 0) as written and read here; numbers are
// little-endian, a block is 512 bytes.
//   block 0, header (filled with 0xFF first):
//     off  size  field
//       0     8  "HXCPICFE"
//       8     1  revision, 0
//       9     1  number of tracks (cylinders)
//      10     1  number of sides
//      11     1  track encoding, 0 (ISO/IBM MFM)
//      12     2  bit rate in kbit/s (cell rate / 2: 250 or 500)
//      14     2  rpm
//      16     1  interface mode: 1 for a 2HD image, else 7
//      17     1  1
//      18     2  track list offset in blocks, 1
//      20     1  write allowed: 0x00 protected, 0xFF writable
//   block 1, track list (filled with 0xFF first), 4 bytes per track:
//       0     2  block offset of the track data
//       2     2  track length L in bytes, both sides together
//   track data: ceil(L / 512) blocks; bytes 0..255 of every block carry the
//   next 256 bytes of side 0, bytes 256..511 those of side 1. Every byte is
//   stored bit-reversed: the first cell is in bit 0 (in a track image it is in
//   bit 7).
// HFE holds cells: a raw image is turned into cells before it is written.
#include <cstring>

#include "bytes.h"
#include "zeldisk.h"
#include "zeldisk_formats.h"

enum { HFE_BLOCK = 512, HFE_SIDE_BYTES = 256, HFE_HEADER = 26, HFE_DATA_START = 2 };
static const char HfeSignature[8] = {'H', 'X', 'C', 'P', 'I', 'C', 'F', 'E'};

// Byte with its bit order reversed.
static const struct BitReverse {
    uint8_t table[256];
    BitReverse() {
        for (int i = 0; i < 256; i++) {
            int v = 0;
            for (int b = 0; b < 8; b++)
                if (i & (1 << b)) v |= 0x80 >> b;
            table[i] = (uint8_t)v;
        }
    }
} Reverse;

int WriteHFE(const ZELDisk &z, const VDisk &, std::vector<uint8_t> &out, std::string &why) {
    const zelheader_t &header = z.header;
    const int cyls = header.cylinders < ZEL_MAX_CYLINDERS ? header.cylinders : ZEL_MAX_CYLINDERS;

    out.assign(2 * HFE_BLOCK, 0xFF);
    memcpy(&out[0], HfeSignature, sizeof HfeSignature);
    out[8] = 0;
    out[9] = (uint8_t)cyls;
    out[10] = (uint8_t)header.heads;
    out[11] = 0;
    PutLE16(&out[12], (uint32_t)header.rate / 2);
    PutLE16(&out[14], (uint32_t)header.rpm);
    out[16] = header.type == ZEL_TYPE_2HD ? 1 : 7;
    out[17] = 1;
    PutLE16(&out[18], 1);
    out[20] = header.writeprotect ? 0x00 : 0xFF;

    // Track list: both sides are cut to the shorter one, in whole bytes.
    int len[ZEL_MAX_CYLINDERS];
    uint32_t block = HFE_DATA_START;
    for (int c = 0; c < cyls; c++) {
        int b0 = z.GetTrackLen(c, 0), b1 = z.GetTrackLen(c, 1);
        len[c] = ((b0 < b1 ? b0 : b1) / 8) * 2;
        // The list holds 16-bit lengths and block offsets: a longer track
        // cannot be described, so the export fails rather than cut it.
        if (len[c] > 0xFFFF || block > 0xFFFF) {
            why = "a track is too long for an HFE track list";
            return 0;
        }
        PutLE16(&out[HFE_BLOCK + 4 * c], block);
        PutLE16(&out[HFE_BLOCK + 4 * c + 2], (uint32_t)len[c]);
        block += (uint32_t)(len[c] + HFE_BLOCK - 1) / HFE_BLOCK;
    }

    for (int c = 0; c < cyls; c++) {
        const int side = len[c] / 2;
        const uint8_t *data[2] = {z.GetTrackData(c, 0), z.GetTrackData(c, 1)};
        for (int at = 0; at < side; at += HFE_SIDE_BYTES) {
            size_t b = AppendFill(out, 0, HFE_BLOCK);
            int n = side - at < HFE_SIDE_BYTES ? side - at : HFE_SIDE_BYTES;
            for (int h = 0; h < 2; h++)
                for (int i = 0; i < n; i++) out[b + HFE_SIDE_BYTES * h + i] = Reverse.table[data[h][at + i]];
        }
    }
    return 1;
}

int ReadHFE(ZELDisk &z, const imagefile_t &file, std::string &) {
    const uint8_t *data = file.data;
    const size_t size = file.size;
    if (size < HFE_HEADER || memcmp(data, HfeSignature, sizeof HfeSignature) != 0) return 0;
    ByteReader r(data, size);
    const int ntracks = (int)r.U8(9);
    const uint32_t bitrate = r.LE16(12);
    const size_t list = (size_t)r.LE16(18) * HFE_BLOCK;
    // Tracks beyond the image's 84 cylinders are refused, not dropped.
    if (ntracks > ZEL_MAX_CYLINDERS) return 0;

    size_t offset[ZEL_MAX_CYLINDERS];
    int len[ZEL_MAX_CYLINDERS], lmax = 0;
    for (int c = 0; c < ntracks; c++) {
        offset[c] = (size_t)r.LE16(list + 4 * c) * HFE_BLOCK;
        len[c] = (int)r.LE16(list + 4 * c + 2);
        if (len[c] > lmax) lmax = len[c];
        // Every block of the track must be in the file.
        size_t blocks = (size_t)(len[c] + HFE_BLOCK - 1) / HFE_BLOCK;
        if (offset[c] + blocks * HFE_BLOCK > size) return 0;
    }
    if (!r.ok()) return 0;

    // Double density is 250 kbit/s, or 300 kbit/s for a disk read in a
    // 360-rpm drive; anything else of more than 42 tracks is high density.
    int type = ZEL_TYPE_2D, rate = bitrate == 300 ? 600 : 500;
    if (ntracks > 42) {
        bool dd = bitrate == 250 || bitrate == 300;
        type = dd ? ZEL_TYPE_2DD : ZEL_TYPE_2HD;
        rate = dd ? rate : 1000;
    }
    // The first track's length tells the rotation speed: a revolution is
    // L * 4 cells at the cell rate.
    uint32_t l0 = ntracks ? (uint32_t)len[0] : 0;
    uint32_t s = l0 ? (uint32_t)rate * 60000u / (l0 * 4) : 0;
    int rpm = (s > 300 ? s - 300 : 300 - s) < (s > 360 ? s - 360 : 360 - s) ? 300 : 360;
    if (!z.Init(type, rate, rpm, 0)) return 0;
    if (!ntracks) return 1;

    // Records must hold every whole block of the longest track.
    int need = ZEL_TRACK_HEADER + HFE_SIDE_BYTES * ((lmax + HFE_BLOCK - 1) / HFE_BLOCK);
    if (need < ZEL_TRACK_HEADER + lmax / 2) need = ZEL_TRACK_HEADER + lmax / 2;
    if (!z.GrowRecords(need)) return 0;

    for (int c = 0; c < ntracks; c++)
        for (int h = 0; h < 2; h++) {
            uint8_t *dst = z.GetTrackData(c, h);
            const uint8_t *src = data + offset[c] + HFE_SIDE_BYTES * h;
            for (int b = 0; b < (len[c] + HFE_BLOCK - 1) / HFE_BLOCK; b++, src += HFE_BLOCK, dst += HFE_SIDE_BYTES)
                for (int i = 0; i < HFE_SIDE_BYTES; i++) dst[i] = Reverse.table[src[i]];
            if (!z.SetTrackLen(c, h, len[c] * 4)) return 0;
        }
    return 1;
}
