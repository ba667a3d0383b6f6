// veldoran-tool speaks the user's charset: a letter in UTF-8 comes back byte for byte on every
// path; a character a message would give back as another is refused with its place before any
// key is touched, or transliterated when asked; text not in the charset is refused with its
// offset; --charset windows-1252 takes and gives the documents' own bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/TempDir.h"

namespace {

using testsupport::TempDir;
using toolrun::Input;
using toolrun::kMasterPath;
using toolrun::kUserPath;
using toolrun::MakeKeys;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

// The tests run in a UTF-8 locale unless a case names another.
class ToolText : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(setenv("LC_ALL", "C.UTF-8", 1), 0);
        MakeKeys(folder_);
    }
    void TearDown() override { unsetenv("LC_ALL"); }

    std::string Keys() const {
        return ReadText(folder_.File(kMasterPath)) + ReadText(folder_.File(kUserPath));
    }

    RunResult Run(const std::vector<std::string>& arguments, const std::string& input = "",
                  Input kind = Input::kFile) {
        return RunTool(folder_.path(), arguments, input, "", kind);
    }

    TempDir folder_;
};

const std::vector<std::string> kEncrypt = {"encrypt", "-u", "dupont", "-k", "keys"};

std::vector<std::string> With(std::vector<std::string> arguments,
                              const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// Carried characters of every script Windows-1252 writes, in UTF-8, and what comes back.
struct Letter {
    const char* written;
    const char* read;
};
// clang-format off
const Letter kCarried[] = {
    {"Ch\xC3\xA8re H\xC3\xA9l\xC3\xA8ne, \xC3\x89 \xC3\x88 \xC3\x94 \xC3\x99 \xC3\x91 \xC3\x8D \xC5\x92 \xC3\xA7" "a\n",
     "Ch\xC3\xA8re H\xC3\xA9l\xC3\xA8ne, \xC3\x89 \xC3\x88 \xC3\x94 \xC3\x99 \xC3\x91 \xC3\x8D \xC5\x92 \xC3\xA7" "a\n"},
    {"Gr\xC3\xBC\xC3\x9F\x65, \xC3\x84rger \xC3\x96l\n", "Gr\xC3\xBC\xC3\x9F\x65, \xC3\x84rger \xC3\x96l\n"},
    {"\xC3\x85se \xC3\x98ya \xC3\x86gir\n", "\xC3\x85se \xC3\x98ya \xC3\x86gir\n"},             // Nordic
    {"\xC5\xA1koda \xC5\xBE" "ena\n", "\xC5\xA1koda \xC5\xBE" "ena\n"},                               // Czech š ž
    {"12 \xE2\x82\xAC \xC2\xAB oui \xC2\xBB \xE2\x80\x94 \xE2\x80\x9Cso\n",
     "12 \xE2\x82\xAC \xC2\xAB oui \xC2\xBB \xE2\x80\x94 \xE2\x80\x9Cso\n"},                   // € « » — “
    {"l\xE2\x80\x99\xC3\xA9t\xC3\xA9\n", "l'\xC3\xA9t\xC3\xA9\n"},  // ’ becomes an apostrophe, by design
};
// clang-format on

// Every carried letter on every way in (a file, a redirected standard input, a pipe) and out
// (a derived name, -o, the standard output).
TEST_F(ToolText, CarriedLettersComeBackByteForByteOnEveryPath) {
    for (const Letter& letter : kCarried) {
        WriteText(folder_.File("letter.txt"), letter.written);
        ASSERT_EQ(Run(With(kEncrypt, {"letter.txt"})).status, 0);
        RunResult result = Run({"decrypt", "-k", "keys", "letter.txt.vlx"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadText(folder_.File("letter.txt.vlx.txt")), letter.read);

        result = Run({"decrypt", "-k", "keys", "letter.txt.vlx", "-o", "out.txt"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadText(folder_.File("out.txt")), letter.read);

        for (const Input kind : {Input::kFile, Input::kPipe}) {
            const RunResult message = Run(kEncrypt, letter.written, kind);
            ASSERT_EQ(message.status, 0) << message.err;
            result = Run({"decrypt", "-k", "keys"}, message.out, kind);
            EXPECT_EQ(result.out, letter.read);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
        }
    }
}

// A letter that needs no conversion is read where it stands; any other is converted into a
// copy (the pipeline's trace names the file it reads).
TEST_F(ToolText, OnlyALetterThatChangesIsCopied) {
    const struct {
        const char* letter;
        const char* charset;
        bool copied;
    } kCases[] = {
        {"plain ASCII\n", "UTF-8", false},
        {"\xC3\xA9t\xC3\xA9\n", "UTF-8", true},
        {"\xE9t\xE9 \x80\n", "windows-1252", false},
        {"\xE9t\xE9\n", "ISO-8859-1", true},
    };
    for (const auto& row : kCases) {
        WriteText(folder_.File("letter.txt"), row.letter);
        const RunResult result = Run({"--trace", "--charset", row.charset, "encrypt", "letter.txt",
                                      "-u", "dupont", "-k", "keys", "-o", "letter.vlx"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err.find("Source filename: letter.txt\n") == std::string::npos, row.copied)
            << row.charset << " " << row.letter;
    }
}

// The C and POSIX locales name ASCII; the tool takes them as UTF-8.
TEST_F(ToolText, TheCAndPosixLocalesAreTakenAsUtf8) {
    const Letter& letter = kCarried[0];
    for (const char* locale : {"C", "POSIX"}) {
        ASSERT_EQ(setenv("LC_ALL", locale, 1), 0);
        const RunResult message = Run(kEncrypt, letter.written);
        ASSERT_EQ(message.status, 0) << locale << message.err;
        EXPECT_EQ(Run({"decrypt", "-k", "keys"}, message.out).out, letter.read) << locale;
    }
}

// What cannot travel: the fifteen Windows-1252 characters that come back as others, and some
// outside Windows-1252. The refusal names its place; transliteration makes the nearest.
struct Untravelled {
    const char* character;
    const char* code;
    const char* nearest;
};
// clang-format off
const Untravelled kUntravelled[] = {
    {"\xCB\x86", "U+02C6", "^"},          {"\xE2\x80\xB0", "U+2030", "o/oo"},
    {"\xC5\xBD", "U+017D", "Z"},          {"\xE2\x80\x98", "U+2018", "'"},
    {"\xE2\x80\x9D", "U+201D", "\""},     {"\xE2\x80\xA2", "U+2022", "\xC2\xB7"},
    {"\xE2\x84\xA2", "U+2122", "TM"},     {"\xC5\xB8", "U+0178", "Y"},
    {"\xC2\xA1", "U+00A1", "!"},          {"\xC3\x8E", "U+00CE", "I"},
    {"\xC3\x8F", "U+00CF", "I"},          {"\xC5\x9B", "U+015B", "s"},       // ś
    {"\xF0\x9F\x99\x82", "U+1F642", "?"}, {"\xD0\x96", "U+0416", "?"},       // 🙂, Ж
};
// clang-format on

TEST_F(ToolText, UntravelledCharactersAreRefusedBeforeAnyKeyIsTouched) {
    const std::string keys = Keys();
    for (const Untravelled& row : kUntravelled) {
        const std::string letter = std::string("Dear all,\nsee \xC3\xA9") + row.character + "!\n";
        const std::string line = std::string(": line 2, column 6: \"") + row.character + "\" (" +
                                 row.code + ") cannot travel; --transliterate makes it \"" +
                                 row.nearest + "\"\n";
        WriteText(folder_.File("letter.txt"), letter);
        RunResult result = Run(With(kEncrypt, {"letter.txt"}));
        EXPECT_EQ(result.status, 4) << row.code;
        EXPECT_EQ(result.err, "veldoran-tool: letter.txt" + line);
        EXPECT_FALSE(std::filesystem::exists(folder_.File("letter.txt.vlx")));

        for (const Input kind : {Input::kFile, Input::kPipe}) {
            result = Run(kEncrypt, letter, kind);
            EXPECT_EQ(result.status, 4) << row.code;
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "veldoran-tool: standard input" + line);
        }
        EXPECT_EQ(Keys(), keys) << row.code;
    }
    EXPECT_EQ(std::vector<std::string>({folder_.File("keys"), folder_.File("letter.txt")}), [this] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
            names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }());
}

TEST_F(ToolText, TransliterationLetsTheNearestCharacterTravel) {
    for (const Untravelled& row : kUntravelled) {
        const std::string letter = std::string("<") + row.character + ">\n";
        for (const Input kind : {Input::kFile, Input::kPipe}) {
            const RunResult message = Run(With(kEncrypt, {"--transliterate"}), letter, kind);
            EXPECT_EQ(message.status, 0) << row.code;
            EXPECT_EQ(message.err,
                      "veldoran-tool: standard input: --transliterate changed 1 character\n");
            EXPECT_EQ(Run({"decrypt", "-k", "keys"}, message.out).out,
                      std::string("<") + row.nearest + ">\n");
        }
    }
}

TEST_F(ToolText, AScreenfulOfRefusalsThenTheirCount) {
    std::string letter;
    for (int line = 0; line < 23; ++line) {
        letter += "\xE2\x84\xA2\n";
    }
    const RunResult result = Run(kEncrypt, letter);
    EXPECT_EQ(result.status, 4);
    const std::string last =
        "veldoran-tool: standard input: and 3 more characters that cannot "
        "travel\n";
    ASSERT_GE(result.err.size(), last.size());
    EXPECT_EQ(result.err.substr(result.err.size() - last.size()), last);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 21);
}

// A Windows-1252 file in a UTF-8 locale, and UTF-8 that is not well formed.
TEST_F(ToolText, TextNotInTheCharsetIsRefusedWithItsOffset) {
    const std::string keys = Keys();
    const struct {
        const char* text;
        const char* offset;
    } kInvalid[] = {{"Caf\xE9 au lait\n", "3"}, {"ok\n\xC3(\n", "3"}, {"cut \xE2\x82", "4"}};
    for (const auto& row : kInvalid) {
        WriteText(folder_.File("letter.txt"), row.text);
        const RunResult result = Run(With(kEncrypt, {"letter.txt"}));
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.err, std::string("veldoran-tool: letter.txt: the byte at offset ") +
                                  row.offset +
                                  " is not UTF-8 text; give the text's charset with --charset "
                                  "(windows-1252 for a Windows text)\n");
        EXPECT_EQ(Run(kEncrypt, row.text, Input::kPipe).status, 4);
    }
    EXPECT_EQ(Keys(), keys);
}

