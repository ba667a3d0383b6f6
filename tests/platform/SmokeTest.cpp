#include <gtest/gtest.h>

#include "veldoran.h"
TEST(Smoke, Builds) {
    TypUtilsUnix utils;
    EXPECT_EQ(utils.InitCreate(nullptr), kNoErr);
}
