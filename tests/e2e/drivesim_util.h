// Runs drivesim on the simulated board in the background, talks to it over
// its control port, and reads what the simulator recorded (host log, report,
// panel picture). Each run has a private control port, named in its
// simulation file, so a test never reaches a drivesim it did not start.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include "e2e_util.h"
#include "filepath.h"
#include "zeldisk.h"

// A loopback port that nothing listens on now (the kernel's pick for a
// socket bound to port 0); 0 when none could be had.
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Sends one raw request line (newline included by the caller, or not) to
// the port and returns everything the emulator answered before closing;
// "<no server>" when nothing listens.
inline std::string ControlRequest(int port, const std::string &line, int timeout_s = 120) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return "<no server>";
    }
    // The server answers after the request has run (or the front-panel menu
    // has been left); a test waits for that, but not forever.
    timeval tv = {timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += (size_t)n;
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, (size_t)n);
    close(fd);
    return reply;
}

// "key = value" lines of the simulator's report.
inline std::map<std::string, std::string> ReadReport(const std::string &path) {
    std::map<std::string, std::string> r;
    std::istringstream in(ReadFileText(path));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find(" = ");
        if (eq != std::string::npos) r[line.substr(0, eq)] = line.substr(eq + 3);
    }
    return r;
}

// Times (us) at which the host saw a line asserted (asserted = 1) or released.
inline std::vector<double> LineTimes(const std::string &log, const std::string &line, int asserted) {
    std::vector<double> t;
    std::istringstream in(log);
    std::string name;
    double us;
    int a;
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream l(text);
        if (l >> us >> name >> a && name == line && a == asserted) t.push_back(us);
    }
    return t;
}

// Times (ns) of the read-data pulses the host saw: the log lists each as ns
// after the one before, following its "# read pulses" line.
inline std::vector<int64_t> ReadPulses(const std::string &log) {
    std::vector<int64_t> t;
    size_t at = log.find("\n# read pulses");
    if (at == std::string::npos) return t;
    std::istringstream in(log.substr(log.find('\n', at + 1) + 1));
    int64_t now = 0;
    for (long long d; in >> d;) t.push_back(now += d);
    return t;
}

inline bool WriteFileBytes(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// RunProgram in another working folder (the caller's when folder is empty).
inline RunResult RunIn(const std::string &folder, const std::string &program, const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {}) {
    if (folder.empty()) return RunProgram(program, args, env);
    char here[4096];
    if (!getcwd(here, sizeof here) || chdir(folder.c_str()) != 0) return RunResult();
    RunResult r = RunProgram(program, args, env);
    if (chdir(here) != 0) r.status = -1;
    return r;
}

class Emulator {
  public:
    // Files of the run live in dir; the simulation file names the host log,
    // report and panel picture, then the settings given.
    Emulator(const ScratchDir &dir, const std::vector<std::string> &settings) : dir_(dir), port_(FreePort()) {
        std::string sim = "host.log = host.log\nreport = report.txt\npanel.picture = panel.png\n";
        sim += "control_port = " + std::to_string(port_) + "\n";
        for (const auto &s : settings) sim += s + "\n";
        FILE *f = fopen((dir / "sim.txt").c_str(), "w");
        if (f) {
            fputs(sim.c_str(), f);
            fclose(f);
        }
    }
    ~Emulator() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts drivesim with args in the scratch folder; true once it answers.
    bool Start(const std::vector<std::string> &args) {
        std::vector<std::string> argstore = ProgramArgv("drivesim");
        argstore.insert(argstore.end(), args.begin(), args.end());
        const std::string path = argstore[0];
        std::vector<char *> argv;
        for (auto &a : argstore) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envstore;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "ZELMO_SIM=", 10) != 0) envstore.push_back(*e);
        envstore.push_back("ZELMO_SIM=" + SimFile());
        std::vector<char *> envp;
        for (auto &e : envstore) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addchdir_np(&fa, dir_.path().c_str());
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, (dir_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        // Up to two minutes: images are imported and checked before the
        // port opens, which under an emulator (qemu) on a busy machine may
        // take half a minute and more.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Exited()) return false;
            if (Contains(Request("list\n"), "DISK IMAGE")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Waits up to seconds for the program to end; its exit code, or -1.
    int Wait(int seconds) {
        for (int i = 0; i < seconds * 20 && !Exited(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Exited() ? status_ : -1;
    }
    int Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
        return Wait(30);
    }

    // One raw request line to this emulator, and its reply.
    std::string Request(const std::string &line, int timeout_s = 120) const {
        return ControlRequest(port_, line, timeout_s);
    }
    std::string Table() const { return Request("list\n"); }
    // simctl run against this emulator (it finds the port in the simulation file).
    RunResult Simctl(const std::vector<std::string> &args, const std::string &folder = "") const {
        return RunIn(folder, "simctl", args, {"ZELMO_SIM=" + SimFile()});
    }
    std::string SimFile() const { return dir_ / "sim.txt"; }
    // Waits (up to 60 s) until the drive table contains text: how a test learns
    // that the host script has got that far in virtual time.
    bool WaitForTable(const std::string &text) {
        for (int i = 0; i < 600; i++) {
            if (Contains(Table(), text)) return true;
            if (Exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string Out() const { return ReadFileText(dir_ / "stdout.txt"); }
    std::string Err() const { return ReadFileText(dir_ / "stderr.txt"); }
    std::string HostLog() const { return ReadFileText(dir_ / "host.log"); }
    std::map<std::string, std::string> Report() const { return ReadReport(dir_ / "report.txt"); }

  private:
    bool Exited() {
        if (pid_ <= 0) return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
        return true;
    }
    const ScratchDir &dir_;
    int port_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// The drive table row of drive d as drivesim prints it.
inline std::string Row(int d, const char *wp, int cyl, const std::string &image) {
    char buf[400];
    snprintf(buf, sizeof buf, "  %d | %s | %02d | %s\n", d, wp, cyl, image.c_str());
    return buf;
}

// Makes a sample image with mkimage (a plain dump) and converts it with
// zelconv when name has another extension (a ZEL in raw form when raw);
// "" on failure.
inline std::string MakeImage(const ScratchDir &dir, const std::string &geometry, const std::string &name,
                             int seed = 1, bool raw = false) {
    std::string dump = dir / (name + ".src.xdf");
    if (RunProgram("mkimage", {geometry, dump, std::to_string(seed)}).status != 0) return "";
    std::string out = dir / name;
    if (name.size() > 4 && (name.substr(name.size() - 4) == ".xdf" || name.substr(name.size() - 4) == ".XDF"))
        return rename(dump.c_str(), out.c_str()) == 0 ? out : "";
    if (RunProgram("zelconv", {"-i", dump, "-o", out, "-f", raw ? "raw" : "encode"}).status != 0) return "";
    unlink(dump.c_str());
    return out;
}

// The fraction of 1 cells in a track of a ZEL file; -1 when it does not load.
// Write data of intervals of n cells leaves about 1/n.
inline double OnesIn(const std::string &zel, int cylinder, int head) {
    Filepath fp;
    ZELDisk img;
    if (!fp.SetPath(zel.c_str()) || !img.Load(fp, 0)) return -1;
    int len = img.GetTrackLen(cylinder, head), ones = 0;
    const uint8_t *p = img.GetTrackData(cylinder, head);
    for (int i = 0; i < len; i++) ones += (p[i / 8] >> (7 - i % 8)) & 1;
    return len > 0 ? (double)ones / len : -1;
}