// --charset windows-1252: every byte the document form carries, both ways, as it is; in UTF-8
// the one unassigned byte among them comes out as U+FFFD with a warning.
TEST_F(ToolText, Windows1252IsTakenAndGivenByteForByte) {
    std::string document;
    for (unsigned value = 1; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        const bool comesBackAsAnother =
            std::string("\x88\x89\x8D\x8E\x8F\x90\x91\x94\x95\x99\x9D\x9F\xA1\xCE\xCF\x92\r")
                .find(static_cast<char>(byte)) != std::string::npos;
        if (!comesBackAsAnother) {
            document.push_back(static_cast<char>(byte));
        }
    }
    for (const char* name : {"windows-1252", "CP1252"}) {
        const RunResult message = Run(With(kEncrypt, {"--charset", name}), document);
        ASSERT_EQ(message.status, 0) << message.err;
        const RunResult back = Run({"decrypt", "-k", "keys", "--charset", name}, message.out);
        EXPECT_EQ(back.out, document) << name;
        EXPECT_EQ(back.err, "");

        const RunResult utf8 = Run({"decrypt", "-k", "keys"}, message.out);
        EXPECT_EQ(utf8.status, 0);
        EXPECT_NE(utf8.out.find("\xEF\xBF\xBD"), std::string::npos);  // 0x81
        EXPECT_EQ(utf8.err,
                  "veldoran-tool: warning: standard output: 1 character that Windows-1252 "
                  "leaves unassigned or UTF-8 lacks was written as U+FFFD (or ?)\n");
    }
    // Windows-1252 bytes the form gives back as others are refused there too.
    const RunResult refused =
        Run({"--charset", "windows-1252", "encrypt", "-u", "dupont", "-k", "keys"}, "\xCE\n");
    EXPECT_EQ(refused.status, 4);
    EXPECT_EQ(refused.err,
              "veldoran-tool: standard input: line 1, column 1: \"\xCE\" (U+00CE) "
              "cannot travel; --transliterate makes it \"I\"\n");
}

