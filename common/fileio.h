// Exact-length file I/O over a POSIX descriptor that keeps its own position.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

class Filepath;

class Fileio {
  public:
    enum OpenMode { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2, Append = 3 };

    Fileio() {}
    virtual ~Fileio();
    Fileio(const Fileio &) = delete;  // owns its descriptor
    Fileio &operator=(const Fileio &) = delete;

    int Init() { return 1; }
    int Open(const char *path, int mode);
    int Open(const Filepath &path, int mode);
    // Creates a new file for writing that must not exist yet (permissions
    // mode before the umask); fails when the path exists.
    int Create(const char *path, int mode = 0666);
    int Read(void *buf, int length);
    int Write(const void *buf, int length);
    int Seek(int64_t offset, int whence);
    int64_t GetFileSize();  // -1 when closed or on error
    int64_t GetFilePos() const { return m_pos; }
    void Close();
    // Flushes written data to the device (fsync); 1 on success.
    int Sync();

    int Load(const Filepath &path, void *buf, int length);
    int Save(const Filepath &path, const void *buf, int length);
    int ReadLine(char *buf, int size);

    bool IsOpen() const { return m_fd >= 0; }

    // 1 regular file, 0 directory, -1 anything else or missing.
    static int IsExist(const char *path);
    // Lists sub-directories (kind 0) or non-directories (kind 1) of dir into
    // entries (slots of 260 bytes), sorted; returns the count or -1.
    static int ListEntries(const char *dir, int kind, char (*entries)[260], int maxcount, int entrylen);

  private:
    int m_fd = -1;
    int64_t m_pos = 0;
};

// Replaces a file whole. Begin opens a new temporary file beside the target
// (".NAME.<pid>-<n>.tmp", so an interrupted save leaves no file under the
// target's name and none with its extension); the caller writes it through
// File(); Commit flushes it and renames it over the target, which keeps its
// permissions (and, when saved by root, its owner). Until the rename the
// target is untouched, so a failure at any point leaves the old file as it
// was. The destructor removes a temporary file that was not committed.
class FileReplace {
  public:
    FileReplace() {}
    ~FileReplace() { Abandon(); }
    FileReplace(const FileReplace &) = delete;
    FileReplace &operator=(const FileReplace &) = delete;

    // Fails for an empty path, an existing target that is not a regular file
    // or cannot be opened read-write (owner-write bit clear), a loop of
    // symbolic links, or when no temporary file can be made. A symbolic link
    // is followed: the file it names is replaced, or made when it does not
    // exist yet. The temporary file has the target's permissions from the
    // start.
    int Begin(const char *path);
    Fileio &File() { return m_file; }
    // 1 once the new file has replaced the target and the rename is flushed.
    // On 0 the target is the old file, unless Replaced() says the rename
    // went through and only flushing the folder failed.
    int Commit();
    bool Replaced() const { return m_replaced; }
    void Abandon();  // closes and removes the temporary file

  private:
    Fileio m_file;
    std::string m_target, m_temp;
    bool m_exists = false, m_replaced = false;
    int m_slot = -1;  // place in the list of temporary files a signal removes
    mode_t m_mode = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

// Removes every temporary file a FileReplace is writing. Safe in a signal
// handler: a program stopped by a signal leaves no temporary file behind.
void RemovePendingTempFiles();

// Maps the whole pages inside [p, p + n) in one call, before a large buffer is
// filled; otherwise every page costs a fault of its own as it is first
// touched. Only a hint: a kernel without the call leaves the faults as they are.
void PrefaultPages(void *p, size_t n);

// Why a file could not be opened, read or written, for a message: the
// system's reason for err (errno), or that the path is a folder or not a
// regular file, or write-protected (no owner-write bit).
std::string FileProblem(const char *path, int err);
