// The file pipelines into a target the program opened (the *Into calls), as veldoran-tool runs
// them for every file subcommand: the message is the one crypterMem3 makes from the same keys,
// byte for byte, and the binary frame the one crypterbinaireMem2 makes, whether the target is a
// file written unnamed or a descriptor written where it stands; the document and the tail are
// the ones decrypterMem3 hands back; a target that fails spends no key and says why; and a sink
// of the host's own is written in the order that spends nothing on a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pipelines/MessageFixture.h"
#include "pipelines/StreamOptions.h"
#include "platform/TargetWriter.h"
#include "support/FullDisk.h"
#include "veldoran.h"

namespace {

using messagetest::Bytes;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

// How the program opens its target.
enum class Target { kUnnamedFile, kDescriptor };

struct Case {
    const char* label;
    std::string document;
    const char* to;
    const char* cc;
    const char* bcc;
    const char* param;
};

// Line ends and accented letters in the document and in the tail (which the in-memory pipeline
// puts in the interchange form with the document), a parameter text, none, and a document
// longer than a chunk.
std::vector<Case> Cases() {
    std::string large;
    while (large.size() < (3u << 20) / 2) {
        large +=
            "une ligne accentu\xE9"
            "e, \xE0 suivre\n";
    }
    return {
        {"a letter", "Dear Helene,\nthe figures.\n", "a@x", "b@y", "", ""},
        {"accents and a parameter", "\xE9l\xE8ve\n\x92quote\r\n", "h\xE9l\xE8ne", "", "c\nd",
         "ref=\xE9\n1"},
        {"an empty document", "", "", "", "", "p"},
        {"longer than a chunk", large, "to", "cc", "bcc", "ref=42"},
    };
}

class CallerTarget : public messagetest::MessageTest {
  protected:
    // Both key files' bytes as they stand.
    Bytes KeysNow() const {
        Bytes both = ReadWholeFile(KeyPath("Master"));
        const Bytes user = ReadWholeFile(KeyPath("dupont"));
        both.insert(both.end(), user.begin(), user.end());
        return both;
    }

    // The message of crypterMem3 for testCase from the keys as they stand, which are then put
    // back; their state after it goes to *keysAfter.
    std::string MemoryMessage(const Case& testCase, Bytes* keysAfter) {
        SnapshotKeys();
        char* message = nullptr;
        EXPECT_EQ(crypterMem3(testCase.document.c_str(), &message, "dupont", keyFolder_.c_str(),
                              testCase.to, testCase.cc, testCase.bcc, testCase.param),
                  kNoErr);
        std::string text = message != nullptr ? message : "";
        free(message);
        *keysAfter = KeysNow();
        RestoreKeys();
        return text;
    }

