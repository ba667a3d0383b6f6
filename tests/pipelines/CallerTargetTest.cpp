// The file pipelines into a target the program opened (EncryptTextFileInto, DecryptTextFileInto),
// as veldoran-tool runs them for its standard streams, -o and --param: the message is the one
// crypterMem3 makes from the same keys, byte for byte, whether the target is a file written
// unnamed or a descriptor written where it stands; the document and the tail are the ones
// decrypterMem3 hands back; and a target that fails spends no key and says why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "pipelines/MessageFixture.h"
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
