// The armour's own account of its length, which pipelines size their blocks with, against the
// length BinToASCII actually makes, across line and group boundaries.
#include <gtest/gtest.h>

#include <vector>

#include "veldoran.h"

namespace {

TEST(ArmouredLength, MatchesWhatBinToASCIIMakes) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII binASCII;
    binASCII.InitCreate(&utils);
    // 33 bytes fill one line exactly, 34 start a second; 0 to 3 cover the short groups.
    for (uint32_t length : {0u, 1u, 2u, 3u, 32u, 33u, 34u, 35u, 44u, 45u, 224u, 448u, 1000u}) {
        SCOPED_TRACE(length);
        const std::vector<unsigned char> data(length, 0x5A);
        unsigned char* text = nullptr;
        uint32_t textLength = 0;
        ASSERT_EQ(binASCII.BinToASCII(data.data(), length, &text, &textLength), kNoErr);
        EXPECT_EQ(TypBinASCII::ArmouredLength(length, 1), textLength);
        utils.MyDisposeptr(&text, textLength);
    }
    // The three bytes abc armour to 11 + 1 + 20 + 1 + 14 + 1 characters.
    EXPECT_EQ(TypBinASCII::ArmouredLength(3, 1), 48u);
    // A two-character line end is counted at every line break and around the markers.
    EXPECT_EQ(TypBinASCII::ArmouredLength(34, 2), 11u + 14u + 6u + 64u + 2u);
}

}  // namespace
