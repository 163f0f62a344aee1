// zelview: prints what an image holds. Every track is decoded on the fly and
// shown as a one-line summary (track view), a table of marks, gaps and sectors
// (sector view), or a hex dump of the sector data beside its encoded cells and
// a text column that shows Shift-JIS (CP932) text as UTF-8 (data view).
#include <cerrno>
#include <cstdio>
#include <string>
#include <cstring>
#include <cctype>
#include <iconv.h>
#include <unistd.h>

#include "fdi.h"
#include "fdi_disk.h"
#include "filepath.h"
#include "picture.h"
#include "zeldisk.h"
#include "progcommon.h"

enum { VIEW_TRACK = 0, VIEW_SECTOR = 1, VIEW_DATA = 2, VIEW_MAP = 3, VIEW_FLUX = 4 };

struct param_t {
    Filepath path;
    int mode = VIEW_TRACK;
    int track = -1;
    int cylinder = -1;
    int head = -1;
    int sector = -1;
    int diskno = 1;
    int analyze = 0;
    Filepath picture;  // -o: where the map or the histogram goes as SVG
};
static param_t param;

// ---- Shift-JIS text column -------------------------------------------------

bool is_sjis_lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool is_strict_sjis_lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF); }
bool is_sjis_trail(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }
bool is_half_width_kana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

// Converts len bytes of CP932 into UTF-8 (at most size - 1 bytes, terminated).
int SJIS2UTF8(const char *src, size_t len, char *dst, size_t size) {
    if (size == 0) return -1;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == (iconv_t)-1) return -1;
    char *in = const_cast<char *>(src);
    char *out = dst;
    size_t inleft = len, outleft = size - 1;
    size_t r = iconv(cd, &in, &inleft, &out, &outleft);
    iconv_close(cd);
    if (r == (size_t)-1 || inleft != 0) {
        dst[0] = 0;
        return -1;
    }
    *out = 0;
    return 0;
}

static void PutConverted(const unsigned char *bytes, size_t len) {
    char utf8[7];
    if (SJIS2UTF8(reinterpret_cast<const char *>(bytes), len, utf8, sizeof utf8) == 0) fputs(utf8, stdout);
    else putchar('.');
}

// Prints n bytes as text: ASCII as it is, half-width kana and two-byte
// characters converted to UTF-8, everything else as '.'. A lead byte with no
// byte after it ends the text with '.'.
void HexdumpText(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char c = p[i];
        if (c >= 0x20 && c <= 0x7E) {
            putchar(c);
        } else if (!is_sjis_lead(c)) {
            if (is_half_width_kana(c)) PutConverted(&c, 1);
            else putchar('.');
        } else if (i + 1 == n) {
            putchar('.');
            break;
        } else if (is_sjis_trail(p[i + 1])) {
            // The user-defined area has no glyphs: show a placeholder character.
            static const unsigned char userdef[2] = {0x81, 0x96};
            const unsigned char pair[2] = {c, p[i + 1]};
            PutConverted(c >= 0xF0 ? userdef : pair, 2);
            i++;
        } else {
            putchar('.');
        }
    }
}

// ---- Views ------------------------------------------------------------------

static void Usage(const char *prog) {
    printf("Usage: %s [OPTION]... FILE\n\n", prog);
    printf(" FILE is image file path.\n\n");
    printf("OPTION\n");
    printf(" -v MODE is {track|sector|data}, Default is track.\n");
    printf("    map draws the disk (each sector coloured by its state), flux the spread of\n");
    printf("    pulse intervals of a raw image (one track with -t, -c/-h); both print their numbers.\n");
    printf(" -t TRACK is track number(Auto setup cylynder and head). Default is 0.\n");
    printf(" -c CYLINDER is cylinder, Default is 0.\n");
    printf(" -h HEAD is head, Default is 0.\n");
    printf(" -s SECTOR is sector(1 or more) in data mode, Default is 1.\n");
    printf(" -n DISKNO is disk number of multi image format, Default is 1.\n");
    printf(" -a ANALYZE is analyze mode {upd765|mb8877}, Default is upd765.\n");
    printf(" -o FILE.svg saves the map or the flux histogram as a picture.\n\n");
}

