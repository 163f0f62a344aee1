// A simulated board installed for one test, and a recording device on its bus.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "gpioctl.h"
#include "sim.h"

inline SimConfig BoardConfig(int board, int soc = 3) {
    SimConfig cfg;
    cfg.board = board;
    cfg.soc = soc;
    return cfg;
}

// Installs the board from cfg for the lifetime of the object.
struct SimRig {
    explicit SimRig(const SimConfig &cfg) { board = SimInstall(cfg, &error); }
    ~SimRig() { SimShutdown(); }
    int64_t NowUs() { return board->Now() / SIM_PS_PER_US; }
    // The Pi as controller with drive 0 selected and its motor on.
    bool StartDrive0() {
        if (!g.Init(GPIOCTL::MODE_CONTROLLER)) return false;
        g.Reset();
        g.SetDS0(1);
        g.SetMOT(1);
        return true;
    }
    std::string ReadPlatformFile(const char *name) {
        std::string text;
        FILE *f = fopen(board->PlatformFile(name).c_str(), "r");
        if (!f) return "<missing>";
        char buf[64];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
        return text;
    }
    SimBoard *board = nullptr;
    std::string error;
    GPIOCTL g;
};

// Records what the Pi does on the bus and plays a data line toward it.
struct Recorder : SimDevice {
    struct Change {
        int64_t t;
        int line, asserted;
    };
    struct Bit {
        int64_t t;
        int bit;
    };
    uint32_t lines = 0;
    std::function<int(int64_t)> data;
    std::vector<Change> changes;
    std::vector<Bit> bits;

    uint32_t Asserted(int64_t) override { return lines; }
    int DataAsserted(int64_t t) override { return data ? data(t) : 0; }
    void LineChanged(int line, int asserted, int64_t t) override { changes.push_back({t, line, asserted}); }
    void DataOut(int64_t t, int64_t period, uint32_t b, int count) override {
        for (int i = 0; i < count; i++) bits.push_back({t + i * period, (int)(b >> (count - 1 - i)) & 1});
    }
    std::vector<Change> On(int line) const {
        std::vector<Change> out;
        for (const Change &c : changes)
            if (c.line == line) out.push_back(c);
        return out;
    }
};

// A fresh folder under $ZELMO_TEST_TMP (or /tmp), removed with the files named through it.
struct SimScratch {
    SimScratch() {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string root = base && *base ? base : "/tmp";
        mkdir(root.c_str(), 0755);
        std::string t = root + "/zelmo-test-XXXXXX";
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) dir = buf.data();
    }
    ~SimScratch() {
        for (const std::string &f : made) unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string Name(const char *name) {
        made.push_back(dir + "/" + name);
        return made.back();
    }
    std::string Put(const char *name, const std::string &text) {
        std::string p = Name(name);
        std::ofstream(p) << text;
        return p;
    }
    static std::string Slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir;
    std::vector<std::string> made;
};
