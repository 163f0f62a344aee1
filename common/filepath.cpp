// STUB: replaced by the file utilities implementation.
#include "filepath.h"
#include <cstring>
void Filepath::Clear() { m_path[0] = m_drive[0] = m_dir[0] = m_name[0] = m_ext[0] = m_short[0] = 0; }
int Filepath::SetPath(const char *) { Clear(); return 0; }
Filepath &Filepath::operator=(const Filepath &o) { SetPath(o.m_path); return *this; }
void Filepath::Split() {}
void Filepath::Make() {}
bool Filepath::IsClear() const { return !m_path[0]; }
bool Filepath::HasExt(const char *) const { return false; }
