// The binary pipelines end to end on tiny key files: encrypted files and buffers checked byte
// for byte against frames worked out here from the key files' own bytes, round trips, target
// names, the failure tables with what each failure leaves behind (key files, old targets, no
// temporary files, no output buffers), and the trace lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pipelines/BinaryPipelines.h"
#include "pipelines/BinaryPipelinesCore.h"
#include "platform/TargetWriter.h"
#include "support/AllocationSweep.h"
#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
#include "support/ExpectedFrame.h"
#include "support/FailingUtils.h"
#include "support/FolderEntries.h"
#include "support/FullDisk.h"
#include "support/KeyFileWriter.h"
#include "support/KeyPairFixture.h"
#include "support/TraceCapture.h"
#include "veldoran.h"

namespace {

using testsupport::Captured;
using testsupport::Entries;
using testsupport::FullDiskReserve;
using testsupport::FullDiskWrite;
using Bytes = std::vector<unsigned char>;
using testsupport::GetBigEndian32;
using testsupport::KeyFileContents;
using testsupport::kKeyHeaderBytes;
using testsupport::PutBigEndian32;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

// Where the key header keeps the fields a frame changes (the stored layout).
constexpr size_t kKeyOffsetAt = 92;
constexpr size_t kUseCountAt = 96;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A frame built from a key description, for frames no key file of the test would make.
Bytes Frame(const KeyFileContents& key, int32_t start, const Bytes& data) {
    return testsupport::ExpectedFrame(key, start, key.useCount, data);
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// Runs a piece of a test with another current directory, for the relative names that decide
// where decrypterbinaire writes.
void InFolder(const std::string& folder, const std::function<void()>& run) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    run();
    std::filesystem::current_path(previous);
}

// What a memory function handed back, copied, with the buffer released as callers must.
struct Output {
    int32_t result = 0;
    bool cleared = false;  // *out null and *outLength 0
    Bytes bytes;
};

Output Take(int32_t result, unsigned char* out, uint32_t outLength) {
    Output output;
    output.result = result;
    output.cleared = out == nullptr && outLength == 0;
    if (out != nullptr) {
        output.bytes.assign(out, out + outLength);
    }
    free(out);
    return output;
}

class BinaryPipelines : public testsupport::KeyPairTest {
  protected:
    // Every reserved byte differs, so that a moved or reordered byte of the header shows.
    KeyFileContents UserKey() const override {
        KeyFileContents key = KeyPairTest::UserKey();
        key.countingReserve = true;
        return key;
    }

    // The outer frame expected for data from the key files as they stood before the run.
    Bytes ExpectedFrame(const Bytes& data) const {
        return testsupport::ExpectedFrameFromKeyFile(
            userBefore_, testsupport::ExpectedFrameFromKeyFile(masterBefore_, data));
    }

    // Both key files advanced by one encryption of dataLength bytes: position moved on by what
    // each layer encrypted (wrapping around), use count raised, every other byte as it was.
    void ExpectKeysAdvancedBy(size_t dataLength) const {
        const struct {
            const char* label;
            std::string path;
            const Bytes& before;
            size_t encrypted;
        } keys[] = {{"master", MasterPath(), masterBefore_, dataLength},
                    {"user", UserPath(), userBefore_, dataLength + kKeyHeaderBytes}};
        for (const auto& key : keys) {
            SCOPED_TRACE(key.label);
            Bytes expected = key.before;
            const size_t keyLen = expected.size() - kKeyHeaderBytes;
            PutBigEndian32(&expected[kKeyOffsetAt],
                           static_cast<uint32_t>(
                               (GetBigEndian32(&expected[kKeyOffsetAt]) + key.encrypted) % keyLen));
            PutBigEndian32(&expected[kUseCountAt], GetBigEndian32(&expected[kUseCountAt]) + 1);
            EXPECT_EQ(ReadWholeFile(key.path), expected);
        }
    }

    Output EncryptBuffer(const Bytes& data, const char* user = "dupont") const {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        const int32_t result = crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()),
                                                  &out, &outLength, user, keyFolder_.c_str(), 0);
        return Take(result, out, outLength);
    }

    Output DecryptBuffer(const Bytes& frame, const std::string& keyFolder) const {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        const int32_t result =
            decrypterbinaireMem2(frame.data(), static_cast<uint32_t>(frame.size()), &out,
                                 &outLength, keyFolder.c_str(), 0);
        return Take(result, out, outLength);
    }
    Output DecryptBuffer(const Bytes& frame) const { return DecryptBuffer(frame, keyFolder_); }

    int32_t EncryptFile(const std::string& source, const std::string& target,
                        const char* user = "dupont") const {
        return crypterbinaire2(source.c_str(), target.c_str(), user, keyFolder_.c_str(), 0);
    }
};

struct SizeCase {
    const char* label;
    size_t size;
};

