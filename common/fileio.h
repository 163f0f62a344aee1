// Exact-length file I/O over a POSIX descriptor that keeps its own position.
#pragma once

#include <cstdint>

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
    // 0666 before the umask); fails when the path exists.
    int Create(const char *path);
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
