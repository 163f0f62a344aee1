// Pictures of a disk as SVG and text (see picture.h).
//
// Disk map layout: one column per cylinder (11 px), a band for each head;
// in a column the sectors stack in the order found on the track, each a cell
// coloured by its state. An unformatted track is a grey column. Dots under a
// column mark a track's irregularities (index straddle, overlap, extra data
// marks). A title line carries the image's name, type, rate and rpm and the
// error count; the legend gives every colour and how many sectors have it.
#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Text as SVG character data.
std::string Escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += (unsigned char)c < 0x20 ? ' ' : c;
        }
    }
    return out;
}

std::string Text(int x, int y, const std::string &s, const char *extra = "") {
    return Format("<text x=\"%d\" y=\"%d\"%s>", x, y, extra) + Escape(s) + "</text>\n";
}

const char kUnformatted[] = "#c8c8c8";
const char kStraddle[] = "#1e63d6", kOverlap[] = "#d61ec6", kExtra[] = "#e08a00";

} // namespace

const char *MapStateName(mapstate_e state) {
    static const char *const names[MAP_STATES] = {"good", "data CRC error", "ID CRC error", "deleted data",
                                                  "no data field", "duplicate ID"};
    return names[state];
}

const char *MapStateColour(mapstate_e state) {
    static const char *const colours[MAP_STATES] = {"#3fa34d", "#e02020", "#f08c00", "#8e44ad", "#202020",
                                                    "#f2d600"};
    return colours[state];
}

bool MapStateIsError(mapstate_e state) {
    return state == MAP_DATACRC || state == MAP_IDCRC || state == MAP_NODATA;
}

mapcount_t CountMap(const diskmap_t &map) {
    mapcount_t n;
    for (const maptrack_t &t : map.tracks) {
        if (!t.formatted) {
            n.unformatted++;
            continue;
        }
        n.formatted++;
        bool bad = false;
        for (const mapsector_t &s : t.sectors) {
            n.sectors[s.state]++;
            if (MapStateIsError(s.state)) n.errors++, bad = true;
        }
        n.damaged += bad;
    }
    return n;
}

std::string DiskMapSvg(const diskmap_t &map) {
    const mapcount_t n = CountMap(map);
    size_t most = 1;
    for (const maptrack_t &t : map.tracks) most = std::max(most, t.sectors.size());
    const int colw = 11, band = std::max(120, (int)most * 6), left = 54, top = 64;
    const int cyls = std::max(map.cylinders, 1), heads = std::max(map.heads, 1);
    const int bandgap = 34, width = left + cyls * colw + 20;
    const int legend = top + heads * (band + bandgap) + 6, height = legend + 4 * 18 + 16;
    const double cellh = (double)band / (double)most;

    std::string svg = Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                             "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
                             width, height, width, height);
    svg += Format("<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", width, height);
    svg += Text(8, 20, map.name, " font-size=\"16\" font-weight=\"bold\"");
    svg += Text(8, 40, Format("%s, %d kbps, %d rpm, %d cylinders x %d heads: %d bad sectors on %d tracks, "
                              "%d tracks unformatted",
                              map.kind.c_str(), map.rate, map.rpm, map.cylinders, map.heads, n.errors, n.damaged,
                              n.unformatted));
    for (int h = 0; h < heads; h++) {
        const int y0 = top + h * (band + bandgap);
        svg += Text(4, y0 + band / 2, Format("head %d", h));
        for (int c = 0; c < cyls; c += 10) svg += Text(left + c * colw, y0 + band + 26, Format("%d", c));
    }
    for (const maptrack_t &t : map.tracks) {
        if (t.cylinder >= cyls || t.head >= heads) continue;
        const int x = left + t.cylinder * colw, y0 = top + t.head * (band + bandgap);
        if (!t.formatted) {
            svg += Format("<rect class=\"unformatted\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>\n",
                          x, y0, colw - 2, band, kUnformatted);
            continue;
        }
        for (size_t i = 0; i < t.sectors.size(); i++) {
            const mapsector_t &s = t.sectors[i];
            const int y = y0 + (int)std::lround(cellh * (double)i), y1 = y0 + (int)std::lround(cellh * (double)(i + 1));
            svg += Format("<rect class=\"sector\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\">"
                          "<title>C%d H%d R%d: %s</title></rect>\n",
                          x, y, colw - 2, std::max(1, y1 - y - 1), MapStateColour(s.state), t.cylinder, t.head, s.r,
                          MapStateName(s.state));
        }
        const char *marks[3] = {t.straddle ? kStraddle : nullptr, t.overlap ? kOverlap : nullptr,
                                t.extramarks ? kExtra : nullptr};
        for (int k = 0; k < 3; k++)
            if (marks[k])
                svg += Format("<circle class=\"flag\" cx=\"%d\" cy=\"%d\" r=\"3\" fill=\"%s\"/>\n", x + colw / 2 - 1,
                              y0 + band + 6 + 7 * k, marks[k]);
    }
    // Legend: every state with its count, then the track marks.
    for (int st = 0; st < MAP_STATES; st++) {
        const int x = 8 + (st % 3) * 230, y = legend + (st / 3) * 18;
        svg += Format("<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>\n", x, y, MapStateColour((mapstate_e)st));
        svg += Text(x + 18, y + 11, Format("%s: %d", MapStateName((mapstate_e)st), n.sectors[st]));
    }
    const int y2 = legend + 2 * 18;
    svg += Format("<rect x=\"8\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>\n", y2, kUnformatted);
    svg += Text(26, y2 + 11, Format("unformatted track: %d", n.unformatted));
    const char *flagcolour[3] = {kStraddle, kOverlap, kExtra};
    const char *flagname[3] = {"sector across the index", "sectors overlap", "more data marks than IDs"};
    for (int k = 0; k < 3; k++) {
        const int x = 238 + k * 200;
        svg += Format("<circle cx=\"%d\" cy=\"%d\" r=\"4\" fill=\"%s\"/>\n", x + 6, y2 + 6, flagcolour[k]);
        svg += Text(x + 16, y2 + 11, flagname[k]);
    }
    svg += "</svg>\n";
    return svg;
}

