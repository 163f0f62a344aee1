// The host's floppy controller on the bus of the emulator role.
//
// A script drives the host's lines (select, motor, direction, step, side,
// write gate, the PC-98 mode and X68000 option/eject lines) at set times and
// feeds write data while the gate is open. Everything the emulator sends back
// is captured with its time: the read-data pulses and every change of the
// lines the Pi drives (index, ready, TRK00, write protect, option, ...).
// The log written at the end holds both, so a test can rebuild the cell
// stream the host read and decode it.
//
// Script lines: "<ms> <command> [args]", '#' starts a comment.
//   <ms> assert <line>      <ms> release <line>
//   <ms> step <count> [<width_us> [<interval_ms>]]   pulses on STP
//   <ms> writedata <rate_khz> <hex cells>            repeated while the gate is open,
//                                                      from <ms> until the next writedata
//   <ms> on <line> <0|1> <delay_ms> <command> [args]   once, delay_ms after the Pi
//                                                      first sets line so from <ms> on
// Line names: ds0 ds1 mot dir stp wtg sid os0 os1 mode0 mode1 ejc, and of the
// lines the Pi drives idx rdy trz wtp din int, or a GPIO number.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sim.h"
#include "zel.h"

static const size_t kCaptureLimit = 8u << 20;

static int LineByName(const std::string &name) {
    static const struct {
        const char *name;
        int line;
    } names[] = {{"ds0", LINE_DS0}, {"ds1", LINE_DS1}, {"mot", LINE_MOT},    {"dir", LINE_DIR},
                 {"stp", LINE_STP}, {"wtg", LINE_WTG}, {"sid", LINE_SID},    {"os0", LINE_OS0},
                 {"os1", LINE_OS1}, {"mode0", LINE_OS0}, {"mode1", LINE_OS1}, {"ejc", LINE_EJC},
                 // lines the Pi drives, for "on"
                 {"idx", LINE_IDX}, {"rdy", LINE_RDY}, {"trz", LINE_TRZ}, {"wtp", LINE_WTP}, {"din", 8},
                 {"int", 11}};
    for (const auto &n : names)
        if (name == n.name) return n.line;
    char *end = nullptr;
    long v = strtol(name.c_str(), &end, 10);
    return !name.empty() && *end == 0 && v >= 0 && v < 28 ? (int)v : -1;
}

int SimParseHex(const std::string &hex, std::vector<uint8_t> *out) {
    if (hex.empty() || hex.size() % 2) return 0;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v;
        if (sscanf(hex.substr(i, 2).c_str(), "%2x", &v) != 1) return 0;
        out->push_back((uint8_t)v);
    }
    return 1;
}

int SimHost::AddScriptLine(const std::string &text, std::string *error) {
    std::string line = text.substr(0, text.find('#'));
    std::istringstream in(line);
    double ms;
    if (!(in >> ms)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) return 1;
        *error = "host script: bad line: " + text;
        return 0;
    }
    std::string command;
    std::getline(in, command);
    return AddCommand((int64_t)(ms * 1000.0 * SIM_PS_PER_US), command, error);
}

int SimHost::AddCommand(int64_t t, const std::string &command, std::string *error) {
    std::istringstream in(command);
    std::string cmd;
    in >> cmd;
    std::vector<Step> steps;
    if (cmd == "assert" || cmd == "release") {
        std::string name;
        in >> name;
        int l = LineByName(name);
        if (l < 0) {
            *error = "host script: unknown line " + name;
            return 0;
        }
        steps.push_back(cmd == "assert" ? Step{t, 1u << l, 0} : Step{t, 0, 1u << l});
    } else if (cmd == "step") {
        int count = 0;
        double width_us = 4, interval_ms = 3;
        in >> count;
        if (!(in >> width_us)) width_us = 4;
        if (!(in >> interval_ms)) interval_ms = 3;
        if (count < 1 || width_us <= 0 || interval_ms * 1000 <= width_us) {
            *error = "host script: bad step: " + command;
            return 0;
        }
        for (int i = 0; i < count; i++) {
            int64_t at = t + (int64_t)(i * interval_ms * 1000 * SIM_PS_PER_US);
            steps.push_back(Step{at, 1u << LINE_STP, 0});
            steps.push_back(Step{at + (int64_t)(width_us * SIM_PS_PER_US), 0, 1u << LINE_STP});
        }
    } else if (cmd == "writedata") {
        int rate = 0;
        std::string hex;
        std::vector<uint8_t> cells;
        in >> rate >> hex;
        if (rate <= 0 || !SimParseHex(hex, &cells)) {
            *error = "host script: bad writedata: " + command;
            return 0;
        }
        FeedWriteData(t, cells.data(), (int)cells.size() * 8, rate);
    } else if (cmd == "on") {
        // The host reacting to the Pi: the command runs once, delay ms after
        // the first change of the line to that state from t on.
        std::string name, then;
        int asserted = -1;
        double delay_ms = -1;
        in >> name >> asserted >> delay_ms;
        std::getline(in, then);
        int l = LineByName(name);
        SimHost probe;  // the command must be one the script can run
        if (l < 0 || (asserted != 0 && asserted != 1) || delay_ms < 0 || !probe.AddCommand(0, then, error)) {
            *error = "host script: bad on: " + command;
            return 0;
        }
        triggers.push_back(Trigger{t, l, asserted, (int64_t)(delay_ms * 1000 * SIM_PS_PER_US), then});
    } else {
        *error = "host script: unknown command " + cmd;
        return 0;
    }
    for (const Step &s : steps) {
        auto pos = std::upper_bound(script.begin() + (long)next, script.end(), s,
                                    [](const Step &a, const Step &b) { return a.t < b.t; });
        script.insert(pos, s);
    }
    return 1;
}

