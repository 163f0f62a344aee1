// File names: one path and its pieces, split once whenever the path is set.
#pragma once

class Filepath {
  public:
    // Any path the system takes (PATH_MAX with its NUL), any file name it
    // takes (NAME_MAX); the short name is cut for display.
    enum { PATH_MAX_CHARS = 4095, NAME_MAX_CHARS = 255, SHORT_MAX_CHARS = 59 };

    Filepath() { Clear(); }
    virtual ~Filepath() {}

    void Clear();
    // Copies the path and splits it. A path longer than PATH_MAX_CHARS (or
    // null) is refused: the object is cleared and 0 returned.
    int SetPath(const char *path);
    Filepath &operator=(const Filepath &other);
    Filepath(const Filepath &other) { *this = other; }

    void Split();  // recomputes the pieces from the full path
    void Make();   // full path = directory + name + extension (short name kept)

    bool IsClear() const;
    const char *GetPath() const { return m_path; }
    const char *GetDir() const { return m_dir; }
    const char *GetName() const { return m_name; }
    const char *GetShort() const { return m_short; }
    const char *GetExt() const { return m_ext; }
    // Extension equal to ext without regard to case (ext includes the dot).
    bool HasExt(const char *ext) const;

  private:
    char m_path[PATH_MAX_CHARS + 1];
    char m_drive[3];
    char m_dir[PATH_MAX_CHARS + 1];
    char m_name[NAME_MAX_CHARS + 1];
    char m_ext[NAME_MAX_CHARS + 1];
    char m_short[SHORT_MAX_CHARS + 1];
};
