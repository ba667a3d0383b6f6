// The two key layers shared by every encrypting pipeline: the outer frame against one computed
// here from the key files alone, the comments against the headers written, and no key material
// spent for a run that fails, whatever fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pipelines/TwoKeyEncryption.h"
#include "support/AllocationSweep.h"
#include "support/CurrentYear.h"
#include "support/ExpectedFrame.h"
#include "support/FailingUtils.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testsupport::KeyFileContents;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

// The frame a key as described gives for data: taken from its stored position, its use count
// raised by this encryption.
Bytes Frame(const KeyFileContents& key, const Bytes& data) {
    return testsupport::ExpectedFrame(key, key.keyOffset, key.useCount + 1, data);
}

class TwoKeyEncryption : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(folder_.File("Clefs"));
        master_.name = "Master";
        master_.year = testsupport::CurrentFullYear();
        master_.keyOffset = 250;
        master_.useCount = 9;
        master_.countingReserve = true;
        master_.material = testsupport::RandomBytes(300, 21);
        user_.name = "alice";
        user_.year = master_.year;
        user_.keyOffset = 3;
        user_.useCount = 41;
        user_.material = testsupport::RandomBytes(5000, 22);
        WriteKeys();
        request_.keyFolder = folder_.path().c_str();
        request_.user = "alice";
        yearText_ = testsupport::CurrentYearText();
        request_.yearText = yearText_.c_str();
    }

    void WriteKeys() {
        ASSERT_TRUE(testsupport::WriteKeyFile(MasterPath(), master_));
        ASSERT_TRUE(testsupport::WriteKeyFile(UserPath(), user_));
    }
    std::string MasterPath() const { return folder_.File("Clefs/Master." + YearText()); }
    std::string UserPath() const { return folder_.File("Clefs/alice." + YearText()); }
    static std::string YearText() { return testsupport::CurrentYearText(); }

    // Runs one encryption; the frame and the comments are kept for the checks.
    int32_t Encrypt(TypUtilsUnix* utils, const Bytes& message,
                    const veldoran::PrepareOutput& prepare = nullptr) {
        unsigned char* outer = nullptr;
        uint32_t outerLength = 0;
        char masterComment[veldoran::kKeyCommentSize];
        char userComment[veldoran::kKeyCommentSize];
        const int32_t result = veldoran::EncryptWithBothKeys(
            utils, request_, message.data(), static_cast<uint32_t>(message.size()), prepare, &outer,
            &outerLength, masterComment, userComment);
        frame_.assign(outer, outer + outerLength);
        utils->MyDisposeptr(&outer, outerLength);
        masterComment_ = masterComment;
        userComment_ = userComment;
        return result;
    }
    int32_t Encrypt(const Bytes& message, const veldoran::PrepareOutput& prepare = nullptr) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        return Encrypt(&utils, message, prepare);
    }

    static Bytes KeyBytes(const KeyFileContents& key) {
        Bytes bytes = testsupport::EncodeKeyHeader(key);
        bytes.insert(bytes.end(), key.material.begin(), key.material.end());
        return bytes;
    }

    testsupport::TempDir folder_;
    KeyFileContents master_;
    KeyFileContents user_;
    std::string yearText_;
    veldoran::TwoKeyRequest request_;
    Bytes frame_;
    std::string masterComment_;
    std::string userComment_;
};

TEST_F(TwoKeyEncryption, TheFrameIsBothLayersOverTheKeyFilesMaterial) {
    // Longer than the master key: its material repeats; the user layer starts near its end.
    const uint32_t seed = 7;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Bytes message = testsupport::RandomBytes(700, seed);
    ASSERT_EQ(Encrypt(message), kNoErr);
    EXPECT_EQ(frame_, Frame(user_, Frame(master_, message)));
    EXPECT_EQ(masterComment_, testsupport::KeyComment("Master", 10));
    EXPECT_EQ(userComment_, testsupport::KeyComment("alice", 42));

    testsupport::KeyHeaderFields master;
    testsupport::KeyHeaderFields user;
    ASSERT_TRUE(testsupport::ReadKeyHeader(MasterPath(), &master));
    ASSERT_TRUE(testsupport::ReadKeyHeader(UserPath(), &user));
    EXPECT_EQ(master.keyOffset, (250 + 700) % 300);
    EXPECT_EQ(master.useCount, 10);
    EXPECT_EQ(user.keyOffset, 3 + 700 + 224);
    EXPECT_EQ(user.useCount, 42);
}

