// libFuzzer target: arbitrary bytes as a cell stream or as raw samples through
// the track decoder in both analyze modes, then the decoded sector list back
// through the encoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fdi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // First byte: bit 0 raw form, bit 1 analyze mode, bits 2-7 trim the count
    // so that streams end inside a byte too.
    const int raw = data[0] & 1;
    const int analyze = (data[0] >> 1) & 1;
    const uint8_t *stream = data + 1;
    size_t bytes = size - 1;
    if (bytes > (size_t)TRACK_ENC_BYTES * 2) bytes = (size_t)TRACK_ENC_BYTES * 2;
    int count = (int)(bytes * 8) - (data[0] >> 2) % 8;
    if (count < 0) count = 0;

    // A copy of exactly the bytes handed over, so reads past them are caught.
    std::vector<uint8_t> copy(stream, stream + (count + 7) / 8);
    VTrack track;
    track.Decode(raw, copy.data(), count, analyze);
    if (track.cells > TRACK_MAX_CELLS) __builtin_trap();

    // Whatever was read encodes into a track buffer without running past it.
    const int cells = 100000;
    std::vector<uint8_t> out((size_t)cells / 8);
    track.Encode(0, out.data(), cells);
    return 0;
}
