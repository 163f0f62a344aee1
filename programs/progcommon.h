// Small helpers shared by the image tools' main programs: banner, the disk
// summary block and number parsing. Header-only; each program includes it.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <climits>

#include "cmdline.h"
#include "fileio.h"

#include "lossprint.h"
#include "version.h"
#include "zeldisk.h"

// "ZELMO version 2.1.0(date, time)" and the line naming the tool.
inline void PrintBanner(const char *tool) {
    // Every line reaches the output when it is ended, so a log of both
    // streams (2>&1) reads in the order things happened.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("%s\n", tool);
}

inline const char *DiskTypeName(int type) {
    switch (type) {
    case ZEL_TYPE_2D: return "2D";
    case ZEL_TYPE_2DD: return "2DD";
    case ZEL_TYPE_2HD: return "2HD";
    case ZEL_TYPE_RAW: return "RAW";
    default: return "UNKNOWN";
    }
}

// The disk summary lines of the converter and the viewer.
inline void PrintDiskSummary(const ZELDisk &disk) {
    char name[60];
    printf("DIsk Type          : %s\n", DiskTypeName(disk.header.type));
    printf("Name               : %s\n", disk.GetName(name));
    printf("Cylinders          : %d\n", disk.header.cylinders);
    printf("Heads              : %d\n", disk.header.heads);
    printf("Rate               : %d kbps\n", disk.header.rate);
    printf("RPM                : %d\n", disk.header.rpm);
    printf("Write Protect      : %s\n", disk.header.writeprotect ? "ON" : "OFF");
}

// The source and destination paths of the converter and the copier: 0 when
// both were given and fit, else the error line is printed and 22 returned.
inline int CheckImagePaths(bool srcok, bool dstok) {
    if (!srcok) {
        fprintf(stderr, "Error : Invalid source image file path\n");
        return 22;
    }
    if (!dstok) {
        fprintf(stderr, "Error : Invalid destination image file path\n");
        return 22;
    }
    return 0;
}

inline const char *AnalyzeName(int analyze) { return analyze ? "MB8877" : "uPD765"; }

// Decimal option value; fallback when the text is not a number or overflows an int.
inline int ParseInt(const char *text, int fallback) {
    if (!text) return fallback;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return fallback;
    return (int)v;
}

// A tool that writes images: a file-size limit makes the write fail (and the
// tool say so) instead of killing it, and an interrupt removes the temporary
// file being written before the tool ends as the signal would end it; the
// old file stays as it was.
inline void OnStopSignal(int sig) {
    RemovePendingTempFiles();
    signal(sig, SIG_DFL);
    raise(sig);
}
inline void InstallFileSignals() {
    signal(SIGXFSZ, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, OnStopSignal);
}
