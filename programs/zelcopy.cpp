// zelcopy: copies one track, bit for bit, from one ZEL image into another of
// the same kind and saves the destination. Used to patch a damaged track of a
// dump with the same track from another dump of the disk.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <string>

#include "filepath.h"
#include "zeldisk.h"
#include "progcommon.h"

struct param_t {
    Filepath src;
    Filepath dst;
    int track = -1;
    int cylinder = -1;
    int head = -1;
};
static param_t param;

static void Usage(const char *prog) {
    printf("Usage: %s -i SRCFILE -o DESTFILE [-t TRACK] [-c CYLINDER] [-h HEAD]\n\n", prog);
    printf(" SRCFILE is source image file path.\n");
    printf(" DESTFILE is destination image file path.\n");
    printf(" TRACK is copy track number(Auto setup cylynder and head).\n");
    printf(" CYLINDER is copy cylinder.\n");
    printf(" HEAD is copy head.\n");
}

// A number option within lo..hi, or -1 when it is not (the run is refused).
static int RangeArg(const char *text, int lo, int hi) {
    int v = ParseInt(text, -1);
    return (v < lo || v > hi) ? -1 : v;
}

int main(int argc, char **argv) {
    if (AnswerVersion(argc, argv)) return 0;
    PrintBanner("Floppy image track copy utility");
    printf("\n");
    if (argc < 2 || WantsHelp(argc, argv)) {
        Usage(argv[0]);
        return 0;
    }

    bool srcok = false, dstok = false;
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "i:o:t:c:h:")) != -1) {
        switch (opt) {
        case 'i': srcok = param.src.SetPath(optarg) && !param.src.IsClear(); break;
        case 'o': dstok = param.dst.SetPath(optarg) && !param.dst.IsClear(); break;
        case 't':
            if ((param.track = RangeArg(optarg, 0, 169)) < 0) return 22;
            break;
        case 'c':
            if ((param.cylinder = RangeArg(optarg, 0, 84)) < 0) return 22;
            break;
        case 'h':
            if ((param.head = RangeArg(optarg, 0, 1)) < 0) return 22;
            break;
        default: break;
        }
    }
    if (int rc = CheckImagePaths(srcok, dstok)) return rc;

    printf("Source       : %s\n", param.src.GetPath());
    if (!param.src.HasExt(".ZEL")) {
        fprintf(stderr, "Error : Source file is not ZEL image\n");
        return 22;
    }
    InstallFileSignals();
    ZELDisk src;
    std::string why;
    if (!src.Load(param.src, 0, &why)) {
        fprintf(stderr, "Error : %s\n", why.c_str());
        fprintf(stderr, "Error : Can't load source ZEL file\n");
        return 22;
    }
    printf("Destination  : %s\n", param.dst.GetPath());
    if (!param.dst.HasExt(".ZEL")) {
        fprintf(stderr, "Error : Destination is not ZEL file image\n");
        return 22;
    }
    ZELDisk dst;
    if (!dst.Load(param.dst, 0, &why)) {
        fprintf(stderr, "Error : %s\n", why.c_str());
        fprintf(stderr, "Error : Can't load destination ZEL file\n");
        return 2;
    }

    const zelheader_t &s = src.header, &d = dst.header;
    if (s.type != d.type || s.rpm != d.rpm || s.rate != d.rate || s.cylinders != d.cylinders ||
        s.heads != d.heads) {
        fprintf(stderr, "Error : Source and destination is differ in type of ZEL\n");
        return 14;
    }

    int cylinder = param.cylinder, head = param.head;
    if (param.track >= 0) {
        cylinder = param.track / s.heads;
        head = param.track % s.heads;
    } else if (cylinder < 0) {
        fprintf(stderr, "Error : Invalid cylinder\n");
        return 14;
    } else if (head < 0) {
        fprintf(stderr, "Error : Invalid head\n");
        return 14;
    }
    printf("Cylinder     : %d\n", cylinder);
    if (cylinder >= s.cylinders) {
        fprintf(stderr, "Error : Cylinder range is over\n");
        return 14;
    }
    printf("Head         : %d\n", head);
    if (head >= s.heads) {
        fprintf(stderr, "Error : Head range is over\n");
        return 14;
    }
    printf("Track        : %d\n", cylinder * s.heads + head);

    // The destination record must hold the whole source track: a longer
    // track would be cut, which would pass off a damaged copy as a patch.
    int bits = src.GetTrackLen(cylinder, head);
    int bytes = (bits + 7) / 8;
    uint8_t *from = src.GetTrackData(cylinder, head);
    uint8_t *to = dst.GetTrackData(cylinder, head);
    if (!from || !to || bytes > dst.GetTrackCapacity(cylinder, head)) {
        fprintf(stderr, "Error : Source track does not fit the destination track record\n");
        return 14;
    }
    memset(to, 0, dst.GetTrackCapacity(cylinder, head));
    memcpy(to, from, bytes);
    dst.SetTrackLen(cylinder, head, bits);
    dst.UpdateTrack(cylinder, head);

    errno = 0;
    if (!dst.Save(param.dst, 1)) {
        if (errno) fprintf(stderr, "Error : %s: %s\n", param.dst.GetPath(), FileProblem(param.dst.GetPath(), errno).c_str());
        fprintf(stderr, "Error : Can't save destination file\n");
        return 14;
    }
    return 0;
}
