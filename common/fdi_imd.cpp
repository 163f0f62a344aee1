// IMD sector archives (ImageDisk, ".IMD"). Numbers are little-endian.
//   "IMD v.vv: dd/mm/yyyy hh:mm:ss" CR LF, a free comment, one 0x1A byte
//   then track records up to the end of the file, in any order:
//     off  size  field
//       0     1  mode: 0 FM 500, 1 FM 300, 2 FM 250, 3 MFM 500, 4 MFM 300,
//                5 MFM 250 (kbps of the controller)
//       1     1  physical cylinder
//       2     1  physical head in bit 0; 0x80 a cylinder map follows, 0x40 a
//                head map follows
//       3     1  sectors n (0: an unformatted track)
//       4     1  size code: 128 << code bytes a sector (0..6), or 0xFF: a
//                table of sizes follows the maps
//       5     n  R of every sector, in the order on the track
//             n  C of every sector (cylinder map only)
//             n  H of every sector (head map only)
//           2 n  u16 size of every sector (size code 0xFF only)
//             -  n sector records: a type byte, then the data
//   sector record types:
//     0x00  no data (the sector could not be read)        nothing follows
//     0x01  data                                          size bytes
//     0x02  data, every byte the same                     one byte
//     0x03 0x04  as 1 and 2, with the deleted-data mark
//     0x05 0x06  as 1 and 2, read with a data CRC error
//     0x07 0x08  as 1 and 2, deleted and with a data CRC error
// A track has one density and one rate; no record type says that an ID
// had a CRC error. The disk name is the first line of the comment. The
// sector's N is its size code: a sector whose N differs from its length, or
// a track of several sizes, goes into a size table, which not every reader
// takes (the loss check names what a file cannot give back).
#include <cstring>
#include <ctime>

#include "bytes.h"
#include "fdi.h"
#include "fdi_disk.h"

namespace {

enum { IMD_EOF = 0x1A, IMD_SIZE_TABLE = 0xFF, IMD_CMAP = 0x80, IMD_HMAP = 0x40, IMD_MODES = 6 };
enum { IMD_NODATA = 0, IMD_DATA = 1 };  // and (type - 1): 1 one byte, 2 deleted, 4 data CRC error
enum { IMD_FILLED = 1, IMD_DELETED = 2, IMD_CRC = 4 };

bool IsFm(uint32_t mode) { return mode < 3; }
bool IsHighRate(uint32_t mode) { return mode == 0 || mode == 3; }

// The size code of a sector of len bytes: the one of that size, else the
// smallest above it.
int CodeOf(uint32_t len) {
    int n = 0;
    while (n < 24 && (128u << n) < len) n++;
    return n;
}

// The size code of a track: every sector of one N whose length fits it.
int TrackCode(const VTrack *t) {
    int code = -1;
    for (const VSector *s = t->sectors; s; s = s->next) {
        if (s->n > 6 || s->length != 128 << s->n || (code >= 0 && code != s->n)) return IMD_SIZE_TABLE;
        code = s->n;
    }
    return code;
}

bool IsFilled(const VSector *s) {
    for (int i = 1; i < s->length; i++)
        if (s->data[i] != s->data[0]) return false;
    return s->length > 0;
}

} // namespace

