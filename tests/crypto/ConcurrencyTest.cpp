// Several processes encrypting with the same key file at once: the key file's lock makes every
// encryption take its own stretch of key material and count its own use. Both layers at once
// are the pipelines' to check, beside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CryptoFixture.h"
#include "support/ChildProcess.h"
#include "support/KeyUses.h"

namespace cryptotest {
namespace {

using testsupport::DecodeKeyHeader;
using testsupport::KeyHeaderFields;

constexpr int kProcesses = 4;
constexpr int kEncryptionsEach = 20;
constexpr int32_t kFirstOffset = 100;

using Use = testsupport::KeyUse;

// One child's work: encryptions of varied lengths, each frame's recorded position, length and
// count appended to its own result file. True when every call succeeded.
bool EncryptInChild(const std::string& keyFolder, const std::string& keyPath,
                    const std::string& resultPath, int child) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    utils.SetKeyFolderPath(keyFolder.c_str());
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    FILE* results = fopen(resultPath.c_str(), "w");
    bool ok = results != nullptr;
    for (int i = 0; ok && i < kEncryptionsEach; ++i) {
        const auto n = static_cast<uint32_t>(1 + (child * 31 + i * 17) % 60);
        const std::vector<unsigned char> data(n, static_cast<unsigned char>(i));
        TypFileRefUnix keyFile;
        keyFile.InitCreate(&utils);
        keyFile.SetPath(keyPath.c_str());
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        ok = crypto.Crypt(data.data(), n, &frame, &frameLength, &keyFile) == kNoErr;
        if (ok) {
            const KeyHeaderFields fields = DecodeKeyHeader(frame);
            fprintf(results, "%d %u %d\n", fields.keyOffset, n, fields.useCount);
        }
        utils.MyDisposeptr(&frame, frameLength);
    }
    if (results != nullptr) {
        ok = fclose(results) == 0 && ok;
    }
    return ok;
}

using ConcurrentCrypt = KeyFolderFixture;

TEST_F(ConcurrentCrypt, ProcessesGetDisjointKeyStreamsAndEveryUseCounts) {
    const std::string keyPath = KeyPath("Dupont.126");
    ASSERT_TRUE(testsupport::WriteKeyFile(
        keyPath, DupontKey(testsupport::RandomBytes(8192, 99), kFirstOffset, 0)));

    const std::vector<int> statuses = testsupport::RunTogether(kProcesses, [&](int child) {
        return EncryptInChild(tmp.path(), keyPath, tmp.File("uses" + std::to_string(child)), child);
    });
    for (const int status : statuses) {
        EXPECT_EQ(status, 0);
    }

    std::vector<Use> uses;
    for (int child = 0; child < kProcesses; ++child) {
        FILE* results = fopen(tmp.File("uses" + std::to_string(child)).c_str(), "r");
        ASSERT_NE(results, nullptr);
        Use use{};
        while (fscanf(results, "%d %d %d", &use.start, &use.length, &use.useCount) == 3) {
            uses.push_back(use);
        }
        fclose(results);
    }
    ASSERT_EQ(uses.size(), static_cast<size_t>(kProcesses * kEncryptionsEach));

    // Ordered by their counts, the encryptions tile the key material from the first position
    // on without gap or overlap: each starts where the one before ended.
    std::sort(uses.begin(), uses.end(),
              [](const Use& a, const Use& b) { return a.useCount < b.useCount; });
    int32_t expectedStart = kFirstOffset;
    for (size_t k = 0; k < uses.size(); ++k) {
        EXPECT_EQ(uses[k].useCount, static_cast<int32_t>(k + 1));
        EXPECT_EQ(uses[k].start, expectedStart) << "encryption " << k + 1;
        expectedStart = uses[k].start + uses[k].length;
    }
    KeyHeaderFields after;
    ASSERT_TRUE(testsupport::ReadKeyHeader(keyPath, &after));
    EXPECT_EQ(after.useCount, kProcesses * kEncryptionsEach);
    EXPECT_EQ(after.keyOffset, expectedStart);
}

}  // namespace
}  // namespace cryptotest