const SizeCase kSizes[] = {
    {"empty", 0},
    {"one byte", 1},
    {"odd length, both keys wrapping", 777},
    // Several read pieces of the source, and blocks large enough for the pipelines' reuse.
    {"large", (size_t{8} << 20) + 3},
};

TEST_F(BinaryPipelines, AFileEncryptsToTheOuterFrameAndBack) {
    for (const SizeCase& size : kSizes) {
        SCOPED_TRACE(size.label);
        WriteKeys();
        const Bytes data = testsupport::RandomBytes(size.size, 7);
        const std::string source = folder_.File("data.bin");
        const std::string target = folder_.File("data.bin.vlb");
        ASSERT_TRUE(WriteWholeFile(source, data));

        ASSERT_EQ(EncryptFile(source, target), kNoErr);
        const Bytes written = ReadWholeFile(target);
        ASSERT_EQ(written.size(), size.size + 448);
        // The user key header's version, in stored order.
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0, 0, 0, 1}));
        EXPECT_TRUE(written == ExpectedFrame(data));
        ExpectKeysAdvancedBy(size.size);
        EXPECT_EQ(ReadWholeFile(source), data);

        // Decryption writes every byte back and leaves the key files alone.
        std::filesystem::remove(source);
        const Bytes masterAfter = ReadWholeFile(MasterPath());
        const Bytes userAfter = ReadWholeFile(UserPath());
        ASSERT_EQ(decrypterbinaire(target.c_str(), keyFolder_.c_str(), 0), kNoErr);
        EXPECT_TRUE(ReadWholeFile(source) == data);
        EXPECT_EQ(ReadWholeFile(MasterPath()), masterAfter);
        EXPECT_EQ(ReadWholeFile(UserPath()), userAfter);
    }
}

TEST_F(BinaryPipelines, ABufferEncryptsToTheOuterFrameAndBack) {
    for (const SizeCase& size : kSizes) {
        SCOPED_TRACE(size.label);
        WriteKeys();
        const Bytes data = testsupport::RandomBytes(size.size, 8);
        const Output encrypted = EncryptBuffer(data);
        ASSERT_EQ(encrypted.result, kNoErr);
        ASSERT_EQ(encrypted.bytes.size(), size.size + 448);
        EXPECT_TRUE(encrypted.bytes == ExpectedFrame(data));
        ExpectKeysAdvancedBy(size.size);

        const Output decrypted = DecryptBuffer(encrypted.bytes);
        ASSERT_EQ(decrypted.result, kNoErr);
        EXPECT_TRUE(decrypted.bytes == data);
    }
}

// Nothing of the text pipelines applies: bytes that look like a recipient block come back.
TEST_F(BinaryPipelines, DataHoldingTheRecipientMarkerComesBackWhole) {
    Bytes data = ToBytes("archive header\n#DESTBEGIN#a,b,c#DESTEND#\n");
    const Bytes tail = testsupport::RandomBytes(100, 9);
    data.insert(data.end(), tail.begin(), tail.end());
    const std::string source = folder_.File("notes.log");
    ASSERT_TRUE(WriteWholeFile(source, data));
    ASSERT_EQ(crypterbinaire(source.c_str(), "dupont", keyFolder_.c_str(), 0), kNoErr);
    std::filesystem::remove(source);
    ASSERT_EQ(decrypterbinaire((source + ".vlb").c_str(), keyFolder_.c_str(), 0), kNoErr);
    EXPECT_EQ(ReadWholeFile(source), data);

    const Output decrypted = DecryptBuffer(ReadWholeFile(source + ".vlb"));
    EXPECT_EQ(decrypted.result, kNoErr);
    EXPECT_EQ(decrypted.bytes, data);
}

TEST_F(BinaryPipelines, CrypterbinaireAddsVlbAndDecryptionTakesItOff) {
    const Bytes data = testsupport::RandomBytes(1000, 10);
    const std::string source = folder_.File("report.pdf");
    ASSERT_TRUE(WriteWholeFile(source, data));
    ASSERT_EQ(crypterbinaire(source.c_str(), "dupont", keyFolder_.c_str(), 0), kNoErr);
    EXPECT_EQ(ReadWholeFile(source + ".vlb"), ExpectedFrame(data));
    EXPECT_EQ(Entries(folder_.path()),
              (std::set<std::string>{"keys", "report.pdf", "report.pdf.vlb"}));

    ASSERT_TRUE(WriteWholeFile(source, ToBytes("older report")));
    ASSERT_EQ(decrypterbinaire((source + ".vlb").c_str(), keyFolder_.c_str(), 0), kNoErr);
    EXPECT_EQ(ReadWholeFile(source), data);
    EXPECT_EQ(Entries(folder_.path()),
              (std::set<std::string>{"keys", "report.pdf", "report.pdf.vlb"}));
}

