// The text decryption pipeline end to end: message files made by the encryption pipeline (or
// with other key files through the library's encryption) come back as the document in local
// form; a message pasted into a mail still decrypts; every failure leaves the target as it was
// with no temporary file; key files are never written.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "MessageFixture.h"
#include "pipelines/TextDecryptionCore.h"
#include "platform/TargetWriter.h"
#include "support/ChildProcess.h"
#include "support/TraceCapture.h"

namespace {

using messagetest::Bytes;
using messagetest::Entries;
using messagetest::ToBytes;
using messagetest::ToString;
using testsupport::Captured;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

class TextDecryption : public messagetest::MessageTest {
  protected:
    // Encrypts document with crypter3 into name.msg and returns that path.
    std::string EncryptToFile(const Bytes& document, const std::string& name = "letter") {
        const std::string source = folder_.File(name + ".txt");
        const std::string target = folder_.File(name + ".msg");
        EXPECT_TRUE(WriteWholeFile(source, document));
        EXPECT_EQ(crypter3(source.c_str(), target.c_str(), "dupont", keyFolder_.c_str(),
                           "dupont,durand", "", "", 0),
                  kNoErr);
        std::filesystem::remove(source);
        return target;
    }

    int32_t Decrypt(const std::string& source) {
        return decrypter2(source.c_str(), keyFolder_.c_str(), 0);
    }
};

TEST_F(TextDecryption, EncryptedFilesComeBackInLocalForm) {
    for (const messagetest::RoundTripCase& testCase : messagetest::RoundTripCases()) {
        SCOPED_TRACE(testCase.label);
        const std::string message = EncryptToFile(testCase.document);
        const Bytes keysBefore = ReadWholeFile(KeyPath("Master"));
        const Bytes userBefore = ReadWholeFile(KeyPath("dupont"));
        ASSERT_EQ(Decrypt(message), kNoErr);
        EXPECT_EQ(ReadWholeFile(message + ".txt"), testCase.expected);
        EXPECT_TRUE(std::filesystem::exists(message + ".txt"));
        // Decryption only reads the key files.
        EXPECT_EQ(ReadWholeFile(KeyPath("Master")), keysBefore);
        EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userBefore);
        std::filesystem::remove(message);
        std::filesystem::remove(message + ".txt");
    }
}

TEST_F(TextDecryption, TheLargeCaseFollowsTheTable) {
    // The model the large case relies on, checked against the filter's own example: élève and a
    // line feed, 0xE9 'l' 0xE8 'v' 'e' 0x0A, and CR LF as two line ends.
    EXPECT_EQ(messagetest::Interchange({0xE9, 'l', 0xE8, 'v', 'e', 0x0A}),
              Bytes({0x8E, 'l', 0x8F, 'v', 'e', 0x0D}));
    EXPECT_EQ(messagetest::BackFromInterchange(ToBytes("a\r\n")), ToBytes("a\n\n"));
}

TEST_F(TextDecryption, AnExistingTargetIsReplaced) {
    const std::string message = EncryptToFile(ToBytes("nouveau\n"));
    ASSERT_TRUE(WriteWholeFile(message + ".txt", ToBytes("an old and longer document\n")));
    ASSERT_EQ(Decrypt(message), kNoErr);
    EXPECT_EQ(ReadWholeFile(message + ".txt"), ToBytes("nouveau\n"));
    EXPECT_EQ(Entries(folder_.path()),
              (std::set<std::string>{"keys", "letter.msg", "letter.msg.txt"}));
}

// What a mail system and a reader may do to a message on its way; the armour ignores every
// character outside its alphabet and everything outside its markers.
std::string CrLf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

std::string Quoted(const std::string& text) {
    std::string result = "> ";
    for (size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == '\n' && i + 1 < text.size()) {
            result += "> ";
        }
    }
    return result;
}

