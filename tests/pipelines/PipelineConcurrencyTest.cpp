// Every encrypting pipeline at once on the same key files: 8 processes of 50 encryptions each,
// each process going round the pipelines. The key files' locks must give every encryption its
// own stretch of both keys, count every use, and let each message's comments describe exactly
// the headers its own frames carry; the key journal they share must record exactly the range
// of each message made in this process's library (the veldoran program keeps none). Below it, the
// two-layer engine the pipelines share, on its own from several processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "EncryptingPipelines.h"
#include "crypto/TypCryptoUnix.h"
#include "pipelines/TwoKeyEncryption.h"
#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
#include "support/JournalTiling.h"
#include "support/KeyFileWriter.h"
#include "support/KeyUses.h"
#include "support/TempDir.h"
#include "support/Valgrind.h"

namespace {

using pipelinerun::Bytes;
using pipelinerun::Pipeline;

constexpr int kProcesses = 8;
constexpr int kEncryptionsEach = 50;
constexpr int32_t kFirstOffset = 100;
constexpr Pipeline kPipelines[] = {Pipeline::kProgram, Pipeline::kTextFile, Pipeline::kMemory,
                                   Pipeline::kBinaryFile, Pipeline::kBinaryMemory};
constexpr size_t kPipelineCount = sizeof(kPipelines) / sizeof(kPipelines[0]);

Pipeline PipelineOf(int child, int i) {
    return kPipelines[static_cast<size_t>(child + i) % kPipelineCount];
}

// A document of its own for every encryption, of varied length.
std::string DocumentOf(int child, int i) {
    const auto filler = static_cast<size_t>((child * 37 + i * 13) % 200);
    return "lettre " + std::to_string(child) + "-" + std::to_string(i) + "\n" +
           std::string(filler, static_cast<char>('a' + (i % 26)));
}

class PipelineConcurrency : public ::testing::Test {
  protected:
    void SetUp() override {
        keyFolder_ = tmp_.File("keys/");
        std::filesystem::create_directories(keyFolder_ + "Clefs");
        const std::string year = testsupport::CurrentYearText();
        masterPath_ = keyFolder_ + "Clefs/Master." + year;
        userPath_ = keyFolder_ + "Clefs/dupont." + year;
        testsupport::KeyFileContents key;
        key.year = testsupport::CurrentFullYear();
        key.keyOffset = kFirstOffset;
        key.name = "Master";
        key.material = testsupport::RandomBytes(1 << 20, 41);
        ASSERT_TRUE(testsupport::WriteKeyFile(masterPath_, key));
        key.name = "dupont";
        key.material = testsupport::RandomBytes(1 << 20, 42);
        ASSERT_TRUE(testsupport::WriteKeyFile(userPath_, key));
        veldoranSetKeyJournal(tmp_.File("journal").c_str());
    }
    void TearDown() override { veldoranSetKeyJournal(nullptr); }

    // The sent records of the key named name, each once, as uses.
    std::vector<testsupport::KeyUse> Recorded(const std::string& name) const {
        bool sound = false;
        std::vector<testsupport::KeyUse> uses;
        for (const veldoran::JournalRecord& record :
             testsupport::ReadJournal(tmp_.File("journal"), &sound)) {
            if (veldoran::JournalKeyName(record) == name && record.kind == veldoran::kJournalSent) {
                uses.push_back({static_cast<int32_t>(record.start),
                                static_cast<int32_t>(record.length), record.useCountAfter});
            }
        }
        EXPECT_TRUE(sound);
        return uses;
    }

    pipelinerun::Job JobOf(int child, int i) const {
        const std::string name = std::to_string(child) + "-" + std::to_string(i);
        return {keyFolder_, "dupont", tmp_.File("source-" + name), tmp_.File("message-" + name)};
    }

    // One child's work; true when every encryption succeeded and its output was kept.
    bool EncryptInChild(int child) const {
        bool ok = true;
        for (int i = 0; ok && i < kEncryptionsEach; ++i) {
            const pipelinerun::Job job = JobOf(child, i);
            const std::string document = DocumentOf(child, i);
            ok = testsupport::WriteWholeFile(job.source, Bytes(document.begin(), document.end()));
            Bytes output;
            ok = ok && pipelinerun::Encrypt(PipelineOf(child, i), job, &output) == kNoErr;
            if (ok && !pipelinerun::WritesTarget(PipelineOf(child, i))) {
                ok = testsupport::WriteWholeFile(job.target, output);
            }
        }
        return ok;
    }