// The decrypted file is the encrypted file's name less its last four characters, whatever they
// are; a name of four characters or fewer is decrypted in place, as one step.
TEST_F(BinaryPipelines, DecryptionNamesItsTargetFromTheSource) {
    struct Case {
        std::string source;
        std::string target;
    };
    const std::vector<Case> cases = {
        {"report.pdf.vlb", "report.pdf"},
        {"notes.bin", "notes"},
        {"x.vlb", "x"},
        {"abcd", "abcd"},
        {"abc", "abc"},
        {"a", "a"},
    };
    const Bytes data = testsupport::RandomBytes(333, 13);
    const Output encrypted = EncryptBuffer(data);
    ASSERT_EQ(encrypted.result, kNoErr);
    const std::string work = folder_.File("work/");
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.source);
        std::filesystem::remove_all(work);
        std::filesystem::create_directory(work);
        ASSERT_TRUE(WriteWholeFile(work + testCase.source, encrypted.bytes));
        int32_t result = kOtherErr;
        InFolder(work, [&] {
            result = decrypterbinaire(testCase.source.c_str(), keyFolder_.c_str(), 0);
        });
        EXPECT_EQ(result, kNoErr);
        EXPECT_EQ(ReadWholeFile(work + testCase.target), data);
        // No temporary file stays behind, in place or not.
        EXPECT_EQ(Entries(work), (std::set<std::string>{testCase.source, testCase.target}));
    }
}

// A frame is a frame, whichever pipeline made it: buffers and files decrypt each other's, and
// the text pipeline's frame (under its armour) is the same two-layer frame.
TEST_F(BinaryPipelines, BinaryAndTextFramesAreTheSameFrames) {
    const Bytes data = testsupport::RandomBytes(4321, 14);

    const Output fromBuffer = EncryptBuffer(data);
    ASSERT_EQ(fromBuffer.result, kNoErr);
    const std::string bufferFrame = folder_.File("buffer.bin.vlb");
    ASSERT_TRUE(WriteWholeFile(bufferFrame, fromBuffer.bytes));
    ASSERT_EQ(decrypterbinaire(bufferFrame.c_str(), keyFolder_.c_str(), 0), kNoErr);
    EXPECT_EQ(ReadWholeFile(folder_.File("buffer.bin")), data);

    const std::string source = folder_.File("file.bin");
    ASSERT_TRUE(WriteWholeFile(source, data));
    ASSERT_EQ(EncryptFile(source, source + ".vlb"), kNoErr);
    const Output fromFile = DecryptBuffer(ReadWholeFile(source + ".vlb"));
    EXPECT_EQ(fromFile.result, kNoErr);
    EXPECT_EQ(fromFile.bytes, data);

    // "abc" needs no conversion to the interchange form; the recipient block follows it.
    const std::string letter = folder_.File("letter.txt");
    ASSERT_TRUE(WriteWholeFile(letter, ToBytes("abc")));
    ASSERT_EQ(crypter3(letter.c_str(), folder_.File("letter.msg").c_str(), "dupont",
                       keyFolder_.c_str(), "a", "", "", 0),
              kNoErr);
    const Bytes message = ReadWholeFile(folder_.File("letter.msg"));
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII binASCII;
    binASCII.InitCreate(&utils);
    unsigned char* textFrame = nullptr;
    uint32_t textFrameLength = 0;
    ASSERT_EQ(binASCII.ASCIIToBin(message.data(), static_cast<uint32_t>(message.size()), &textFrame,
                                  &textFrameLength),
              kNoErr);
    const Output fromText = DecryptBuffer(Bytes(textFrame, textFrame + textFrameLength));
    utils.MyDisposeptr(&textFrame, textFrameLength);
    EXPECT_EQ(fromText.result, kNoErr);
    EXPECT_EQ(fromText.bytes, ToBytes("abc#DESTBEGIN#a,,#DESTEND#"));
}

