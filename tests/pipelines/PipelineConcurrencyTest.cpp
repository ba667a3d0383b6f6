// Every encrypting pipeline at once on the same key files: 8 processes of 50 encryptions each,
// each process going round the pipelines. The key files' locks must give every encryption its
// own stretch of both keys, count every use, and let each message's comments describe exactly
// the headers its own frames carry.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "EncryptingPipelines.h"
#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
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
        }
    }
    testsupport::ExpectTiled(masterUses, kFirstOffset, masterPath_);
    testsupport::ExpectTiled(userUses, kFirstOffset, userPath_);
}

}  // namespace