static int ParseArgument(int argc, char **argv) {
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "v:t:c:h:s:n:a:o:")) != -1) {
        int v = ParseInt(optarg, -1);
        switch (opt) {
        case 'v': {
            int c = toupper((unsigned char)optarg[0]);
            param.mode = c == 'D'   ? VIEW_DATA
                         : c == 'S' ? VIEW_SECTOR
                         : c == 'M' ? VIEW_MAP
                         : c == 'F' ? VIEW_FLUX
                                    : VIEW_TRACK;
            break;
        }
        case 'o':
            if (!param.picture.SetPath(optarg) || param.picture.IsClear()) {
                fprintf(stderr, "Error : Invalid picture file path\n");
                return 0;
            }
            break;
        case 't': param.track = (v >= 0 && v <= 169) ? v : 0; break;
        case 'c': param.cylinder = (v >= 0 && v <= 84) ? v : 0; break;
        case 'h': param.head = (v >= 0 && v <= 1) ? v : 0; break;
        case 's': param.sector = v < 1 ? 1 : v; break;
        case 'n': param.diskno = (v >= 1 && v <= 16) ? v : 1; break;
        case 'a': param.analyze = (toupper((unsigned char)optarg[0]) == 'M'); break;
        default: break;
        }
    }
    if (optind >= argc || !param.path.SetPath(argv[optind]) || param.path.IsClear()) {
        fprintf(stderr, "Error : Invalid image file path\n");
        return 0;
    }
    return 1;
}

static void PrintTrackLine(const ZELDisk &disk, const VTrack &t, int c, int h) {
    printf("TRACK %3d(C:%02d H:%02d) ", c * disk.header.heads + h, c, h);
    if (t.SectorCount() == 0) {
        printf(" UNFORMAT TRACK\n");
        return;
    }
    int bits = disk.GetTrackLen(c, h);
    int nominal = disk.NominalLength();
    printf("%dbits %dbytes %dcells(%5.1f%%) ", bits, bits / 8, t.cells / ((t.flags & TRACK_MFM) ? 16 : 32),
           nominal ? bits * 100.0 / nominal : 0.0);
    printf("%2dSCT/", t.SectorCount());
    if ((t.flags & TRACK_FM) && (t.flags & TRACK_MFM)) printf("MIX/");
    else printf((t.flags & TRACK_MFM) ? "MFM/" : "FM/");
    if (t.flags & TRACK_IAM) printf("IAM/");
    if (t.flags & TRACK_STRADDLE) printf("ISTR/");
    if (!(t.flags & TRACK_ERRORS)) {
        printf("NORMAL\n");
        return;
    }
    static const struct {
        uint32_t bit;
        const char *name;
    } errnames[] = {{0x2000, "MISING IDAM"}, {0x0400, "INVALD ID"},      {0x0800, "ID CRC ERROR"},
                    {0x0100, "INVALD DATA"}, {0x0200, "DATA CRC ERROR"}, {0x4000, "OVERLAP"}};
    printf("ILLEGAL(");
    const char *sep = "";
    for (const auto &e : errnames) {
        if (t.flags & e.bit) {
            printf("%s%s", sep, e.name);
            sep = "/";
        }
    }
    printf(")\n");
}

static void PrintSectorTable(const ZELDisk &disk, const VTrack &t) {
    const int div = (t.flags & TRACK_MFM) ? 16 : 32;
    const int timescale = (disk.header.rate == 1000 || disk.header.rate == 8000) ? 1 : 2;
    char rule[82];
    rule[0] = ' ';
    memset(rule + 1, '-', 80);
    rule[81] = 0;
    printf("%s\n", rule);
    printf(" MARK   POS(cell)    TIME(us) C  H  R  N   SIZE GAP2 GAP3 ICRC DAM DCRC  D-RATE  \n");
    printf("%s\n", rule);
    printf(" GAP4a                                     %4d\n", t.gap4a);
    if (t.flags & TRACK_IAM) {
        printf(" IAM  %5d\n", t.iampos / div);
        printf(" GAP1                                      %4d\n", t.gap1);
    }
    int num = 1;
    for (const VSector *s = t.sectors; s; s = s->next, num++) {
        printf(" %c%02d  %5d...%5d  %6d  %02X %02X %02X %02X  %5d %4d %4d  %s ", s->mfm ? 'M' : 'F', num,
               s->idpos / div, s->endpos / div, s->idpos * timescale, s->c, s->h, s->r, s->n, s->length, s->gap2,
               s->gap3, (s->status & SECTOR_IDCRC) ? "ERR" : "OK ");
        if (s->status & SECTOR_NODATA) {
            printf("---  ---  ---\n");
        } else {
            double pct = (s->rate + 1000) / 10.0;
            printf("%s  %s  %5.1f%% %c\n", (s->status & SECTOR_DELETED) ? "DEL" : "NRM",
                   (s->status & SECTOR_DATACRC) ? "ERR" : "OK ", pct, pct > 101.0 ? 'U' : pct < 99.0 ? 'D' : ' ');
        }
    }
    printf(" GAP4b                                     %4d\n", t.gap4b);
    printf("\n");
}

