// File names: one path and its pieces (directory, name, extension, short name).
//
// The pieces are recomputed from the full path by Split whenever the path is
// set. Every piece has fixed storage; a path whose pieces would not fit is
// refused (the object is cleared), never cut into a different path.
#include "filepath.h"

#include <libgen.h>
#include <strings.h>
#include <cstring>

namespace {

// Copies src into dst of size bytes; false (dst untouched) when it does not fit.
bool CopyFits(char *dst, size_t size, const char *src) {
    size_t n = strlen(src);
    if (n >= size) return false;
    memcpy(dst, src, n + 1);
    return true;
}

}  // namespace

void Filepath::Clear() {
    m_path[0] = m_drive[0] = m_dir[0] = m_name[0] = m_ext[0] = m_short[0] = 0;
}

int Filepath::SetPath(const char *path) {
    if (!path || !CopyFits(m_path, PATH_MAX_CHARS + 1, path)) {
        Clear();
        return 0;
    }
    Split();
    return m_path[0] || !path[0];  // Split clears a path whose pieces do not fit
}

Filepath &Filepath::operator=(const Filepath &other) {
    if (this != &other) SetPath(other.m_path);
    return *this;
}

void Filepath::Split() {
    m_drive[0] = m_dir[0] = m_name[0] = m_ext[0] = m_short[0] = 0;
    if (!m_path[0]) return;

    // dirname and basename may modify their argument: each works on a copy.
    char work[sizeof m_path];
    memcpy(work, m_path, sizeof work);
    const char *dir = dirname(work);
    size_t dn = strlen(dir);
    // "/a" has the directory "/", which already ends in the separator.
    bool slash = dn == 0 || dir[dn - 1] != '/';
    if (dn + slash >= sizeof m_dir) {
        Clear();
        return;
    }
    memcpy(m_dir, dir, dn);
    if (slash) m_dir[dn++] = '/';
    m_dir[dn] = 0;

    memcpy(work, m_path, sizeof work);
    const char *base = basename(work);
    const char *dot = strrchr(base, '.');
    size_t nn = dot ? (size_t)(dot - base) : strlen(base);
    if (nn >= sizeof m_name || (dot && !CopyFits(m_ext, sizeof m_ext, dot))) {
        Clear();
        return;
    }
    memcpy(m_name, base, nn);
    m_name[nn] = 0;

    // Short name: name + extension, cut to SHORT_MAX_CHARS characters.
    size_t sn = 0;
    for (const char *p = m_name; *p && sn < SHORT_MAX_CHARS; ++p) m_short[sn++] = *p;
    for (const char *p = m_ext; *p && sn < SHORT_MAX_CHARS; ++p) m_short[sn++] = *p;
    m_short[sn] = 0;
}

void Filepath::Make() {
    size_t dn = strlen(m_dir), nn = strlen(m_name), en = strlen(m_ext);
    if (dn + nn + en > PATH_MAX_CHARS) {
        // The pieces make a path longer than the storage: refuse it rather
        // than keep a cut or stale path that names another file.
        Clear();
        return;
    }
    memcpy(m_path, m_dir, dn);
    memcpy(m_path + dn, m_name, nn);
    memcpy(m_path + dn + nn, m_ext, en + 1);
}

bool Filepath::IsClear() const {
    return !m_path[0] && !m_drive[0] && !m_dir[0] && !m_name[0] && !m_ext[0] && !m_short[0];
}

bool Filepath::HasExt(const char *ext) const { return ext && strcasecmp(m_ext, ext) == 0; }