// A peer's message made by the veldoran program from Windows-1252 bytes reads as UTF-8.
TEST_F(ToolText, APeersWindows1252MessageReadsAsUtf8) {
    WriteText(folder_.File("lettre.txt"), "Ch\xE8re H\xE9l\xE8ne, 12 \x80 \xAB oui \xBB\n");
    const std::string command = "cd '" + folder_.path() + "' && '" + VELDORAN_PROGRAM +
                                "' -s lettre.txt -o lettre.msg -u dupont -k keys/ -d a >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    const RunResult result = Run({"decrypt", "-k", "keys", "lettre.msg", "-o", "-"});
    EXPECT_EQ(result.out,
              "Ch\xC3\xA8re H\xC3\xA9l\xC3\xA8ne, 12 \xE2\x82\xAC \xC2\xAB oui \xC2\xBB\n");
    EXPECT_EQ(result.status, 0) << result.err;
}

// Recipient lists and parameter text follow the same rule as the document.
TEST_F(ToolText, RecipientListsAndParametersFollowTheRule) {
    const RunResult message =
        Run(With(kEncrypt, {"--to", "Zo\xC3\xAB", "--param", "\xE2\x82\xAC"}), "hello\n");
    ASSERT_EQ(message.status, 0) << message.err;
    const RunResult shown = Run({"decrypt", "-k", "keys", "--recipients"}, message.out);
    EXPECT_EQ(shown.err, "to: Zo\xC3\xAB\ncc: \nbcc: \nparameters: \xE2\x82\xAC\n");

    const std::string keys = Keys();
    const RunResult refused = Run(With(kEncrypt, {"--cc",
                                                  "\xC3\x8E"
                                                  "le"}),
                                  "hello\n");
    EXPECT_EQ(refused.status, 4);
    EXPECT_EQ(refused.err,
              "veldoran-tool: --cc: line 1, column 1: \"\xC3\x8E\" (U+00CE) cannot "
              "travel; --transliterate makes it \"I\"\n");
    EXPECT_EQ(Keys(), keys);
}

TEST_F(ToolText, AnUnknownCharsetIsAUsageError) {
    const RunResult result = Run(With(kEncrypt, {"--charset", "NO-SUCH"}), "hello\n");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
}

}  // namespace
