// What every pipeline promises alike, checked once over all of them: a null argument is refused
// with -1 before anything else happens, a memory function clears its outputs first, and no key
// file changes; a file run that fails to write or to allocate keeps the old target, leaves no
// stray file, gives every block back and spends no key; without the trace flag nothing is
// printed.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "pipelines/BinaryPipelinesCore.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TextDecryptionCore.h"
#include "pipelines/TextEncryptionCore.h"
#include "platform/TargetWriter.h"
#include "support/AllocationSweep.h"
#include "support/FailingUtils.h"
#include "support/FolderEntries.h"
#include "support/FullDisk.h"
#include "support/KeyPairFixture.h"
#include "support/TraceCapture.h"
#include "veldoran.h"

namespace {

// One call with a null argument; out and outLength are the memory functions' outputs, set to
// non-null values before the call.
struct NullCall {
    std::function<int32_t(unsigned char** out, uint32_t* outLength)> call;
    bool clearsOutputs;  // a memory function, which clears *out and *outLength first
};

struct PipelineCalls {
    const char* name;
    std::vector<NullCall> calls;
};

// ctest lists each case by the pipeline's name.
void PrintTo(const PipelineCalls& pipeline, std::ostream* os) {
    *os << pipeline.name;
}

const unsigned char kByte = 0;

std::vector<PipelineCalls> Pipelines() {
    return {
        {"TextEncryption",
         {
             {[](unsigned char**, uint32_t*) {
                  return crypter3(nullptr, "t", "u", "", "", "", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypter3("s", "t", "u", "", nullptr, "", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) { return crypter2(nullptr, "u", "", "", "", "", 0); },
              false},
         }},
        {"TextDecryption",
         {
             {[](unsigned char**, uint32_t*) { return decrypter2(nullptr, "", 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypter2("m", nullptr, 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypter(nullptr); }, false},
         }},
        {"BinaryPipelines",
         {
             {[](unsigned char**, uint32_t*) { return crypterbinaire(nullptr, "dupont", "", 0); },
              false},
             {[](unsigned char**, uint32_t*) { return crypterbinaire("s", nullptr, "", 0); },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypterbinaire2("s", nullptr, "dupont", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypterbinaire2("s", "t", "dupont", nullptr, 0);
              },
              false},
             {[](unsigned char**, uint32_t*) { return decrypterbinaire(nullptr, "", 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypterbinaire("s.vlb", nullptr, 0); },
              false},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(nullptr, 1, out, outLength, "dupont", "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, out, outLength, nullptr, "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, out, outLength, "dupont", nullptr, 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return decrypterbinaireMem2(nullptr, 1, out, outLength, "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return decrypterbinaireMem2(&kByte, 1, out, outLength, nullptr, 0);
              },
              true},
             // The outputs themselves null: nothing to clear.
             {[](unsigned char**, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, nullptr, outLength, "dupont", "", 0);
              },
              false},
             {[](unsigned char** out, uint32_t*) {
                  return decrypterbinaireMem2(&kByte, 1, out, nullptr, "", 0);
              },
              false},
         }},
    };
}

class PipelineProperties : public testsupport::KeyPairTest,
                           public ::testing::WithParamInterface<PipelineCalls> {};

TEST_P(PipelineProperties, NullArgumentsAreRefused) {
    const std::vector<NullCall>& calls = GetParam().calls;
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        unsigned char* out = reinterpret_cast<unsigned char*>(1);
        uint32_t outLength = 1;
        EXPECT_EQ(calls[i].call(&out, &outLength), kOtherErr);
        if (calls[i].clearsOutputs) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(outLength, 0u);
        }
    }
    EXPECT_TRUE(MasterUntouched());
    EXPECT_TRUE(UserUntouched());
}

INSTANTIATE_TEST_SUITE_P(Pipelines, PipelineProperties, ::testing::ValuesIn(Pipelines()),
                         [](const ::testing::TestParamInfo<PipelineCalls>& pipeline) {
                             return std::string(pipeline.param.name);
                         });

// The paths one file run works on.
struct RunPaths {
    std::string source;
    std::string target;
    std::string keyFolder;
};

// Small chunks, so that a document of a few kilobytes takes several writes.
veldoran::StreamOptions SmallChunks() {
    veldoran::StreamOptions options;
    options.chunkSize = 450;
    return options;
}

// A document of several chunks, with line ends for the text pipelines to convert.
std::vector<unsigned char> Document() {
    std::vector<unsigned char> document = testsupport::RandomBytes(3000, 40);
    for (size_t i = 60; i < document.size(); i += 61) {
        document[i] = '\n';
    }
    return document;
}

struct FilePipeline {
    const char* name;
    const char* sourceName;
    const char* targetName;
    // Writes the run's source: the document, or for a decryption the document encrypted.
    void (*writeSource)(const RunPaths& paths);
    int32_t (*run)(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                   const RunPaths& paths, int32_t trace);
};

void PrintTo(const FilePipeline& pipeline, std::ostream* os) {
    *os << pipeline.name;
}

void WriteDocument(const RunPaths& paths) {
    ASSERT_TRUE(testsupport::WriteWholeFile(paths.source, Document()));
}

// The four file runs, each on the paths given.
using FileRun = int32_t (*)(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                            const RunPaths& paths, int32_t trace);

int32_t EncryptText(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                    const RunPaths& paths, int32_t trace) {
    const veldoran::StreamOptions options = SmallChunks();
    return EncryptTextFile(utils, calls, paths.source.c_str(), paths.target.c_str(), "dupont",
                           paths.keyFolder.c_str(), "a", "", "", trace, &options);
}

int32_t DecryptText(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                    const RunPaths& paths, int32_t trace) {
    const veldoran::StreamOptions options = SmallChunks();
    return DecryptTextFile(utils, calls, paths.source.c_str(), paths.keyFolder.c_str(), trace,
                           &options);
}

int32_t EncryptBinary(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                      const RunPaths& paths, int32_t trace) {
    const veldoran::StreamOptions options = SmallChunks();
    return EncryptBinaryFile(utils, calls, paths.source.c_str(), paths.target.c_str(), "dupont",
                             paths.keyFolder.c_str(), trace, &options);
}

int32_t DecryptBinary(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                      const RunPaths& paths, int32_t trace) {
    const veldoran::StreamOptions options = SmallChunks();
    return DecryptBinaryFile(utils, calls, paths.source.c_str(), paths.keyFolder.c_str(), trace,
                             &options);
}

// Writes the document encrypted by encrypt into paths.source, leaving no other file behind.
void WriteEncrypted(const RunPaths& paths, FileRun encrypt) {
    const std::string document = paths.source + ".document";
    WriteDocument({document, "", ""});
    TypUtilsUnix utils;
    ASSERT_EQ(encrypt(&utils, nullptr, {document, paths.source, paths.keyFolder}, 0), kNoErr);
    std::filesystem::remove(document);
}

std::vector<FilePipeline> FilePipelines() {
    return {
        {"TextEncryption", "letter.txt", "letter.msg", WriteDocument, EncryptText},
        {"TextDecryption", "letter.msg", "letter.msg.txt",
         [](const RunPaths& paths) { WriteEncrypted(paths, EncryptText); }, DecryptText},
        {"BinaryEncryption", "data.bin", "data.bin.vlb", WriteDocument, EncryptBinary},
        {"BinaryDecryption", "data.vlb", "data",
         [](const RunPaths& paths) { WriteEncrypted(paths, EncryptBinary); }, DecryptBinary},
    };
}

class FilePipelineProperties : public testsupport::KeyPairTest,
                               public ::testing::WithParamInterface<FilePipeline> {
  protected:
    void SetUp() override {
        KeyPairTest::SetUp();
        paths_ = {folder_.File(GetParam().sourceName), folder_.File(GetParam().targetName),
                  keyFolder_};
        GetParam().writeSource(paths_);
        // Making a decryption's source spent key material: compare with the keys as they are now.
        SnapshotKeys();
    }

    int32_t Run(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls = nullptr,
                int32_t trace = 0) {
        return GetParam().run(utils, calls, paths_, trace);
    }

    // The old target is in place; after a failed run it, the folder's entries and the keys must
    // be exactly as they were.
    void ExpectNothingChanged(const std::set<std::string>& entriesBefore) {
        EXPECT_EQ(testsupport::ReadWholeFile(paths_.target), kOldTarget);
        EXPECT_EQ(testsupport::Entries(folder_.path()), entriesBefore);
        EXPECT_TRUE(KeysUntouched());
    }

    const std::vector<unsigned char> kOldTarget = {'o', 'l', 'd', '\n'};
    RunPaths paths_;
};

TEST_P(FilePipelineProperties, AFailedWriteKeepsTheOldTargetAndSpendsNoKey) {
    veldoran::TargetWriterCalls writeFails = veldoran::TargetWriterCalls::System();
    writeFails.write = testsupport::FullDiskWrite;
    veldoran::TargetWriterCalls writeFailsMidway = veldoran::TargetWriterCalls::System();
    writeFailsMidway.write = testsupport::WriteThenFail;
    veldoran::TargetWriterCalls noRoom = veldoran::TargetWriterCalls::System();
    noRoom.reserve = testsupport::FullDiskReserve;
    const struct {
        const char* label;
        const veldoran::TargetWriterCalls* calls;
    } cases[] = {
        {"the first write fails", &writeFails},
        {"a write fails midway", &writeFailsMidway},
        {"no room can be set aside", &noRoom},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(testsupport::WriteWholeFile(paths_.target, kOldTarget));
        const std::set<std::string> entriesBefore = testsupport::Entries(folder_.path());
        testsupport::gWritesLeft = 2;
        TypUtilsUnix utils;
        EXPECT_EQ(Run(&utils, testCase.calls), kOtherErr);
        ExpectNothingChanged(entriesBefore);
    }
}

TEST_P(FilePipelineProperties, EveryAllocationFailureIsReportedAndLeaksNothing) {
    testsupport::FailingUtils counting;
    ASSERT_EQ(Run(&counting), kNoErr);
    EXPECT_EQ(counting.liveBlocks(), 0);
    const int calls = counting.calls();
    ASSERT_GT(calls, 0);
    // Back to where the counting run started.
    ASSERT_NO_FATAL_FAILURE(RestoreKeys());
    GetParam().writeSource(paths_);
    SnapshotKeys();

    testsupport::SweepAllocationFailures(calls, [&](testsupport::FailingUtils& utils, int) {
        ASSERT_TRUE(testsupport::WriteWholeFile(paths_.target, kOldTarget));
        const std::set<std::string> entriesBefore = testsupport::Entries(folder_.path());
        EXPECT_EQ(Run(&utils), kMemErr);
        EXPECT_EQ(utils.liveBlocks(), 0);
        ExpectNothingChanged(entriesBefore);
    });
}

TEST_P(FilePipelineProperties, NothingIsPrintedWithoutTheTraceFlag) {
    EXPECT_EQ(testsupport::Captured([&] {
                  TypUtilsUnix utils;
                  EXPECT_EQ(Run(&utils), kNoErr);
              }),
              "");
    // A failing run: the key folder is gone.
    std::filesystem::remove_all(keyFolder_);
    EXPECT_EQ(testsupport::Captured([&] {
                  TypUtilsUnix utils;
                  EXPECT_NE(Run(&utils), kNoErr);
              }),
              "");
}

INSTANTIATE_TEST_SUITE_P(FilePipelines, FilePipelineProperties,
                         ::testing::ValuesIn(FilePipelines()),
                         [](const ::testing::TestParamInfo<FilePipeline>& pipeline) {
                             return std::string(pipeline.param.name);
                         });

}  // namespace