// A user key longer than the block its stream passes through: the stream is read in pieces
// and wraps around the end of the material between two of them.
TEST_F(TwoKeyEncryption, ALongKeyStreamIsReadInPiecesAcrossItsEnd) {
    user_.material = testsupport::RandomBytes((3u << 19) + 7, 23);
    user_.keyOffset = static_cast<int32_t>(user_.material.size()) - 1000;
    WriteKeys();
    const Bytes message = testsupport::RandomBytes(2u << 20, 24);
    ASSERT_EQ(Encrypt(message), kNoErr);
    EXPECT_TRUE(frame_ == Frame(user_, Frame(master_, message)));
}

TEST_F(TwoKeyEncryption, AnEmptyMessageStillAdvancesBothCounts) {
    ASSERT_EQ(Encrypt({}), kNoErr);
    EXPECT_EQ(frame_, Frame(user_, Frame(master_, {})));
    testsupport::KeyHeaderFields master;
    ASSERT_TRUE(testsupport::ReadKeyHeader(MasterPath(), &master));
    EXPECT_EQ(master.keyOffset, 250);
    EXPECT_EQ(master.useCount, 10);
}

// prepare runs once, with the outer length, while nothing is spent yet; its failure is the
// result and spends nothing.
TEST_F(TwoKeyEncryption, APreparationThatFailsSpendsNothing) {
    const Bytes message(100, 'm');
    std::vector<uint32_t> lengths;
    const auto failing = [&](uint32_t outerLength) {
        lengths.push_back(outerLength);
        EXPECT_EQ(ReadWholeFile(MasterPath()), KeyBytes(master_));
        EXPECT_EQ(ReadWholeFile(UserPath()), KeyBytes(user_));
        return int32_t{kMemErr};
    };
    EXPECT_EQ(Encrypt(message, failing), kMemErr);
    EXPECT_EQ(lengths, std::vector<uint32_t>{100 + 448});
    EXPECT_TRUE(frame_.empty());
    EXPECT_EQ(masterComment_, "");
    EXPECT_EQ(userComment_, "");
    EXPECT_EQ(ReadWholeFile(MasterPath()), KeyBytes(master_));
    EXPECT_EQ(ReadWholeFile(UserPath()), KeyBytes(user_));
}

// A user key that cannot be used is found before anything is spent: the master key stays byte
// for byte as it was, prepare never runs, and the code names the cause.
TEST_F(TwoKeyEncryption, AnUnusableUserKeyLeavesTheMasterKeyAlone) {
    struct Case {
        const char* label;
        std::function<void(KeyFileContents*, Bytes*)> breakKey;  // on its contents, its bytes
        const char* user;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"missing", nullptr, "nobody", kFNFErr},
        {"no user name", nullptr, "", kFNFErr},
        {"the master key under another name", nullptr, "Master", kOtherErr},
        {"material cut short", [](KeyFileContents*, Bytes* bytes) { bytes->resize(2000); }, "alice",
         kOtherErr},
        {"header only", [](KeyFileContents*, Bytes* bytes) { bytes->resize(224); }, "alice",
         kOtherErr},
        {"header cut", [](KeyFileContents*, Bytes* bytes) { bytes->resize(100); }, "alice",
         kOtherErr},
        {"empty file", [](KeyFileContents*, Bytes* bytes) { bytes->clear(); }, "alice", kOtherErr},
        {"version 2", [](KeyFileContents* key, Bytes*) { key->version = 2; }, "alice",
         kBadKeyHeader},
        {"keyLen 0", [](KeyFileContents* key, Bytes*) { key->keyLen = 0; }, "alice",
         kOffsetOutOfRangeErr},
        {"keyOffset past keyLen", [](KeyFileContents* key, Bytes*) { key->keyOffset = 5001; },
         "alice", kOffsetOutOfRangeErr},
        {"keyOffset negative", [](KeyFileContents* key, Bytes*) { key->keyOffset = -1; }, "alice",
         kOffsetOutOfRangeErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        KeyFileContents broken = user_;
        Bytes bytes;
        if (testCase.breakKey) {
            // The header fields first, then the bytes made from them.
            Bytes ignored;
            testCase.breakKey(&broken, &ignored);
            bytes = KeyBytes(broken);
            testCase.breakKey(&broken, &bytes);
        } else {
            bytes = KeyBytes(user_);
        }
        ASSERT_TRUE(testsupport::WriteKeyFile(MasterPath(), master_));
        ASSERT_TRUE(WriteWholeFile(UserPath(), bytes));
        request_.user = testCase.user;
        bool prepared = false;
        EXPECT_EQ(Encrypt(Bytes(50, 'x'),
                          [&prepared](uint32_t) {
                              prepared = true;
                              return int32_t{kNoErr};
                          }),
                  testCase.result);
        EXPECT_FALSE(prepared);
        EXPECT_TRUE(frame_.empty());
        EXPECT_EQ(ReadWholeFile(MasterPath()), KeyBytes(master_));
        EXPECT_EQ(ReadWholeFile(UserPath()), bytes);
    }
}

