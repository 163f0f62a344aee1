// Version and build stamp printed in every program's banner.
#pragma once

#define ZELMO_VERSION_MAJOR 2
#define ZELMO_VERSION_MINOR 1
#define ZELMO_VERSION_PATCH 0

// The build stamp, "Dec 07 2026" and "23:10:00", from the source CMake
// generates into the build folder (zelmo_stamp.cpp).
extern const char kZelmoBuildDate[];
extern const char kZelmoBuildTime[];
#define ZELMO_BUILD_DATE kZelmoBuildDate
#define ZELMO_BUILD_TIME kZelmoBuildTime

// printf("ZELMO version %01d.%01d.%01x(%s, %s)\n", ZELMO_BANNER_ARGS)
#define ZELMO_BANNER_FORMAT "ZELMO version %01d.%01d.%01x(%s, %s)\n"
#define ZELMO_BANNER_ARGS ZELMO_VERSION_MAJOR, ZELMO_VERSION_MINOR, ZELMO_VERSION_PATCH, ZELMO_BUILD_DATE, ZELMO_BUILD_TIME
