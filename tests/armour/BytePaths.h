// Runs a test once on each byte path of the armour and the text filter: the AVX2 path, skipped
// where the processor lacks it, and the byte-by-byte path, which otherwise runs only on the
// short tails of long texts wherever AVX2 is present.
#ifndef VELDORAN_TESTS_ARMOUR_BYTEPATHS_H
#define VELDORAN_TESTS_ARMOUR_BYTEPATHS_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "armour/ByteTranslate.h"

namespace testsupport {

enum class BytePath { kWide, kScalar };

inline void PrintTo(BytePath path, std::ostream* os) {
    *os << (path == BytePath::kWide ? "wide" : "scalar");
}

inline std::string BytePathName(const ::testing::TestParamInfo<BytePath>& info) {
    return info.param == BytePath::kWide ? "Wide" : "Scalar";
}

// Both paths, for INSTANTIATE_TEST_SUITE_P(BytePaths, Suite, EachBytePath(), BytePathName).
inline auto EachBytePath() {
    return ::testing::Values(BytePath::kWide, BytePath::kScalar);
}

// Fixture adds the test's own set-up; the chosen path holds for the whole test and the
// processor decides again afterwards.
template <class Fixture = ::testing::Test>
class OnBytePath : public Fixture, public ::testing::WithParamInterface<BytePath> {
  protected:
    void SetUp() override {
        Fixture::SetUp();
        veldoran::SetWideBytesForTesting(true);
        if (GetParam() == BytePath::kWide) {
            if (!veldoran::HasWideBytes()) {
                GTEST_SKIP() << "this processor has no AVX2";
            }
        } else {
            veldoran::SetWideBytesForTesting(false);
            ASSERT_FALSE(veldoran::HasWideBytes());
        }
    }
    void TearDown() override {
        veldoran::SetWideBytesForTesting(true);
        Fixture::TearDown();
    }
};

}  // namespace testsupport

#endif