// Every encryption failure but a faulty user key (below): its code, the old target as it was,
// no new file, and neither key file touched.
TEST_F(BinaryPipelines, EncryptionFailureTable) {
    const Bytes oldTarget = ToBytes("previous frame");
    const Bytes data = testsupport::RandomBytes(50, 15);
    const std::string longName(300, 'n');
    const std::string source = folder_.File("data.bin");
    const std::string target = folder_.File("data.bin.vlb");
    struct Case {
        const char* label;
        std::string source;
        std::string target;
        std::string keyFolder;
        std::string user;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"missing source", folder_.File("none.bin"), target, keyFolder_, "dupont", kOtherErr},
        {"source is a folder", folder_.File("keys"), target, keyFolder_, "dupont", kOtherErr},
        {"missing master key", source, target, folder_.File("empty/"), "dupont", kFNFErr},
        {"key folder without its slash", source, target,
         keyFolder_.substr(0, keyFolder_.size() - 1), "dupont", kFNFErr},
        {"source path too long", folder_.File(longName), target, keyFolder_, "dupont", kOtherErr},
        {"target path too long", source, folder_.File(longName), keyFolder_, "dupont", kOtherErr},
        {"user key path too long", source, target, keyFolder_, longName, kOtherErr},
        {"master key path too long", source, target, folder_.File(longName) + "/", "dupont",
         kOtherErr},
        {"target is a folder", source, folder_.File("keys"), keyFolder_, "dupont", kOtherErr},
        {"target in a missing folder", source, folder_.File("nowhere/data.bin.vlb"), keyFolder_,
         "dupont", kOtherErr},
        {"target is the master key file", source, MasterPath(), keyFolder_, "dupont", kOtherErr},
        {"target is the user key file", source, UserPath(), keyFolder_, "dupont", kOtherErr},
        {"source and target the same, master key missing", source, source, folder_.File("empty/"),
         "dupont", kFNFErr},
    };
    std::filesystem::create_directories(folder_.File("empty/Clefs"));
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(source, data));
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        const std::set<std::string> entriesBefore = Entries(folder_.path());
        EXPECT_EQ(crypterbinaire2(testCase.source.c_str(), testCase.target.c_str(),
                                  testCase.user.c_str(), testCase.keyFolder.c_str(), 0),
                  testCase.result);
        EXPECT_EQ(ReadWholeFile(source), data);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()), entriesBefore);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
    }
}

// A run that fails spends no key material: a user key that is missing or cannot be used is
// found before the master key is advanced, for files and buffers alike, and a failed buffer
// run hands back nothing (no frame that could hold the data or key stream in the clear).
TEST_F(BinaryPipelines, AMissingOrFaultyUserKeyLeavesTheMasterKeyUnchanged) {
    KeyFileContents negativeLength = user_;
    negativeLength.keyLen = -5;
    struct Case {
        const char* label;
        // Writes the user key file as the case needs it; empty: no user key file.
        std::function<bool()> writeUserKey;
        int32_t result;
    };
    const std::string userPath = UserPath();
    const std::vector<Case> cases = {
        {"missing", [&] { return std::filesystem::remove(userPath); }, kFNFErr},
        {"shorter than its header", [&] { return WriteWholeFile(userPath, Bytes(100, 0x42)); },
         kOtherErr},
        {"negative key length", [&] { return testsupport::WriteKeyFile(userPath, negativeLength); },
         kOffsetOutOfRangeErr},
    };
    const Bytes data = testsupport::RandomBytes(64, 16);
    const std::string source = folder_.File("data.bin");
    const std::string target = folder_.File("data.bin.vlb");
    ASSERT_TRUE(WriteWholeFile(source, data));
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        WriteKeys();
        ASSERT_TRUE(testCase.writeUserKey());
        const Bytes userBefore = ReadWholeFile(userPath);

        EXPECT_EQ(EncryptFile(source, target), testCase.result);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_EQ(ReadWholeFile(userPath), userBefore);
        EXPECT_FALSE(std::filesystem::exists(target));
        EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"data.bin", "keys"}));

        const Output output = EncryptBuffer(data);
        EXPECT_EQ(output.result, testCase.result);
        EXPECT_TRUE(output.cleared);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_EQ(ReadWholeFile(userPath), userBefore);
    }
}

// Every decryption failure, from a file and from a buffer: its code, the old target as it was,
// no output buffer, nothing left allocated, and no key file written.
TEST_F(BinaryPipelines, DecryptionFailureTable) {
    const Bytes data = testsupport::RandomBytes(100, 17);
    const Bytes inner = Frame(master_, 3, data);
    KeyFileContents stranger = user_;
    stranger.name = "stranger";
    KeyFileContents secondVersion = user_;
    secondVersion.version = 2;
    KeyFileContents innerSecondVersion = master_;
    innerSecondVersion.version = 2;
    struct Case {
        const char* label;
        Bytes frame;
        std::string keyFolder;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"empty", {}, keyFolder_, kFrameTooShort},
        {"shorter than a key header", Bytes(223, 0), keyFolder_, kFrameTooShort},
        {"inner frame shorter than a key header", Frame(user_, 0, Bytes(100, 1)), keyFolder_,
         kFrameTooShort},
        {"outer header not of version 1", Frame(secondVersion, 0, inner), keyFolder_,
         kBadKeyHeader},
        {"inner header not of version 1", Frame(user_, 0, Frame(innerSecondVersion, 3, data)),
         keyFolder_, kBadKeyHeader},
        {"key file of the frame not found", Frame(stranger, 0, inner), keyFolder_, KeyNotFoundErr},
        {"key folder without the keys", Frame(user_, 0, inner), folder_.File("empty/"),
         KeyNotFoundErr},
        {"position beyond the key material", Frame(user_, 501, inner), keyFolder_,
         kOffsetOutOfRangeErr},
        {"key folder path too long", Frame(user_, 0, inner), std::string(300, 'k') + "/",
         kOtherErr},
    };
    const Bytes oldTarget = ToBytes("previous data");
    const std::string source = folder_.File("data.bin.vlb");
    const std::string target = folder_.File("data.bin");
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(source, testCase.frame));
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        EXPECT_EQ(decrypterbinaire(source.c_str(), testCase.keyFolder.c_str(), 0), testCase.result);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()),
                  (std::set<std::string>{"data.bin", "data.bin.vlb", "keys"}));

        const Output output = DecryptBuffer(testCase.frame, testCase.keyFolder);
        EXPECT_EQ(output.result, testCase.result);
        EXPECT_TRUE(output.cleared);

        testsupport::FailingUtils counting;
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        EXPECT_EQ(DecryptBinaryBuffer(&counting, testCase.frame.data(),
                                      static_cast<uint32_t>(testCase.frame.size()), &out,
                                      &outLength, testCase.keyFolder.c_str(), 0),
                  testCase.result);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(counting.liveBlocks(), 0);

        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
    }

    // A source that is not there, or whose path does not fit.
    EXPECT_EQ(decrypterbinaire(folder_.File("none.vlb").c_str(), keyFolder_.c_str(), 0), kOtherErr);
    EXPECT_EQ(decrypterbinaire(folder_.File(std::string(300, 'n')).c_str(), keyFolder_.c_str(), 0),
              kOtherErr);
    EXPECT_EQ(ReadWholeFile(target), oldTarget);
}

