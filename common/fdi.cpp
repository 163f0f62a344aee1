// STUB: replaced by the sector and track model.
#include "fdi.h"
const uint16_t crctbl[256] = {0};
uint16_t CalcCRC(const uint8_t *, int, uint16_t crc) { return crc; }
const uint16_t MFMTable[256] = {0};
const uint32_t FMTable[256] = {0};
int VSector::CalcGAP3(int, int) const { return 0; }
void VTrack::Cleanup() {}
void VTrack::ClrSector() {}
void VTrack::AddSector(VSector *s) { delete s; }
VSector *VTrack::GetSectorByIndex(int) const { return nullptr; }
VSector *VTrack::GetLasttSector() const { return nullptr; }
int VTrack::GetLength() const { return 0; }
int VTrack::GetEncData(int) const { return 0; }
int VTrack::CalcTotalMFM() const { return 0; }
int VTrack::CalcTotalFM() const { return 0; }
int VTrack::ShrinkGapMFM(int) { return 0; }
int VTrack::ShrinkGapFM(int) { return 0; }
