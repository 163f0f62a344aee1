// STUB: replaced by the ZEL image implementation.
#include "zeldisk.h"
#include <cstring>
ZELDisk::ZELDisk() { valid = readonly = 0; memset(&header, 0, sizeof header); memset(tracks, 0, sizeof tracks); memset(dirty, 0, sizeof dirty); memset(recsize, 0, sizeof recsize); }
ZELDisk::~ZELDisk() {}
int ZELDisk::Init(int, int, int, int) { return 0; }
void ZELDisk::Cleanup() {}
char *ZELDisk::GetName(char *buf) const { buf[0] = 0; return buf; }
void ZELDisk::SetName(const char *) {}
int ZELDisk::GetTrackLen(int, int) const { return 0; }
uint8_t *ZELDisk::GetTrackData(int, int) const { return nullptr; }
int ZELDisk::GetTrackCapacity(int, int) const { return 0; }
int ZELDisk::GetTrackStart(int, int) const { return 0; }
int ZELDisk::SetTrackLen(int, int, int) { return 0; }
int ZELDisk::ConvertRaw() { return 0; }
int ZELDisk::ConvertEnc() { return 0; }
int ZELDisk::Save(const Filepath &, int) { return 0; }
int ZELDisk::Load(const Filepath &, int) { return 0; }
int ZELDisk::NominalLength() const { return 0; }
void ZELDisk::FreeTracks() {}
int ZELDisk::NewTrack(int, int, int, int) { return 0; }
