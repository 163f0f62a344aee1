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

inline std::string BinPath(const std::string &program) { return std::string(ZELMO_BIN_DIR) + "/" + program; }

// Runs program (from the build folder) with args; extra environment entries
// ("NAME=value") are added to the inherited environment.
inline RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}) {
    char outname[] = "/tmp/zelmo-out-XXXXXX";
    char errname[] = "/tmp/zelmo-err-XXXXXX";
    int outfd = mkstemp(outname);
    int errfd = mkstemp(errname);
    RunResult r;
    std::string path = BinPath(program);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
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