// Lines of the armour cut again at width characters, with a tab in front of each.
std::string Rewrapped(const std::string& text, size_t width) {
    std::string joined;
    for (char c : text) {
        if (c != '\n') {
            joined += c;
        }
    }
    std::string result;
    for (size_t i = 0; i < joined.size(); i += width) {
        result += "\t" + joined.substr(i, width) + "\n";
    }
    return result;
}

std::string InAMail(const std::string& message) {
    return "From: Dupont <dupont@example.org>\nTo: durand@example.org\nSubject: lettre\n\n"
           "Bonjour,\nvoici la lettre.\n\n" +
           message + "\n-- \nJean Dupont\n06 12 34 56 78\n";
}

std::vector<std::pair<const char*, std::string>> MailForms(const std::string& message) {
    // The armour alone, re-wrapped: its markers stay whole on their own lines only because the
    // width lets them; a marker cut in two is no longer found.
    const size_t armourStart = message.find("#BINASCII1#") + 12;
    const size_t armourEnd = message.find("#ENDBINASCII1#");
    const std::string rewrapped =
        message.substr(0, armourStart) +
        Rewrapped(message.substr(armourStart, armourEnd - armourStart), 72) +
        message.substr(armourEnd);
    return {
        {"headers before, signature after", InAMail(message)},
        {"CR LF line ends", CrLf(InAMail(message))},
        {"quoted with \"> \"", Quoted(InAMail(message))},
        {"re-wrapped and indented lines", InAMail(rewrapped)},
        {"all of it", Quoted(CrLf(InAMail(rewrapped)))},
    };
}

TEST_F(TextDecryption, AMessagePastedIntoAMailDecrypts) {
    const Bytes letter = ToBytes("Cher ami,\nà bientôt.\n");
    const std::string message = EncryptToFile(letter);
    const std::string text = ToString(ReadWholeFile(message));
    for (const auto& [label, mail] : MailForms(text)) {
        SCOPED_TRACE(label);
        const std::string path = folder_.File("mail.eml");
        ASSERT_TRUE(WriteWholeFile(path, ToBytes(mail)));
        ASSERT_EQ(Decrypt(path), kNoErr);
        EXPECT_EQ(ReadWholeFile(path + ".txt"), messagetest::BackFromInterchange(letter));
    }
}

TEST_F(TextDecryption, WhatTheArmourDoesNotForgive) {
    const std::string text = ToString(ReadWholeFile(EncryptToFile(ToBytes("lettre\n"))));
    const std::string path = folder_.File("mail.eml");
    struct Case {
        const char* label;
        std::string mail;
        int32_t result;
    };
    const size_t data = text.find("#BINASCII1#") + 12 + 30;
    std::string hyphenated = text;
    // A hyphen is an armour character: a mail client that hyphenates changes the content.
    hyphenated.insert(data, "-\n");
    std::string cutMarker = text;
    cutMarker.insert(cutMarker.find("#ENDBINASCII1#") + 4, "\n");
    const std::vector<Case> cases = {
        {"an armour character added", hyphenated, kCRCErr},
        {"the end marker broken by a line end", cutMarker, kPbErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(path, ToBytes(testCase.mail)));
        EXPECT_EQ(Decrypt(path), testCase.result);
        EXPECT_FALSE(std::filesystem::exists(path + ".txt"));
    }
}

TEST_F(TextDecryption, LastYearsKeysDecryptWhileThisYearsAreThere) {
    // Last year's keys, other material than this year's, beside them in the folder.
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Master", 1), Key("Master", 280, 3, 31, 1)));
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("dupont", 1), Key("dupont", 290, 5, 32, 1)));
    // Another user's key: decryption takes the sender's key, whoever decrypts.
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("durand"), Key("durand", 300, 0, 33)));
    const Bytes document = ToBytes("Lettre de l'an dernier.\r");
    const std::string path = folder_.File("old.msg");
    ASSERT_TRUE(
        WriteWholeFile(path, ToBytes(MakeMessage(WithRecipients(document, "durand", "", ""), 1))));

    SnapshotKeys();
    ASSERT_EQ(Decrypt(path), kNoErr);
    EXPECT_EQ(ReadWholeFile(path + ".txt"), ToBytes("Lettre de l'an dernier.\n"));
    EXPECT_TRUE(KeysUntouched());

    // This year's keys cannot stand in for last year's.
    std::filesystem::remove(path + ".txt");
    std::filesystem::remove(KeyPath("Master", 1));
    EXPECT_EQ(Decrypt(path), KeyNotFoundErr);
    EXPECT_FALSE(std::filesystem::exists(path + ".txt"));
}