TEST_F(TwoKeyEncryption, AMissingMasterKeyLeavesTheUserKeyAlone) {
    ASSERT_EQ(unlink(MasterPath().c_str()), 0);
    EXPECT_EQ(Encrypt(Bytes(10, 'x')), kFNFErr);
    EXPECT_EQ(ReadWholeFile(UserPath()), KeyBytes(user_));
}

TEST_F(TwoKeyEncryption, EveryAllocationFailureSpendsNothing) {
    testsupport::FailingUtils counting;
    ASSERT_EQ(Encrypt(&counting, Bytes(64, 'c')), kNoErr);
    const int calls = counting.calls();
    ASSERT_GT(calls, 0);
    WriteKeys();
    testsupport::SweepAllocationFailures(calls, [&](testsupport::FailingUtils& utils, int) {
        EXPECT_EQ(Encrypt(&utils, Bytes(64, 'c')), kMemErr);
        EXPECT_EQ(utils.liveBlocks(), 0);
        EXPECT_EQ(ReadWholeFile(MasterPath()), KeyBytes(master_));
        EXPECT_EQ(ReadWholeFile(UserPath()), KeyBytes(user_));
    });
}

TEST_F(TwoKeyEncryption, TheTraceKeepsItsOrderAndStopsWhereTheRunStopped) {
    request_.trace = 1;
    const Bytes message(10, 'x');
    testing::internal::CaptureStdout();
    ASSERT_EQ(Encrypt(message), kNoErr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Master Key: " + MasterPath() + "\nCrypt datalen2: 234\nGetKeyComment: " +
                  testsupport::KeyComment("Master", 10) + "\nUser Key: " + UserPath() +
                  "\nCrypt datalen: 458\nGetKeyComment: " + testsupport::KeyComment("alice", 42) +
                  "\n");

    request_.user = "nobody";
    testing::internal::CaptureStdout();
    ASSERT_EQ(Encrypt(message), kFNFErr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Master Key: " + MasterPath() + "\nUser Key: " + folder_.File("Clefs/nobody.") +
                  YearText() + "\n");
}

TEST_F(TwoKeyEncryption, KeyFilesAreRecognisedAsTargets) {
    ASSERT_EQ(symlink(UserPath().c_str(), folder_.File("link").c_str()), 0);
    ASSERT_EQ(link(MasterPath().c_str(), folder_.File("hard").c_str()), 0);
    ASSERT_TRUE(WriteWholeFile(folder_.File("other"), {'o'}));
    EXPECT_TRUE(veldoran::NamesAKeyFile(request_, MasterPath().c_str()));
    EXPECT_TRUE(veldoran::NamesAKeyFile(request_, UserPath().c_str()));
    EXPECT_TRUE(veldoran::NamesAKeyFile(request_, folder_.File("link").c_str()));
    EXPECT_TRUE(veldoran::NamesAKeyFile(request_, folder_.File("hard").c_str()));
    EXPECT_FALSE(veldoran::NamesAKeyFile(request_, folder_.File("other").c_str()));
    EXPECT_FALSE(veldoran::NamesAKeyFile(request_, folder_.File("new").c_str()));
    // A key file that does not exist yet is still recognised by its path.
    request_.user = "bob";
    EXPECT_TRUE(veldoran::NamesAKeyFile(request_, folder_.File("Clefs/bob." + YearText()).c_str()));
}

}  // namespace
