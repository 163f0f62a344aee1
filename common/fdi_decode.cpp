// STUB: replaced by the FM/MFM decoder.
#include "fdi.h"
void VTrack::Decode(int, const uint8_t *, int, int) { flags = TRACK_UNFORMAT; }
void VTrack::DecodeIn(const uint8_t *, int, const int (*)[2], int, int) {}
int VTrack::BfSplitClock(const uint8_t *, int, int, uint8_t *, int, int, int) { return 0; }
