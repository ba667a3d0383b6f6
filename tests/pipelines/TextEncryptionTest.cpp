// The text encryption pipeline end to end on tiny key files: the message file checked byte for
// byte against an encoding the tests build independently of the library (interchange form,
// recipient block, two XOR frames, armour), the key headers after the run, the failure table,
// and decryption of the result with the library's own decoder and cipher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "MessageFixture.h"
#include "armour/TypBinASCII.h"
#include "crypto/TypCryptoUnix.h"
#include "pipelines/TextEncryption.h"
#include "pipelines/TextEncryptionCore.h"
#include "platform/TargetWriter.h"
#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
#include "support/ExpectedFrame.h"
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
using messagetest::Interchange;
using testsupport::KeyFileContents;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Document, "#DESTBEGIN#", to, ",", cc, ",", bcc, "#DESTEND#".
Bytes WithRecipients(Bytes document, const std::string& to, const std::string& cc,
                     const std::string& bcc) {
    const std::string block = "#DESTBEGIN#" + to + "," + cc + "," + bcc + "#DESTEND#";
    document.insert(document.end(), block.begin(), block.end());
    return document;
}

std::string Hex8(uint32_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 15];
    }
    return text;
}

// The armour written out from its description: length field, 4 characters per 3 bytes lowest
// six bits first, checksum field, lines of 60 between the marker lines.
std::string Armour(const Bytes& data) {
    static const char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNPQRSTUVXYZabcdefhijklmpqrstuvwxyz$*+-()!";
    std::string encoded = Hex8(static_cast<uint32_t>(data.size()));
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t group = uint32_t{data[i]} << 16;
        if (i + 1 < data.size())
            group |= uint32_t{data[i + 1]} << 8;
        if (i + 2 < data.size())
            group |= data[i + 2];
        for (int shift = 0; shift < 24; shift += 6) {
            encoded += kAlphabet[(group >> shift) & 63];
        }
    }
    uint32_t checksum = 0xFFFFFFFF;
    for (unsigned char byte : data) {
        checksum ^= byte;
    }
    encoded += Hex8(checksum);
    std::string text = "#BINASCII1#\n";
    for (size_t i = 0; i < encoded.size(); i += 60) {
        if (i != 0)
            text += '\n';
        text += encoded.substr(i, 60);
    }
    return text + "\n#ENDBINASCII1#\n";
}

TEST(TextEncryptionEncoder, ArmourOfTheTestMatchesTheKnownExample) {
    // The three bytes abc, from the armour format's own example.
    EXPECT_EQ(Armour(ToBytes("abc")), "#BINASCII1#\n00000003b9MPFFFFFF9F\n#ENDBINASCII1#\n");
}

class TextEncryption : public testsupport::KeyPairTest {
  protected:
    int32_t Encrypt(const std::string& source, const std::string& target,
                    const std::string& keyFolder, const char* to = "dupont,durand") {
        return crypter3(source.c_str(), target.c_str(), "dupont", keyFolder.c_str(), to, "", "", 0);
    }

    // The message file expected for a document, from the key files as set up.
    std::string ExpectedMessageFile(const Bytes& document, const std::string& to) const {
        const Bytes message = WithRecipients(Interchange(document), to, "", "");
        const Bytes inner =
            testsupport::ExpectedFrame(master_, master_.keyOffset, master_.useCount + 1, message);
        const Bytes outer =
            testsupport::ExpectedFrame(user_, user_.keyOffset, user_.useCount + 1, inner);
        return testsupport::KeyComment("Master", master_.useCount + 1) +
               testsupport::KeyComment("dupont", user_.useCount + 1) + "\n" + Armour(outer);
    }

    // Decodes a message file's armour and removes both layers with the library.
    Bytes Decrypt(const Bytes& messageFile) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        EXPECT_EQ(utils.SetKeyFolderPath(keyFolder_.c_str()), kNoErr);
        TypBinASCII binASCII;
        binASCII.InitCreate(&utils);
        TypCryptoUnix crypto;
        crypto.InitCreate(&utils);
        unsigned char* outer = nullptr;
        uint32_t outerLength = 0;
        EXPECT_EQ(binASCII.ASCIIToBin(messageFile.data(), static_cast<uint32_t>(messageFile.size()),
                                      &outer, &outerLength),
                  kNoErr);
        unsigned char* inner = nullptr;
        uint32_t innerLength = 0;
        EXPECT_EQ(crypto.UnCrypt(outer, outerLength, &inner, &innerLength), kNoErr);
        unsigned char* message = nullptr;
        uint32_t messageLength = 0;
        EXPECT_EQ(crypto.UnCrypt(inner, innerLength, &message, &messageLength), kNoErr);
        Bytes result;
        if (message != nullptr) {
            result.assign(message, message + messageLength);
        }
        utils.MyDisposeptr(&outer, outerLength);
        utils.MyDisposeptr(&inner, innerLength);
        utils.MyDisposeptr(&message, messageLength);
        return result;
    }

    const std::string year_ = testsupport::CurrentYearText();
};

