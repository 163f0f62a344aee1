// The loss check: what a conversion would not carry over, sector by sector.
//
// Every conversion between image formats ends in it. The sectors of the
// source, as a sector disk, are compared with what the destination gives
// back when it is read again by its own reader: every sector must come back
// with its ID (C H R N), its density, its status and its data. Sectors are
// matched by ID, in recording order among sectors of the same ID; the order
// of different IDs on a track is not compared (formats without sector IDs
// keep their sectors in R order, which an interleaved disk does not have).
//
// The checker knows nothing of formats: it sees two sector disks. Each
// difference is one entry of a LossReport, with the track it is on and what
// would be lost, in words a user can act on.
#pragma once

#include <string>
#include <vector>

class VDisk;
class VTrack;

enum loss_e {
    LOSS_STATUS = 1,  // only a status would not be kept (CRC error, deleted mark, missing data field)
    LOSS_SECTOR = 2,  // a sector, its ID, density, length or data would be lost or changed
};

struct loss_t {
    int cylinder;
    int head;
    loss_e kind;
    std::string what;  // "sector C=02 H=01 R=05 N=02: data CRC error not kept"
};

class LossReport {
  public:
    // accept: the kinds of loss the caller takes as warnings (LOSS_STATUS,
    // or LOSS_STATUS | LOSS_SECTOR for a viewer that only shows an image).
    explicit LossReport(int accept = 0) : m_accept(accept) {}

    void Add(int cylinder, int head, loss_e kind, std::string what);
    // The conversion cannot be made at all (no media code, no reference
    // track); blames no single track.
    void Refuse(std::string why);
    void Clear();
    // Adds the other report's losses (and its refusal, when this has none).
    void Append(const LossReport &other);

    // A refusal, or a loss of a kind the caller does not accept.
    bool Fails() const;
    bool Empty() const { return m_losses.empty() && m_refusal.empty(); }
    int Accepted() const { return m_accept; }
    const std::string &Refusal() const { return m_refusal; }
    const std::vector<loss_t> &Losses() const { return m_losses; }

    // "Track 5 (C:02 H:01): sector C=02 H=01 R=05 N=02: data CRC error not kept"
    static std::string Text(const loss_t &loss);

  private:
    int m_accept;
    std::string m_refusal;
    std::vector<loss_t> m_losses;
};

// Adds to report every difference between the sectors of want and got, both
// of track cylinder, head (a null track is an empty one).
void CompareTrack(const VTrack *want, const VTrack *got, int cylinder, int head, LossReport &report);
// The same for every track either disk has.
void CompareDisks(const VDisk &want, const VDisk &got, LossReport &report);