    testsupport::TempDir tmp_{testsupport::MemoryBackedTempParent()};
    std::string keyFolder_;
    std::string masterPath_;
    std::string userPath_;
};

TEST_F(PipelineConcurrency, MixedPipelinesTileBothKeysAndEveryMessageDecrypts) {
    if (testsupport::RunningOnValgrind()) {
        GTEST_SKIP() << "not under valgrind: the pipelines' memory paths are checked there by "
                        "their own tests";
    }
    const std::vector<int> statuses =
        testsupport::RunTogether(kProcesses, [this](int child) { return EncryptInChild(child); });
    for (const int status : statuses) {
        EXPECT_EQ(status, 0);
    }

    std::vector<testsupport::KeyUse> masterUses;
    std::vector<testsupport::KeyUse> userUses;
    std::vector<size_t> journalled;  // uses made by the library in a test process
    for (int child = 0; child < kProcesses; ++child) {
        for (int i = 0; i < kEncryptionsEach; ++i) {
            const Pipeline pipeline = PipelineOf(child, i);
            const std::string document = DocumentOf(child, i);
            SCOPED_TRACE(std::string(pipelinerun::Name(pipeline)) + ", message " +
                         std::to_string(child) + "-" + std::to_string(i));
            const pipelinerun::Opened opened = pipelinerun::Open(
                pipeline, keyFolder_, testsupport::ReadWholeFile(JobOf(child, i).target));
            ASSERT_TRUE(opened.ok);
            EXPECT_EQ(opened.document, Bytes(document.begin(), document.end()));
            EXPECT_EQ(opened.messageLength,
                      pipelinerun::MasterLayerLength(pipeline, document.size()));
            if (pipelinerun::WritesText(pipeline)) {
                EXPECT_EQ(opened.comments, pipelinerun::CommentFor(opened.master) +
                                               pipelinerun::CommentFor(opened.user) + "\n");
            }
            masterUses.push_back({opened.master.keyOffset,
                                  static_cast<int32_t>(opened.messageLength),
                                  opened.master.useCount});
            userUses.push_back({opened.user.keyOffset, static_cast<int32_t>(opened.innerLength),
                                opened.user.useCount});
            if (pipeline != Pipeline::kProgram) {
                journalled.push_back(masterUses.size() - 1);
            }
        }
    }
    testsupport::ExpectTiled(masterUses, kFirstOffset, masterPath_);
    testsupport::ExpectTiled(userUses, kFirstOffset, userPath_);
    const auto key = [](const testsupport::KeyUse& use) {
        return std::make_tuple(use.useCount, use.start, use.length);
    };
    for (const auto& [name, uses] :
         {std::make_pair("Master", &masterUses), std::make_pair("dupont", &userUses)}) {
        SCOPED_TRACE(name);
        std::set<std::tuple<int32_t, int32_t, int32_t>> expected;
        for (const size_t k : journalled) {
            expected.insert(key((*uses)[k]));
        }
        std::set<std::tuple<int32_t, int32_t, int32_t>> recorded;
        const std::vector<testsupport::KeyUse> records = Recorded(name);
        for (const testsupport::KeyUse& use : records) {
            recorded.insert(key(use));
        }
        EXPECT_EQ(records.size(), journalled.size());
        EXPECT_EQ(recorded, expected);
    }
}

// Both layers, as every encrypting pipeline applies them: 8 processes of 50 messages each with
// one master key and one user key. Each child records, per message, both frames' recorded
// positions and counts, and whether the two comments handed back name exactly those counts.
constexpr int kTwoKeyProcesses = 8;
constexpr int kTwoKeyMessagesEach = 50;

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
            const testsupport::KeyHeaderFields user = testsupport::DecodeKeyHeader(outer);
            const testsupport::KeyHeaderFields master = testsupport::DecodeKeyHeader(inner);
            const bool commentsMatch = pipelinerun::CommentFor(master) == masterComment &&
                                       pipelinerun::CommentFor(user) == userComment;
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

// A key of the current year whose header bytes no operation interprets are not zero and all
// differ in the reserve, so that a header copy that clears, drops or reorders any of them shows.
testsupport::KeyFileContents BothLayersKey(const std::string& name, size_t size, uint32_t seed) {
    testsupport::KeyFileContents contents;
    contents.name = name;
    contents.year = testsupport::CurrentFullYear();
    contents.material = testsupport::RandomBytes(size, seed);
    contents.keyOffset = kFirstOffset;
    contents.countingReserve = true;
    contents.tailFill = 0xC3;
    return contents;
}

// The held keys of the two-layer engine under several processes; a suite of its own, as the key
// folder is the temporary folder itself.
class ConcurrentCrypt : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(tmp.File("Clefs")); }
    std::string KeyPath(const std::string& fileName) const { return tmp.File("Clefs/" + fileName); }

    testsupport::TempDir tmp;
};

TEST_F(ConcurrentCrypt, BothLayersTileBothKeysAndEveryCommentMatchesItsFrames) {
    const std::string year = testsupport::CurrentYearText();
    const testsupport::KeyFileContents master = BothLayersKey("Master", 40000, 98);
    const testsupport::KeyFileContents user = BothLayersKey("Dupont", 200000, 97);
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Master." + year), master));
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Dupont." + year), user));

    const std::vector<int> statuses = testsupport::RunTogether(kTwoKeyProcesses, [&](int child) {
        return EncryptBothInChild(tmp.path(), tmp.File("both" + std::to_string(child)), child);
    });
    for (const int status : statuses) {
        EXPECT_EQ(status, 0);
    }

    std::vector<testsupport::KeyUse> masterUses;
    std::vector<testsupport::KeyUse> userUses;
    int mismatched = 0;
    for (int child = 0; child < kTwoKeyProcesses; ++child) {
        FILE* results = fopen(tmp.File("both" + std::to_string(child)).c_str(), "r");
        ASSERT_NE(results, nullptr);
        testsupport::KeyUse masterUse{};
        testsupport::KeyUse userUse{};
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
    testsupport::ExpectTiled(masterUses, kFirstOffset, KeyPath("Master." + year));
    testsupport::ExpectTiled(userUses, kFirstOffset, KeyPath("Dupont." + year));
}

}  // namespace
