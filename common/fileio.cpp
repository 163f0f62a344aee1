// STUB: replaced by the file utilities implementation.
#include "fileio.h"
#include "filepath.h"
Fileio::~Fileio() {}
int Fileio::Open(const char *, int) { return 0; }
int Fileio::Open(const Filepath &p, int m) { return Open(p.GetPath(), m); }
int Fileio::Read(void *, int) { return 0; }
int Fileio::Write(const void *, int) { return 0; }
int Fileio::Seek(int64_t, int) { return 0; }
int64_t Fileio::GetFileSize() { return 0; }
void Fileio::Close() {}
int Fileio::Sync() { return 0; }
int Fileio::Load(const Filepath &, void *, int) { return 0; }
int Fileio::Save(const Filepath &, const void *, int) { return 0; }
int Fileio::ReadLine(char *, int) { return 0; }
int Fileio::IsExist(const char *) { return -1; }
int Fileio::ListEntries(const char *, int, char (*)[260], int, int) { return -1; }
