// The uses of one key file, as the frames of many encryptions record them, and the check that
// they tile its key material: for the tests that encrypt from several processes at once.
#ifndef VELDORAN_TESTS_SUPPORT_KEYUSES_H
#define VELDORAN_TESTS_SUPPORT_KEYUSES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/KeyFileWriter.h"

namespace testsupport {

struct KeyUse {
    int32_t start;     // the frame's keyOffset
    int32_t length;    // the bytes it encrypted
    int32_t useCount;  // the frame's useCount
};

// Ordered by their counts, the uses of one key tile its material from first on, without gap or
// overlap and without wrapping; the key file then records the last use's end and count.
inline void ExpectTiled(std::vector<KeyUse> uses, int32_t first, const std::string& keyPath) {
    std::sort(uses.begin(), uses.end(),
              [](const KeyUse& a, const KeyUse& b) { return a.useCount < b.useCount; });
    int32_t expectedStart = first;
    for (size_t k = 0; k < uses.size(); ++k) {
        EXPECT_EQ(uses[k].useCount, static_cast<int32_t>(k + 1)) << keyPath;
        EXPECT_EQ(uses[k].start, expectedStart) << keyPath << " encryption " << k + 1;
        expectedStart = uses[k].start + uses[k].length;
    }
    KeyHeaderFields after;
    ASSERT_TRUE(ReadKeyHeader(keyPath, &after));
    EXPECT_EQ(after.useCount, static_cast<int32_t>(uses.size()));
    EXPECT_EQ(after.keyOffset, expectedStart);
}

}  // namespace testsupport

#endif
