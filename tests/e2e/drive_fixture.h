// Fixtures for the tools that drive a real floppy drive, run on the simulated
// board: simulation files, media built in code, running a tool in the
// background (to signal it), and sector-by-sector comparison of images.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"
#include "zeldisk.h"

// Writes a simulation file of "key = value" lines; returns its path.
inline std::string WriteSim(const ScratchDir &dir, const std::vector<std::string> &lines,
                            const std::string &name = "board.sim") {
    std::string path = dir / name;
    std::ofstream f(path);
    f << "report = " << (dir / "report.txt") << "\n";
    f << "dir = " << (dir / "platform") << "\n";
    for (const auto &l : lines)
        f << l << "\n";
    return path;
}

inline RunResult RunOnBoard(const std::string &program, const std::vector<std::string> &args,
                            const std::string &sim) {
    return RunProgram(program, args, {"ZELMO_SIM=" + sim});
}

inline RunResult RunTool(const std::string &program, const std::vector<std::string> &args) {
    return RunProgram(program, args);
}

inline Filepath PathOf(const std::string &path) {
    Filepath p;
    p.SetPath(path.c_str());
    return p;
}

// Loads a ZEL image or imports any other format; valid is 0 on failure.
inline void OpenImage(ZELDisk &disk, const std::string &path) {
    Filepath p = PathOf(path);
    if (p.HasExt(".ZEL"))
        disk.Load(p, 0);
    else
        disk.Import(p, 1);
}

// A medium built track by track: fill(c, h, track) adds the sectors of each
// track (none: unformatted). Tracks of cylinders >= cylinders stay blank.
// The image has its type's own rate and rpm.
inline bool BuildMedium(const std::string &path, int type, int cylinders,
                        const std::function<void(int, int, VTrack &)> &fill,
                        const std::function<void(int, int, uint8_t *, int)> &spoil = nullptr) {
    ZELDisk disk;
    if (!disk.Init(type, 0, 0, 0)) return false;
    int cells = disk.NominalLength();
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < 2; h++) {
            VTrack t;
            fill(c, h, t);
            uint8_t *data = disk.GetTrackData(c, h);
            if (!disk.SetTrackLen(c, h, cells)) return false;
            memset(data, 0, (size_t)disk.GetTrackCapacity(c, h));
            if (t.SectorCount()) t.Encode(0, data, cells);
            if (spoil) spoil(c, h, data, cells);
        }
    return disk.Save(PathOf(path), 1) != 0;
}

// count sectors of size code n in one density, random data by track.
inline void AddSectors(VTrack &t, int mfm, int c, int h, int count, int n) {
    std::mt19937 rng((unsigned)(c * 2 + h + 1));
    for (int r = 1; r <= count; r++) {
        VSector *s = NewSector(mfm, c, h, r, n, 128 << n, 0);
        for (int i = 0; i < s->length; i++)
            s->data[i] = (uint8_t)rng();
        t.AddSector(s);
    }
}

// Spoils the data CRC of one sector of encoded cells: a data byte gets a bit
// flipped, re-encoded with proper MFM clock cells.
inline void SpoilSector(uint8_t *cells, int count, int index) {
    VTrack t;
    t.Decode(0, cells, count, 0);
    VSector *s = t.GetSectorByIndex(index);
    if (!s) return;
    int at = (s->datapos + 9 * 16) / 8;
    uint16_t old = (uint16_t)(cells[at] << 8 | cells[at + 1]);
    int value = 0;
    for (int b = 0; b < 8; b++)
        value = value << 1 | ((old >> (14 - 2 * b)) & 1);
    uint16_t mfm = MFMTable[value ^ 0x10];
    if (cells[at - 1] & 1) mfm &= 0x7FFF;
    cells[at] = (uint8_t)(mfm >> 8);
    cells[at + 1] = (uint8_t)mfm;
}

// Every sector of track (gc, h) of got equals those of track (wc, h) of want:
// same IDs, same data, no error status.
inline ::testing::AssertionResult SameTrack(ZELDisk &want, int wc, ZELDisk &got, int gc, int h) {
    std::unique_ptr<VTrack> a(want.Analyze(wc, h, 0)), b(got.Analyze(gc, h, 0));
    auto fail = [&]() { return ::testing::AssertionFailure() << "cylinder " << gc << " head " << h << ": "; };
    if (!a || !b) return fail() << "track missing";
    if (a->SectorCount() != b->SectorCount())
        return fail() << a->SectorCount() << " sectors expected, " << b->SectorCount() << " read";
    for (const VSector *x = a->sectors, *y = b->sectors; x && y; x = x->next, y = y->next) {
        if (x->c != y->c || x->h != y->h || x->r != y->r || x->n != y->n || x->length != y->length)
            return fail() << "sector R " << (int)x->r << " ID differs";
        if (y->status & (SECTOR_IDCRC | SECTOR_DATACRC | SECTOR_NODATA))
            return fail() << "sector R " << (int)y->r << " status " << (int)y->status;
        if (memcmp(x->data, y->data, (size_t)x->length))
            return fail() << "sector R " << (int)x->r << " data differs";
    }
    return ::testing::AssertionSuccess();
}

// SameTrack for both heads of cylinders first..last of two image files.
inline ::testing::AssertionResult SameTracks(const std::string &want, const std::string &got, int first,
                                             int last) {
    ZELDisk a, b;
    OpenImage(a, want);
    OpenImage(b, got);
    if (!a.valid || !b.valid) return ::testing::AssertionFailure() << "image missing";
    for (int c = first; c <= last; c++)
        for (int h = 0; h < 2; h++) {
            ::testing::AssertionResult same = SameTrack(a, c, b, c, h);
            if (!same) return same;
        }
    return ::testing::AssertionSuccess();
}

inline std::vector<uint8_t> FileBytes(const std::string &path) {
    std::string s = ReadFileText(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A program started in the background, its output going to files.
class Background {
  public:
    Background(const std::string &program, const std::vector<std::string> &args, const std::string &sim,
               const ScratchDir &dir)
        : out_(dir / "bg.out"), err_(dir / "bg.err") {
        std::vector<std::string> all = ProgramArgv(program);
        all.insert(all.end(), args.begin(), args.end());
        const std::string path = all[0];
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envstore;
        for (char **e = environ; *e; e++)
            envstore.push_back(*e);
        envstore.push_back("ZELMO_SIM=" + sim);
        std::vector<char *> envp;
        for (auto &e : envstore)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Background() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    // Waits up to seconds for text to show in the standard output.
    bool WaitFor(const std::string &text, int seconds) {
        for (int i = 0; i < seconds * 10; i++) {
            if (Contains(ReadFileText(out_), text)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Waits for the end; usage (may be null) receives the program's resource use.
    RunResult Wait(struct rusage *usage = nullptr) {
        RunResult r;
        if (pid_ > 0) {
            int st = 0;
            while (wait4(pid_, &st, 0, usage) < 0) {
            }
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
        }
        r.out = ReadFileText(out_);
        r.err = ReadFileText(err_);
        return r;
    }

  private:
    std::string out_, err_;
    pid_t pid_ = -1;
};
