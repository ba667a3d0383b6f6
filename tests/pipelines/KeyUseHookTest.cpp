// The key use hook: every encrypting pipeline shows it both key layers once per run, with the
// headers as locked and the key stream each layer will take, before anything is spent; its
// answer can end the run with nothing spent; and because it runs under the key locks, runs at
// the same time each see the header the one before them left.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MessageFixture.h"

namespace {

using messagetest::Bytes;
using messagetest::ToBytes;
using testsupport::ReadWholeFile;

struct SeenLayer {
    std::string path;
    Bytes header;
    int32_t keyLen;
    int32_t keyOffset;
    int32_t useCount;
    uint64_t streamLength;
};

// What a hook saw, and what it answers.
struct Recorder {
    std::vector<std::vector<SeenLayer>> calls;
    int32_t answer = kNoErr;
};

int32_t Record(void* context, const VeldoranKeyLayer* layers, uint32_t count) {
    auto* recorder = static_cast<Recorder*>(context);
    std::vector<SeenLayer> seen;
    for (uint32_t k = 0; k < count; ++k) {
        seen.push_back({layers[k].path, Bytes(layers[k].header, layers[k].header + 224),
                        layers[k].keyLen, layers[k].keyOffset, layers[k].useCount,
                        layers[k].streamLength});
    }
    recorder->calls.push_back(seen);
    return recorder->answer;
}

class KeyUseHook : public messagetest::MessageTest {
  protected:
    void TearDown() override { veldoranSetKeyUseHook(nullptr, nullptr); }

    struct Way {
        const char* label;
        uint64_t messageLength;  // the master layer's stream
        std::function<int32_t()> encrypt;
        std::string target;  // "" for a buffer
    };

    // "hello\n" through every encrypting pipeline; the text ones add the recipient block for
    // "a" (#DESTBEGIN#a,,#DESTEND#, 23 bytes).
    std::vector<Way> Ways() {
        const std::string source = folder_.File("hello.txt");
        testsupport::WriteWholeFile(source, ToBytes("hello\n"));
        const std::string textTarget = folder_.File("hello.vlx");
        const std::string binaryTarget = folder_.File("hello.vlb");
        return {
            {"crypter3", 29,
             [=] {
                 return crypter3(source.c_str(), textTarget.c_str(), "dupont", keyFolder_.c_str(),
                                 "a", "", "", 0);
             },
             textTarget},
            {"crypterMem3", 29,
             [=] {
                 char* out = nullptr;
                 const int32_t result =
                     crypterMem3("hello\n", &out, "dupont", keyFolder_.c_str(), "a", "", "", "");
                 free(out);
                 return result;
             },
             ""},
            {"crypterbinaire2", 6,
             [=] {
                 return crypterbinaire2(source.c_str(), binaryTarget.c_str(), "dupont",
                                        keyFolder_.c_str(), 0);
             },
             binaryTarget},
            {"crypterbinaireMem2", 6,
             [=] {
                 unsigned char* out = nullptr;
                 uint32_t outLength = 0;
                 const int32_t result =
                     crypterbinaireMem2(reinterpret_cast<const unsigned char*>("hello\n"), 6, &out,
                                        &outLength, "dupont", keyFolder_.c_str(), 0);
                 free(out);
                 return result;
             },
             ""},
        };
    }
};

TEST_F(KeyUseHook, EveryEncryptionShowsBothLockedHeaders) {
    for (const Way& way : Ways()) {
        SCOPED_TRACE(way.label);
        const Bytes master = ReadWholeFile(KeyPath("Master"));
        const Bytes user = ReadWholeFile(KeyPath("dupont"));
        const testsupport::KeyHeaderFields masterFields =
            testsupport::DecodeKeyHeader(master.data());
        const testsupport::KeyHeaderFields userFields = testsupport::DecodeKeyHeader(user.data());
        Recorder recorder;
        veldoranSetKeyUseHook(&Record, &recorder);
        ASSERT_EQ(way.encrypt(), kNoErr);
        ASSERT_EQ(recorder.calls.size(), 1u);
        const std::vector<SeenLayer>& layers = recorder.calls[0];
        ASSERT_EQ(layers.size(), 2u);
        EXPECT_EQ(layers[0].path, KeyPath("Master"));
        EXPECT_EQ(layers[0].header, Bytes(master.begin(), master.begin() + 224));
        EXPECT_EQ(layers[0].keyLen, masterFields.keyLen);
        EXPECT_EQ(layers[0].keyOffset, masterFields.keyOffset);
        EXPECT_EQ(layers[0].useCount, masterFields.useCount);
        EXPECT_EQ(layers[0].streamLength, way.messageLength);
        EXPECT_EQ(layers[1].path, KeyPath("dupont"));
        EXPECT_EQ(layers[1].header, Bytes(user.begin(), user.begin() + 224));
        EXPECT_EQ(layers[1].keyLen, userFields.keyLen);
        EXPECT_EQ(layers[1].keyOffset, userFields.keyOffset);
        EXPECT_EQ(layers[1].useCount, userFields.useCount);
        EXPECT_EQ(layers[1].streamLength, way.messageLength + 224);
        // The lengths shown are the ones spent.
        testsupport::KeyHeaderFields after;
        ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("Master"), &after));
        EXPECT_EQ(static_cast<uint64_t>(after.keyOffset),
                  (masterFields.keyOffset + way.messageLength) % 300);
        ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("dupont"), &after));
        EXPECT_EQ(static_cast<uint64_t>(after.keyOffset),
                  (userFields.keyOffset + way.messageLength + 224) % 500);
    }
}