    // Opens writer on path as the program does for target; for a descriptor, *fd is the
    // program's own descriptor, closed by the caller.
    static int32_t OpenTarget(Target target, const std::string& path,
                              veldoran::TargetWriter* writer, int* fd) {
        if (target == Target::kUnnamedFile) {
            return writer->Open(path.c_str());
        }
        *fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        return writer->OpenDescriptor(*fd);
    }
};

TEST_F(CallerTarget, EncryptionMakesTheInMemoryMessage) {
    UseKeys(4000, 6000, 5);
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    for (const Target kind : {Target::kUnnamedFile, Target::kDescriptor}) {
        for (const Case& testCase : Cases()) {
            SCOPED_TRACE(std::string(testCase.label) +
                         (kind == Target::kUnnamedFile ? ", unnamed file" : ", descriptor"));
            ASSERT_TRUE(WriteWholeFile(source, messagetest::ToBytes(testCase.document)));
            Bytes keysAfter;
            const std::string expected = MemoryMessage(testCase, &keysAfter);

            veldoran::TargetWriter writer;
            int fd = -1;
            ASSERT_EQ(OpenTarget(kind, target, &writer, &fd), kNoErr);
            EXPECT_EQ(veldoran::EncryptTextFileInto(source.c_str(), &writer, target.c_str(),
                                                    "dupont", keyFolder_.c_str(), testCase.to,
                                                    testCase.cc, testCase.bcc, testCase.param, 0),
                      kNoErr);
            if (fd >= 0) {
                // The program's own descriptor stays open: only the writer's copy is closed.
                EXPECT_EQ(close(fd), 0);
            }
            EXPECT_EQ(messagetest::ToString(ReadWholeFile(target)), expected);
            EXPECT_EQ(KeysNow(), keysAfter);
        }
    }
}

TEST_F(CallerTarget, DecryptionHandsBackTheInMemoryDocumentAndTail) {
    UseKeys(4000, 6000, 7);
    const std::string source = folder_.File("letter.msg");
    const std::string target = folder_.File("letter.txt");
    for (const Target kind : {Target::kUnnamedFile, Target::kDescriptor}) {
        for (const Case& testCase : Cases()) {
            SCOPED_TRACE(std::string(testCase.label) +
                         (kind == Target::kUnnamedFile ? ", unnamed file" : ", descriptor"));
            char* message = nullptr;
            ASSERT_EQ(crypterMem3(testCase.document.c_str(), &message, "dupont", keyFolder_.c_str(),
                                  testCase.to, testCase.cc, testCase.bcc, testCase.param),
                      kNoErr);
            ASSERT_TRUE(WriteWholeFile(source, messagetest::ToBytes(message)));
            char* document = nullptr;
            char* tail = nullptr;
            ASSERT_EQ(decrypterMem3(message, &document, keyFolder_.c_str(), &tail), kNoErr);
            free(message);

            veldoran::TargetWriter writer;
            int fd = -1;
            ASSERT_EQ(OpenTarget(kind, target, &writer, &fd), kNoErr);
            std::string streamedTail;
            EXPECT_EQ(veldoran::DecryptTextFileInto(source.c_str(), &writer, target.c_str(),
                                                    keyFolder_.c_str(), 0, &streamedTail),
                      kNoErr);
            if (fd >= 0) {
                EXPECT_EQ(close(fd), 0);
            }
            EXPECT_EQ(messagetest::ToString(ReadWholeFile(target)), std::string(document));
            EXPECT_EQ(streamedTail, std::string(tail));
            free(document);
            free(tail);
        }
    }
}

TEST_F(CallerTarget, BinaryFilesMakeTheInMemoryFrameAndBack) {
    UseKeys(4000, 6000, 9);
    const std::string source = folder_.File("data");
    const std::string frame = folder_.File("data.vlb");
    const std::string back = folder_.File("back");
    // Empty, short, and over a chunk long so that the key layers wrap inside one.
    const std::vector<size_t> sizes = {0, 5, veldoran::kDefaultChunkSize + 4097};
    for (const Target kind : {Target::kUnnamedFile, Target::kDescriptor}) {
        for (const size_t size : sizes) {
            SCOPED_TRACE(std::to_string(size) + " bytes" +
                         (kind == Target::kUnnamedFile ? ", unnamed file" : ", descriptor"));
            const Bytes data = testsupport::RandomBytes(size, static_cast<uint32_t>(size));
            ASSERT_TRUE(WriteWholeFile(source, data));
            SnapshotKeys();
            unsigned char* expected = nullptr;
            uint32_t expectedLength = 0;
            ASSERT_EQ(crypterbinaireMem2(data.data(), static_cast<uint32_t>(size), &expected,
                                         &expectedLength, "dupont", keyFolder_.c_str(), 0),
                      kNoErr);
            const Bytes frameExpected(expected, expected + expectedLength);
            free(expected);
            const Bytes keysAfter = KeysNow();
            RestoreKeys();

            veldoran::TargetWriter writer;
            int fd = -1;
            ASSERT_EQ(OpenTarget(kind, frame, &writer, &fd), kNoErr);
            EXPECT_EQ(veldoran::EncryptBinaryFileInto(source.c_str(), &writer, frame.c_str(),
                                                      "dupont", keyFolder_.c_str(), 0),
                      kNoErr);
            EXPECT_EQ(ReadWholeFile(frame), frameExpected);
            EXPECT_EQ(KeysNow(), keysAfter);

            veldoran::TargetWriter backWriter;
            int backFd = -1;
            ASSERT_EQ(OpenTarget(kind, back, &backWriter, &backFd), kNoErr);
            EXPECT_EQ(veldoran::DecryptBinaryFileInto(frame.c_str(), &backWriter, back.c_str(),
                                                      keyFolder_.c_str(), 0),
                      kNoErr);
            EXPECT_EQ(ReadWholeFile(back), data);
            for (const int descriptor : {fd, backFd}) {
                if (descriptor >= 0) {
                    EXPECT_EQ(close(descriptor), 0);
                }
            }
        }
    }
}

// A sink of the host's own, which notes what it is asked and whether the keys were spent when
// its first byte came.
class NotingSink : public veldoran::TargetSink {
  public:
    NotingSink(bool inPlace, int32_t writeResult, std::function<bool()> keysSpent)
        : inPlace_(inPlace), writeResult_(writeResult), keysSpent_(std::move(keysSpent)) {}

