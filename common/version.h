// Version and build stamp printed in every program's banner.
#pragma once

#define ZELMO_VERSION_MAJOR 2
#define ZELMO_VERSION_MINOR 1
#define ZELMO_VERSION_PATCH 0

#ifndef ZELMO_BUILD_DATE
#define ZELMO_BUILD_DATE __DATE__
#endif
#ifndef ZELMO_BUILD_TIME
#define ZELMO_BUILD_TIME __TIME__
#endif

// printf("ZELMO version %01d.%01d.%01x(%s, %s)\n", ZELMO_BANNER_ARGS)
#define ZELMO_BANNER_FORMAT "ZELMO version %01d.%01d.%01x(%s, %s)\n"
#define ZELMO_BANNER_ARGS ZELMO_VERSION_MAJOR, ZELMO_VERSION_MINOR, ZELMO_VERSION_PATCH, ZELMO_BUILD_DATE, ZELMO_BUILD_TIME
