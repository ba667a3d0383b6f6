// veldoran-tool as users and mail clients run it: arguments and standard input in, exact
// standard output, standard error and exit status out, and the files it leaves behind. Key
// files are made with the test support's writer, independent of the tool's own key new.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::KeyFileContents;
using testsupport::TempDir;
using toolrun::kMasterPath;
using toolrun::kUserPath;
using toolrun::kYear;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

// A key of the current year at <folder>keys/Clefs/<name>.<year text>.
void MakeKey(const TempDir& folder, const std::string& name, size_t materialLength,
             int32_t keyOffset = 0, uint32_t seed = 7) {
    ASSERT_FALSE(testsupport::WriteCurrentYearKey(folder.File("keys/"), name, materialLength,
                                                  keyOffset, seed)
                     .empty());
}

// Both key files' bytes, to prove a run left them alone.
std::string KeyBytes(const TempDir& folder) {
    return ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath));
}

struct Scenario {
    const char* label;
    std::vector<std::string> arguments;
    std::string input;
    std::string out;
    std::string err;
    int status;
};

void ExpectScenario(const RunResult& result, const Scenario& scenario) {
    EXPECT_EQ(result.out, scenario.out);
    EXPECT_EQ(result.err, scenario.err);
    EXPECT_EQ(result.status, scenario.status);
}

TEST(ToolScenarios, UsageErrorsExitWithTwoAndOneLine) {
    const std::string see = "; see veldoran-tool";
    const std::vector<Scenario> scenarios = {
        {"no subcommand",
         {},
         "",
         "",
         "veldoran-tool: A subcommand is required" + see + " --help\n",
         2},
        {"key without its subcommand",
         {"key"},
         "",
         "",
         "veldoran-tool: A subcommand is required" + see + " key --help\n",
         2},
        {"encrypt without a user",
         {"encrypt", "letter.txt"},
         "",
         "",
         "veldoran-tool: --user is required" + see + " encrypt --help\n",
         2},
        {"a user name that climbs out of the key folder",
         {"encrypt", "-u", "../dupont"},
         "",
         "",
         "veldoran-tool: --user: a key name does not start with \".\"" + see + " encrypt --help\n",
         2},
        {"a key name with a slash",
         {"key", "new", "a/b"},
         "",
         "",
         "veldoran-tool: NAME: a key name holds no \"/\" and no control character" + see +
             " key new --help\n",
         2},
        {"a key name longer than a header holds",
         {"key", "new", std::string(41, 'n')},
         "",
         "",
         "veldoran-tool: NAME: a key name has 1 to 40 bytes" + see + " key new --help\n",
         2},
        {"a year whose key files are named another way",
         {"key", "new", "dupont", "--year", "1989"},
         "",
         "",
         "veldoran-tool: --year: Value 1989 not in range 1990 to 9999" + see + " key new --help\n",
         2},
        {"no key material",
         {"key", "new", "dupont", "--size", "0"},
         "",
         "",
         "veldoran-tool: --size: Value 0 not in range 1 to 2147483423" + see + " key new --help\n",
         2},
        {"key show without a file",
         {"key", "show"},
         "",
         "",
         "veldoran-tool: KEYFILE is required" + see + " key show --help\n",
         2},
        {"two documents",
         {"encrypt", "a.txt", "b.txt", "-u", "dupont"},
         "",
         "",
         "veldoran-tool: The following argument was not expected: b.txt" + see +
             " encrypt --help\n",
         2},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.label);
        TempDir folder;
        ExpectScenario(RunTool(folder.path(), scenario.arguments, scenario.input), scenario);
        EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
    }
}

