// The simulation file and the installation of the simulated board.
//
// One "key = value" setting a line; '#' starts a comment; relative paths are
// taken from the file's own folder. The keys are listed in sim/README.md.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sim.h"

static std::string Trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

static int ToInt(const std::string &v, long long *out) {
    char *end = nullptr;
    long long n = strtoll(v.c_str(), &end, 0);
    if (v.empty() || *end) return 0;
    *out = n;
    return 1;
}

static int ToDouble(const std::string &v, double *out) {
    char *end = nullptr;
    double d = strtod(v.c_str(), &end);
    if (v.empty() || *end) return 0;
    *out = d;
    return 1;
}

int SimApplySetting(SimConfig *cfg, const std::string &key, const std::string &value, std::string *error) {
    long long n = 0;
    double d = 0;
    bool isint = ToInt(value, &n), isnum = ToDouble(value, &d);
    auto bad = [&]() {
        *error = "bad value for " + key + ": " + value;
        return 0;
    };
    auto flag = [&](int *dst) {
        if (!isint || n < 0 || n > 1) return bad();
        *dst = (int)n;
        return 1;
    };
    auto text = [&](std::string *dst) {
        *dst = value == "none" ? std::string() : value + "\n";
        return 1;
    };

    if (key == "board") {
        static const char *names[] = {"A", "B", "C"};
        for (int i = 0; i < 3; i++)
            if (value == names[i] || value == std::string("Type") + names[i]) return cfg->board = i + 1, 1;
        return bad();
    }
    if (key == "soc") {
        static const char *names[] = {"bcm2835", "bcm2836", "bcm2837", "bcm2711"};
        for (int i = 0; i < 4; i++)
            if (value == names[i]) return cfg->soc = i + 1, 1;
        if (isint && n >= 1 && n <= 4) return cfg->soc = (int)n, 1;
        return bad();
    }
    if (key == "core_clock_mhz") {
        if (!isnum || d <= 0 || d > 2000) return bad();
        cfg->core_khz = (int)(d * 1000);
        return 1;
    }
    if (key == "core_clock_change") {
        double at, mhz;
        if (sscanf(value.c_str(), "%lf %lf", &at, &mhz) != 2 || at < 0 || mhz <= 0 || mhz > 2000) return bad();
        cfg->core_change_at_us = (int64_t)(at * 1000);
        cfg->core_change_khz = (int)(mhz * 1000);
        return 1;
    }
    if (key == "tick_ns") {
        if (!isnum || d <= 0 || d > 1e6) return bad();
        cfg->tick_ps = (int64_t)(d * 1000);
        return 1;
    }
    if (key == "yield_us") {
        if (!isint || n < 1 || n > 1000000) return bad();
        cfg->yield_us = (int)n;
        return 1;
    }
    if (key == "clock_start_us") {
        if (!isint || n < 0) return bad();
        cfg->clock_start_us = (uint64_t)n;
        return 1;
    }
    if (key == "devmem") return flag(&cfg->devmem);
    if (key == "mailbox") return flag(&cfg->vcio);
    if (key == "i2c") return flag(&cfg->i2c);
    if (key == "spi_even_divider") return flag(&cfg->spi_even_divider);
    if (key == "mosi_idle") {
        if (value != "hold" && value != "low") return bad();
        cfg->mosi_idle_low = value == "low";
        return 1;
    }
    if (key == "governor") return text(&cfg->governor);
    if (key == "rt_runtime") return text(&cfg->rt_runtime);
    if (key == "dir") return cfg->dir = value, 1;
    if (key == "report") return cfg->report = value, 1;
    if (key == "host.script") return cfg->host_script = value, 1;
    if (key == "host.log") return cfg->host_log = value, 1;
    if (key == "host.write_jitter_ns") {
        if (!isint || n < 0 || n > 1000) return bad();
        return cfg->host_write_jitter_ns = (int)n, 1;
    }
    if (key == "control_port") {
        if (!isint || n < 1 || n > 65535) return bad();
        return cfg->control_port = (int)n, 1;
    }
    if (key == "panel.script") return cfg->panel_script = value, 1;
    if (key == "panel.picture") return cfg->panel_picture = value, 1;

    if (key.size() > 7 && key.compare(0, 5, "drive") == 0 && (key[5] == '0' || key[5] == '1') && key[6] == '.') {
        int i = key[5] - '0';
        SimDriveConfig &dc = cfg->drive[i];
        if (cfg->drives < i + 1) cfg->drives = i + 1;
        std::string k = key.substr(7);
        static const struct {
            const char *name;
            int SimDriveConfig::*field;
            long long lo, hi;
        } ints[] = {
            {"index_us", &SimDriveConfig::index_us, 1, 100000},
            {"last_cylinder", &SimDriveConfig::last_cylinder, 0, SIM_MAX_CYLINDER},
            {"write_protect", &SimDriveConfig::write_protect, 0, 1},
            {"disk", &SimDriveConfig::disk, 0, 1},
            {"spinup_ms", &SimDriveConfig::spinup_ms, 0, 10000},
            {"settle_ms", &SimDriveConfig::settle_ms, 0, 1000},
            {"pulse_ns", &SimDriveConfig::pulse_ns, 10, 4000},
            {"jitter_ns", &SimDriveConfig::jitter_ns, 0, 2000},
            {"noise_spikes", &SimDriveConfig::noise_spikes, 0, 100000},
            {"flux_free_us", &SimDriveConfig::flux_free_us, 0, 1000000},
        };
        for (const auto &row : ints) {
            if (k != row.name) continue;
            if (!isint || n < row.lo || n > row.hi) return bad();
            dc.*row.field = (int)n;
            return 1;
        }
        if (k == "trk00") {
            static const char *names[] = {"normal", "never", "always"};
            for (int j = 0; j < 3; j++)
                if (value == names[j]) return dc.trk00 = j, 1;
            return bad();
        }
        if (k == "dropout") {
            // "<cylinder> <head> <from us> <to us> <revolution>[,<revolution>...]", one a line
            SimDriveConfig::Dropout d;
            char revs[256] = {0};
            if (sscanf(value.c_str(), "%d %d %d %d %255s", &d.cylinder, &d.head, &d.from_us, &d.to_us,
                       revs) != 5 ||
                d.cylinder < 0 || d.cylinder >= 84 || d.head < 0 || d.head > 1 || d.from_us < 0 ||
                d.to_us <= d.from_us)
                return bad();
            for (char *r = strtok(revs, ","); r; r = strtok(nullptr, ",")) {
                long long rev = 0;
                if (!ToInt(r, &rev) || rev < 1) return bad();
                d.revolutions.push_back((int)rev);
            }
            dc.dropouts.push_back(d);
            return 1;
        }
        if (k == "image") return dc.image = value, 1;
        if (k == "save") return dc.save = value, 1;
        if (k == "rpm") {
            if (!isnum || d < 100 || d > 1000) return bad();
            return dc.rpm = d, 1;
        }
        if (k == "speed_error") {
            if (!isnum || d <= -50 || d >= 50) return bad();
            return dc.speed_error = d, 1;
        }
    }
    *error = "unknown setting " + key;
    return 0;
}

