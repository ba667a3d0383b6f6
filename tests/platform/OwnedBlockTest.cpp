// OwnedBlock: every block goes back once, through the utility object that made it or to the
// heap, and a block that held key material is wiped first whatever that object does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/OwnedBlock.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using veldoran::BlockContent;
using veldoran::OwnedBlock;
using Bytes = std::vector<unsigned char>;

// Keeps what every block held, and its length, at the moment it came back.
class RecordingUtils : public testsupport::FailingUtils {
  public:
    void MyDisposeptr(unsigned char** block, uint32_t length) override {
        if (block != nullptr && *block != nullptr) {
            returned.emplace_back(*block, *block + length);
        }
        FailingUtils::MyDisposeptr(block, length);
    }
    std::vector<Bytes> returned;
};

struct ContentCase {
    const char* what;
    BlockContent content;
    bool wiped;
};

void PrintTo(const ContentCase& row, std::ostream* os) {
    *os << row.what;
}

class OwnedBlockContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(OwnedBlockContent, KeyMaterialIsWipedBeforeItGoesBack) {
    RecordingUtils utils;
    {
        OwnedBlock block(&utils, GetParam().content);
        ASSERT_EQ(block.Allocate(5), kNoErr);
        memcpy(block.data(), "Clefs", 5);
    }
    ASSERT_EQ(utils.returned.size(), 1u);
    EXPECT_EQ(utils.returned[0], GetParam().wiped ? Bytes(5, 0) : Bytes({'C', 'l', 'e', 'f', 's'}));
    EXPECT_EQ(utils.liveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(Platform, OwnedBlockContent,
                         ::testing::Values(ContentCase{"any", BlockContent::kAny, false},
                                           ContentCase{"key_material", BlockContent::kKeyMaterial,
                                                       true}),
                         [](const auto& row) { return std::string(row.param.what); });

// Each way a block leaves: replaced, disposed of, handed over, taken over, or at the end.
TEST(OwnedBlock, EveryBlockGoesBackOnceThroughItsMaker) {
    RecordingUtils utils;
    {
        OwnedBlock block(&utils);
        ASSERT_EQ(block.Allocate(3), kNoErr);
        EXPECT_EQ(Bytes(block.data(), block.data() + 3), Bytes(3, ' '));
        ASSERT_EQ(block.AllocateUnfilled(7), kNoErr);  // the first goes back
        EXPECT_EQ(utils.returned.size(), 1u);
        EXPECT_EQ(utils.returned[0].size(), 3u);

        unsigned char* handed = nullptr;
        uint32_t handedLength = 0;
        block.HandOver(&handed, &handedLength);  // the new owner's now: nothing goes back
        EXPECT_EQ(handedLength, 7u);
        EXPECT_EQ(block.data(), nullptr);
        EXPECT_EQ(block.length(), 0u);
        EXPECT_EQ(utils.returned.size(), 1u);

        block.Adopt(&handed, &handedLength);  // and back again, the caller's variables cleared
        EXPECT_EQ(handed, nullptr);
        EXPECT_EQ(handedLength, 0u);
        EXPECT_EQ(block.length(), 7u);
        block.Dispose();
        EXPECT_EQ(utils.returned.size(), 2u);
        EXPECT_EQ(utils.returned[1].size(), 7u);
        block.Dispose();  // nothing held: nothing more goes back
        EXPECT_EQ(utils.returned.size(), 2u);
        ASSERT_EQ(block.Allocate(2), kNoErr);
    }
    EXPECT_EQ(utils.returned.size(), 3u);  // the last at the end of the owner
    EXPECT_EQ(utils.liveBlocks(), 0);
}

// A refused allocation leaves nothing held, and the block held before has gone back.
TEST(OwnedBlock, RefusedAllocationHoldsNothing) {
    RecordingUtils utils;
    OwnedBlock block(&utils);
    ASSERT_EQ(block.Allocate(4), kNoErr);
    utils.FailCall(1);
    EXPECT_EQ(block.Allocate(8), kMemErr);
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(block.length(), 0u);
    EXPECT_EQ(utils.liveBlocks(), 0);
}

// Heap blocks, as the memory entry functions hand them over: filled as MyNewPtr fills, a block
// even for 0 bytes, and texts taken with their NUL.
TEST(OwnedBlock, HeapBlocks) {
    OwnedBlock block;
    ASSERT_EQ(block.Allocate(4), kNoErr);
    EXPECT_EQ(Bytes(block.data(), block.data() + 4), Bytes(4, ' '));
    ASSERT_EQ(block.Allocate(0), kNoErr);
    EXPECT_NE(block.data(), nullptr);

    char* text = strdup("Bonjour");
    ASSERT_NE(text, nullptr);
    const char* held = text;
    block.AdoptText(&text);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(block.length(), 8u);
    EXPECT_EQ(reinterpret_cast<const char*>(block.data()), held);

    char* none = nullptr;
    block.AdoptText(&none);
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(block.length(), 0u);
}

}  // namespace
