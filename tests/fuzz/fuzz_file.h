// What every file fuzz target shares: a private scratch folder for the input
// and the outputs, and the whole conversion pipeline a user's file goes
// through.
//
// The folder goes with the process however it ends: a watcher process
// waits on a pipe whose other end only this process holds, and removes the
// folder when the pipe closes (after an exit, a crash, a timeout or a kill).
//
// Every input has a budget of ten seconds (libFuzzer's -timeout, unless the
// command line sets another): a slow input is a finding, not a stalled run.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filepath.h"
#include "zeldisk.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    for (int i = 1; i < *argc; i++)
        if (!strncmp((*argv)[i], "-timeout=", 9)) return 0;
    static std::vector<char *> args;
    static char budget[] = "-timeout=10";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, budget);
    args.push_back(nullptr);
    *argc = (int)args.size() - 1;
    *argv = args.data();
    return 0;
}

class FuzzFile {
  public:
    explicit FuzzFile(const char *ext) {
        char templ[] = "/tmp/zelmo-fuzz-XXXXXX";
        if (mkdtemp(templ)) m_dir = templ;
        m_in = m_dir + "/in" + ext;
        m_out = m_dir + "/out" + ext;
        int fds[2];
        if (!m_dir.empty() && pipe2(fds, O_CLOEXEC) == 0) {
            if (fork() == 0) {
                close(fds[1]);
                char c;
                while (read(fds[0], &c, 1) != 0) {
                }
                execlp("rm", "rm", "-rf", m_dir.c_str(), (char *)nullptr);
                _exit(0);
            }
            close(fds[0]);  // the write end stays open for the life of this process
        }
    }
    // Writes the input and returns its path.
    Filepath Write(const uint8_t *data, size_t size) {
        FILE *f = fopen(m_in.c_str(), "wb");
        if (f) {
            if (size) fwrite(data, 1, size, f);
            fclose(f);
        }
        return Make(m_in);
    }
    // Where a writer may put what the reader produced.
    Filepath Out() const { return Make(m_out); }
    Filepath Out(const char *name) const { return Make(m_dir + "/" + name); }

  private:
    static Filepath Make(const std::string &s) {
        Filepath p;
        p.SetPath(s.c_str());
        return p;
    }
    std::string m_dir, m_in, m_out;
};

// The way of a user's file: into a track image (sector images through the
// encoder, whose every track is decoded again by the loss check), then out
// into every format (through the decoder and each writer, whose bytes are
// read back), and saved as a ZEL. An input that makes any of them run past
// a buffer, leak or take too long is a finding.
//
// The flux images are written of raw images (what their own targets import)
// and go first, while the image is still raw: the others turn it into
// cells. Of a whole encoded disk, sampled and decoded again under the
// sanitizers, they would cost more than an input's budget.
inline void FuzzPipeline(FuzzFile &file, const Filepath &in, int diskno, int analyze) {
    static const char *const flux[] = {"x.MFI", "x.SCP"};
    static const char *const outputs[] = {"x.D88", "x.HDM", "x.2HQ", "x.2DD", "x.DIM", "x.FDI",
                                          "x.FDD", "x.NFD", "x.IMD", "x.HFE"};
    ZELDisk image;
    int ok = in.HasExt(".ZEL") ? image.Load(in, analyze) : image.Import(in, diskno);
    if (!ok) return;
    if (image.header.type == ZEL_TYPE_RAW)
        for (const char *name : flux) image.Export(file.Out(name), analyze);
    for (const char *name : outputs) image.Export(file.Out(name), analyze);
    image.Save(file.Out("x.ZEL"), 1);
}
