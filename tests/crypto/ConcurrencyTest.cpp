// Several processes encrypting with the same key files at once: the key files' locks make every
// encryption take its own stretch of key material and count its own use, and with both layers
// every message's comments describe exactly the headers its frames carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CryptoFixture.h"
#include "pipelines/TwoKeyEncryption.h"
#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
#include "support/KeyUses.h"

namespace cryptotest {
namespace {

using testsupport::DecodeKeyHeader;
using testsupport::KeyHeaderFields;

constexpr int kProcesses = 4;
constexpr int kEncryptionsEach = 20;
constexpr int32_t kFirstOffset = 100;

using Use = testsupport::KeyUse;
using testsupport::ExpectTiled;

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

// Both layers, as every encrypting pipeline applies them: 8 processes of 50 messages each with
// one master key and one user key. Each child records, per message, both frames' recorded
// positions and counts, and whether the two comments handed back name exactly those counts.
constexpr int kTwoKeyProcesses = 8;
constexpr int kTwoKeyMessagesEach = 50;

std::string CommentFor(const KeyHeaderFields& header) {
    return "$VELDORAN initial, clef v1 " + header.name + "." + std::to_string(header.year - 1900) +
           " MID " + std::to_string(header.useCount) + "\n";
}

bool EncryptBothInChild(const std::string& keyFolder, const std::string& resultPath, int child) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    utils.SetKeyFolderPath(keyFolder.c_str());
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    const std::string year = testsupport::CurrentYearText();
    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder.c_str();
    request.user = "Dupont";
    request.yearText = year.c_str();
    FILE* results = fopen(resultPath.c_str(), "w");
    bool ok = results != nullptr;
    for (int i = 0; ok && i < kTwoKeyMessagesEach; ++i) {
        const auto n = static_cast<uint32_t>(1 + (child * 37 + i * 13) % 90);
        const std::vector<unsigned char> message(n, static_cast<unsigned char>(i));
        unsigned char* outer = nullptr;
        uint32_t outerLength = 0;
        char masterComment[veldoran::kKeyCommentSize];
        char userComment[veldoran::kKeyCommentSize];
        ok = veldoran::EncryptWithBothKeys(&utils, request, message.data(), n, nullptr, &outer,
                                           &outerLength, masterComment, userComment) == kNoErr;
        // The inner frame's header is under the user layer: removed with the library.
        unsigned char* inner = nullptr;
        uint32_t innerLength = 0;
        ok = ok && crypto.UnCrypt(outer, outerLength, &inner, &innerLength) == kNoErr;
        if (ok) {
            const KeyHeaderFields user = DecodeKeyHeader(outer);
            const KeyHeaderFields master = DecodeKeyHeader(inner);
            const bool commentsMatch =
                CommentFor(master) == masterComment && CommentFor(user) == userComment;
            fprintf(results, "%d %u %d %d %u %d %d\n", master.keyOffset, n, master.useCount,
                    user.keyOffset, innerLength, user.useCount, commentsMatch ? 1 : 0);
        }
        utils.MyDisposeptr(&inner, innerLength);
        utils.MyDisposeptr(&outer, outerLength);
    }
    if (results != nullptr) {
        ok = fclose(results) == 0 && ok;
    }
    return ok;
}

TEST_F(ConcurrentCrypt, BothLayersTileBothKeysAndEveryCommentMatchesItsFrames) {
    const std::string year = testsupport::CurrentYearText();
    testsupport::KeyFileContents master =
        DupontKey(testsupport::RandomBytes(40000, 98), kFirstOffset, 0);
    master.name = "Master";
    master.year = testsupport::CurrentFullYear();
    testsupport::KeyFileContents user =
        DupontKey(testsupport::RandomBytes(200000, 97), kFirstOffset, 0);
    user.year = master.year;
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Master." + year), master));
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Dupont." + year), user));

    const std::vector<int> statuses = testsupport::RunTogether(kTwoKeyProcesses, [&](int child) {
        return EncryptBothInChild(tmp.path(), tmp.File("both" + std::to_string(child)), child);
    });
    for (const int status : statuses) {
        EXPECT_EQ(status, 0);
    }

    std::vector<Use> masterUses;
    std::vector<Use> userUses;
    int mismatched = 0;
    for (int child = 0; child < kTwoKeyProcesses; ++child) {
        FILE* results = fopen(tmp.File("both" + std::to_string(child)).c_str(), "r");
        ASSERT_NE(results, nullptr);
        Use masterUse{};
        Use userUse{};
        int commentsMatch = 0;
        while (fscanf(results, "%d %d %d %d %d %d %d", &masterUse.start, &masterUse.length,
                      &masterUse.useCount, &userUse.start, &userUse.length, &userUse.useCount,
                      &commentsMatch) == 7) {
            masterUses.push_back(masterUse);
            userUses.push_back(userUse);
            mismatched += commentsMatch == 1 ? 0 : 1;
        }
        fclose(results);
    }
    ASSERT_EQ(masterUses.size(), static_cast<size_t>(kTwoKeyProcesses * kTwoKeyMessagesEach));
    EXPECT_EQ(mismatched, 0);
    ExpectTiled(masterUses, kFirstOffset, KeyPath("Master." + year));
    ExpectTiled(userUses, kFirstOffset, KeyPath("Dupont." + year));
}

}  // namespace
}  // namespace cryptotest