// "Élève à l’école" in Windows-1252 over two lines.
const Bytes kLetter = {'L', 0x92, 0xE9, 'l', 0xE8, 'v', 'e', '\n', 0xE0, ' ', 'l', 'u', 'i', '\n'};

TEST_F(TextEncryption, WritesTheMessageFileByteForByte) {
    ASSERT_TRUE(WriteWholeFile(folder_.File("letter.txt"), kLetter));
    ASSERT_EQ(Encrypt(folder_.File("letter.txt"), folder_.File("letter.msg"), keyFolder_), kNoErr);

    const Bytes written = ReadWholeFile(folder_.File("letter.msg"));
    EXPECT_EQ(std::string(written.begin(), written.end()),
              ExpectedMessageFile(kLetter, "dupont,durand"));

    // Each key advanced by the length it encrypted, wrapping around, and counted once more.
    const uint32_t messageLength = static_cast<uint32_t>(kLetter.size()) + 11 + 13 + 2 + 9;
    testsupport::KeyHeaderFields master;
    testsupport::KeyHeaderFields user;
    ASSERT_TRUE(testsupport::ReadKeyHeader(MasterPath(), &master));
    ASSERT_TRUE(testsupport::ReadKeyHeader(UserPath(), &user));
    EXPECT_EQ(master.keyOffset, static_cast<int32_t>((17 + messageLength) % 300));
    EXPECT_EQ(master.useCount, 5);
    EXPECT_EQ(user.keyOffset, static_cast<int32_t>((450 + messageLength + 224) % 500));
    EXPECT_EQ(user.useCount, 1);
    // Nothing else in the headers or the key material moved.
    const Bytes masterAfter = ReadWholeFile(MasterPath());
    EXPECT_TRUE(std::equal(masterAfter.begin(), masterAfter.begin() + 92, masterBefore_.begin()));
    EXPECT_TRUE(
        std::equal(masterAfter.begin() + 100, masterAfter.end(), masterBefore_.begin() + 100));

    // The source itself is left as it was.
    EXPECT_EQ(ReadWholeFile(folder_.File("letter.txt")), kLetter);
}

TEST_F(TextEncryption, RoundTripsThroughTheDecoderAndTheCipher) {
    ASSERT_TRUE(WriteWholeFile(folder_.File("letter.txt"), kLetter));
    ASSERT_EQ(Encrypt(folder_.File("letter.txt"), folder_.File("letter.msg"), keyFolder_), kNoErr);
    EXPECT_EQ(Decrypt(ReadWholeFile(folder_.File("letter.msg"))),
              WithRecipients(Interchange(kLetter), "dupont,durand", "", ""));
}

TEST_F(TextEncryption, AnEmptySourceEncryptsTheRecipientBlockAlone) {
    ASSERT_TRUE(WriteWholeFile(folder_.File("empty.txt"), {}));
    ASSERT_EQ(Encrypt(folder_.File("empty.txt"), folder_.File("empty.msg"), keyFolder_, ""),
              kNoErr);
    const Bytes written = ReadWholeFile(folder_.File("empty.msg"));
    EXPECT_EQ(std::string(written.begin(), written.end()), ExpectedMessageFile({}, ""));
    EXPECT_EQ(Decrypt(written), ToBytes("#DESTBEGIN#,,#DESTEND#"));
}

TEST_F(TextEncryption, LargerDocumentsRoundTrip) {
    // Many armour lines and several wraps of both keys; seeded so a failure can be replayed.
    const uint32_t seed = 20260101;
    SCOPED_TRACE("seed " + std::to_string(seed));
    Bytes document = testsupport::RandomBytes(5000, seed);
    ASSERT_TRUE(WriteWholeFile(folder_.File("big.txt"), document));
    ASSERT_EQ(Encrypt(folder_.File("big.txt"), folder_.File("big.msg"), keyFolder_), kNoErr);
    const Bytes written = ReadWholeFile(folder_.File("big.msg"));
    EXPECT_EQ(std::string(written.begin(), written.end()),
              ExpectedMessageFile(document, "dupont,durand"));
}