// An empty buffer may come without a pointer.
TEST_F(BinaryPipelines, AnEmptyBufferNeedsNoData) {
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    ASSERT_EQ(crypterbinaireMem2(nullptr, 0, &out, &outLength, "dupont", keyFolder_.c_str(), 0),
              kNoErr);
    const Output output = Take(kNoErr, out, outLength);
    EXPECT_EQ(output.bytes, ExpectedFrame({}));
}

// Sources are only read: a file the user may read but not write encrypts, and its encrypted
// form decrypts. Run as nobody, since file permissions do not bind the superuser.
TEST_F(BinaryPipelines, AReadOnlySourceIsProcessed) {
    const Bytes data = testsupport::RandomBytes(500, 18);
    const std::string source = folder_.File("data.bin");
    ASSERT_TRUE(WriteWholeFile(source, data));
    ASSERT_EQ(chmod(source.c_str(), 0444), 0);
    for (const std::string& path : {folder_.path(), keyFolder_, keyFolder_ + "Clefs/"}) {
        ASSERT_EQ(chmod(path.c_str(), 0777), 0);
    }
    for (const std::string& path : {MasterPath(), UserPath()}) {
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    }
    const std::string encrypted = folder_.File("data.bin.vlb");
    const std::string decrypted = folder_.File("copy.bin");

    const int status = testsupport::RunAsUnprivileged([&]() {
        // The source must be readable and not writable for this user, or nothing is shown.
        if (access(source.c_str(), R_OK) != 0 || access(source.c_str(), W_OK) == 0) {
            return 100;
        }
        if (EncryptFile(source, encrypted) != kNoErr || chmod(encrypted.c_str(), 0444) != 0) {
            return 1;
        }
        const std::filesystem::path copyFrame = decrypted + ".vlb";
        std::error_code error;
        std::filesystem::copy_file(encrypted, copyFrame, error);
        if (error || chmod(copyFrame.c_str(), 0444) != 0) {
            return 2;
        }
        return decrypterbinaire(copyFrame.c_str(), keyFolder_.c_str(), 0) == kNoErr ? 0 : 3;
    });
    if (status == testsupport::kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadWholeFile(decrypted), data);
}

// Data too large for the 32-bit lengths is refused before memory or keys are used. Sparse
// files: no disk space is taken.
TEST_F(BinaryPipelines, OversizedDataIsRefusedBeforeAnyKey) {
    const std::string path = folder_.File("huge.bin");
    auto makeSparse = [&](off_t size) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    };
    struct Case {
        const char* label;
        off_t size;
        int32_t result;
    };
    const std::vector<Case> cases = {
        // Its frame would reach 2^31 bytes.
        {"2^31 - 448 bytes", off_t{2147483200}, kFrameTooLong},
        // Its length does not fit a file reference's 32-bit count at all.
        {"3 GB", off_t{3000000000LL}, kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        makeSparse(testCase.size);
        EXPECT_EQ(EncryptFile(path, path + ".vlb"), testCase.result);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
        EXPECT_FALSE(std::filesystem::exists(path + ".vlb"));
    }
    // Nor can such a file be a frame.
    EXPECT_EQ(decrypterbinaire(path.c_str(), keyFolder_.c_str(), 0), kOtherErr);
    EXPECT_FALSE(std::filesystem::exists(folder_.File("huge")));
    std::filesystem::remove(path);

    // A buffer of that length is refused before a byte of it is read.
    const unsigned char byte = 0;
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    EXPECT_EQ(
        crypterbinaireMem2(&byte, 2147483200u, &out, &outLength, "dupont", keyFolder_.c_str(), 0),
        kFrameTooLong);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(MasterUntouched());
    EXPECT_TRUE(UserUntouched());
}