TEST_F(TextDecryption, AStoredMessageWithTheMarkerInItsDocumentIsCutThere) {
    // Such messages exist from before the encryption refused them; they decrypt as they
    // always did, to the text in front of the first marker.
    const std::string path = folder_.File("old.msg");
    ASSERT_TRUE(WriteWholeFile(
        path,
        ToBytes(MakeMessage(WithRecipients(ToBytes("avant#DESTBEGIN#apres"), "a", "", ""), 0))));
    ASSERT_EQ(Decrypt(path), kNoErr);
    EXPECT_EQ(ReadWholeFile(path + ".txt"), ToBytes("avant"));
}

// A frame's key header: version at 0, keyLen at 88, keyOffset at 92 (big-endian).
Bytes WithHeaderField(Bytes frame, size_t offset, uint32_t value) {
    testsupport::PutBigEndian32(frame.data() + offset, value);
    return frame;
}

// Every failure: its code, the target left exactly as it was (an old one keeps its content),
// no temporary file, the key files untouched.
TEST_F(TextDecryption, FailureTable) {
    const std::string good = ToString(ReadWholeFile(EncryptToFile(ToBytes("lettre\n"))));
    SnapshotKeys();
    const Bytes outer = OuterFrame(good);
    const std::string source = folder_.File("mail.msg");
    const std::string target = source + ".txt";
    const Bytes oldTarget = ToBytes("previous document\n");

    std::string wrongChecksum = good;
    const size_t firstData = wrongChecksum.find("#BINASCII1#") + 12 + 8;
    wrongChecksum[firstData] = wrongChecksum[firstData] == 'A' ? 'B' : 'A';
    std::string cutArmour = good;
    cutArmour.erase(cutArmour.find("#BINASCII1#") + 12 + 60, 70);

    // The inner frame spoilt, under a valid outer layer, reaches the master key layer.
    const std::string missingKeyFolder = folder_.File("nokeys/");
    std::filesystem::create_directories(missingKeyFolder + "Clefs");

    struct Case {
        const char* label;
        std::string content;  // the message file; none when empty and noSource is set
        bool noSource;
        std::string keyFolder;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"source missing", "", true, keyFolder_, kOtherErr},
        {"no armour", "just a letter\n", false, keyFolder_, kPbErr},
        {"empty file", "", false, keyFolder_, kPbErr},
        {"end marker missing", good.substr(0, good.find("#ENDBINASCII1#")), false, keyFolder_,
         kPbErr},
        {"armour too short", "#BINASCII1#\n0000\n#ENDBINASCII1#\n", false, keyFolder_, kPbErr},
        {"characters cut out of the armour", cutArmour, false, keyFolder_, kPbErr},
        {"checksum mismatch", wrongChecksum, false, keyFolder_, kCRCErr},
        {"frame shorter than a key header", Armoured(Bytes(100, 7)), false, keyFolder_,
         kFrameTooShort},
        {"key header not of version 1", Armoured(WithHeaderField(outer, 0, 2)), false, keyFolder_,
         kBadKeyHeader},
        {"key files missing", good, false, missingKeyFolder, KeyNotFoundErr},
        {"key folder without its slash", good, false, keyFolder_.substr(0, keyFolder_.size() - 1),
         KeyNotFoundErr},
        {"start beyond the key material", Armoured(WithHeaderField(outer, 92, 501)), false,
         keyFolder_, kOffsetOutOfRangeErr},
        {"key folder longer than 255 characters", good, false, std::string(300, 'k') + "/",
         kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        std::filesystem::remove(source);
        if (!testCase.noSource) {
            ASSERT_TRUE(WriteWholeFile(source, ToBytes(testCase.content)));
        }
        ASSERT_TRUE(WriteWholeFile(target, oldTarget));
        const std::set<std::string> entriesBefore = Entries(folder_.path());
        EXPECT_EQ(decrypter2(source.c_str(), testCase.keyFolder.c_str(), 0), testCase.result);
        EXPECT_EQ(ReadWholeFile(target), oldTarget);
        EXPECT_EQ(Entries(folder_.path()), entriesBefore);
        EXPECT_TRUE(KeysUntouched());
    }
}

