// Exact-length file I/O over a POSIX descriptor.
//
// Fileio counts the file position itself: every transfer either moves the
// whole requested length and advances the count, or fails and puts the
// descriptor back at the counted position, so a caller never has to guess
// how far a failed operation got. Interrupted and partial transfers are
// continued until the length is done.
#include "fileio.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filepath.h"

namespace {

enum { ENTRY_SLOT = 260, PATH_CHARS = 259 };

bool ReadAll(int fd, uint8_t *p, size_t n) {
    while (n) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;  // error or end of file before the length
        p += r;
        n -= (size_t)r;
    }
    return true;
}

bool WriteAll(int fd, const uint8_t *p, size_t n) {
    while (n) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

int CompareEntries(const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

}  // namespace

Fileio::~Fileio() { Close(); }

int Fileio::Open(const char *path, int mode) {
    Close();
    if (!path || !path[0]) return 0;
    int flags;
    switch (mode) {
    case ReadOnly: flags = O_RDONLY; break;
    case WriteOnly: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case ReadWrite: flags = O_RDWR; break;
    case Append: flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return 0;
    }
    // Anything but a regular file is refused before it is opened (a FIFO
    // without a writer would block the open for ever): images, sounds and
    // lists are files. The open itself may wait, as it does for a file a
    // lease holds while its holder lets go.
    struct stat reg;
    if (stat(path, &reg) == 0 && !S_ISREG(reg.st_mode)) {
        errno = S_ISDIR(reg.st_mode) ? EISDIR : EINVAL;
        return 0;
    }
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    if (fstat(fd, &reg) != 0 || !S_ISREG(reg.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(reg.st_mode) ? EISDIR : EINVAL;
        return 0;
    }
    // The owner-write bit is the disk's write-protect tab: a file without
    // it is refused for writing even where the system would allow it (root).
    if (mode == ReadWrite && !(reg.st_mode & S_IWUSR)) {
        ::close(fd);
        errno = EACCES;
        return 0;
    }
    m_fd = fd;
    m_pos = 0;
    return 1;
}

int Fileio::Open(const Filepath &path, int mode) { return Open(path.GetPath(), mode); }

int Fileio::Create(const char *path, int mode) {
    Close();
    if (!path || !path[0]) return 0;
    int fd;
    do fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, (mode_t)mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    m_fd = fd;
    m_pos = 0;
    return 1;
}

int Fileio::Read(void *buf, int length) {
    if (m_fd < 0 || length < 0 || (!buf && length)) return 0;
    if (!ReadAll(m_fd, static_cast<uint8_t *>(buf), (size_t)length)) {
        ::lseek(m_fd, m_pos, SEEK_SET);  // back to the counted position
        return 0;
    }
    m_pos += length;
    return 1;
}

int Fileio::Write(const void *buf, int length) {
    if (m_fd < 0 || length < 0 || (!buf && length)) return 0;
    if (!WriteAll(m_fd, static_cast<const uint8_t *>(buf), (size_t)length)) {
        ::lseek(m_fd, m_pos, SEEK_SET);
        return 0;
    }
    m_pos += length;
    return 1;
}

int Fileio::Seek(int64_t offset, int whence) {
    if (m_fd < 0) return 0;
    int64_t target = offset;
    if (whence != 0 && __builtin_add_overflow(m_pos, offset, &target)) return 0;
    if (target == m_pos) return 1;
    if (target < 0 || ::lseek(m_fd, (off_t)target, SEEK_SET) != (off_t)target) return 0;
    m_pos = target;
    return 1;
}

int64_t Fileio::GetFileSize() {
    if (m_fd < 0) return -1;
    off_t end = ::lseek(m_fd, 0, SEEK_END);
    if (::lseek(m_fd, (off_t)m_pos, SEEK_SET) != (off_t)m_pos || end < 0) return -1;
    return end;
}

void Fileio::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_pos = 0;
}

int Fileio::Sync() {
    if (m_fd < 0) return 0;
    int r;
    do r = ::fsync(m_fd);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

int Fileio::Load(const Filepath &path, void *buf, int length) {
    int ok = Open(path, ReadOnly) && Read(buf, length);
    Close();
    return ok;
}

int Fileio::Save(const Filepath &path, const void *buf, int length) {
    int ok = Open(path, WriteOnly) && Write(buf, length);
    // A failed close can be the first report of a failed write-back.
    if (m_fd >= 0 && ::close(m_fd) != 0) ok = 0;
    m_fd = -1;
    m_pos = 0;
    return ok;
}

int Fileio::ReadLine(char *buf, int size) {
    if (!buf || size < 2) return 0;
    int stored = 0;
    char c;
    while (stored < size - 1 && Read(&c, 1)) {
        buf[stored++] = c;
        if (c == '\n') break;
    }
    if (!stored) return 0;
    buf[stored] = 0;
    return 1;
}

int Fileio::IsExist(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) return 1;
    return S_ISDIR(st.st_mode) ? 0 : -1;
}

int Fileio::ListEntries(const char *dir, int kind, char (*entries)[260], int maxcount, int entrylen) {
    // Entries always sit in 260-byte slots; a longer entry length could not
    // be stored in them.
    int len = entrylen < ENTRY_SLOT ? entrylen : ENTRY_SLOT;
    if (!dir || strlen(dir) > PATH_CHARS || len < 1 || (!entries && maxcount > 0)) return -1;
    DIR *d = opendir(dir);
    if (!d) return -1;

    int count = 0;
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        char path[PATH_CHARS + 1];
        int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        struct stat st;
        if (n < 0 || n > PATH_CHARS || stat(path, &st) != 0) continue;
        bool isdir = S_ISDIR(st.st_mode);
        if (!((kind == 0 && isdir) || (kind == 1 && !isdir))) continue;
        if (count >= maxcount) break;
        char *slot = entries[count++];
        strncpy(slot, e->d_name, (size_t)len - 1);
        slot[len - 1] = 0;
    }
    closedir(d);
    if (count > 1) qsort(entries, (size_t)count, ENTRY_SLOT, CompareEntries);
    return count;
}