// A target that cannot be written: the old target stays exactly as it was (the source itself
// for an in-place decryption) and no temporary file is left. A full disk is found before any
// key is spent.
TEST_F(BinaryPipelines, AFailedWriteLeavesTheOldTargetAndNoTemporaryFile) {
    const Bytes data = testsupport::RandomBytes(200, 19);
    const Bytes oldTarget = ToBytes("previous frame");
    const std::string source = folder_.File("data.bin");
    const std::string target = folder_.File("data.bin.vlb");
    const std::set<std::string> entries = {"data.bin", "data.bin.vlb", "keys"};
    ASSERT_TRUE(WriteWholeFile(source, data));

    veldoran::TargetWriterCalls failingWrite = veldoran::TargetWriterCalls::System();
    failingWrite.write = FullDiskWrite;
    veldoran::TargetWriterCalls fullDisk = veldoran::TargetWriterCalls::System();
    fullDisk.reserve = FullDiskReserve;
    for (const veldoran::TargetWriterCalls* calls : {&failingWrite, &fullDisk}) {
        SCOPED_TRACE(calls == &fullDisk ? "no space to set aside" : "write fails");
        WriteKeys();
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        TypUtilsUnix utils;
        EXPECT_EQ(EncryptBinaryFile(&utils, calls, source.c_str(), target.c_str(), "dupont",
                                    keyFolder_.c_str(), 0),
                  kOtherErr);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()), entries);
        if (calls == &fullDisk) {
            EXPECT_TRUE(MasterUntouched());
            EXPECT_TRUE(UserUntouched());
        }
    }

    // Decrypted in place: the encrypted file must survive.
    const Output encrypted = EncryptBuffer(data);
    ASSERT_EQ(encrypted.result, kNoErr);
    const std::string work = folder_.File("work/");
    std::filesystem::create_directory(work);
    ASSERT_TRUE(WriteWholeFile(work + "abcd", encrypted.bytes));
    for (const veldoran::TargetWriterCalls* calls : {&failingWrite, &fullDisk}) {
        SCOPED_TRACE(calls == &fullDisk ? "in place, no space to set aside" : "in place, write");
        int32_t result = kNoErr;
        InFolder(work, [&] {
            TypUtilsUnix utils;
            result = DecryptBinaryFile(&utils, calls, "abcd", keyFolder_.c_str(), 0);
        });
        EXPECT_EQ(result, kOtherErr);
        EXPECT_EQ(ReadWholeFile(work + "abcd"), encrypted.bytes);
        EXPECT_EQ(Entries(work), std::set<std::string>{"abcd"});
    }
}

// Every allocation of every pipeline may fail: the run reports -7, gives every block back,
// leaves the old target as it was and hands back no buffer.
TEST_F(BinaryPipelines, EveryAllocationFailureIsReportedAndLeaksNothing) {
    const Bytes data = testsupport::RandomBytes(300, 20);
    const Bytes oldTarget = ToBytes("previous");
    const std::string source = folder_.File("data.bin");
    const std::string target = folder_.File("data.bin.vlb");
    const std::string decrypted = folder_.File("frame");
    ASSERT_TRUE(WriteWholeFile(source, data));
    const Output encrypted = EncryptBuffer(data);
    ASSERT_EQ(encrypted.result, kNoErr);
    ASSERT_TRUE(WriteWholeFile(decrypted + ".vlb", encrypted.bytes));

    struct Run {
        const char* label;
        // Runs the pipeline with utils; a memory run's output is kept in the fixture below.
        std::function<int32_t(testsupport::FailingUtils*)> run;
        std::string target;  // empty for a memory run
        int liveOnSuccess;   // blocks a successful run hands to the caller
    };
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    const std::vector<Run> runs = {
        {"encrypt file",
         [&](testsupport::FailingUtils* utils) {
             return EncryptBinaryFile(utils, nullptr, source.c_str(), target.c_str(), "dupont",
                                      keyFolder_.c_str(), 0);
         },
         target, 0},
        {"decrypt file",
         [&](testsupport::FailingUtils* utils) {
             return DecryptBinaryFile(utils, nullptr, (decrypted + ".vlb").c_str(),
                                      keyFolder_.c_str(), 0);
         },
         decrypted, 0},
        {"encrypt buffer",
         [&](testsupport::FailingUtils* utils) {
             return EncryptBinaryBuffer(utils, data.data(), static_cast<uint32_t>(data.size()),
                                        &out, &outLength, "dupont", keyFolder_.c_str(), 0);
         },
         "", 1},
        {"decrypt buffer",
         [&](testsupport::FailingUtils* utils) {
             return DecryptBinaryBuffer(utils, encrypted.bytes.data(),
                                        static_cast<uint32_t>(encrypted.bytes.size()), &out,
                                        &outLength, keyFolder_.c_str(), 0);
         },
         "", 1},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.label);
        testsupport::FailingUtils counting;
        ASSERT_EQ(run.run(&counting), kNoErr);
        EXPECT_EQ(counting.liveBlocks(), run.liveOnSuccess);
        free(out);
        out = nullptr;
        const int calls = counting.calls();
        ASSERT_GT(calls, 0);

        testsupport::SweepAllocationFailures(calls, [&](testsupport::FailingUtils& utils, int) {
            if (!run.target.empty()) {
                ASSERT_TRUE(WriteWholeFile(run.target, oldTarget));
            }
            const std::set<std::string> entriesBefore = Entries(folder_.path());
            EXPECT_EQ(run.run(&utils), kMemErr);
            EXPECT_EQ(utils.liveBlocks(), 0);
            EXPECT_EQ(out, nullptr);
            if (!run.target.empty()) {
                EXPECT_EQ(ReadWholeFile(run.target), oldTarget);
                EXPECT_EQ(Entries(folder_.path()), entriesBefore);
            } else {
                EXPECT_EQ(outLength, 0u);
            }
            free(out);
            out = nullptr;
        });
    }
}