int SimForEachLine(const char *path, const std::function<int(const std::string &)> &fn) {
    FILE *f = fopen(path, "r");
    if (!f) return 0;
    char buf[1024];
    int ok = 1;
    while (ok && fgets(buf, sizeof buf, f)) {
        std::string line(buf);
        ok = fn(Trim(line.substr(0, line.find('#'))));
    }
    fclose(f);
    return ok;
}

int SimParseFile(const char *path, SimConfig *cfg, std::string *error) {
    std::string folder(path);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash);
    int lineno = 0;
    error->clear();
    int ok = SimForEachLine(path, [&](const std::string &line) {
        lineno++;
        if (line.empty()) return 1;
        size_t eq = line.find('=');
        std::string why = "expected key = value";
        if (eq != std::string::npos && SimApplySetting(cfg, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), &why))
            return 1;
        *error = "line " + std::to_string(lineno) + ": " + why;
        return 0;
    });
    if (!ok) {
        if (error->empty()) *error = std::string("cannot read simulation file ") + path;
        return 0;
    }
    for (std::string *p : {&cfg->dir, &cfg->report, &cfg->host_script, &cfg->host_log, &cfg->panel_script,
                           &cfg->panel_picture, &cfg->drive[0].image, &cfg->drive[0].save, &cfg->drive[1].image,
                           &cfg->drive[1].save})
        if (!p->empty() && (*p)[0] != '/') *p = folder + "/" + *p;
    return 1;
}