TEST_F(TextEncryption, TheSourceCanBeItsOwnTarget) {
    const std::string path = folder_.File("letter.txt");
    ASSERT_TRUE(WriteWholeFile(path, kLetter));
    ASSERT_EQ(Encrypt(path, path, keyFolder_), kNoErr);
    const Bytes written = ReadWholeFile(path);
    EXPECT_EQ(std::string(written.begin(), written.end()),
              ExpectedMessageFile(kLetter, "dupont,durand"));
    EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"keys", "letter.txt"}));
}

// Every failure: its code, the target left as it was (an old one stays, none appears, no
// temporary file), and both key files byte for byte as they were.
TEST_F(TextEncryption, FailureTable) {
    const Bytes oldTarget = ToBytes("previous message\n");
    const std::string longName(300, 'n');
    struct Case {
        const char* label;
        std::string source;
        std::string target;
        std::string keyFolder;
        const char* user;
        int32_t result;
    };
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    const std::vector<Case> cases = {
        {"missing source", folder_.File("none.txt"), target, keyFolder_, "dupont", kOtherErr},
        {"missing master key", source, target, folder_.File("empty/"), "dupont", kFNFErr},
        {"missing user key", source, target, keyFolder_, "durand", kFNFErr},
        {"key folder without its slash", source, target,
         keyFolder_.substr(0, keyFolder_.size() - 1), "dupont", kFNFErr},
        {"source and target the same, master key missing", source, source, folder_.File("empty/"),
         "dupont", kFNFErr},
        {"target path too long", source, folder_.File(longName), keyFolder_, "dupont", kOtherErr},
        {"source path too long", folder_.File(longName), target, keyFolder_, "dupont", kOtherErr},
        {"key path too long", source, target, keyFolder_, longName.c_str(), kOtherErr},
        {"target is a folder", source, folder_.File("keys"), keyFolder_, "dupont", kOtherErr},
        {"target in a missing folder", source, folder_.File("nowhere/letter.msg"), keyFolder_,
         "dupont", kOtherErr},
    };
    std::filesystem::create_directories(folder_.File("empty/Clefs"));
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(source, kLetter));
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        ASSERT_TRUE(testsupport::WriteKeyFile(MasterPath(), master_));
        ASSERT_TRUE(testsupport::WriteKeyFile(UserPath(), user_));
        const std::set<std::string> entriesBefore = Entries(folder_.path());

        EXPECT_EQ(crypter3(testCase.source.c_str(), testCase.target.c_str(), testCase.user,
                           testCase.keyFolder.c_str(), "a,b", "", "", 0),
                  testCase.result);
        EXPECT_EQ(ReadWholeFile(source), kLetter);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()), entriesBefore);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
    }
}