TEST_F(KeyUseHook, ARefusalEndsTheRunWithNothingSpent) {
    for (const Way& way : Ways()) {
        SCOPED_TRACE(way.label);
        Recorder recorder;
        recorder.answer = 4321;
        veldoranSetKeyUseHook(&Record, &recorder);
        EXPECT_EQ(way.encrypt(), 4321);
        EXPECT_EQ(recorder.calls.size(), 1u);
        EXPECT_TRUE(KeysUntouched());
        if (!way.target.empty()) {
            EXPECT_FALSE(std::filesystem::exists(way.target));
        }
    }
    EXPECT_EQ(messagetest::Entries(folder_.path()), (std::set<std::string>{"keys", "hello.txt"}));
}

TEST_F(KeyUseHook, EachThreadHasItsOwnHook) {
    Recorder recorder;
    recorder.answer = 4321;
    veldoranSetKeyUseHook(&Record, &recorder);
    int32_t result = -1;
    std::thread other([&] { result = Ways()[3].encrypt(); });
    other.join();
    EXPECT_EQ(result, kNoErr);
    EXPECT_TRUE(recorder.calls.empty());
}

// Refuses a run whose layers would wrap, as a host that never reuses key material would.
int32_t RefuseWrap(void*, const VeldoranKeyLayer* layers, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        if (layers[k].streamLength >
            static_cast<uint64_t>(layers[k].keyLen) - static_cast<uint64_t>(layers[k].keyOffset)) {
            return kFrameTooLong;
        }
    }
    return kNoErr;
}

// Keys with room for one 100 000-byte message: of eight threads encrypting one each at the
// same time, exactly one is let through, and the keys advance once.
TEST_F(KeyUseHook, RunsAtTheSameTimeSeeEachOthersHeaders) {
    const uint32_t length = 100000;
    master_ = Key("Master", 150000, 0, 31);
    user_ = Key("dupont", 150000, 0, 32);
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Master"), master_));
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("dupont"), user_));
    const Bytes data = testsupport::RandomBytes(length, 33);
    std::vector<int32_t> results(8, -1);
    std::vector<std::thread> threads;
    for (int32_t& result : results) {
        threads.emplace_back([&] {
            veldoranSetKeyUseHook(&RefuseWrap, nullptr);
            unsigned char* out = nullptr;
            uint32_t outLength = 0;
            result = crypterbinaireMem2(data.data(), length, &out, &outLength, "dupont",
                                        keyFolder_.c_str(), 0);
            free(out);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), kNoErr), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), kFrameTooLong), 7);
    testsupport::KeyHeaderFields master;
    testsupport::KeyHeaderFields user;
    ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("Master"), &master));
    ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("dupont"), &user));
    EXPECT_EQ(master.keyOffset, static_cast<int32_t>(length));
    EXPECT_EQ(master.useCount, 1);
    EXPECT_EQ(user.keyOffset, static_cast<int32_t>(length + 224));
    EXPECT_EQ(user.useCount, 1);
}

}  // namespace