TEST(ToolScenarios, HelpOfEverySubcommand) {
    const std::vector<std::vector<std::string>> commands = {
        {},       {"encrypt"}, {"decrypt"}, {"encrypt-binary"}, {"decrypt-binary"},
        {"pack"}, {"unpack"},  {"key"},     {"key", "new"},     {"key", "show"},
    };
    for (const std::vector<std::string>& command : commands) {
        std::string name = "veldoran-tool";
        std::vector<std::string> arguments = command;
        for (const std::string& word : command) {
            name += " " + word;
        }
        SCOPED_TRACE(name);
        arguments.push_back("--help");
        TempDir folder;
        const RunResult result = RunTool(folder.path(), arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("Usage: " + name + " "), std::string::npos) << result.out;
    }
    TempDir folder;
    const RunResult encryptHelp = RunTool(folder.path(), {"encrypt", "--help"});
    EXPECT_NE(encryptHelp.out.find("CR LF line ends"), std::string::npos);
    const RunResult version = RunTool(folder.path(), {"--version"});
    EXPECT_EQ(version.out, "veldoran-tool 1.0.0\n");
    EXPECT_EQ(version.status, 0);
}

TEST(ToolScenarios, KeyNewThenKeyShow) {
    TempDir folder;
    const RunResult made = RunTool(
        folder.path(), {"key", "new", "dupont", "-k", "keys", "--year", "2031", "--size", "4K"});
    EXPECT_EQ(made.out, "keys/Clefs/dupont.131\n");
    EXPECT_EQ(made.err, "");
    ASSERT_EQ(made.status, 0);

    const std::string path = folder.File("keys/Clefs/dupont.131");
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_size, 224 + 4096);
    testsupport::KeyHeaderFields fields;
    ASSERT_TRUE(testsupport::ReadKeyHeader(path, &fields));
    EXPECT_EQ(fields.version, 1);
    EXPECT_EQ(fields.year, 2031);
    EXPECT_EQ(fields.name, "dupont");
    EXPECT_EQ(fields.keyLen, 4096);
    EXPECT_EQ(fields.keyOffset, 0);
    EXPECT_EQ(fields.useCount, 0);
    EXPECT_EQ(fields.id.size(), 32u);
    // Nothing but the key in its folder: no temporary file is left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.File("keys/Clefs")),
                            std::filesystem::directory_iterator()),
              1);

    const RunResult shown = RunTool(folder.path(), {"key", "show", "keys/Clefs/dupont.131"});
    EXPECT_EQ(shown.out,
              "keys/Clefs/dupont.131\n"
              "  version:            1\n"
              "  year:               2031\n"
              "  id:                 " +
                  fields.id +
                  "\n"
                  "  name:               dupont\n"
                  "  key length:         4096 bytes\n"
                  "  key offset:         0\n"
                  "  use count:          0\n"
                  "  left before wrap:   4096 bytes\n"
                  "  names its file:     yes\n"
                  "  journal:            no record of this key\n");
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.status, 0);

    // Never replaced, whatever the size asked for.
    const std::string before = ReadText(path);
    const RunResult again = RunTool(
        folder.path(), {"key", "new", "dupont", "-k", "keys/", "--year", "2031", "--size", "1"});
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err,
              "veldoran-tool: keys/Clefs/dupont.131: already exists; a key file is never "
              "replaced\n");
    EXPECT_EQ(again.status, 255);
    EXPECT_EQ(ReadText(path), before);

    // Without --year: this year's key, named as encryption looks for it.
    const RunResult thisYear = RunTool(folder.path(), {"key", "new", "Master", "-k", "keys"});
    EXPECT_EQ(thisYear.out, "keys/Clefs/Master." + kYear + "\n");
    EXPECT_EQ(thisYear.status, 0);
    EXPECT_EQ(std::filesystem::file_size(folder.File("keys/Clefs/Master." + kYear)),
              224u + (1u << 20));

    // Two new keys never share material.
    ASSERT_EQ(RunTool(folder.path(),
                      {"key", "new", "durand", "-k", "keys", "--year", "2031", "--size", "4K"})
                  .status,
              0);
    EXPECT_NE(ReadText(folder.File("keys/Clefs/durand.131")).substr(224), before.substr(224));
}