// Runs that fail because of a key file, the target or the document itself: the code for the
// cause, both key files byte for byte as they were (the master key too when the user key is at
// fault), the old target kept and nothing new in the folder.
TEST_F(TextEncryption, ARunThatFailsSpendsNoKeyMaterial) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    const Bytes oldTarget = ToBytes("previous message\n");
    struct Case {
        const char* label;
        // Changes the user key's contents or its bytes as written, or the folder.
        std::function<void(KeyFileContents*, Bytes*)> breakUserKey;
        std::function<void()> arrange;
        const char* user;
        std::string target;
        Bytes document;
        int32_t result;
    };
    const Bytes marked = ToBytes("before\n#DESTBEGIN#after\n");
    const std::vector<Case> cases = {
        // A key file as target.
        {"target is the user key", nullptr, nullptr, "dupont", UserPath(), kLetter, kOtherErr},
        {"target is the master key", nullptr, nullptr, "dupont", MasterPath(), kLetter, kOtherErr},
        {"target a link to the user key", nullptr,
         [&] { symlink(UserPath().c_str(), folder_.File("link.msg").c_str()); }, "dupont",
         folder_.File("link.msg"), kLetter, kOtherErr},
        {"target a hard link to the master key", nullptr,
         [&] { link(MasterPath().c_str(), folder_.File("hard.msg").c_str()); }, "dupont",
         folder_.File("hard.msg"), kLetter, kOtherErr},
        // A user key that cannot be used.
        {"no such user", nullptr, nullptr, "nosuchuser", target, kLetter, kFNFErr},
        {"no user given", nullptr, nullptr, "", target, kLetter, kFNFErr},
        {"user key truncated", [](KeyFileContents*, Bytes* bytes) { bytes->resize(400); }, nullptr,
         "dupont", target, kLetter, kOtherErr},
        {"user key header only", [](KeyFileContents*, Bytes* bytes) { bytes->resize(224); },
         nullptr, "dupont", target, kLetter, kOtherErr},
        {"user key of version 2", [](KeyFileContents* key, Bytes*) { key->version = 2; }, nullptr,
         "dupont", target, kLetter, kBadKeyHeader},
        {"user keyLen 0", [](KeyFileContents* key, Bytes*) { key->keyLen = 0; }, nullptr, "dupont",
         target, kLetter, kOffsetOutOfRangeErr},
        {"user keyOffset past keyLen", [](KeyFileContents* key, Bytes*) { key->keyOffset = 501; },
         nullptr, "dupont", target, kLetter, kOffsetOutOfRangeErr},
        {"user key the master key", nullptr,
         [&] { link(MasterPath().c_str(), (keyFolder_ + "Clefs/twin." + year_).c_str()); }, "twin",
         target, kLetter, kOtherErr},
        {"user key a device", nullptr,
         [&] { symlink("/dev/zero", (keyFolder_ + "Clefs/zero." + year_).c_str()); }, "zero",
         target, kLetter, kOtherErr},
        // A document that would come back cut at the recipient marker.
        {"document holds the recipient marker", nullptr, nullptr, "dupont", target, marked,
         kFormatNonDisponible},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        std::filesystem::remove_all(keyFolder_ + "Clefs");
        std::filesystem::create_directories(keyFolder_ + "Clefs");
        for (const auto& entry : Entries(folder_.path())) {
            if (entry != "keys") {
                std::filesystem::remove(folder_.File(entry));
            }
        }
        ASSERT_TRUE(WriteWholeFile(source, testCase.document));
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        ASSERT_TRUE(testsupport::WriteKeyFile(MasterPath(), master_));
        KeyFileContents user = user_;
        Bytes userBytes;
        if (testCase.breakUserKey) {
            testCase.breakUserKey(&user, &userBytes);
        }
        userBytes = testsupport::EncodeKeyHeader(user);
        userBytes.insert(userBytes.end(), user.material.begin(), user.material.end());
        if (testCase.breakUserKey) {
            testCase.breakUserKey(&user, &userBytes);
        }
        ASSERT_TRUE(WriteWholeFile(UserPath(), userBytes));
        if (testCase.arrange) {
            testCase.arrange();
        }
        const std::set<std::string> entriesBefore = Entries(folder_.path());

        EXPECT_EQ(crypter3(source.c_str(), testCase.target.c_str(), testCase.user,
                           keyFolder_.c_str(), "a,b", "", "", 0),
                  testCase.result);
        EXPECT_EQ(ReadWholeFile(MasterPath()), masterBefore_);
        EXPECT_EQ(ReadWholeFile(UserPath()), userBytes);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()), entriesBefore);
    }
}

// Pipes never hold the run: as source or key file they are refused at once (-1), and a pipe as
// target that nobody reads is refused before any key is used. Run in a child process that an
// alarm ends, so that a run that waits fails the test instead of holding the suite.
TEST_F(TextEncryption, PipesAreRefusedWithoutWaiting) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    const std::string pipePath = folder_.File("pipe");
    ASSERT_TRUE(WriteWholeFile(source, kLetter));
    ASSERT_EQ(mkfifo(pipePath.c_str(), 0600), 0);
    const std::string pipeUser = "piped";
    const std::string pipeKey = keyFolder_ + "Clefs/" + pipeUser + "." + year_;
    ASSERT_EQ(mkfifo(pipeKey.c_str(), 0600), 0);
    struct Case {
        const char* label;
        std::string source;
        std::string target;
        std::string user;
        std::string keyFolder;
    };
    const std::string pipeFolder = folder_.File("pipekeys/");
    std::filesystem::create_directories(pipeFolder + "Clefs");
    ASSERT_EQ(mkfifo((pipeFolder + "Clefs/Master." + year_).c_str(), 0600), 0);
    const std::vector<Case> cases = {
        {"source", pipePath, target, "dupont", keyFolder_},
        {"user key", source, target, pipeUser, keyFolder_},
        {"master key", source, target, "dupont", pipeFolder},
        {"target nobody reads", source, pipePath, "dupont", keyFolder_},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const int status = testsupport::RunInChild([&]() {
            alarm(20);
            return crypter3(testCase.source.c_str(), testCase.target.c_str(), testCase.user.c_str(),
                            testCase.keyFolder.c_str(), "a", "", "", 0) &
                   0xFF;
        });
        EXPECT_EQ(status, kOtherErr & 0xFF);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
        EXPECT_FALSE(std::filesystem::exists(target));
    }
}

