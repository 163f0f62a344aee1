// STUB: replaced with the decoder bridge.
#include "zeldisk.h"
VTrack *ZELDisk::Analyze(int, int, int) { return nullptr; }
