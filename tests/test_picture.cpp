// The pictures say what the disk holds: every sector a cell of its state's
// colour, every unformatted track shaded, every irregular track marked; the
// flux histogram's peaks where the pulses are, with their spread.
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "fdi_loss.h"
#include "formats_fixture.h"
#include "picture.h"
#include "zeldisk.h"

namespace {

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

size_t Cells(const std::string &svg, mapstate_e state) {
    // Every sector cell is drawn as one rect of class sector with its fill.
    size_t n = 0;
    const std::string fill = std::string("fill=\"") + MapStateColour(state) + "\"><title>";
    for (size_t at = svg.find("class=\"sector\""); at != std::string::npos; at = svg.find("class=\"sector\"", at + 1)) {
        size_t end = svg.find("</rect>", at);
        if (svg.substr(at, end - at).find(fill) != std::string::npos) n++;
    }
    return n;
}

// A 2HD disk with sectors of every state, and a track turned so that a
// sector runs across the index, through a track image into the map.
TEST(Picture, DiskMapColoursEverySectorByItsState) {
    ScratchDir dir;
    VDisk d;
    FillDisk(d, {"damaged", VDisk::TYPE_2HD, 77, 8, 3, false, false, {}}, 3);
    d.tracks[0][0]->GetSectorByIndex(2)->status = SECTOR_DATACRC;
    d.tracks[9][1]->GetSectorByIndex(4)->status = SECTOR_IDCRC;
    d.tracks[20][0]->GetSectorByIndex(0)->status = SECTOR_DELETED;
    d.tracks[30][1]->GetSectorByIndex(7)->status = SECTOR_NODATA;
    d.tracks[40][0]->GetSectorByIndex(6)->r = 6;  // a second R=6
    ASSERT_EQ(1, d.Export(dir.File("d.D88")));
    ZELDisk z;
    ASSERT_EQ(1, z.Import(dir.File("d.D88"), 1));
    // Track 10 (cylinder 5, head 0) turned by half a revolution.
    uint8_t *t = z.GetTrackData(5, 0);
    const int bits = z.GetTrackLen(5, 0);
    std::vector<uint8_t> turned((size_t)(bits + 7) / 8, 0);
    for (int i = 0; i < bits; i++)
        if ((t[(i + bits / 2) % bits / 8] >> (7 - (i + bits / 2) % bits % 8)) & 1) turned[i / 8] |= 0x80 >> (i % 8);
    memcpy(t, turned.data(), turned.size());

    diskmap_t map;
    z.Map(map, ANALYZE_UPD765, "2HD");
    mapcount_t n = CountMap(map);
    EXPECT_EQ(154, n.formatted);
    EXPECT_EQ(14, n.unformatted);
    EXPECT_EQ(3, n.errors);
    EXPECT_EQ(3, n.damaged);
    const int want[MAP_STATES] = {77 * 2 * 8 - 5, 1, 1, 1, 1, 1};
    const std::string svg = DiskMapSvg(map);
    for (int st = 0; st < MAP_STATES; st++) {
        EXPECT_EQ(want[st], n.sectors[st]) << MapStateName((mapstate_e)st);
        EXPECT_EQ((size_t)want[st], Cells(svg, (mapstate_e)st)) << MapStateName((mapstate_e)st);
    }
    EXPECT_EQ(14u, Count(svg, "class=\"unformatted\""));
    EXPECT_EQ(1u, Count(svg, "class=\"flag\""));  // the turned track straddles the index
    EXPECT_NE(std::string::npos, svg.find("2HD, 1000 kbps, 360 rpm, 84 cylinders x 2 heads: 3 bad sectors"));
    EXPECT_EQ(0u, svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""));

    const std::string text = DiskMapText(map);
    EXPECT_NE(std::string::npos, text.find("Data CRC errors    : 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("TRACK   0(C:00 H:00) R3(data CRC error)\n")) << text;
    EXPECT_NE(std::string::npos, text.find("TRACK  61(C:30 H:01) R8(no data field)\n")) << text;
    EXPECT_NE(std::string::npos, text.find("TRACK  80(C:40 H:00) R6(duplicate ID)\n")) << text;
    EXPECT_NE(std::string::npos, text.find("TRACK  10(C:05 H:00)  straddles the index\n")) << text;
}

// A raw stream of known intervals: the histogram counts each, and the peaks
// sit at their means with their spread, for MFM and FM, at the rate of a
// raw image and at twice the samples a cell.
TEST(Picture, FluxHistogramFindsThePeaks) {
    struct Case {
        const char *what;
        int cell;      // samples a cell
        bool threes;   // 3-cell intervals present (MFM)
    } cases[] = {{"MFM, 8 samples a cell", 8, true}, {"FM", 8, false}, {"MFM, 16 samples a cell", 16, true}};
    for (const Case &c : cases) {
        std::mt19937 rng(4);
        const int len = 4000000;
        std::vector<uint8_t> raw((size_t)len / 8, 0);
        int counts[5] = {}, pos = 0;
        while (true) {
            int k = 2 + (int)(rng() % (c.threes ? 3 : 2)) * (c.threes ? 1 : 2);
            int d = k * c.cell + (int)(rng() % 3) - 1;  // one sample either way
            if (pos + d >= len - 64) break;
            pos += d;
            raw[pos / 8] |= (uint8_t)(0x80 >> (pos % 8));
            counts[k]++;
        }
        fluxhist_t hist;
        AddFlux(hist, raw.data(), len);
        FindFluxPeaks(hist);
        SCOPED_TRACE(c.what);
        EXPECT_EQ(!c.threes, hist.fm);
        ASSERT_EQ(3u, hist.peaks.size());
        for (const fluxpeak_t &p : hist.peaks) {
            if (!c.threes && p.cells == 3) continue;
            EXPECT_NEAR(p.cells * c.cell, p.at, 0.1) << p.cells;
            EXPECT_NEAR(std::sqrt(2.0 / 3.0), p.spread, 0.05) << p.cells;  // -1, 0, +1 equally often
            // The first interval of the stream is taken from its first edge,
            // and the last runs round the circle: each peak is exact but for one.
            EXPECT_NEAR(counts[p.cells], (double)p.pulses, 1) << p.cells;
        }
        const std::string svg = FluxHistogramSvg(hist, "test");
        EXPECT_EQ(c.threes ? 3u : 2u, Count(svg, "class=\"peak\""));
        // Three intervals a peak, and the long one round the circle.
        EXPECT_EQ(c.threes ? 10u : 7u, Count(svg, "class=\"bar\""));
        const std::string text = FluxHistogramText(hist);
        EXPECT_NE(std::string::npos, text.find(c.threes ? "Recording          : MFM" : "Recording          : FM"));
    }
}

}  // namespace
