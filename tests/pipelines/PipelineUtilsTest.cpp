// The pipelines' utility object keeps the block contract (every new block all spaces, the
// caller's variable cleared on disposal) while it hands a given-back large block out again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "pipelines/PipelineUtils.h"
#include "veldoran.h"

namespace {

bool AllSpaces(const unsigned char* block, uint32_t size) {
    return std::all_of(block, block + size, [](unsigned char byte) { return byte == ' '; });
}

constexpr uint32_t kLarge = veldoran::PipelineUtils::kLargeBlock;

TEST(PipelineUtils, NewBlocksAreSpacesWhateverTheirSize) {
    veldoran::PipelineUtils utils;
    utils.InitCreate(nullptr);
    for (uint32_t size : {0u, 1u, 4096u, kLarge - 1, kLarge, kLarge + 12345}) {
        SCOPED_TRACE(size);
        unsigned char* block = utils.MyNewPtr(size);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(AllSpaces(block, size));
        utils.MyDisposeptr(&block, size);
        EXPECT_EQ(block, nullptr);
    }
}

TEST(PipelineUtils, AGivenBackLargeBlockServesTheNextFormRefilled) {
    veldoran::PipelineUtils utils;
    utils.InitCreate(nullptr);
    unsigned char* first = utils.MyNewPtr(kLarge);
    ASSERT_NE(first, nullptr);
    memset(first, 0xAB, kLarge);
    unsigned char* const firstAddress = first;
    utils.MyDisposeptr(&first, kLarge);
    EXPECT_EQ(first, nullptr);

    // A few hundred bytes more, as each form of a document adds.
    unsigned char* next = utils.MyNewPtr(kLarge + 448);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next, firstAddress);
    EXPECT_TRUE(AllSpaces(next, kLarge + 448));

    // While it is in use, another large block is a different one.
    unsigned char* other = utils.MyNewPtr(kLarge);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, next);
    EXPECT_TRUE(AllSpaces(other, kLarge));
    utils.MyDisposeptr(&next, kLarge + 448);
    // Only one block is kept: this one goes back to the heap (checked by the leak checker).
    utils.MyDisposeptr(&other, kLarge);
    EXPECT_EQ(other, nullptr);
}

TEST(PipelineUtils, ABlockTooSmallForTheRequestIsNotHandedOut) {
    veldoran::PipelineUtils utils;
    utils.InitCreate(nullptr);
    unsigned char* first = utils.MyNewPtr(kLarge);
    ASSERT_NE(first, nullptr);
    utils.MyDisposeptr(&first, kLarge);
    // Far larger than the room kept behind the first block.
    const uint32_t size = 3 * kLarge;
    unsigned char* bigger = utils.MyNewPtr(size);
    ASSERT_NE(bigger, nullptr);
    EXPECT_TRUE(AllSpaces(bigger, size));
    bigger[size - 1] = 'x';  // the whole block is usable
    utils.MyDisposeptr(&bigger, size);
}

TEST(PipelineUtils, DisposingNothingIsHarmless) {
    veldoran::PipelineUtils utils;
    utils.InitCreate(nullptr);
    utils.MyDisposeptr(nullptr, 0);
    unsigned char* none = nullptr;
    utils.MyDisposeptr(&none, 10);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
