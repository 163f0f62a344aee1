// A fresh folder for one test's files under $ZELMO_TEST_TMP (or /tmp),
// removed with everything in it when the test ends.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "filepath.h"

class ScratchDir {
  public:
    explicit ScratchDir(const char *prefix = "zelmo-test") {
        const char *base = getenv("ZELMO_TEST_TMP");
        std::string root = base && *base ? base : "/tmp";
        mkdir(root.c_str(), 0777);
        std::string templ = root + "/" + prefix + "-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) m_dir = buf.data();
    }
    // Nothing is removed when the folder could not be made: an empty name
    // must never turn into a removal of the folder above.
    ~ScratchDir() {
        if (!m_dir.empty()) (void)!system(("rm -rf '" + m_dir + "'").c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return m_dir; }
    std::string Path(const std::string &name) const { return m_dir + "/" + name; }
    std::string operator/(const std::string &name) const { return Path(name); }
    Filepath File(const std::string &name) const {
        Filepath p;
        p.SetPath(Path(name).c_str());
        return p;
    }

  private:
    std::string m_dir;
};