// The buffer functions write every block they make whole: none is filled with spaces first.
TEST_F(BinaryPipelines, TheBufferFunctionsFillNoBlockTheyWriteOver) {
    const Bytes data = testsupport::RandomBytes(256 << 10, 22);
    testsupport::FailingUtils encrypting;
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(EncryptBinaryBuffer(&encrypting, data.data(), static_cast<uint32_t>(data.size()),
                                  &frame, &frameLength, "dupont", keyFolder_.c_str(), 0),
              kNoErr);
    EXPECT_LE(encrypting.filledBytes(), uint64_t{16} << 10);
    testsupport::FailingUtils decrypting;
    unsigned char* back = nullptr;
    uint32_t backLength = 0;
    ASSERT_EQ(DecryptBinaryBuffer(&decrypting, frame, frameLength, &back, &backLength,
                                  keyFolder_.c_str(), 0),
              kNoErr);
    EXPECT_EQ(Bytes(back, back + backLength), data);
    EXPECT_LE(decrypting.filledBytes(), uint64_t{16} << 10);
    free(frame);
    free(back);
}

TEST_F(BinaryPipelines, TraceLinesOnlyWhenAsked) {
    const Bytes data = testsupport::RandomBytes(40, 21);
    const std::string source = folder_.File("data.bin");
    const std::string target = source + ".vlb";
    ASSERT_TRUE(WriteWholeFile(source, data));
    const std::string year = testsupport::CurrentYearText();
    auto comment = [&](const std::string& name, int useCount) {
        return "$VELDORAN initial, clef v1 " + name + "." + year + " MID " +
               std::to_string(useCount) + "\n";
    };
    auto keyLines = [&](int masterUses, int userUses) {
        return std::vector<std::string>{
            "Master Key: " + MasterPath(),
            "Crypt datalen2: " + std::to_string(data.size() + 224),
            // The comments end with their own line feed, so an empty line follows each.
            "GetKeyComment: " + comment("Master", masterUses),
            "User Key: " + UserPath(),
            "Crypt datalen: " + std::to_string(data.size() + 448),
            "GetKeyComment: " + comment("dupont", userUses),
        };
    };

    // With the trace flag 0, not a character from any of them.
    EXPECT_EQ(Captured([&] {
                  EXPECT_EQ(crypterbinaire(source.c_str(), "dupont", keyFolder_.c_str(), 0),
                            kNoErr);
                  EXPECT_EQ(decrypterbinaire(target.c_str(), keyFolder_.c_str(), 0), kNoErr);
                  const Output encrypted = EncryptBuffer(data);
                  EXPECT_EQ(DecryptBuffer(encrypted.bytes).result, kNoErr);
                  EXPECT_EQ(EncryptBuffer(data, "nobody").result, kFNFErr);
              }),
              "");
    WriteKeys();

    std::vector<std::string> lines = {"Veldoran Shell - version 1.01 - ZELMOR",
                                      "Source filename: " + source, "Username       : dupont",
                                      "Year-1900: " + year,
                                      "Source length: " + std::to_string(data.size())};
    for (const std::string& line : keyLines(5, 1)) {
        lines.push_back(line);
    }
    lines.push_back("End of encoding process");
    lines.push_back("TargetFile: " + target);
    lines.push_back("TargetFile Len: " + std::to_string(data.size() + 448));
    EXPECT_EQ(Captured([&] {
                  EXPECT_EQ(crypterbinaire(source.c_str(), "dupont", keyFolder_.c_str(), 1),
                            kNoErr);
              }),
              Lines(lines));

    EXPECT_EQ(Captured([&] {
                  EXPECT_EQ(decrypterbinaire(target.c_str(), keyFolder_.c_str(), 1), kNoErr);
              }),
              Lines({"VELDORAN DECRYPTAGE - v1.02 - ZELMOR",
                     "Source Length: " + std::to_string(data.size() + 448),
                     "UnCrypt datalen2: " + std::to_string(data.size() + 224),
                     "UnCrypt datalen: " + std::to_string(data.size()), "TargetFile: " + source,
                     "TargetFile Lenght: " + std::to_string(data.size())}));

    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    lines = keyLines(6, 2);
    lines.push_back("End of encoding process");
    EXPECT_EQ(Captured([&] {
                  EXPECT_EQ(crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()),
                                               &out, &outLength, "dupont", keyFolder_.c_str(), 1),
                            kNoErr);
              }),
              Lines(lines));
    const Output encrypted = Take(kNoErr, out, outLength);

    EXPECT_EQ(Captured([&] {
                  EXPECT_EQ(decrypterbinaireMem2(encrypted.bytes.data(),
                                                 static_cast<uint32_t>(encrypted.bytes.size()),
                                                 &out, &outLength, keyFolder_.c_str(), 1),
                            kNoErr);
              }),
              Lines({"VELDORAN DECRYPTAGE - v1.01 - ZELMOR",
                     "UnCrypt datalen2: " + std::to_string(data.size() + 224),
                     "UnCrypt datalen: " + std::to_string(data.size())}));
    free(out);
}

