// The banner stamp every program prints.
#include <gtest/gtest.h>
#include <cstdio>
#include "version.h"

TEST(Version, BannerStartsWithVersion) {
    char buf[128];
    snprintf(buf, sizeof buf, ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    EXPECT_EQ(0, strncmp(buf, "ZELMO version 2.1.0(", 20));
}
