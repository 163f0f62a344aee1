// Runs the built programs as a user would: arguments in, exit status and the
// two output streams back. Scratch folders are made fresh for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

struct RunResult {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

inline std::string ReadFileText(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The programs under test: those of this build, or those of a build for
// another machine (ZELMO_TEST_BIN_DIR, the aarch64 build) run through
// ZELMO_TEST_RUNNER ("qemu-aarch64 -L /usr/aarch64-linux-gnu").
inline std::string BinDir() {
    const char *dir = getenv("ZELMO_TEST_BIN_DIR");
    return dir && *dir ? dir : ZELMO_BIN_DIR;
}
inline std::string BinPath(const std::string &program) { return BinDir() + "/" + program; }

// The words that start a program: the runner's, then the program's path.
inline std::vector<std::string> ProgramArgv(const std::string &program) {
    std::vector<std::string> words;
    std::istringstream runner(getenv("ZELMO_TEST_RUNNER") ? getenv("ZELMO_TEST_RUNNER") : "");
    for (std::string w; runner >> w;) words.push_back(w);
    // The runner is found on PATH (programs are started with posix_spawn).
    if (!words.empty() && words[0].find('/') == std::string::npos) {
        std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin");
        for (std::string d; std::getline(path, d, ':');)
            if (access((d + "/" + words[0]).c_str(), X_OK) == 0) {
                words[0] = d + "/" + words[0];
                break;
            }
    }
    words.push_back(BinPath(program));
    return words;
}
// The same as a shell command's start, each word quoted.
inline std::string ProgramCommand(const std::string &program) {
    std::string cmd;
    for (const std::string &w : ProgramArgv(program)) cmd += (cmd.empty() ? "'" : " '") + w + "'";
    return cmd;
}

// Runs program (from the build folder) with args; extra environment entries
// ("NAME=value") are added to the inherited environment.
inline RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}) {
    char outname[] = "/tmp/zelmo-out-XXXXXX";
    char errname[] = "/tmp/zelmo-err-XXXXXX";
    int outfd = mkstemp(outname);
    int errfd = mkstemp(errname);
    RunResult r;
    std::vector<std::string> words = ProgramArgv(program);
    words.insert(words.end(), args.begin(), args.end());
    const std::string path = words[0];
    std::vector<char *> argv;
    for (auto &a : words) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envstore;
    for (char **e = environ; *e; e++) envstore.push_back(*e);
    for (const auto &e : env) envstore.push_back(e);
    std::vector<char *> envp;
    for (auto &e : envstore) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outfd, 1);
    posix_spawn_file_actions_adddup2(&fa, errfd, 2);
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0) {
        }
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    close(outfd);
    close(errfd);
    r.out = ReadFileText(outname);
    r.err = ReadFileText(errname);
    unlink(outname);
    unlink(errname);
    return r;
}

// A fresh scratch folder per test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        char tmpl[] = "/tmp/zelmo-e2e-XXXXXX";
        const char *p = mkdtemp(tmpl);
        if (p) dir_ = p;
    }
    // Nothing is removed when the folder could not be made.
    ~ScratchDir() {
        if (!dir_.empty()) (void)!system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &path() const { return dir_; }

  private:
    std::string dir_;
};

// Output without the banner's first line (it carries the build date and time).
inline std::string WithoutBanner(const std::string &out) {
    size_t nl = out.find('\n');
    return nl == std::string::npos ? std::string() : out.substr(nl + 1);
}

inline bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}
