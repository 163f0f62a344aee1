// zelconv: converts one disk image into another. ZEL sources are loaded,
// every other format imported; ZEL destinations are saved (in encode or raw
// form), every other extension exported through the track decoder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cctype>
#include <unistd.h>

#include <string>

#include "fdi.h"
#include "filepath.h"
#include "zeldisk.h"
#include "progcommon.h"

struct param_t {
    Filepath src;
    Filepath dst;
    int diskno = 1;
    int raw = 0;
    int analyze = 0;
    int statusloss = 0;  // -s: lost sector status is a warning, not a failure
};
static param_t param;

static void Usage(const char *prog) {
    printf("Usage: %s -i SRCFILE [-n DISKNO] -o DESTFILE [-f FORMAT] [-a ANALYZE] [-s]\n\n", prog);
    printf(" SRCFILE is source image file path.\n");
    printf(" DISKNO is disk number of multi image format, Default is 1.\n");
    printf(" DESTFILE is destination image file path.\n");
    printf(" FORMAT is data format {encode|raw} when DESTFILE is ZEL. Default is encode.\n");
    printf(" ANALYZE is analyze mode {upd765|mb8877}, Default is upd765.\n");
    printf(" -s accepts that DESTFILE loses sector status it cannot record (CRC errors,\n");
    printf("    deleted marks, missing data fields); each one lost is a warning.\n");
}

int main(int argc, char **argv) {
    if (AnswerVersion(argc, argv)) return 0;
    PrintBanner("Floppy image convert utility");
    printf("\n");
    if (argc < 2 || WantsHelp(argc, argv)) {
        Usage(argv[0]);
        return 0;
    }

    const char *diskno = nullptr;
    bool srcok = false, dstok = false;
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "i:n:o:f:a:s")) != -1) {
        switch (opt) {
        case 'i': srcok = param.src.SetPath(optarg) && !param.src.IsClear(); break;
        case 'o': dstok = param.dst.SetPath(optarg) && !param.dst.IsClear(); break;
        case 'n': diskno = optarg; break;
        case 'f': param.raw = (toupper((unsigned char)optarg[0]) == 'R'); break;
        case 'a': param.analyze = (toupper((unsigned char)optarg[0]) == 'M'); break;
        case 's': param.statusloss = 1; break;
        default: break;
        }
    }
    if (int rc = CheckImagePaths(srcok, dstok)) return rc;
    // A destination no format writes is refused before anything is read.
    if (!param.dst.HasExt(".ZEL") && !ZELDisk::CanExport(param.dst)) {
        fprintf(stderr, "Error : No image format has the extension of %s\n", param.dst.GetPath());
        return 22;
    }
    InstallFileSignals();
    param.diskno = ParseInt(diskno, 1);
    if (param.diskno < 1 || param.diskno > 32) param.diskno = 1;

    ZELDisk disk;
    LossReport report(param.statusloss ? LOSS_STATUS : 0);
    if (param.src.HasExt(".ZEL")) {
        std::string why;
        if (!disk.Load(param.src, 0, &why)) {
            fprintf(stderr, "Error : %s\n", why.c_str());
            fprintf(stderr, "Result             : Load failed\n");
            return 2;
        }
    } else if (!disk.Import(param.src, param.diskno, &report)) {
        PrintLosses(report);
        fprintf(stderr, "Result             : Import failed\n");
        return 2;
    }
    printf("Input file         : %s\n", param.src.GetPath());
    PrintDiskSummary(disk);
    printf("\n");

    if (param.dst.HasExt(".ZEL")) {
        // A change of form goes through clock recovery or resampling: the
        // sectors before and after must be the same.
        int ok = 1;
        bool convert = (param.raw != 0) != (disk.header.type == ZEL_TYPE_RAW);
        VDisk before;
        if (convert) disk.Sectors(before, param.analyze);
        if (convert) ok = param.raw ? disk.ConvertRaw() : disk.ConvertEnc();
        if (ok && convert) {
            VDisk after;
            disk.Sectors(after, param.analyze);
            CompareDisks(before, after, report);
        }
        printf("Output file        : %s\n", param.dst.GetPath());
        PrintDiskSummary(disk);
        if (!ok) report.Refuse("the image cannot be converted to that form");
        errno = 0;
        if (report.Fails() || !disk.Save(param.dst, 1)) {
            if (!report.Fails()) report.Refuse(std::string(param.dst.GetPath()) + ": " +
                                               FileProblem(param.dst.GetPath(), errno));
            PrintLosses(report);
            fprintf(stderr, "Result             : Save failed\n");
            return 14;
        }
    } else {
        printf("Export file        : %s\n", param.dst.GetPath());
        printf("Analyze mode       : %s\n", AnalyzeName(param.analyze));
        if (!disk.Export(param.dst, param.analyze, &report)) {
            PrintLosses(report);
            fprintf(stderr, "Result             : Export failed\n");
            return 14;
        }
    }
    PrintLosses(report);
    printf("Result             : Success\n");
    return 0;
}