    int32_t Reserve(uint64_t) override { return Note("reserve", kNoErr); }
    int32_t Write(const unsigned char* data, uint32_t count) override {
        if (held.empty() && count > 0) {
            spentAtFirstByte = keysSpent_();
        }
        if (writeResult_ == kNoErr) {
            held.insert(held.end(), data, data + count);
        }
        return writeResult_ == kNoErr ? kNoErr : Note("write", writeResult_);
    }
    int32_t SyncContent() override { return Note("sync", kNoErr); }
    int32_t Commit() override { return Note("commit", kNoErr); }
    int32_t Kill() override { return Note("kill", kNoErr); }
    bool InPlace() const override { return inPlace_; }

    Bytes held;
    std::string calls;  // the calls but the writes that took their bytes, in order
    bool spentAtFirstByte = false;

  private:
    int32_t Note(const char* call, int32_t result) {
        calls += calls.empty() ? call : std::string(" ") + call;
        return result;
    }

    bool inPlace_;
    int32_t writeResult_;
    std::function<bool()> keysSpent_;
};

// A sink that can take its bytes back gets the whole frame, synced, before the keys are spent;
// one that cannot gets its first byte after. A sink that refuses a byte gets the run abandoned
// with its own code, and only one that cannot take anything back can have the keys spent.
TEST_F(CallerTarget, AHostSinkIsWrittenInTheOrderThatSpendsNothingOnAFailure) {
    const std::string source = folder_.File("data");
    ASSERT_TRUE(WriteWholeFile(source, testsupport::RandomBytes(3000, 4)));
    struct Order {
        const char* label;
        bool inPlace;
        int32_t writeResult;
        int32_t result;
        const char* calls;
        bool spentAtFirstByte;
        bool spentAfter;
    };
    const Order cases[] = {
        {"held until committed", false, kNoErr, kNoErr, "reserve sync commit", false, true},
        {"written where it stands", true, kNoErr, kNoErr, "reserve commit", true, true},
        {"held, refusing a byte", false, kMemErr, kMemErr, "reserve write kill", false, false},
        {"in place, refusing a byte", true, kMemErr, kMemErr, "reserve write kill", true, true},
    };
    for (const Order& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        RestoreKeys();
        NotingSink sink(testCase.inPlace, testCase.writeResult,
                        [this]() { return !KeysUntouched(); });
        EXPECT_EQ(veldoran::EncryptBinaryFileInto(source.c_str(), &sink, "host", "dupont",
                                                  keyFolder_.c_str(), 0),
                  testCase.result);
        EXPECT_EQ(sink.calls, testCase.calls);
        EXPECT_EQ(sink.spentAtFirstByte, testCase.spentAtFirstByte);
        EXPECT_EQ(!KeysUntouched(), testCase.spentAfter);
        if (testCase.result == kNoErr) {
            EXPECT_EQ(sink.held.size(), 3000u + 2 * kKeyHeaderSize);
        }
    }

    // A frame whose key is missing: the sink is abandoned before it is given a byte.
    RestoreKeys();
    const std::string frame = folder_.File("data.vlb");
    ASSERT_EQ(crypterbinaire2(source.c_str(), frame.c_str(), "dupont", keyFolder_.c_str(), 0),
              kNoErr);
    std::filesystem::remove(UserPath());
    NotingSink sink(true, kNoErr, []() { return true; });
    EXPECT_EQ(veldoran::DecryptBinaryFileInto(frame.c_str(), &sink, "host", keyFolder_.c_str(), 0),
              KeyNotFoundErr);
    EXPECT_EQ(sink.calls, "reserve kill");
    EXPECT_TRUE(sink.held.empty());
}

// The armour alone checked, as a program does before it writes a document where it cannot be
// taken back: the codes decrypter2 gives for the armour, nothing written, no key needed.
TEST_F(CallerTarget, TheArmourIsCheckedWithoutDecrypting) {
    char* message = nullptr;
    ASSERT_EQ(crypterMem3("Dear Helene,\n", &message, "dupont", keyFolder_.c_str(), "", "", "", ""),
              kNoErr);
    const std::string sound = message;
    free(message);
    std::string changed = sound;
    const size_t armour = changed.find("#BINASCII1#") + 12;
    changed[armour + 70] = changed[armour + 70] == 'A' ? 'B' : 'A';
    struct Armour {
        const char* label;
        std::string text;
        int32_t result;
    };
    const Armour cases[] = {
        {"sound, with mail headers around it", "Subject: x\n\n" + sound + "\n-- \n", kNoErr},
        {"a changed character", changed, kCRCErr},
        {"cut before its end", sound.substr(0, sound.find("#ENDBINASCII1#")), kPbErr},
        {"no armour", "Hello\n", kPbErr},
    };
    const std::string source = folder_.File("mail.txt");
    std::filesystem::remove_all(keyFolder_);
    for (const Armour& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(source, messagetest::ToBytes(testCase.text)));
        EXPECT_EQ(veldoran::CheckTextArmour(source.c_str()), testCase.result);
        EXPECT_EQ(messagetest::Entries(folder_.path()), (std::set<std::string>{"mail.txt"}));
    }
    EXPECT_EQ(veldoran::CheckTextArmour(folder_.File("none.txt").c_str()), kOtherErr);
}

// A target that fails as a full disk does, at once or midway: the run spends no key, leaves no
// file, and the writer keeps the system's reason for the program to report.
TEST_F(CallerTarget, AFailingTargetSpendsNoKeyAndTellsWhy) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    std::string document;
    while (document.size() < (2u << 20)) {
        document += "a line of the letter\n";
    }
    ASSERT_TRUE(WriteWholeFile(source, messagetest::ToBytes(document)));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = testsupport::WriteThenFail;
    for (const int writes : {0, 2}) {
        SCOPED_TRACE("failing after " + std::to_string(writes) + " writes");
        testsupport::gWritesLeft = writes;
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
        EXPECT_EQ(veldoran::EncryptTextFileInto(source.c_str(), &writer, target.c_str(), "dupont",
                                                keyFolder_.c_str(), "", "", "", "p", 0),
                  kOtherErr);
        EXPECT_EQ(writer.LastError(), ENOSPC);
        EXPECT_TRUE(KeysUntouched());
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "letter.txt"}));
    }
}

}  // namespace
