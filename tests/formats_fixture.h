// Fixtures for the image-format tests: a scratch folder, sector disks built
// from a geometry with random data, and a sector-by-sector comparison that
// prints a hex diff of the first difference.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"
#include "scratch_dir.h"

inline std::vector<uint8_t> ReadAll(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write((const char *)data.data(), (std::streamsize)data.size());
}

inline bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// A uniform geometry: every track count sectors R = 1 .. count of size code n.
struct geometry_t {
    const char *name;
    int type, cylinders, sectors, n;
    bool fmtrack0;    // cylinder 0 head 0 is 26 FM sectors of 128 bytes (DIM media 17)
    bool deleted;     // every third sector carries deleted data
    std::vector<const char *> formats;  // extensions that hold this geometry
};

inline void FillDisk(VDisk &d, const geometry_t &g, unsigned seed) {
    std::mt19937 rng(seed);
    d.Init(g.type, g.cylinders, 2);
    snprintf(d.name, sizeof d.name, "%s", g.name);
    for (int c = 0; c < g.cylinders; c++)
        for (int h = 0; h < 2; h++)
            for (int r = 1; r <= g.sectors; r++) {
                bool fm = g.fmtrack0 && c == 0 && h == 0;
                int n = fm ? 0 : g.n;
                int status = g.deleted && r % 3 == 0 ? SECTOR_DELETED : 0;
                VSector *s = NewSector(!fm, c, h, r, n, 128 << n, status);
                for (int i = 0; i < s->length; i++) s->data[i] = (uint8_t)rng();
                d.tracks[c][h]->AddSector(s);
            }
}

// "off: aa bb cc ... | aa bb XX ..." around the first differing byte.
inline std::string HexDiff(const uint8_t *a, const uint8_t *b, int len) {
    int at = 0;
    while (at < len && a[at] == b[at]) at++;
    int from = at & ~15;
    std::string s;
    char buf[16];
    snprintf(buf, sizeof buf, "%04x:", from);
    s += buf;
    for (int i = from; i < from + 16 && i < len; i++) snprintf(buf, sizeof buf, " %02x", a[i]), s += buf;
    s += "  |";
    for (int i = from; i < from + 16 && i < len; i++) snprintf(buf, sizeof buf, " %02x", b[i]), s += buf;
    return s;
}

// The sectors of a track sorted by ID (stable: equal IDs keep their order).
inline std::vector<const VSector *> ById(const VTrack *t) {
    std::vector<const VSector *> v;
    for (const VSector *s = t ? t->sectors : nullptr; s; s = s->next) v.push_back(s);
    std::stable_sort(v.begin(), v.end(), [](const VSector *a, const VSector *b) {
        return (a->c << 24 | a->h << 16 | a->r << 8 | a->n) < (b->c << 24 | b->h << 16 | b->r << 8 | b->n);
    });
    return v;
}

// Compares the sectors of every track below the expected disk's cylinders
// (ID, density, status, length and data; in list order, or by ID when the
// order may change); tracks past them in the actual disk must be empty.
inline ::testing::AssertionResult SameSectors(const VDisk &want, const VDisk &got, bool withstatus = true,
                                              bool byid = false) {
    for (int c = 0; c < VDisk::MAX_CYLINDERS; c++)
        for (int h = 0; h < 2; h++) {
            const VTrack *tw = c < want.cylinders ? want.tracks[c][h] : nullptr;
            const VTrack *tg = got.tracks[c][h];
            std::vector<const VSector *> wa = ById(tw), ga = ById(tg);
            if (!byid) {
                wa.clear(), ga.clear();
                for (const VSector *s = tw ? tw->sectors : nullptr; s; s = s->next) wa.push_back(s);
                for (const VSector *s = tg ? tg->sectors : nullptr; s; s = s->next) ga.push_back(s);
            }
            for (size_t i = 0; i < wa.size() || i < ga.size(); i++) {
                auto fail = ::testing::AssertionFailure();
                fail << "cylinder " << c << " head " << h << " sector #" << i << ": ";
                if (i >= wa.size() || i >= ga.size()) return fail << (i < wa.size() ? "missing" : "extra");
                const VSector *a = wa[i], *b = ga[i];
                if (a->c != b->c || a->h != b->h || a->r != b->r || a->n != b->n || a->mfm != b->mfm)
                    return fail << "ID or density differs (R " << (int)a->r << " vs " << (int)b->r << ")";
                // A sector without a data field has no deleted mark to keep.
                uint8_t del = (a->status & SECTOR_NODATA) ? SECTOR_DELETED : 0;
                if (withstatus && (a->status & ~del) != (b->status & ~del))
                    return fail << "status " << (int)a->status << " vs " << (int)b->status;
                if (a->status & SECTOR_NODATA) continue;
                if (a->length != b->length) return fail << "length " << a->length << " vs " << b->length;
                if (a->length && memcmp(a->data, b->data, (size_t)a->length))
                    return fail << "data differs\n" << HexDiff(a->data, b->data, a->length);
            }
        }
    return ::testing::AssertionSuccess();
}