TEST_F(TextDecryption, KeyFilesThatCannotBeReadOrFoundPerLayer) {
    const std::string message = EncryptToFile(ToBytes("lettre\n"));
    SnapshotKeys();
    struct Case {
        const char* label;
        std::function<void()> spoil;
        int32_t result;
    };
    const std::vector<Case> cases = {
        // The user layer comes off, then the master key is missing: -5, not the -43 of
        // encryption.
        {"master key missing", [&] { std::filesystem::remove(KeyPath("Master")); }, KeyNotFoundErr},
        {"user key missing", [&] { std::filesystem::remove(KeyPath("dupont")); }, KeyNotFoundErr},
        // The key stream runs past the end of what is left of the material.
        {"user key cut short", [&] { std::filesystem::resize_file(KeyPath("dupont"), 240); },
         kOtherErr},
        {"master key shorter than its header",
         [&] { std::filesystem::resize_file(KeyPath("Master"), 100); }, kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        RestoreKeys();
        testCase.spoil();
        EXPECT_EQ(Decrypt(message), testCase.result);
        EXPECT_FALSE(std::filesystem::exists(message + ".txt"));
        EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"keys", "letter.msg"}));
    }
}

TEST_F(TextDecryption, TargetsThatCannotBeWritten) {
    const std::string message = EncryptToFile(ToBytes("lettre\n"));
    // A source whose name still fits a file reference, but not with ".txt" behind it.
    const std::string longSource =
        folder_.path() + std::string(kMaxPathLength - folder_.path().size() - 2, 'm');
    std::filesystem::copy_file(message, longSource);
    EXPECT_EQ(Decrypt(longSource), kOtherErr);

    // The target is a folder.
    std::filesystem::create_directories(message + ".txt");
    EXPECT_EQ(Decrypt(message), kOtherErr);
    EXPECT_TRUE(std::filesystem::is_directory(message + ".txt"));
    std::filesystem::remove(message + ".txt");
    EXPECT_EQ(
        Entries(folder_.path()),
        (std::set<std::string>{"keys", "letter.msg", longSource.substr(folder_.path().size())}));
}

