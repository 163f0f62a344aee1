// What every program answers before anything else (before any hardware is
// touched): --help prints its usage on standard output, --version one line
// with its name and version; both exit 0. Header-only.
#pragma once

#include <cstdio>
#include <cstring>

#include "version.h"

inline bool HasArgument(int argc, char **argv, const char *arg) {
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], arg)) return true;
    return false;
}

inline bool WantsHelp(int argc, char **argv) { return HasArgument(argc, argv, "--help"); }

// "zelconv 2.1.0" for --version: 1 when it was asked for (and answered).
inline int AnswerVersion(int argc, char **argv) {
    if (!HasArgument(argc, argv, "--version")) return 0;
    const char *name = strrchr(argv[0], '/');
    printf("%s %d.%d.%d\n", name ? name + 1 : argv[0], ZELMO_VERSION_MAJOR, ZELMO_VERSION_MINOR,
           ZELMO_VERSION_PATCH);
    return 1;
}
