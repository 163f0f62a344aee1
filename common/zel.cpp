// STUB: replaced by the bitstream core implementation.
#include "zel.h"
uint32_t BfGetLong(const uint8_t *, int, int) { return 0; }
void VFO_Update(VFOState *, int) {}
int Raw2Encode(const uint8_t *, int, uint8_t *, int) { return 0; }
int Encode2Raw(const uint8_t *, int cellLen, uint8_t *, int) { return cellLen * 8; }
int StrechRaw(uint8_t *, int, int newLen) { return newLen; }
int TransRaw(const uint8_t *, int, int *, int *, uint8_t *) { return -1; }
int AlignRaw(uint8_t *, int len) { return len; }
int BfFind(const uint8_t *, int, int, int, const uint8_t *, int) { return -1; }
int Enc2RawPos(const uint8_t *, int, int cellPos) { return cellPos * 8; }
int Enc2RawPosMulti(const uint8_t *, int, int *, int) { return 0; }
int NoiseCancelRaw(uint8_t *, int, int) { return 0; }
