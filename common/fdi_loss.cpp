// The loss check (see fdi_loss.h): two sector disks compared track by track.
#include "fdi_loss.h"

#include <cstdio>
#include <cstring>

#include "fdi.h"

void LossReport::Add(int cylinder, int head, loss_e kind, std::string what) {
    m_losses.push_back({cylinder, head, kind, std::move(what)});
}

void LossReport::Refuse(std::string why) {
    if (m_refusal.empty()) m_refusal = std::move(why);
}

void LossReport::Clear() {
    m_refusal.clear();
    m_losses.clear();
}

void LossReport::Append(const LossReport &other) {
    if (!other.m_refusal.empty()) Refuse(other.m_refusal);
    m_losses.insert(m_losses.end(), other.m_losses.begin(), other.m_losses.end());
}

bool LossReport::Fails() const {
    if (!m_refusal.empty()) return true;
    for (const loss_t &l : m_losses)
        if (!(l.kind & m_accept)) return true;
    return false;
}

std::string LossReport::Text(const loss_t &loss) {
    char head[48];
    snprintf(head, sizeof head, "Track %d (C:%02d H:%d): ", loss.cylinder * 2 + loss.head, loss.cylinder,
             loss.head);
    return head + loss.what;
}

namespace {

const uint8_t kStatusBits = SECTOR_NODATA | SECTOR_DELETED | SECTOR_IDCRC | SECTOR_DATACRC;

const char *StatusName(uint8_t bit) {
    switch (bit) {
    case SECTOR_NODATA: return "missing data field";
    case SECTOR_DELETED: return "deleted-data mark";
    case SECTOR_IDCRC: return "ID CRC error";
    default: return "data CRC error";
    }
}

std::string Id(const VSector *s) {
    char buf[40];
    snprintf(buf, sizeof buf, "C=%02X H=%02X R=%02X N=%02X", s->c, s->h, s->r, s->n);
    return buf;
}

bool SameId(const VSector *a, const VSector *b) {
    return a->c == b->c && a->h == b->h && a->r == b->r && a->n == b->n;
}

// One sector found on both sides under the same ID.
void CompareSector(const VSector *a, const VSector *b, int c, int h, LossReport &report) {
    // Named only when there is something to say about it.
    auto id = [a] { return "sector " + Id(a); };
    if (a->mfm != b->mfm)
        report.Add(c, h, LOSS_SECTOR, id() + ": recorded in " + (a->mfm ? "MFM" : "FM") + ", would come back in " +
                                          (b->mfm ? "MFM" : "FM"));
    // A sector without a data field has no data to keep.
    if (!(a->status & SECTOR_NODATA) && !(b->status & SECTOR_NODATA)) {
        if (a->length != b->length) {
            report.Add(c, h, LOSS_SECTOR,
                       id() + ": " + std::to_string(a->length) + " data bytes would come back as " +
                           std::to_string(b->length));
        } else if (a->length > 0 && memcmp(a->data, b->data, (size_t)a->length) != 0) {
            int at = 0;
            while (a->data[at] == b->data[at]) at++;
            report.Add(c, h, LOSS_SECTOR, id() + ": data would differ from byte " + std::to_string(at));
        }
    }
    uint8_t sa = a->status & kStatusBits, sb = b->status & kStatusBits;
    // The deleted mark is the mark of a data field: a sector without one
    // has no mark to keep.
    if (sa & SECTOR_NODATA) sa &= (uint8_t)~SECTOR_DELETED, sb &= (uint8_t)~SECTOR_DELETED;
    for (uint8_t bit = 1; bit; bit = (uint8_t)(bit << 1)) {
        if (!(kStatusBits & bit) || (sa & bit) == (sb & bit)) continue;
        if (sa & bit) {
            report.Add(c, h, LOSS_STATUS, id() + ": " + StatusName(bit) + " not kept");
        } else if (bit == SECTOR_NODATA) {
            report.Add(c, h, LOSS_SECTOR, id() + ": data field would be lost");
        } else {
            // A status the source does not have is damage, not a lost remark.
            report.Add(c, h, LOSS_SECTOR, id() + ": would come back with a " + std::string(StatusName(bit)));
        }
    }
}

std::vector<const VSector *> List(const VTrack *t) {
    std::vector<const VSector *> v;
    v.reserve(t ? (size_t)t->SectorCount() : 0);
    for (const VSector *s = t ? t->sectors : nullptr; s; s = s->next) v.push_back(s);
    return v;
}

} // namespace

void CompareTrack(const VTrack *want, const VTrack *got, int c, int h, LossReport &report) {
    std::vector<const VSector *> w = List(want), g = List(got);
    if (w.empty() && g.empty()) return;
    if (g.empty()) {
        report.Add(c, h, LOSS_SECTOR, "all " + std::to_string(w.size()) + " sectors would be lost");
        return;
    }
    if (w.empty()) {
        report.Add(c, h, LOSS_SECTOR,
                   "unformatted, would come back with " + std::to_string(g.size()) + " sectors");
        return;
    }

    std::vector<bool> used(g.size(), false);
    std::vector<const VSector *> lost;
    for (const VSector *a : w) {
        size_t j = 0;
        while (j < g.size() && (used[j] || !SameId(a, g[j]))) j++;
        if (j == g.size()) {
            lost.push_back(a);
            continue;
        }
        used[j] = true;
        CompareSector(a, g[j], c, h, report);
    }
    // What is left on both sides: a sector whose record number comes back
    // under another ID is named as such; the rest are lost or new.
    for (const VSector *a : lost) {
        size_t j = 0;
        while (j < g.size() && (used[j] || g[j]->r != a->r)) j++;
        if (j < g.size()) {
            used[j] = true;
            report.Add(c, h, LOSS_SECTOR, "sector " + Id(a) + ": ID would become " + Id(g[j]));
        } else {
            report.Add(c, h, LOSS_SECTOR, "sector " + Id(a) + " would be lost");
        }
    }
    for (size_t j = 0; j < g.size(); j++)
        if (!used[j]) report.Add(c, h, LOSS_SECTOR, "sector " + Id(g[j]) + " would be added");
}

void CompareDisks(const VDisk &want, const VDisk &got, LossReport &report) {
    for (int c = 0; c < VDisk::MAX_CYLINDERS; c++)
        for (int h = 0; h < VDisk::MAX_HEADS; h++) CompareTrack(want.tracks[c][h], got.tracks[c][h], c, h, report);
}