TEST(ToolScenarios, AKilledKeyNewLeavesNoFileBehind) {
    TempDir folder;
    std::filesystem::create_directories(folder.File("keys/Clefs"));
    const std::vector<std::string> arguments = {"key",  "new",    "dupont", "-k",
                                                "keys", "--size", "1G"};
    const pid_t child = toolrun::StartTool(folder, arguments);
    ASSERT_GT(child, 0);
    // A gibibyte of random material takes seconds: the run is killed while it writes.
    usleep(300 * 1000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";
    EXPECT_TRUE(std::filesystem::is_empty(folder.File("keys/Clefs")));
}

TEST(ToolScenarios, KeyShowSaysWhatIsWrongWithAKeyFile) {
    TempDir folder;
    std::filesystem::create_directories(folder.File("keys/Clefs"));
    KeyFileContents contents;
    contents.name = "durand";
    contents.year = 2026;
    contents.id = "abc";
    contents.keyLen = 1000;
    contents.keyOffset = 900;
    contents.useCount = 12;
    contents.material = testsupport::RandomBytes(10, 1);
    ASSERT_TRUE(testsupport::WriteKeyFile(folder.File("keys/Clefs/dupont.126"), contents));
    WriteText(folder.File("short"), "too short for a header");

    const RunResult result = RunTool(
        folder.path(), {"key", "show", "keys/Clefs/dupont.126", "short", "keys/Clefs/none"});
    EXPECT_EQ(result.out,
              "keys/Clefs/dupont.126\n"
              "  version:            1\n"
              "  year:               2026\n"
              "  id:                 abc\n"
              "  name:               durand\n"
              "  key length:         1000 bytes\n"
              "  key offset:         900\n"
              "  use count:          12\n"
              "  left before wrap:   100 bytes\n"
              "  names its file:     no: the header names durand.126\n"
              "  material on disk:   10 bytes: shorter than the key length\n"
              "\n"
              "\n");
    EXPECT_EQ(result.err,
              "veldoran-tool: short: not a key file: shorter than a key header\n"
              "veldoran-tool: keys/Clefs/none: key file not found\n");
    // The first failure decides the status: -1.
    EXPECT_EQ(result.status, 255);
}

// Runs that fail leave the key files, and any existing target, exactly as they were.
TEST(ToolScenarios, EncryptFailuresPrintOneLineAndTouchNoKey) {
    const std::vector<Scenario> scenarios = {
        {"missing document",
         {"encrypt", "none.txt", "-u", "dupont", "-k", "keys"},
         "",
         "",
         "veldoran-tool: none.txt: cannot be opened: No such file or directory\n",
         255},
        {"a NUL byte",
         {"encrypt", "-u", "dupont", "-k", "keys"},
         std::string("a\0b", 3),
         "",
         "veldoran-tool: standard input: holds a NUL byte: not a text document (encrypt-binary "
         "takes any file)\n",
         255},
        {"missing user key",
         {"encrypt", "-u", "durand", "-k", "keys"},
         "text\n",
         "",
         "veldoran-tool: keys/Clefs/durand." + kYear + ": key file not found\n",
         213},
        {"missing key folder",
         {"encrypt", "-u", "dupont", "-k", "elsewhere"},
         "text\n",
         "",
         "veldoran-tool: elsewhere/Clefs/Master." + kYear + ": key file not found\n",
         213},
        {"the document as its own target",
         {"encrypt", "letter.txt", "-o", "./letter.txt", "-u", "dupont", "-k", "keys"},
         "",
         "",
         "veldoran-tool: ./letter.txt: is the document itself; give --force to replace it\n",
         255},
        {"a target in a missing folder",
         {"encrypt", "letter.txt", "-o", "none/letter.msg", "-u", "dupont", "-k", "keys"},
         "",
         "",
         "veldoran-tool: none/letter.msg: cannot be written: No such file or directory\n",
         255},
        {"a folder as target",
         {"encrypt", "letter.txt", "-o", "keys", "-u", "dupont", "-k", "keys"},
         "",
         "",
         "veldoran-tool: keys: is a folder\n",
         255},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.label);
        TempDir folder;
        MakeKey(folder, "Master", 4096);
        MakeKey(folder, "dupont", 4096);
        WriteText(folder.File("letter.txt"), "Bonjour\n");
        const std::string keysBefore = KeyBytes(folder);
        ExpectScenario(RunTool(folder.path(), scenario.arguments, scenario.input), scenario);
        EXPECT_EQ(KeyBytes(folder), keysBefore);
        EXPECT_EQ(ReadText(folder.File("letter.txt")), "Bonjour\n");
        EXPECT_FALSE(std::filesystem::exists(folder.File("letter.txt.vlx")));
    }
}