// Permissions that root would ignore, so run as nobody: a source the user may only read is
// encrypted; a user key the user may read but not write, or not read at all, is refused with
// the master key left as it was.
TEST_F(TextEncryption, KeyFilePermissionsAreCheckedBeforeAnyKeyIsUsed) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(source, kLetter));
    ASSERT_EQ(chmod(source.c_str(), 0444), 0);
    for (const std::string& folder : {folder_.path(), keyFolder_, keyFolder_ + "Clefs"}) {
        ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    }
    ASSERT_EQ(chmod(MasterPath().c_str(), 0666), 0);
    struct Case {
        const char* label;
        mode_t userMode;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"read-only source, usable keys", 0666, kNoErr},
        {"read-only user key", 0444, kOtherErr},
        // Not readable: the key counts as missing.
        {"unreadable user key", 0222, kFNFErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(testsupport::WriteKeyFile(MasterPath(), master_));
        ASSERT_TRUE(testsupport::WriteKeyFile(UserPath(), user_));
        ASSERT_EQ(chmod(UserPath().c_str(), testCase.userMode), 0);
        std::filesystem::remove(target);
        const int status = testsupport::RunAsUnprivileged([&]() {
            if (access(source.c_str(), W_OK) == 0) {
                return 100;
            }
            return crypter3(source.c_str(), target.c_str(), "dupont", keyFolder_.c_str(), "a", "",
                            "", 0) &
                   0xFF;
        });
        if (status == testsupport::kCannotDropPrivileges) {
            GTEST_SKIP() << "cannot run as an unprivileged user here";
        }
        EXPECT_EQ(status, testCase.result & 0xFF);
        EXPECT_EQ(MasterUntouched(), testCase.result != kNoErr);
        EXPECT_EQ(UserUntouched(), testCase.result != kNoErr);
        EXPECT_EQ(std::filesystem::exists(target), testCase.result == kNoErr);
    }
}

// A target larger than the process's file-size limit allows is refused before any key is
// used, with the signal for that limit at its default (which would kill the process).
TEST_F(TextEncryption, TheFileSizeLimitIsCheckedBeforeAnyKeyIsUsed) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(source, testsupport::RandomBytes(3000, 5)));
    const int status = testsupport::RunInChild([&]() {
        signal(SIGXFSZ, SIG_DFL);
        const struct rlimit limit = {2048, 2048};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 100;
        }
        return crypter3(source.c_str(), target.c_str(), "dupont", keyFolder_.c_str(), "a", "", "",
                        0) &
               0xFF;
    });
    EXPECT_EQ(status, kOtherErr & 0xFF);
    EXPECT_TRUE(MasterUntouched());
    EXPECT_TRUE(UserUntouched());
    EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"keys", "letter.txt"}));
}

// A source too large for the 32-bit lengths is refused before memory or keys are used. Sparse
// files: no disk space is taken.
TEST_F(TextEncryption, AnOversizedSourceIsRefusedBeforeAnyKey) {
    struct Case {
        const char* label;
        off_t size;
        int32_t result;
    };
    const std::vector<Case> cases = {
        // Its armour would pass 2^31 bytes.
        {"1.7 GB", 1700000000, kFrameTooLong},
        // Its length does not fit a file reference's 32-bit count at all.
        {"3 GB", 3000000000LL, kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const std::string path = folder_.File("huge.txt");
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, testCase.size), 0);
        close(fd);
        EXPECT_EQ(Encrypt(path, folder_.File("huge.msg"), keyFolder_), testCase.result);
        EXPECT_TRUE(MasterUntouched());
        EXPECT_TRUE(UserUntouched());
        EXPECT_FALSE(std::filesystem::exists(folder_.File("huge.msg")));
        std::filesystem::remove(path);
    }
}