TEST_F(TextDecryption, ASourceThatMayOnlyBeReadDecrypts) {
    const std::string message = EncryptToFile(ToBytes("lettre\n"));
    // Readable by everyone, writable by nobody; its folder open so that the target can be made.
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::all);
    std::filesystem::permissions(message, std::filesystem::perms::owner_read |
                                              std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
    for (const std::string& key : {KeyPath("Master"), KeyPath("dupont")}) {
        std::filesystem::permissions(key, std::filesystem::perms::owner_read |
                                              std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
    }
    std::filesystem::permissions(keyFolder_, std::filesystem::perms::all);
    std::filesystem::permissions(keyFolder_ + "Clefs", std::filesystem::perms::all);
    const int status = testsupport::RunAsUnprivileged(
        [&] { return decrypter2(message.c_str(), keyFolder_.c_str(), 0) == kNoErr ? 0 : 1; });
    if (status == testsupport::kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadWholeFile(message + ".txt"), ToBytes("lettre\n"));
}

TEST_F(TextDecryption, TraceLinesOnlyWhenAsked) {
    const Bytes document = ToBytes("lettre\n");
    const std::string message = EncryptToFile(document);
    const size_t sourceLength = ReadWholeFile(message).size();
    // Document, "#DESTBEGIN#", "dupont,durand", ",", ",", "#DESTEND#".
    const size_t messageLength = document.size() + 11 + 13 + 2 + 9;

    EXPECT_EQ(Captured([&] { EXPECT_EQ(Decrypt(message), kNoErr); }), "");
    const std::string trace =
        Captured([&] { EXPECT_EQ(decrypter2(message.c_str(), keyFolder_.c_str(), 1), kNoErr); });
    EXPECT_EQ(trace,
              "VELDORAN DECRYPTAGE - v1.01 - ZELMOR\n"
              "Source Length: " +
                  std::to_string(sourceLength) +
                  "\n"
                  "UnCrypt datalen2: " +
                  std::to_string(messageLength + 224) +
                  "\n"
                  "UnCrypt datalen: " +
                  std::to_string(messageLength) +
                  "\n"
                  "Target File: " +
                  message + ".txt\nTarget File Length: " + std::to_string(messageLength) + "\n");
}

// A run that fails at a key still names its target, with the message length the decryption
// handed back: none when the user layer failed, the inner frame less its header when the
// master layer failed at its key file (the cipher hands over a block of that length).
TEST_F(TextDecryption, FailingRunsTraceTheLengthHandedBack) {
    // An earlier message moves the master key's position past the start of its material.
    EncryptToFile(ToBytes("premier\n"), "first");
    const Bytes document = ToBytes("lettre\n");
    const std::string message = EncryptToFile(document);
    const size_t sourceLength = ReadWholeFile(message).size();
    const size_t messageLength = document.size() + 11 + 13 + 2 + 9;
    testsupport::KeyFileContents shortMaster = master_;
    shortMaster.material.resize(4);
    struct Case {
        const char* label;
        std::function<void()> breakKeys;
        int32_t code;
        size_t targetLength;
    };
    const Case cases[] = {
        {"user key missing", [&] { std::filesystem::remove(KeyPath("dupont")); }, KeyNotFoundErr,
         0},
        {"master key missing", [&] { std::filesystem::remove(KeyPath("Master")); }, KeyNotFoundErr,
         messageLength},
        {"master position outside its material",
         [&] { ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("Master"), shortMaster)); },
         kOffsetOutOfRangeErr, messageLength},
    };
    SnapshotKeys();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        RestoreKeys();
        testCase.breakKeys();
        const std::string trace = Captured(
            [&] { EXPECT_EQ(decrypter2(message.c_str(), keyFolder_.c_str(), 1), testCase.code); });
        const std::string userLine =
            testCase.targetLength == 0
                ? ""
                : "UnCrypt datalen2: " + std::to_string(messageLength + 224) + "\n";
        EXPECT_EQ(trace,
                  "VELDORAN DECRYPTAGE - v1.01 - ZELMOR\nSource Length: " +
                      std::to_string(sourceLength) + "\n" + userLine + "Target File: " + message +
                      ".txt\nTarget File Length: " + std::to_string(testCase.targetLength) + "\n");
        EXPECT_FALSE(std::filesystem::exists(message + ".txt"));
    }
}

TEST_F(TextDecryption, DecrypterTakesTheKeysUnderTheCurrentDirectory) {
    const std::string message = EncryptToFile(ToBytes("lettre\n"));
    std::filesystem::copy_file(message, keyFolder_ + "note.vlx");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(keyFolder_);
    const int32_t result = decrypter("note.vlx");
    const Bytes written = ReadWholeFile("note.vlx.txt");
    std::filesystem::current_path(previous);
    EXPECT_EQ(result, kNoErr);
    EXPECT_EQ(written, ToBytes("lettre\n"));
}

}  // namespace