// ---- Installation ------------------------------------------------------------

namespace {
std::unique_ptr<SimBoard> g_board;
std::unique_ptr<SimDrive> g_drive[2];
std::unique_ptr<SimHost> g_host;
std::unique_ptr<SimPanel> g_panel;
std::string g_error;
}  // namespace

void SimShutdown() {
    if (!g_board) return;
    g_board->Finish();
    GPIOCTL::SetPlatform(nullptr);
    g_board.reset();
    g_drive[0].reset();
    g_drive[1].reset();
    g_host.reset();
    g_panel.reset();
}

SimBoard *SimInstall(const SimConfig &cfg, std::string *error) {
    SimShutdown();
    std::unique_ptr<SimBoard> board(new SimBoard(cfg));
    if (!board->Setup(error)) return nullptr;
    std::unique_ptr<SimDrive> drives[2];
    for (int i = 0; i < cfg.drives && i < 2; i++) {
        drives[i].reset(new SimDrive(cfg.drive[i]));
        drives[i]->cfg.select = i;
        if (!cfg.drive[i].image.empty() && !drives[i]->LoadImage(cfg.drive[i].image.c_str())) {
            *error = "cannot load the medium " + cfg.drive[i].image;
            return nullptr;
        }
        board->Attach(drives[i].get());
    }
    std::unique_ptr<SimHost> host;
    if (!cfg.host_script.empty() || !cfg.host_log.empty()) {
        host.reset(new SimHost);
        host->log_path = cfg.host_log;
        host->write_jitter_ps = (int64_t)cfg.host_write_jitter_ns * 1000;
        if (!cfg.host_script.empty() && !host->LoadScript(cfg.host_script.c_str(), error)) return nullptr;
        board->Attach(host.get());
    }
    std::unique_ptr<SimPanel> panel(new SimPanel);
    panel->picture_path = cfg.panel_picture;
    if (!cfg.panel_script.empty() && !panel->LoadScript(cfg.panel_script.c_str(), error)) return nullptr;
    board->Attach(panel.get());

    g_board = std::move(board);
    g_drive[0] = std::move(drives[0]);
    g_drive[1] = std::move(drives[1]);
    g_host = std::move(host);
    g_panel = std::move(panel);
    GPIOCTL::SetPlatform(g_board.get());
    return g_board.get();
}

int SimInstallFromEnv() {
    const char *path = getenv("ZELMO_SIM");
    if (!path || !*path) return 0;
    SimConfig cfg;
    if (!SimParseFile(path, &cfg, &g_error) || !SimInstall(cfg, &g_error)) return -1;
    static bool registered = false;
    if (!registered) {
        registered = true;
        atexit(SimShutdown);
    }
    return 1;
}

const char *SimError() { return g_error.c_str(); }
SimBoard *SimCurrent() { return g_board.get(); }
SimDrive *SimCurrentDrive(int n) { return n >= 0 && n < 2 ? g_drive[n].get() : nullptr; }
SimHost *SimCurrentHost() { return g_host.get(); }
SimPanel *SimCurrentPanel() { return g_panel.get(); }

void SimIdle(int us) {
    if (g_board) g_board->Yield(us);
}