// Eight cells of the sector at its own rate from cell pos on: MFM cells lie
// on the grid, FM cells on every second grid cell (a clock or data window
// is two grid cells), so 16 FM bytes fill a row as 16 MFM bytes do.
static int RowCells(const VTrack &t, int pos, int mfm) {
    if (mfm) return t.GetEncData(pos);
    int a = t.GetEncData(pos), b = t.GetEncData(pos + 8);
    int v = 0;
    for (int j = 0; j < 4; j++) v |= ((a >> (7 - 2 * j)) & 1) << (7 - j) | ((b >> (7 - 2 * j)) & 1) << (3 - j);
    return v;
}

static void PrintSectorData(const VTrack &t, const VSector &s, int num) {
    static const char rule[] = "----+----------------------------------------------------------------"
                               "+--------------------------------+----------------";
    printf("\n");
    const bool nodata = (s.status & SECTOR_NODATA) != 0;
    printf("SECTOR %02d (C=%02X H=%02X R=%02X N=%02X ICRC=%s DCRC=%s)\n", num, s.c, s.h, s.r, s.n,
           (s.status & SECTOR_IDCRC) ? "ERR" : "OK",
           nodata ? "---" : (s.status & SECTOR_DATACRC) ? "ERR" : "OK");
    printf("%s\n", rule);
    printf("ADDR|                          ENCODE DATA                           |            HEX DATA       "
           "     |      ASCII     \n");
    printf("OFST|   0   1   2   3   4   5   6   7   8   9   A   B   C   D   E   F| 0 1 2 3 4 5 6 7 8 9 A B C D "
           "E F|0123456789ABCDEF\n");
    printf("%s\n", rule);
    // A sector without a data field has nothing to show.
    const int cpb = s.mfm ? 16 : 32;  // grid cells per byte
    for (int off = 0; !nodata && s.data && off < s.length; off += 16) {
        int n = s.length - off < 16 ? s.length - off : 16;
        printf("%04X|", off);
        for (int k = 0; k < 32; k++) printf("%02X", RowCells(t, s.datapos + cpb * off + cpb / 2 * k, s.mfm));
        printf("|");
        for (int k = 0; k < 16; k++) {
            if (k < n) printf("%02X", s.data[off + k]);
            else printf("  ");
        }
        printf("|");
        HexdumpText(s.data + off, n);
        printf("\n");
    }
    printf("%s\n", rule);
}

// Writes an SVG picture to -o's path (when given); 0 and a message when it
// cannot be written.
static int SavePicture(const std::string &svg) {
    if (param.picture.IsClear()) return 1;
    if (SaveImageFile(param.picture, (const uint8_t *)svg.data(), svg.size())) {
        printf("Picture            : %s\n", param.picture.GetPath());
        return 1;
    }
    fprintf(stderr, "Error : %s: %s\n", param.picture.GetPath(), FileProblem(param.picture.GetPath(), errno).c_str());
    return 0;
}