TEST(ToolScenarios, MissingMasterKeyIsNamed) {
    TempDir folder;
    MakeKey(folder, "dupont", 4096);
    const std::string userBefore = ReadText(folder.File(kUserPath));
    const RunResult result =
        RunTool(folder.path(), {"encrypt", "-u", "dupont", "-k", "keys/"}, "text\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "veldoran-tool: " + kMasterPath + ": key file not found\n");
    EXPECT_EQ(result.status, 213);
    EXPECT_EQ(ReadText(folder.File(kUserPath)), userBefore);
}

// The message of encrypt for body from fresh keys of 8 MiB, through arguments (with "-u dupont
// -k keys" added) that read letter.txt or the standard input and write letter.msg or the
// standard output.
std::string MessageFromFreshKeys(const std::vector<std::string>& arguments,
                                 const std::string& body) {
    TempDir folder;
    MakeKey(folder, "Master", 8u << 20);
    MakeKey(folder, "dupont", 8u << 20);
    WriteText(folder.File("letter.txt"), body);
    std::vector<std::string> all = arguments;
    all.insert(all.end(), {"-u", "dupont", "-k", "keys"});
    RunResult result = RunTool(folder.path(), all, body);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    return std::filesystem::exists(folder.File("letter.msg")) ? ReadText(folder.File("letter.msg"))
                                                              : result.out;
}

// A mail client's CR LF body and the same body with LF line ends make the same message.
// With the same keys, every way into encrypt gives the same message: the standard streams and
// CR LF line ends (copied first) as well as a file to a file (crypter3 itself).
TEST(ToolScenarios, CrLfInputIsTakenAsLf) {
    const std::string lf = "Bonjour,\nà demain.\n";
    const std::string crLf = "Bonjour,\r\nà demain.\r\n";
    std::string longLetter;
    for (int line = 0; longLetter.size() < (5u << 19); ++line) {
        longLetter += "Ligne " + std::to_string(line) + " de la longue lettre, assez longue.\n";
    }
    struct Way {
        const char* label;
        std::string body;
        bool throughFiles;
    };
    for (const std::string& letter : {lf, longLetter}) {
        std::string crLfLetter;
        for (const char c : letter) {
            crLfLetter += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        const std::vector<Way> ways = {{"LF through the standard streams", letter, false},
                                       {"CR LF through the standard streams", crLfLetter, false},
                                       {"LF from a file to a file", letter, true},
                                       {"CR LF from a file to a file", crLfLetter, true}};
        std::vector<std::string> messages;
        for (const Way& way : ways) {
            SCOPED_TRACE(way.label);
            TempDir folder;
            MakeKey(folder, "Master", 8u << 20);
            MakeKey(folder, "dupont", 8u << 20);
            RunResult result;
            if (way.throughFiles) {
                WriteText(folder.File("letter.txt"), way.body);
                result = RunTool(folder.path(), {"encrypt", "letter.txt", "-o", "letter.msg", "-u",
                                                 "dupont", "-k", "keys"});
                result.out = ReadText(folder.File("letter.msg"));
                const RunResult back =
                    RunTool(folder.path(), {"decrypt", "letter.msg", "-k", "keys"});
                EXPECT_EQ(back.status, 0) << back.err;
                EXPECT_EQ(ReadText(folder.File("letter.msg.txt")), letter);
            } else {
                result =
                    RunTool(folder.path(),
                            {"encrypt", "-", "-o", "-", "-u", "dupont", "-k", "keys"}, way.body);
            }
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
            messages.push_back(result.out);
        }
        // The ways between those: the standard input to a file, a file to the standard
        // output.
        messages.push_back(MessageFromFreshKeys({"encrypt", "-o", "letter.msg"}, crLfLetter));
        messages.push_back(MessageFromFreshKeys({"encrypt", "letter.txt", "-o", "-"}, letter));
        for (size_t k = 1; k < messages.size(); ++k) {
            EXPECT_TRUE(messages[k] == messages[0])
                << (k < ways.size() ? ways[k].label : "the ways between");
        }
        EXPECT_EQ(messages[0].rfind("$VELDORAN initial, clef v1 Master." + kYear +
                                        " MID 1\n$VELDORAN initial, clef v1 dupont." + kYear +
                                        " MID 1\n\n#BINASCII1#\n",
                                    0),
                  0u);
    }
}

// The standard input is copied a piece (1 MiB) at a time, taking CR LF as LF: a pair split
// between two pieces is still one line end, and a CR on its own stays, also as the last byte.
TEST(ToolScenarios, CrLfIsTakenAsLfAcrossTheCopysPieces) {
    constexpr size_t kPiece = size_t{1} << 20;
    struct Case {
        const char* label;
        size_t at;  // where the line ends go
        std::string ends;
    };
    const std::vector<Case> cases = {
        {"CR LF split between two pieces", kPiece - 1, "\r\n"},
        {"CR alone at a piece's end", kPiece - 1, "\rx"},
        {"CR as the last byte", kPiece + 40, "\r"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        std::string body(testCase.at, 'a');
        for (size_t k = 80; k < body.size(); k += 81) {
            body[k] = '\n';
        }
        body += testCase.ends;
        if (testCase.ends != "\r") {
            body += "tail\n";
        }
        std::string lf;
        for (size_t k = 0; k < body.size(); ++k) {
            if (!(body[k] == '\r' && k + 1 < body.size() && body[k + 1] == '\n')) {
                lf += body[k];
            }
        }
        EXPECT_TRUE(MessageFromFreshKeys({"encrypt"}, body) ==
                    MessageFromFreshKeys({"encrypt", "letter.txt", "-o", "letter.msg"}, lf));
    }
}

TEST(ToolScenarios, EncryptAFileNextToIt) {
    TempDir folder;
    MakeKey(folder, "Master", 4096);
    MakeKey(folder, "dupont", 4096);
    WriteText(folder.File("letter.txt"), "Bonjour\n");
    const RunResult result =
        RunTool(folder.path(), {"encrypt", "letter.txt", "-u", "dupont", "-k", "keys"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    const std::string message = ReadText(folder.File("letter.txt.vlx"));
    EXPECT_NE(message.find("#ENDBINASCII1#"), std::string::npos);
    testsupport::KeyHeaderFields user;
    ASSERT_TRUE(testsupport::ReadKeyHeader(folder.File(kUserPath), &user));
    EXPECT_EQ(user.useCount, 1);
}

// A key whose material runs out: a warning naming the key and the bytes used again, or with
// --no-reuse a refusal before any key file is touched.
TEST(ToolScenarios, KeyWrapWarningAndNoReuse) {
    // "hello\n" and the recipient block for "a" (11 + 1 + 2 + 9 bytes) make 29 bytes; the
    // sender's layer takes them with the master's header: 253 bytes.
    struct Case {
        const char* label;
        size_t userMaterial;
        int32_t userOffset;
        size_t masterMaterial;
        std::string wrappingKey;
        std::string words;
    };
    const std::vector<Case> cases = {
        {"a short sender's key", 100, 0, 4096, kUserPath,
         "the message needs 253 bytes of key material and 100 are left before the key wraps, so "
         "153 bytes of it would be used a second time"},
        {"a sender's key near its end", 1000, 900, 4096, kUserPath,
         "the message needs 253 bytes of key material and 100 are left before the key wraps, so "
         "153 bytes of it would be used a second time"},
        {"a short master key", 4096, 0, 20, kMasterPath,
         "the message needs 29 bytes of key material and 20 are left before the key wraps, so 9 "
         "bytes of it would be used a second time"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        MakeKey(folder, "Master", testCase.masterMaterial);
        MakeKey(folder, "dupont", testCase.userMaterial, testCase.userOffset);
        const std::string keysBefore = KeyBytes(folder);

        const RunResult refused = RunTool(
            folder.path(), {"encrypt", "-u", "dupont", "-k", "keys", "--to", "a", "--no-reuse"},
            "hello\n");
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, "veldoran-tool: " + testCase.wrappingKey + ": " + testCase.words +
                                   "; nothing encrypted (--no-reuse)\n");
        EXPECT_EQ(refused.status, 3);
        EXPECT_EQ(KeyBytes(folder), keysBefore);

        const RunResult warned = RunTool(
            folder.path(), {"encrypt", "-u", "dupont", "-k", "keys", "--to", "a"}, "hello\n");
        EXPECT_EQ(warned.err,
                  "veldoran-tool: warning: " + testCase.wrappingKey + ": " + testCase.words + "\n");
        EXPECT_EQ(warned.status, 0);
        EXPECT_NE(warned.out.find("#ENDBINASCII1#"), std::string::npos);
        EXPECT_NE(KeyBytes(folder), keysBefore);
    }
}

// --no-reuse is the tool's own refusal, with its own status (3, which no code of the library
// gives), whichever command encrypts and whichever way its result goes out.
TEST(ToolScenarios, NoReuseRefusalHasItsOwnStatusInEveryCommand) {
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string target;  // "" for the standard output
    };
    const std::vector<Case> cases = {
        {"encrypt, file to file", {"encrypt", "doc.txt", "-o", "doc.vlx"}, "doc.vlx"},
        {"encrypt, to the standard output", {"encrypt", "doc.txt", "-o", "-"}, ""},
        {"encrypt-binary, derived name", {"encrypt-binary", "doc.txt"}, "doc.txt.vlb"},
        {"encrypt-binary, named output", {"encrypt-binary", "doc.txt", "-o", "out.vlb"}, "out.vlb"},
        {"pack --encrypt, to a file", {"pack", "doc.txt", "-o", "out.vpk", "--encrypt"}, "out.vpk"},
        {"pack --encrypt, to the standard output", {"pack", "doc.txt", "-o", "-", "--encrypt"}, ""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        MakeKey(folder, "Master", 4096);
        MakeKey(folder, "dupont", 100);
        WriteText(folder.File("doc.txt"), "hello\n");
        const std::string keysBefore = KeyBytes(folder);

        std::vector<std::string> arguments = testCase.arguments;
        for (const char* option : {"-u", "dupont", "-k", "keys", "--no-reuse"}) {
            arguments.emplace_back(option);
        }
        const RunResult refused = RunTool(folder.path(), arguments, "");
        EXPECT_EQ(refused.status, 3);
        EXPECT_EQ(refused.out, "");
        const std::string start = "veldoran-tool: " + kUserPath + ": the message needs ";
        const std::string end =
            " bytes of it would be used a second time; nothing encrypted "
            "(--no-reuse)\n";
        EXPECT_EQ(refused.err.compare(0, start.size(), start), 0) << refused.err;
        ASSERT_GE(refused.err.size(), end.size());
        EXPECT_EQ(refused.err.substr(refused.err.size() - end.size()), end);
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);
        EXPECT_EQ(KeyBytes(folder), keysBefore);
        if (!testCase.target.empty()) {
            EXPECT_FALSE(std::filesystem::exists(folder.File(testCase.target)));
        }
    }
}

TEST(ToolScenarios, ResultsNeverReplaceAKeyFile) {
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string refusedPath;  // "" when the library refuses in its own words
    };
    const std::vector<Case> cases = {
        {"a decrypted letter onto the sender's key",
         {"decrypt", "letter.vlx", "-k", "keys", "-o", kUserPath},
         kUserPath},
        {"an encrypted letter onto a link to the master key",
         {"encrypt", "letter.txt", "-u", "dupont", "-k", "keys", "-o", "master-link"},
         "master-link"},
        {"a decrypted file onto a hard link to the master key",
         {"decrypt-binary", "data.vlb", "-k", "keys", "-o", "master-hard", "--force"},
         "master-hard"},
        {"a container onto the master key",
         {"pack", "-o", kMasterPath, "--force", "letter.txt"},
         kMasterPath},
        {"an encrypted file onto the master key",
         {"encrypt-binary", "letter.txt", "-u", "dupont", "-k", "keys", "-o", kMasterPath},
         ""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        MakeKey(folder, "Master", 4096);
        MakeKey(folder, "dupont", 4096);
        WriteText(folder.File("letter.txt"), "Dear Helene,\n");
        ASSERT_EQ(RunTool(folder.path(), {"encrypt", "letter.txt", "-u", "dupont", "-k", "keys",
                                          "-o", "letter.vlx"})
                      .status,
                  0);
        ASSERT_EQ(RunTool(folder.path(), {"encrypt-binary", "letter.txt", "-u", "dupont", "-k",
                                          "keys", "-o", "data.vlb"})
                      .status,
                  0);
        std::filesystem::create_symlink(kMasterPath, folder.File("master-link"));
        std::filesystem::create_hard_link(folder.File(kMasterPath), folder.File("master-hard"));
        const std::string keysBefore = KeyBytes(folder);

        const RunResult result = RunTool(folder.path(), testCase.arguments);
        if (!testCase.refusedPath.empty()) {
            EXPECT_EQ(result.err, "veldoran-tool: " + testCase.refusedPath +
                                      ": is a key file; no result ever replaces one\n");
        } else {
            EXPECT_NE(result.err, "");
        }
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(KeyBytes(folder), keysBefore);
    }

    TempDir folder;
    MakeKey(folder, "Master", 4096);
    const std::string keyName = "Master." + kYear;
    toolrun::WriteContainer(folder.File("c.vlp"), {{keyName, "evil"}});
    const std::string masterBefore = ReadText(folder.File(kMasterPath));
    const RunResult unpacked =
        RunTool(folder.path(), {"unpack", "c.vlp", "-C", "keys/Clefs", "-k", "keys", "--force"});
    EXPECT_EQ(unpacked.err, "veldoran-tool: keys/Clefs/" + keyName +
                                ": is a key file; no entry ever replaces one; entry not written\n");
    EXPECT_EQ(unpacked.status, 255);
    EXPECT_EQ(ReadText(folder.File(kMasterPath)), masterBefore);
}

// Runs the tool with its standard error stream on a terminal (a pseudo-terminal) and the
// standard output discarded, its state (the key journal) beside the folder; what the terminal
// showed.
std::string RunOnTerminal(const TempDir& folder, const std::vector<std::string>& arguments) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
        return "";
    }
    const std::string side = ptsname(terminal);
    std::vector<char*> argv = toolrun::ArgumentVector(arguments);
    const pid_t child = fork();
    if (child == 0) {
        const int err = open(side.c_str(), O_RDWR);
        const int out = open("/dev/null", O_WRONLY);
        if (err < 0 || out < 0 || dup2(err, 2) < 0 || dup2(out, 1) < 0 ||
            chdir(folder.path().c_str()) != 0 || !toolrun::UseOwnState(folder.path())) {
            _exit(127);
        }
        execv(toolrun::kTool.c_str(), argv.data());
        _exit(127);
    }
    std::string shown;
    char block[4096];
    ssize_t got = 0;
    // The read fails (EIO) once the child has closed its side.
    while ((got = read(terminal, block, sizeof block)) > 0) {
        shown.append(block, static_cast<size_t>(got));
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    close(terminal);
    return shown;
}

TEST(ToolScenarios, ProgressShowsOnATerminalOnlyForLargeWork) {
    TempDir folder;
    const size_t large = (64u << 20) + (1u << 20);
    MakeKey(folder, "Master", large + 4096);
    MakeKey(folder, "dupont", large + 4096);
    ASSERT_TRUE(testsupport::WriteWholeFile(folder.File("large.bin"),
                                            std::vector<unsigned char>(large, 'l')));
    WriteText(folder.File("small.bin"), "small");

    const std::string largeShown =
        RunOnTerminal(folder, {"encrypt-binary", "large.bin", "-u", "dupont", "-k", "keys"});
    EXPECT_EQ(largeShown.rfind("\rveldoran-tool: encrypting large.bin (65.0 MiB) ", 0), 0u)
        << largeShown;
    EXPECT_NE(largeShown.find("100% "), std::string::npos) << largeShown;
    EXPECT_EQ(largeShown.substr(largeShown.size() - 7), " done\r\n") << largeShown;

    EXPECT_EQ(RunOnTerminal(folder, {"encrypt-binary", "small.bin", "-u", "dupont", "-k", "keys"}),
              "");
    const RunResult notATerminal =
        RunTool(folder.path(), {"decrypt-binary", "large.bin.vlb", "-k", "keys", "-o", "back"});
    EXPECT_EQ(notATerminal.err, "");
    EXPECT_EQ(notATerminal.status, 0);
}

}  // namespace
