// STUB: replaced by the FM/MFM encoder.
#include "fdi.h"
int VTrack::Encode(int, uint8_t *, int len) { return len; }
int VTrack::EncodeMFM(uint8_t *, int cells) { return cells; }
int VTrack::EncodeFM(uint8_t *, int cells) { return cells; }
int VTrack::GenIAM(uint8_t *, int) { return 0; }
int VTrack::GenIDAM(uint8_t *, int) { return 0; }
int VTrack::GenDAM(uint8_t *, int, int) { return 0; }
int VTrack::FillMFM(uint8_t *, uint8_t, int, int *) { return 0; }
int VTrack::GenMFM(uint8_t *, const uint8_t *, int, int *) { return 0; }
int VTrack::FillFM(uint8_t *, uint8_t, int) { return 0; }
int VTrack::GenFM(uint8_t *, const uint8_t *, int) { return 0; }
