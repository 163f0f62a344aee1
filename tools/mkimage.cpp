// mkimage: writes a plain sector dump of a standard geometry filled with
// recognisable data, as sample input for the demonstration and for tests.
//
//   mkimage GEOMETRY FILE [SEED]
//   GEOMETRY: 2hd (1.2 MB, 77 x 2 x 8 x 1024), 2hc (80 x 2 x 15 x 512),
//             2hq (1.44 MB, 80 x 2 x 18 x 512), 2dd (80 x 2 x 9 x 512),
//             2d (40 x 2 x 9 x 512)
//
// Every sector begins with the text "C.. H. R.." of its address; the rest is
// pseudo-random bytes from SEED, so every sector differs from every other.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>
#include <cstdint>

struct geometry_t {
    const char *name;
    int cylinders, sectors, size;
};

static const geometry_t geometries[] = {
    {"2hd", 77, 8, 1024}, {"2hc", 80, 15, 512}, {"2hq", 80, 18, 512}, {"2dd", 80, 9, 512}, {"2d", 40, 9, 512},
};

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s {2hd|2hc|2hq|2dd|2d} FILE [SEED]\n", argv[0]);
        return 22;
    }
    const geometry_t *g = nullptr;
    for (const auto &row : geometries)
        if (strcasecmp(row.name, argv[1]) == 0) g = &row;
    if (!g) {
        fprintf(stderr, "unknown geometry %s\n", argv[1]);
        return 22;
    }
    unsigned seed = argc > 3 ? (unsigned)strtoul(argv[3], nullptr, 10) : 1;
    uint32_t x = seed ? seed : 1;
    FILE *f = fopen(argv[2], "wb");
    if (!f) {
        perror(argv[2]);
        return 14;
    }
    std::vector<unsigned char> sector(g->size);
    for (int c = 0; c < g->cylinders; c++) {
        for (int h = 0; h < 2; h++) {
            for (int r = 1; r <= g->sectors; r++) {
                for (auto &b : sector) {
                    x ^= x << 13;
                    x ^= x >> 17;
                    x ^= x << 5;
                    b = (unsigned char)x;
                }
                int n = snprintf(reinterpret_cast<char *>(sector.data()), g->size, "C%02d H%d R%02d ", c, h, r);
                sector[n] = ' ';
                if (fwrite(sector.data(), 1, sector.size(), f) != sector.size()) {
                    perror(argv[2]);
                    fclose(f);
                    return 14;
                }
            }
        }
    }
    if (fclose(f) != 0) {
        perror(argv[2]);
        return 14;
    }
    return 0;
}