int ReadIMD(VDisk &d, const imagefile_t &file) {
    if (file.size < 4 || memcmp(file.data, "IMD ", 4) != 0) return 0;
    const uint8_t *eof = (const uint8_t *)memchr(file.data, IMD_EOF, file.size);
    if (!eof) return 0;
    ByteReader r(file.data, file.size);

    // Name: the first line of the comment after the header line.
    const uint8_t *line = (const uint8_t *)memchr(file.data, '\n', (size_t)(eof - file.data));
    const uint8_t *name = line ? line + 1 : eof;
    char text[60] = {0};
    for (size_t i = 0; name + i < eof && name[i] != '\r' && name[i] != '\n' && i < sizeof text - 1; i++)
        text[i] = name[i] >= ' ' ? (char)name[i] : ' ';
    const char *shown = text[0] ? text : file.shortname;

    // The records, checked and measured before a disk is made of them.
    struct imdtrack_t {
        size_t at;
        uint32_t mode, cyl, head;
    };
    std::vector<imdtrack_t> tracks;
    bool seen[VDisk::MAX_CYLINDERS][VDisk::MAX_HEADS] = {};
    bool high = false;
    uint32_t cyls = 0;
    size_t pos = (size_t)(eof - file.data) + 1;
    while (pos < file.size) {
        const uint32_t mode = r.U8(pos), cyl = r.U8(pos + 1), hb = r.U8(pos + 2), count = r.U8(pos + 3),
                       code = r.U8(pos + 4);
        if (!r.ok() || mode >= IMD_MODES || cyl >= VDisk::MAX_CYLINDERS || (hb & 0x3F) > 1 ||
            (code > 6 && code != IMD_SIZE_TABLE) || seen[cyl][hb & 1])
            return 0;
        seen[cyl][hb & 1] = true;
        tracks.push_back({pos, mode, cyl, hb & 1});
        if (count) high = high || IsHighRate(mode);
        if (cyl + 1 > cyls) cyls = cyl + 1;
        size_t maps = count * (1 + ((hb & IMD_CMAP) ? 1 : 0) + ((hb & IMD_HMAP) ? 1 : 0));
        size_t sizes = pos + 5 + maps;
        pos = sizes + (code == IMD_SIZE_TABLE ? 2 * count : 0);
        uint32_t bytes = 0;
        for (uint32_t k = 0; k < count; k++) {
            uint32_t len = code == IMD_SIZE_TABLE ? r.LE16(sizes + 2 * k) : 128u << code;
            uint32_t type = r.U8(pos);
            if (!r.ok() || type > 8 || (bytes += len) > TRACK_MAX_BYTES) return 0;
            pos += 1 + (type == IMD_NODATA ? 0 : ((type - 1) & IMD_FILLED) ? 1 : len);
        }
        if (pos > file.size) return 0;
    }

    d.Init(high ? VDisk::TYPE_2HD : cyls > 42 ? VDisk::TYPE_2DD : VDisk::TYPE_2D, (int)cyls, 2);
    CopyName(d.name, shown, sizeof d.name - 1);
    d.protect = !file.writable;
    for (const imdtrack_t &t : tracks) {
        const size_t at = t.at;
        const uint32_t hb = r.U8(at + 2), count = r.U8(at + 3), code = r.U8(at + 4);
        const size_t rmap = at + 5, cmap = rmap + count, hmap = cmap + ((hb & IMD_CMAP) ? count : 0);
        const size_t sizes = hmap + ((hb & IMD_HMAP) ? count : 0);
        size_t p = sizes + (code == IMD_SIZE_TABLE ? 2 * count : 0);
        for (uint32_t k = 0; k < count; k++) {
            uint32_t len = code == IMD_SIZE_TABLE ? r.LE16(sizes + 2 * k) : 128u << code;
            uint32_t type = r.U8(p++);
            int status = type == IMD_NODATA ? SECTOR_NODATA : 0;
            if (type != IMD_NODATA) {
                if ((type - 1) & IMD_DELETED) status |= SECTOR_DELETED;
                if ((type - 1) & IMD_CRC) status |= SECTOR_DATACRC;
            }
            VSector *s = NewSector(!IsFm(t.mode), (hb & IMD_CMAP) ? r.U8(cmap + k) : t.cyl,
                                   (hb & IMD_HMAP) ? r.U8(hmap + k) : t.head, r.U8(rmap + k),
                                   code == IMD_SIZE_TABLE ? CodeOf(len) : (int)code, (int)len, status);
            d.tracks[t.cyl][t.head]->AddSector(s);
            if (type == IMD_NODATA) continue;
            if ((type - 1) & IMD_FILLED) {
                if (len) memset(s->data, (int)r.U8(p), len);
                p++;
            } else {
                if (len) r.Bytes(p, s->data, len);
                p += len;
            }
        }
    }
    return r.ok();
}

int WriteIMD(const VDisk &d, std::vector<uint8_t> &out, std::string &why) {
    char head[64];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    snprintf(head, sizeof head, "IMD 1.18: %02d/%02d/%04d %02d:%02d:%02d\r\n", tm.tm_mday, tm.tm_mon + 1,
             tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    out.assign(head, head + strlen(head));
    for (const char *p = d.name; *p; p++) out.push_back(*p == IMD_EOF ? ' ' : (uint8_t)*p);
    out.push_back(IMD_EOF);

    // Tracks past 255 sectors keep the first 255; the loss check names the rest.
    for (int c = 0; c < VDisk::MAX_CYLINDERS; c++)
        for (int h = 0; h < VDisk::MAX_HEADS; h++) {
            const VTrack *t = TrackAt(d, c, h);
            if (!CountSectors(t)) continue;
            int count = 0, code = TrackCode(t);
            bool cmap = false, hmap = false;
            for (const VSector *s = t->sectors; s && count < 255; s = s->next, count++) {
                cmap = cmap || s->c != c;
                hmap = hmap || s->h != h;
                if (s->length > 0xFFFF) {
                    why = "a sector of " + std::to_string(s->length) + " bytes does not fit an IMD size";
                    return 0;
                }
            }
            // The mode of the track's density (the one most of its sectors have).
            bool fm = t->fmcount > t->mfmcount;
            out.push_back((uint8_t)((fm ? 0 : 3) + (d.type == VDisk::TYPE_2HD ? 0 : 2)));
            out.push_back((uint8_t)c);
            out.push_back((uint8_t)(h | (cmap ? IMD_CMAP : 0) | (hmap ? IMD_HMAP : 0)));
            out.push_back((uint8_t)count);
            out.push_back((uint8_t)code);
            const VSector *s;
            int k;
            for (s = t->sectors, k = 0; k < count; s = s->next, k++) out.push_back(s->r);
            if (cmap)
                for (s = t->sectors, k = 0; k < count; s = s->next, k++) out.push_back(s->c);
            if (hmap)
                for (s = t->sectors, k = 0; k < count; s = s->next, k++) out.push_back(s->h);
            if (code == IMD_SIZE_TABLE)
                for (s = t->sectors, k = 0; k < count; s = s->next, k++) {
                    out.push_back((uint8_t)s->length);
                    out.push_back((uint8_t)(s->length >> 8));
                }
            for (s = t->sectors, k = 0; k < count; s = s->next, k++) {
                if (s->status & SECTOR_NODATA) {
                    out.push_back(IMD_NODATA);
                    continue;
                }
                bool filled = IsFilled(s);
                int flags = (filled ? IMD_FILLED : 0) | ((s->status & SECTOR_DELETED) ? IMD_DELETED : 0) |
                            ((s->status & SECTOR_DATACRC) ? IMD_CRC : 0);
                out.push_back((uint8_t)(IMD_DATA + flags));
                if (filled) out.push_back(s->data[0]);
                else if (s->length > 0) out.insert(out.end(), s->data, s->data + s->length);
            }
        }
    return 1;
}