namespace {

// Temporary files being written, so that a signal handler can remove them
// (unlink is safe in a handler; the names are fixed-size copies).
enum { PENDING_SLOTS = 8, PENDING_CHARS = 4096 };
char g_pending[PENDING_SLOTS][PENDING_CHARS];
std::atomic<bool> g_used[PENDING_SLOTS];

int AddPending(const std::string &name) {
    if (name.size() >= PENDING_CHARS) return -1;
    for (int i = 0; i < PENDING_SLOTS; i++) {
        bool expect = false;
        if (!g_used[i].compare_exchange_strong(expect, true)) continue;
        memcpy(g_pending[i], name.c_str(), name.size() + 1);
        return i;
    }
    return -1;
}

void DropPending(int slot) {
    if (slot < 0) return;
    g_pending[slot][0] = 0;
    g_used[slot] = false;
}

// The file a path writes to: the path itself, or through a symbolic link
// (or a chain of them) the file it names, existing or not yet. A loop of
// links has no such file.
bool WriteTarget(const char *path, std::string &target) {
    if (char *real = realpath(path, nullptr)) {
        target = real;
        free(real);
        return true;
    }
    if (errno == ELOOP) return false;
    std::string cur = path;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = cur;  // a new file (or one realpath could not reach): as named
            return true;
        }
        char buf[PENDING_CHARS];
        ssize_t n = readlink(cur.c_str(), buf, sizeof buf - 1);
        if (n < 0) return false;
        buf[n] = 0;
        size_t slash = cur.rfind('/');
        cur = buf[0] == '/' || slash == std::string::npos ? std::string(buf) : cur.substr(0, slash + 1) + buf;
    }
    errno = ELOOP;
    return false;
}

}  // namespace

void RemovePendingTempFiles() {
    for (int i = 0; i < PENDING_SLOTS; i++)
        if (g_used[i] && g_pending[i][0]) ::unlink(g_pending[i]);
}

int FileReplace::Begin(const char *path) {
    Abandon();
    m_replaced = false;
    if (!path || !path[0]) return 0;
    if (!WriteTarget(path, m_target)) return 0;
    struct stat st;
    m_exists = stat(m_target.c_str(), &st) == 0;
    if (m_exists) {
        Fileio probe;
        if (!S_ISREG(st.st_mode) || !probe.Open(m_target.c_str(), Fileio::ReadWrite)) return 0;
        m_mode = st.st_mode & 07777;
        m_uid = st.st_uid;
        m_gid = st.st_gid;
    }
    size_t slash = m_target.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    static std::atomic<unsigned> serial{0};
    // The new file is never readable by more people than the old one.
    const int mode = m_exists ? (int)(m_mode & 0777) : 0666;
    for (int attempt = 0; attempt < 16 && !m_file.IsOpen(); ++attempt) {
        m_temp = m_target.substr(0, base) + "." + m_target.substr(base, 64) + "." + std::to_string(getpid()) + "-" +
                 std::to_string(serial++) + ".tmp";
        m_file.Create(m_temp.c_str(), mode);
    }
    if (!m_file.IsOpen()) {
        m_temp.clear();
        return 0;
    }
    m_slot = AddPending(m_temp);
    return 1;
}

int FileReplace::Commit() {
    if (!m_file.IsOpen()) return 0;
    int ok = m_file.Sync();
    m_file.Close();
    if (ok && m_exists) {
        // Only root can hand the file to the old one's owner; anyone else's
        // save makes it theirs, as writing a new file would.
        if (geteuid() == 0 && (m_uid != 0 || m_gid != getegid())) ok = chown(m_temp.c_str(), m_uid, m_gid) == 0;
        ok = ok && chmod(m_temp.c_str(), m_mode) == 0;
    }
    if (!ok || rename(m_temp.c_str(), m_target.c_str()) != 0) {
        Abandon();
        return 0;
    }
    DropPending(m_slot);
    m_slot = -1;
    m_temp.clear();
    m_replaced = true;
    // Flush the folder so that the rename itself survives a power cut (file
    // systems that cannot flush a folder answer EINVAL).
    size_t slash = m_target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_target.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

void FileReplace::Abandon() {
    m_file.Close();
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    DropPending(m_slot);
    m_slot = -1;
    m_temp.clear();
}

void PrefaultPages(void *p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = 4096;
    uintptr_t a = ((uintptr_t)p + page - 1) & ~(page - 1), e = ((uintptr_t)p + n) & ~(page - 1);
    if (e > a) madvise((void *)a, e - a, MADV_POPULATE_WRITE);
#else
    (void)p, (void)n;
#endif
}

std::string FileProblem(const char *path, int err) {
    struct stat st;
    if (path && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? "is a folder" : "is not a regular file";
    if (path && err == EACCES && stat(path, &st) == 0 && !(st.st_mode & S_IWUSR)) return "is write-protected";
    return strerror(err ? err : EIO);
}