// The map of the whole disk, or the flux histogram of the tracks in range
// (the whole disk without a track option): numbers as text, the picture as
// SVG.
static int ShowPicture(ZELDisk &disk, int c0, int c1, int h0, int h1) {
    if (param.mode == VIEW_MAP) {
        diskmap_t map;
        disk.Map(map, param.analyze, DiskTypeName(disk.header.type));
        fputs(DiskMapText(map).c_str(), stdout);
        return SavePicture(DiskMapSvg(map)) ? 0 : 14;
    }
    if (disk.header.type != ZEL_TYPE_RAW) {
        fprintf(stderr, "Error : The flux view needs a raw image (zelconv -f raw, diskread -f raw)\n");
        return 22;
    }
    fluxhist_t hist;
    hist.samplerate = disk.header.rate;
    for (int c = c0; c <= c1 && c < disk.header.cylinders; c++)
        for (int h = h0; h <= h1; h++) AddFlux(hist, disk.GetTrackData(c, h), disk.GetTrackLen(c, h));
    FindFluxPeaks(hist);
    char name[60];
    std::string title = disk.GetName(name);
    title += c0 == c1 && h0 == h1 ? " track " + std::to_string(c0 * disk.header.heads + h0) : " all tracks";
    fputs(FluxHistogramText(hist).c_str(), stdout);
    return SavePicture(FluxHistogramSvg(hist, title)) ? 0 : 14;
}

int main(int argc, char **argv) {
    if (AnswerVersion(argc, argv)) return 0;
    PrintBanner("Floppy image view utility");
    printf("\n");
    if (argc < 2 || WantsHelp(argc, argv)) {
        Usage(argv[0]);
        return 0;
    }
    if (!ParseArgument(argc, argv)) return 22;

    // The viewer shows an image whatever an import could not place in it,
    // and says what that is.
    ZELDisk disk;
    LossReport report(LOSS_STATUS | LOSS_SECTOR);
    if (param.path.HasExt(".ZEL")) {
        std::string why;
        if (!disk.Load(param.path, 0, &why)) {
            fprintf(stderr, "Error : %s\n", why.c_str());
            fprintf(stderr, "Error : Can't load ZEL image file\n");
            return 22;
        }
    } else if (!disk.Import(param.path, param.diskno, &report)) {
        PrintLosses(report);
        fprintf(stderr, "Error : Can't import image file\n");
        return 22;
    }
    PrintLosses(report);
    printf("File               : %s\n", param.path.GetPath());
    PrintDiskSummary(disk);
    printf("Analyze mode       : %s\n", AnalyzeName(param.analyze));

    const int cylinders = disk.header.cylinders, heads = disk.header.heads;
    if (param.cylinder >= cylinders) {
        fprintf(stderr, "Error : Cylinder range is over\n");
        return 22;
    }
    if (param.head >= heads) {
        fprintf(stderr, "Error : Head range is over\n");
        return 22;
    }

    int c0 = 0, c1 = cylinders - 1, h0 = 0, h1 = heads - 1;
    if (param.track >= 0) {
        c0 = c1 = param.track / heads;
        h0 = h1 = param.track % heads;
    } else {
        if (param.cylinder >= 0) c0 = c1 = param.cylinder;
        if (param.head >= 0) h0 = h1 = param.head;
    }
    printf("\n");

    if (param.mode == VIEW_MAP || param.mode == VIEW_FLUX) return ShowPicture(disk, c0, c1, h0, h1);

    // Each view decodes only what it shows: the sector table the data rates
    // (a second walk over a raw track's samples), the data view the cells.
    const int options = param.mode == VIEW_SECTOR ? DECODE_RATES : param.mode == VIEW_DATA ? DECODE_CELLS : 0;
    int errors = 0, count = 0;
    for (int c = c0; c <= c1 && c < cylinders; c++) {
        for (int h = h0; h <= h1; h++) {
            VTrack *t = disk.Analyze(c, h, param.analyze, options);
            if (!t) continue;
            count++;
            if (t->SectorCount() > 0 && (t->flags & TRACK_ERRORS)) errors++;
            PrintTrackLine(disk, *t, c, h);
            if (t->SectorCount() > 0 && param.mode == VIEW_SECTOR) {
                PrintSectorTable(disk, *t);
            } else if (t->SectorCount() > 0 && param.mode == VIEW_DATA) {
                int num = 1;
                bool one = param.sector >= 1 && param.sector <= t->SectorCount();
                for (const VSector *s = t->sectors; s; s = s->next, num++) {
                    if (!one || num == param.sector) PrintSectorData(*t, *s, num);
                }
                printf("\n");
            }
            delete t;
        }
    }
    if (param.mode == VIEW_TRACK) {
        printf("\n");
        printf("TRACK ERRORS %d / %d\n", errors, count);
    }
    return 0;
}