TEST_F(TextEncryption, AFailedWriteLeavesTheOldTargetIntact) {
    const std::string path = folder_.File("letter.txt");
    ASSERT_TRUE(WriteWholeFile(path, kLetter));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = FullDiskWrite;
    TypUtilsUnix utils;
    // Source and target the same path: the document must survive the failed write.
    EXPECT_EQ(EncryptTextFile(&utils, &calls, path.c_str(), path.c_str(), "dupont",
                              keyFolder_.c_str(), "a", "", "", 0),
              kOtherErr);
    EXPECT_EQ(ReadWholeFile(path), kLetter);
    EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"keys", "letter.txt"}));
}

TEST_F(TextEncryption, AFullDiskIsFoundBeforeAnyKeyIsUsed) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(source, kLetter));
    ASSERT_TRUE(WriteWholeFile(target, ToBytes("previous message\n")));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.reserve = FullDiskReserve;
    TypUtilsUnix utils;
    EXPECT_EQ(EncryptTextFile(&utils, &calls, source.c_str(), target.c_str(), "dupont",
                              keyFolder_.c_str(), "a", "", "", 0),
              kOtherErr);
    EXPECT_TRUE(MasterUntouched());
    EXPECT_TRUE(UserUntouched());
    EXPECT_EQ(ReadWholeFile(target), ToBytes("previous message\n"));
    EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"keys", "letter.msg", "letter.txt"}));
}

TEST_F(TextEncryption, TraceLinesOnlyWhenAsked) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(source, kLetter));

    EXPECT_EQ(Captured([&] { EXPECT_EQ(Encrypt(source, target, keyFolder_), kNoErr); }), "");

    const std::string year = testsupport::CurrentYearText();
    // Document, "#DESTBEGIN#", "a", ",", "c", ",", "b", "#DESTEND#".
    const size_t messageLength = kLetter.size() + 11 + 5 + 9;
    const std::string trace = Captured([&] {
        EXPECT_EQ(crypter3(source.c_str(), target.c_str(), "dupont", keyFolder_.c_str(), "a", "c",
                           "b", 1),
                  kNoErr);
    });
    // The comments end with their own line feed, so an empty line follows each.
    const std::vector<std::string> lines = {
        "Veldoran Shell - version 1.01 - ZELMOR",
        "Source filename: " + source,
        "Username       : dupont",
        "keyFolderPath       : " + keyFolder_,
        "fieldto       : a",
        "fieldcc       : c",
        "fieldbcc       : b",
        "Len EOL=1",
        "Year-1900: " + year,
        "Source Length: " + std::to_string(kLetter.size()),
        "Master Key: " + MasterPath(),
        "Crypt datalen2: " + std::to_string(messageLength + 224),
        "GetKeyComment: " + testsupport::KeyComment("Master", 6),
        "User Key: " + UserPath(),
        "Crypt datalen: " + std::to_string(messageLength + 448),
        "GetKeyComment: " + testsupport::KeyComment("dupont", 2),
        "End of encoding process",
        "Target File: " + target,
        "Target File Length: " + std::to_string(ReadWholeFile(target).size()),
    };
    std::string expected;
    for (const std::string& line : lines) {
        expected += line + "\n";
    }
    EXPECT_EQ(trace, expected);

    // A failing run stops its trace where it stopped, but for the closing line.
    const std::string failing = Captured([&] {
        EXPECT_EQ(
            crypter3(folder_.File("none").c_str(), target.c_str(), "dupont", "", "", "", "", 1),
            kOtherErr);
    });
    EXPECT_NE(failing.find("Year-1900: " + year + "\nEnd of encoding process\n"),
              std::string::npos);
}

TEST_F(TextEncryption, Crypter2AndCrypterNameTheTarget) {
    const std::string source = folder_.File("letter.txt");
    ASSERT_TRUE(WriteWholeFile(source, kLetter));
    EXPECT_EQ(crypter2(source.c_str(), "dupont", keyFolder_.c_str(), "a", "", "", 0), kNoErr);
    EXPECT_TRUE(std::filesystem::exists(source + ".vlx"));

    // crypter takes the key files from Clefs/ under the current directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(keyFolder_);
    ASSERT_TRUE(WriteWholeFile("note.txt", kLetter));
    const int32_t result = crypter("note.txt", "dupont", "a", "", "");
    const bool written = std::filesystem::exists("note.txt.vlx");
    std::filesystem::current_path(previous);
    EXPECT_EQ(result, kNoErr);
    EXPECT_TRUE(written);
}

}  // namespace