int SimHost::LoadScript(const char *path, std::string *error) {
    error->clear();
    if (SimForEachLine(path, [&](const std::string &line) { return AddScriptLine(line, error); })) return 1;
    if (error->empty()) *error = std::string("cannot read host script ") + path;
    return 0;
}

void SimHost::FeedWriteData(int64_t t, const uint8_t *cells, int count, int rate) {
    if (count <= 0 || rate <= 0) return;
    Feed f{t, 1000000000ll / rate, std::vector<uint8_t>(cells, cells + (count + 7) / 8), count};
    auto pos = std::upper_bound(feeds.begin(), feeds.end(), t, [](int64_t v, const Feed &e) { return v < e.start; });
    feeds.insert(pos, std::move(f));
}

void SimHost::Run(int64_t t) {
    while (next < script.size() && script[next].t <= t) {
        lines = (lines | script[next].set) & ~script[next].clear;
        next++;
    }
}

uint32_t SimHost::Asserted(int64_t t) {
    Run(t);
    return lines;
}

int64_t SimHost::NextChange(int64_t t) {
    Run(t);
    return next < script.size() ? script[next].t : INT64_MAX;
}

// How far the pulse of cell k moves (up to write_jitter_ps either way): a
// fixed hash of the cell, so every look at the line agrees.
static int64_t PulseShift(int64_t k, int64_t jitter) {
    uint64_t x = (uint64_t)k * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return (int64_t)(x % (uint64_t)(2 * jitter + 1)) - jitter;
}

// Write pulses of half a cell (at most 500 ns) at each 1 cell of the feed
// that is current at t, each moved by its jitter.
int SimHost::DataAsserted(int64_t t) {
    Run(t);
    if (!((lines >> LINE_WTG) & 1)) return 0;
    auto f = std::upper_bound(feeds.begin(), feeds.end(), t, [](int64_t v, const Feed &e) { return v < e.start; });
    if (f == feeds.begin()) return 0;
    const Feed &feed = *--f;
    const int64_t width = std::min<int64_t>(feed.cell / 2, 500000);
    const int64_t jitter = std::min<int64_t>(write_jitter_ps, (feed.cell - width) / 2);
    const int64_t at = t - feed.start, cell = at / feed.cell;
    for (int64_t k = cell - (jitter ? 1 : 0); k <= cell + (jitter ? 1 : 0); k++) {
        if (k < 0 || !BfGetBit(feed.cells.data(), (int)(k % feed.count))) continue;
        int64_t from = k * feed.cell + (jitter ? PulseShift(k, jitter) : 0);
        if (at >= from && at < from + width) return 1;
    }
    return 0;
}

void SimHost::LineChanged(int line, int asserted, int64_t t) {
    if (seen.size() < kCaptureLimit) seen.push_back(SimHostEvent{t, line, asserted});
    for (size_t i = 0; i < triggers.size();) {
        if (triggers[i].line != line || triggers[i].asserted != asserted || t < triggers[i].armed) {
            i++;
            continue;
        }
        Trigger fired = triggers[i];
        triggers.erase(triggers.begin() + (long)i);  // before the command may add triggers of its own
        std::string error;
        AddCommand(t + fired.delay, fired.command, &error);  // checked when the script was read
    }
}

void SimHost::DataOut(int64_t t, int64_t period, uint32_t bits, int count) {
    for (int i = 0; i < count; i++) {
        int bit = (bits >> (count - 1 - i)) & 1;
        if (bit && !data_last && read_pulses.size() < kCaptureLimit) read_pulses.push_back(t + i * period);
        data_last = bit;
    }
}

void SimHost::Finish(int64_t t) {
    if (log_path.empty()) return;
    FILE *f = fopen(log_path.c_str(), "w");
    if (!f) return;
    static const char *names[28] = {"MOT", "STP", "2", "3", "4", "WTP1", "TRZ1", "WTG", "DIN", "9",
                                    "10", "INT", "DIR", "EJC", "14", "15", "OS0", "17", "18", "OPT",
                                    "OS1", "DS0", "RDY", "SID", "WTP", "TRZ", "DS1", "IDX"};
    fprintf(f, "# time_us line asserted\n");
    for (const SimHostEvent &e : seen)
        fprintf(f, "%.3f %s %d\n", (double)e.t / SIM_PS_PER_US, e.line >= 0 && e.line < 28 ? names[e.line] : "?",
                e.asserted);
    fprintf(f, "read_pulses = %zu\n", read_pulses.size());
    fprintf(f, "end_us = %.3f\n", (double)t / SIM_PS_PER_US);
    // The pulses themselves, one a line, as whole nanoseconds after the one
    // before (the first after time 0). Each is the difference of two rounded
    // times, so the sum up to any pulse is that pulse's time: no drift.
    fprintf(f, "# read pulses: ns after the previous pulse\n");
    int64_t last = 0;
    for (int64_t p : read_pulses) {
        int64_t ns = (p + 500) / 1000;
        fprintf(f, "%lld\n", (long long)(ns - last));
        last = ns;
    }
    fclose(f);
}