std::string DiskMapText(const diskmap_t &map) {
    const mapcount_t n = CountMap(map);
    std::string s;
    static const char *const labels[MAP_STATES] = {"Sectors good", "Data CRC errors", "ID CRC errors",
                                                   "Deleted data", "No data field", "Duplicate IDs"};
    for (int st = 0; st < MAP_STATES; st++) s += Format("%-19s: %d\n", labels[st], n.sectors[st]);
    s += Format("Tracks formatted   : %d\nTracks unformatted : %d\nTracks with errors : %d\n", n.formatted,
                n.unformatted, n.damaged);
    for (const maptrack_t &t : map.tracks) {
        std::string bad;
        for (const mapsector_t &x : t.sectors)
            if (x.state != MAP_GOOD && x.state != MAP_DELETED) bad += Format("%sR%d(%s)", bad.empty() ? "" : " ", x.r, MapStateName(x.state));
        std::string flags = std::string(t.straddle ? " straddles the index" : "") + (t.overlap ? " overlap" : "") +
                            (t.extramarks ? " extra data marks" : "");
        if (!bad.empty() || !flags.empty())
            s += Format("TRACK %3d(C:%02d H:%02d) ", t.cylinder * std::max(map.heads, 1) + t.head, t.cylinder, t.head) +
                 bad + flags + "\n";
    }
    return s;
}

// ---- Flux histogram -----------------------------------------------------------

void AddFlux(fluxhist_t &hist, const uint8_t *raw, int len) {
    if (!raw || len < 2) return;
    // Rising edges: a 1 sample after a 0. The first edge is the origin; the
    // interval after the last one runs round the circle to it.
    int64_t first = -1, last = -1;
    int prev = (raw[(len - 1) >> 3] >> (7 - ((len - 1) & 7))) & 1;
    for (int i = 0; i < len; i++) {
        int bit = (raw[i >> 3] >> (7 - (i & 7))) & 1;
        if (bit && !prev) {
            if (last >= 0) {
                int64_t d = i - last;
                hist.counts[(size_t)std::min<int64_t>(d, FLUX_MAX_INTERVAL)]++;
                hist.total++;
            } else {
                first = i;
            }
            last = i;
        }
        prev = bit;
    }
    if (first >= 0 && last > first) {
        hist.counts[(size_t)std::min<int64_t>(len - last + first, FLUX_MAX_INTERVAL)]++;
        hist.total++;
    }
}