// A decryption that stops at a frame's headers traces as far as it read them: a frame too short
// for either header, and a target that is a key file the frame names (found once both headers
// are read).
TEST_F(BinaryPipelines, AFailedDecryptionTracesTheHeadersItRead) {
    const Bytes data = testsupport::RandomBytes(40, 22);
    const std::string source = folder_.File("data.bin");
    ASSERT_TRUE(WriteWholeFile(source, data));
    ASSERT_EQ(crypterbinaire(source.c_str(), "dupont", keyFolder_.c_str(), 0), kNoErr);
    const Bytes frame = ReadWholeFile(source + ".vlb");
    const std::string banner = "VELDORAN DECRYPTAGE - v1.02 - ZELMOR";
    struct Case {
        const char* label;
        std::string path;
        size_t length;
        int32_t result;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"shorter than a header",
         folder_.File("a.vlb"),
         100,
         kFrameTooShort,
         {banner, "Source Length: 100"}},
        {"shorter than both headers",
         folder_.File("b.vlb"),
         300,
         kFrameTooShort,
         {banner, "Source Length: 300", "UnCrypt datalen2: 76"}},
        {"the master key as target",
         MasterPath() + ".vlb",
         frame.size(),
         kOtherErr,
         {banner, "Source Length: " + std::to_string(frame.size()),
          "UnCrypt datalen2: " + std::to_string(data.size() + 224),
          "UnCrypt datalen: " + std::to_string(data.size())}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(WriteWholeFile(c.path, Bytes(frame.begin(), frame.begin() + c.length)));
        EXPECT_EQ(Captured([&] {
                      EXPECT_EQ(decrypterbinaire(c.path.c_str(), keyFolder_.c_str(), 1), c.result);
                  }),
                  Lines(c.lines));
        std::filesystem::remove(c.path);
    }
}

// The buffer encryption's one error line is about the master layer's encryption: a missing key
// or a user key found unusable before anything is spent prints none of it.
TEST_F(BinaryPipelines, NoMasterFailureLineForKeysFoundWanting) {
    const Bytes data = testsupport::RandomBytes(40, 22);
    KeyFileContents negativeLength = user_;
    negativeLength.keyLen = -5;
    ASSERT_TRUE(testsupport::WriteKeyFile(
        keyFolder_ + "Clefs/faulty." + testsupport::CurrentYearText(), negativeLength));
    struct Case {
        const char* user;
        std::string keyFolder;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"nobody", keyFolder_, kFNFErr},
        {"dupont", folder_.File("nowhere/"), kFNFErr},
        {"faulty", keyFolder_, kOffsetOutOfRangeErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.user);
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        const std::string trace = Captured([&] {
            EXPECT_EQ(crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()), &out,
                                         &outLength, testCase.user, testCase.keyFolder.c_str(), 1),
                      testCase.result);
        });
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(trace.find("VELDORAN ERR"), std::string::npos);
        EXPECT_EQ(trace.substr(trace.size() - strlen("End of encoding process\n")),
                  "End of encoding process\n");
    }
    EXPECT_TRUE(MasterUntouched());
}

}  // namespace
