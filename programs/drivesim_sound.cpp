// The three drive sounds (seek, insert, eject), played through PWM by the
// event thread. Only one form is accepted: PCM, mono, 22050 Hz, 8 bits.
//
// WAV layout read (numbers little-endian):
//   off  size  field
//    16     4  size of the "fmt " chunk (16 in plain files)
//    20     2  format, 1 = PCM        } read together as 0x00010001
//    22     2  channels, 1            }
//    24     4  sample rate, 22050
//    34     2  bits per sample, 8
//   then chunks (4-byte tag, 4-byte size, data padded to an even size) after
//   the "fmt " chunk, skipped up to "data", whose size is the sample count.
#include "drivesim.h"

#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "fileio.h"

fddsnd_t fddsnd[SND_COUNT];

// Longest sound taken: ten seconds.
static const uint32_t kMaxSamples = 220500;

int LoadWavFile(const char *path, fddsnd_t *snd) {
    memset(snd, 0, sizeof *snd);
    Fileio f;
    if (!f.Open(path, Fileio::ReadOnly)) return 0;
    uint8_t head[36];
    if (!f.Read(head, sizeof head)) return 0;
    ByteReader h(head, sizeof head);
    if (h.LE32(20) != 0x00010001 || h.LE32(24) != 22050 || h.LE16(34) != 8) return 0;
    uint32_t fmtsize = h.LE32(16);
    if (fmtsize < 16 || fmtsize > 0x10000) return 0;
    int64_t pos = 20 + (int64_t)fmtsize + (fmtsize & 1);
    int64_t filesize = f.GetFileSize();
    for (;;) {
        uint8_t chunk[8];
        if (pos + 8 > filesize || !f.Seek(pos, SEEK_SET) || !f.Read(chunk, 8)) return 0;
        uint32_t size = GetLE32(chunk + 4);
        if (memcmp(chunk, "data", 4) == 0) {
            if (size < 1 || size > kMaxSamples || pos + 8 + size > filesize) return 0;
            uint8_t *data = (uint8_t *)malloc(size);
            if (!data) return 0;
            if (!f.Read(data, (int)size)) {
                free(data);
                return 0;
            }
            snd->data = data;
            snd->length = (int)size;
            snd->loaded = 1;
            return 1;
        }
        pos += 8 + (int64_t)size + (size & 1);
    }
}

void FreeWav(fddsnd_t *snd) {
    free(snd->data);
    memset(snd, 0, sizeof *snd);
}
