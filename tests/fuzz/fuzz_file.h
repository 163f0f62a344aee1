// Fuzz inputs reach the image readers as files: each input is written to a
// file with the reader's extension in a private scratch folder, which is
// removed when the fuzzer exits.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "filepath.h"

class FuzzFile {
  public:
    explicit FuzzFile(const char *ext) {
        char templ[] = "/tmp/zelmo-fuzz-XXXXXX";
        if (mkdtemp(templ)) m_dir = templ;
        m_in = m_dir + "/in" + ext;
        m_out = m_dir + "/out" + ext;
    }
    ~FuzzFile() { (void)!system(("rm -rf '" + m_dir + "'").c_str()); }
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
