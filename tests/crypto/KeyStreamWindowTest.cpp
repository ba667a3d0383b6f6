// The key stream engine over its inputs: a short key held whole with its wrapped tail, a key
// longer than the window read window by window, starts at the end of the material, blocks
// longer than the window, and its buffer taken from the utility object like every other block.
#include <gtest/gtest.h>

#include <vector>

#include "CryptoFixture.h"
#include "crypto/KeyStreamWindow.h"
#include "pipelines/TwoKeyStream.h"
#include "support/FailingUtils.h"

namespace cryptotest {
namespace {

using Bytes = std::vector<unsigned char>;

struct EngineCase {
    const char* what;
    uint32_t keyLen;
    int32_t start;  // the key header's keyOffset, where the stream begins
    uint64_t streamLength;
    uint32_t window;
    uint64_t position;  // first stream byte a call covers
    uint32_t count;
};

const EngineCase kEngineCases[] = {
    {"short key held whole, block many periods long", 100, 37, 5000, 256, 0, 5000},
    {"short key from a later position", 100, 37, 5000, 256, 4321, 679},
    {"stream shorter than the key", 1000, 990, 30, 64, 0, 30},
    {"long key read window by window across its end", 1000, 900, 5000, 64, 50, 3000},
    {"long key, window of one byte", 300, 299, 700, 1, 0, 700},
    {"start at the end of the material wraps to its start", 100, 100, 400, 128, 0, 400},
    {"period exactly the window", 128, 5, 1000, 128, 3, 900},
    {"nothing to cover", 100, 3, 0, 16, 0, 0},
    {"short key walked in several cached pieces", 100, 37, 70000, 65536, 11, 69989},
    {"long key walked a whole window at a time", 70000, 69000, 200000, 40000, 7, 150000},
};

class Engine : public KeyFolderFixture, public ::testing::WithParamInterface<EngineCase> {};

TEST_P(Engine, CopyXorAndXorIntoFollowTheKeyMaterialRound) {
    const EngineCase& c = GetParam();
    const Bytes material = testsupport::RandomBytes(c.keyLen, 77);
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(testsupport::WriteKeyFile(path, DupontKey(material, c.start)));
    Bytes expected(c.count);
    for (uint32_t j = 0; j < c.count; ++j) {
        expected[j] = material[(c.start + c.position + j) % c.keyLen];
    }
    const Bytes data = testsupport::RandomBytes(c.count, 78);
    Bytes xored(c.count);
    for (uint32_t j = 0; j < c.count; ++j) {
        xored[j] = static_cast<unsigned char>(data[j] ^ expected[j]);
    }

    FileRefPtr keyFile = Ref(path);
    ASSERT_EQ(keyFile->OpenDF(kOpenRead), kNoErr);
    veldoran::KeyStreamWindow stream;
    ASSERT_EQ(stream.Open(&utils, keyFile.get(), c.keyLen, static_cast<uint32_t>(c.start),
                          c.streamLength, c.window),
              kNoErr);
    Bytes copied(c.count + 1, 0xEE);
    ASSERT_EQ(stream.Copy(copied.data(), c.count, c.position), kNoErr);
    EXPECT_EQ(Bytes(copied.begin(), copied.end() - 1), expected);
    EXPECT_EQ(copied.back(), 0xEE);
    Bytes inPlace = data;
    ASSERT_EQ(stream.Xor(inPlace.data(), c.count, c.position), kNoErr);
    EXPECT_EQ(inPlace, xored);
    Bytes into(c.count + 1, 0xEE);
    ASSERT_EQ(stream.XorInto(into.data(), data.data(), c.count, c.position), kNoErr);
    EXPECT_EQ(Bytes(into.begin(), into.end() - 1), xored);
    EXPECT_EQ(into.back(), 0xEE);
}

INSTANTIATE_TEST_SUITE_P(KeyStream, Engine, ::testing::ValuesIn(kEngineCases), CaseName());

// Both layers at once, each key held whole or read window by window: a held key is fetched a
// piece at a time beside a key read a whole window at a time.
struct LayersCase {
    const char* what;
    uint32_t masterLen;
    uint32_t userLen;
    uint32_t window;
};

const LayersCase kLayersCases[] = {
    {"both held", 100, 300, 40000},
    {"master held, user read", 100, 70000, 40000},
    {"master read, user held", 70000, 300, 40000},
    {"both read", 70000, 90000, 40000},
};

class BothLayers : public KeyFolderFixture, public ::testing::WithParamInterface<LayersCase> {};

TEST_P(BothLayers, EachMessageByteTakesBothStreams) {
    const LayersCase& c = GetParam();
    const uint64_t length = 150000;
    const uint64_t position = 7;
    const uint32_t count = 120000;
    const Bytes masterMaterial = testsupport::RandomBytes(c.masterLen, 81);
    const Bytes userMaterial = testsupport::RandomBytes(c.userLen, 82);
    const std::string masterPath = KeyPath("Master.126");
    const std::string userPath = KeyPath("Dupont.126");
    ASSERT_TRUE(testsupport::WriteKeyFile(masterPath, DupontKey(masterMaterial, 3)));
    ASSERT_TRUE(testsupport::WriteKeyFile(userPath, DupontKey(userMaterial, 5)));
    const Bytes data = testsupport::RandomBytes(count, 83);
    Bytes expected(count);
    for (uint32_t j = 0; j < count; ++j) {
        expected[j] =
            static_cast<unsigned char>(data[j] ^ masterMaterial[(3 + position + j) % c.masterLen] ^
                                       userMaterial[(5 + 224 + position + j) % c.userLen]);
    }

    FileRefPtr masterFile = Ref(masterPath);
    FileRefPtr userFile = Ref(userPath);
    ASSERT_EQ(masterFile->OpenDF(kOpenRead), kNoErr);
    ASSERT_EQ(userFile->OpenDF(kOpenRead), kNoErr);
    veldoran::TwoKeyStream layers;
    ASSERT_EQ(layers.Open({masterFile.get(), c.masterLen, 3}, {userFile.get(), c.userLen, 5},
                          length, c.window),
              kNoErr);
    Bytes inPlace = data;
    ASSERT_EQ(layers.Layer(inPlace.data(), count, position), kNoErr);
    EXPECT_EQ(inPlace, expected);
    Bytes into(count);
    ASSERT_EQ(layers.LayerInto(into.data(), data.data(), count, position), kNoErr);
    EXPECT_EQ(into, expected);
}

INSTANTIATE_TEST_SUITE_P(KeyStream, BothLayers, ::testing::ValuesIn(kLayersCases), CaseName());

using EngineAllocation = KeyFolderFixtureT<testsupport::FailingUtils>;

// The window's buffer comes from the utility object it is given: a refusal there is -7 before
// anything is read, and the buffer goes back through the same object.
TEST_F(EngineAllocation, TheWindowIsAllocatedThroughTheUtilityObject) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(testsupport::WriteKeyFile(path, DupontKey(CountingMaterial(100), 10)));
    FileRefPtr keyFile = Ref(path);
    ASSERT_EQ(keyFile->OpenDF(kOpenRead), kNoErr);
    {
        utils.FailCall(1);
        veldoran::KeyStreamWindow stream;
        EXPECT_EQ(stream.Open(&utils, keyFile.get(), 100, 10, 1000, 64), kMemErr);
        EXPECT_EQ(utils.calls(), 1);
    }
    EXPECT_EQ(utils.liveBlocks(), 0);
    {
        utils.FailCall(0);
        veldoran::KeyStreamWindow stream;
        ASSERT_EQ(stream.Open(&utils, keyFile.get(), 100, 10, 1000, 64), kNoErr);
        EXPECT_EQ(utils.liveBlocks(), 1);
    }
    EXPECT_EQ(utils.liveBlocks(), 0);
}

}  // namespace
}  // namespace cryptotest