void FindFluxPeaks(fluxhist_t &hist) {
    hist.peaks.clear();
    // The 2-cell peak is the first clear one: the first local maximum of at
    // least a twentieth of the highest bar. Half of it is the cell.
    uint64_t most = 0;
    for (int d = 2; d < FLUX_MAX_INTERVAL; d++) most = std::max(most, hist.counts[(size_t)d]);
    int two = 16;
    for (int d = 2; most && d < FLUX_MAX_INTERVAL; d++) {
        if (hist.counts[(size_t)d] * 20 < most) continue;
        while (d + 1 < FLUX_MAX_INTERVAL && hist.counts[(size_t)d + 1] > hist.counts[(size_t)d]) d++;
        two = d;
        break;
    }
    const double cell = two / 2.0;
    for (int cells = 2; cells <= 4; cells++) {
        fluxpeak_t p{cells, 0, 0, 0};
        double sum = 0, sq = 0;
        const int from = std::max(1, (int)std::ceil(cell * (cells - 0.5))), to = (int)std::ceil(cell * (cells + 0.5));
        for (int d = from; d < to && d < FLUX_MAX_INTERVAL; d++) {
            p.pulses += hist.counts[(size_t)d];
            sum += (double)hist.counts[(size_t)d] * d;
            sq += (double)hist.counts[(size_t)d] * d * d;
        }
        if (p.pulses) {
            p.at = sum / (double)p.pulses;
            p.spread = std::sqrt(std::max(0.0, sq / (double)p.pulses - p.at * p.at));
        }
        hist.peaks.push_back(p);
    }
    hist.fm = hist.total > 0 && hist.peaks[1].pulses * 50 < hist.total;
}

std::string FluxHistogramSvg(const fluxhist_t &hist, const std::string &title) {
    const int px = 5;  // per sample of interval
    const int left = 60, top = 56, plotw = px * (FLUX_MAX_INTERVAL + 1), ploth = 240;
    const int width = left + plotw + 30, height = top + ploth + 110;
    uint64_t most = 1;
    for (uint64_t c : hist.counts) most = std::max(most, c);
    const double us = 1000.0 / std::max(hist.samplerate, 1);  // microseconds a sample
    std::string svg = Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                             "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
                             width, height, width, height);
    svg += Format("<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", width, height);
    svg += Text(8, 20, title, " font-size=\"16\" font-weight=\"bold\"");
    svg += Text(8, 38, Format("%llu pulse intervals at %d kHz sampling, %s; highest bar %llu", (unsigned long long)hist.total,
                              hist.samplerate, hist.fm ? "FM (2 and 4 cells)" : "MFM (2, 3 and 4 cells)",
                              (unsigned long long)most));
    svg += Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#000\"/>\n", left, top + ploth,
                  left + plotw, top + ploth);
    for (int d = 1; d <= FLUX_MAX_INTERVAL; d++) {
        if (!hist.counts[(size_t)d]) continue;
        const int h = (int)std::lround((double)hist.counts[(size_t)d] * ploth / (double)most);
        svg += Format("<rect class=\"bar\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#3b6fb6\">"
                      "<title>%d samples (%.2f us): %llu</title></rect>\n",
                      left + px * d, top + ploth - std::max(h, 1), px - 1, std::max(h, 1), d, d * us,
                      (unsigned long long)hist.counts[(size_t)d]);
    }
    for (int d = 0; d <= FLUX_MAX_INTERVAL; d += 8) {
        svg += Text(left + px * d, top + ploth + 16, Format("%d", d), " text-anchor=\"middle\"");
        svg += Text(left + px * d, top + ploth + 30, Format("%.1f", d * us), " text-anchor=\"middle\" fill=\"#555\"");
    }
    svg += Text(left + plotw, top + ploth + 46, "interval: samples / microseconds", " text-anchor=\"end\"");
    int line = 0;
    for (const fluxpeak_t &p : hist.peaks) {
        if (!p.pulses || (hist.fm && p.cells == 3)) continue;
        const int x = left + (int)std::lround(px * p.at) + px / 2;
        svg += Format("<line class=\"peak\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#e02020\" "
                      "stroke-dasharray=\"4 3\"/>\n",
                      x, top - 6, x, top + ploth);
        svg += Text(x, top - 9, Format("%dT", p.cells), " text-anchor=\"middle\" fill=\"#e02020\"");
        svg += Text(8, top + ploth + 66 + 16 * line++,
                    Format("%d cells: %.2f samples (%.3f us), spread %.2f samples, %llu intervals", p.cells, p.at,
                           p.at * us, p.spread, (unsigned long long)p.pulses),
                    " fill=\"#e02020\"");
    }
    svg += "</svg>\n";
    return svg;
}

std::string FluxHistogramText(const fluxhist_t &hist) {
    const double us = 1000.0 / std::max(hist.samplerate, 1);
    std::string s = Format("Intervals          : %llu\nRecording          : %s\n", (unsigned long long)hist.total,
                           hist.fm ? "FM" : "MFM");
    for (const fluxpeak_t &p : hist.peaks) {
        if (hist.fm && p.cells == 3) continue;
        s += Format("Peak %d cells       : %.2f samples (%.3f us), spread %.2f, %llu intervals\n", p.cells, p.at,
                    p.at * us, p.spread, (unsigned long long)p.pulses);
    }
    return s;
}
