// File names: one path and its pieces, split once whenever the path is set.
#pragma once

class Filepath {
  public:
    enum { PATH_MAX_CHARS = 259, SHORT_MAX_CHARS = 59 };

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
    char m_path[260];
    char m_drive[3];
    char m_dir[256];
    char m_name[256];
    char m_ext[256];
    char m_short[60];
};
