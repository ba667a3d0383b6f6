// veldoran-tool's round trips through the built program: letters through encrypt and decrypt
// (files, pipes, whole e-mails, quoted replies), binary files, and every decryption failure
// with its one line and exit status.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using testsupport::TempDir;
using toolrun::kMasterPath;
using toolrun::kUserPath;
using toolrun::kYear;
using toolrun::MakeKeys;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

const std::string kLetter = "Dear Helene,\n\nthe figures are attached.\n-- \nPaul\n";

// The message text for a document, through the tool's standard streams.
std::string EncryptText(const TempDir& folder, const std::string& document,
                        const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"encrypt", "-u", "dupont", "-k", "keys"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const RunResult result = RunTool(folder.path(), arguments, document);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    return result.out;
}

TEST(ToolRoundTrips, LetterThroughPipes) {
    TempDir folder;
    MakeKeys(folder);
    const std::string message = EncryptText(folder, kLetter);
    const RunResult decrypted = RunTool(folder.path(), {"decrypt", "-k", "keys/"}, message);
    EXPECT_EQ(decrypted.out, kLetter);
    EXPECT_EQ(decrypted.err, "");
    EXPECT_EQ(decrypted.status, 0);
}

TEST(ToolRoundTrips, LetterThroughFilesWithDerivedNames) {
    TempDir folder;
    MakeKeys(folder);
    WriteText(folder.File("letter.txt"), kLetter);
    RunResult result =
        RunTool(folder.path(), {"encrypt", "letter.txt", "-u", "dupont", "-k", "keys"});
    ASSERT_EQ(result.status, 0) << result.err;
    result = RunTool(folder.path(), {"decrypt", "letter.txt.vlx", "-k", "keys"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ReadText(folder.File("letter.txt.vlx.txt")), kLetter);

    result = RunTool(folder.path(), {"decrypt", "letter.txt.vlx", "-k", "keys", "-o", "back"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ReadText(folder.File("back")), kLetter);
}

// What a mail client hands over: CR LF line ends, headers around the body, a quoted reply.
TEST(ToolRoundTrips, WholeMailsAndQuotedReplies) {
    TempDir folder;
    MakeKeys(folder);
    const std::string crlfLetter = "Dear Helene,\r\n\r\nsee you.\r\n";
    const std::string message = EncryptText(folder, crlfLetter);

    std::string crlfMessage;
    std::string quoted;
    size_t start = 0;
    while (start < message.size()) {
        const size_t end = message.find('\n', start);
        const std::string line = message.substr(start, end - start);
        crlfMessage += line + "\r\n";
        quoted += "> " + line + "\n";
        start = end + 1;
    }
    struct Case {
        const char* label;
        std::string mail;
    };
    const std::vector<Case> cases = {
        {"the message as it was", message},
        {"a saved e-mail with headers and a signature",
         "From: Paul Dupont <paul@example.org>\nTo: helene@example.org\nSubject: figures\n"
         "Content-Type: text/plain\n\n" +
             message + "\n-- \nPaul\n"},
        {"CR LF line ends all through", crlfMessage},
        {"a quoted reply", "On Monday Paul wrote:\n" + quoted + "\nThanks, Helene\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const RunResult result = RunTool(folder.path(), {"decrypt", "-k", "keys"}, testCase.mail);
        EXPECT_EQ(result.out, "Dear Helene,\n\nsee you.\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(ToolRoundTrips, RecipientsAndParameters) {
    TempDir folder;
    MakeKeys(folder);
    const std::string message = EncryptText(folder, "hello\n",
                                            {"--to", "helene@example.org,marc@example.org", "--cc",
                                             "anne@example.org", "--bcc", "", "--param", "ref=42"});
    const RunResult result =
        RunTool(folder.path(), {"decrypt", "-k", "keys", "--recipients"}, message);
    EXPECT_EQ(result.out, "hello\n");
    EXPECT_EQ(result.err,
              "to: helene@example.org,marc@example.org\ncc: anne@example.org\nbcc: \n"
              "parameters: ref=42\n");
    EXPECT_EQ(result.status, 0);
}

// The recipient block escapes nothing: a reader takes the lists up to the first end marker, and
// Cc and Bcc as their last two comma-separated fields. Lists that would read back otherwise are
// refused (status 2) before any key file is touched; every other reads back as given.
TEST(ToolRoundTrips, RecipientListsReadBackAsGivenOrAreRefused) {
    TempDir folder;
    MakeKeys(folder);
    const struct {
        const char* label;
        std::string to, cc, bcc, param;
        std::string shown;   // what decrypt --recipients shows; "" when refused
        std::string option;  // the list the refusal names
    } cases[] = {
        {"commas in To", "a@x,b@x", "c@x", "d@x", "", "to: a@x,b@x\ncc: c@x\nbcc: d@x\n", ""},
        {"the start marker in To", "#DESTBEGIN#", "", "", "", "to: #DESTBEGIN#\ncc: \nbcc: \n", ""},
        {"markers and commas behind the block", "a@x", "", "", "#DESTEND#,#DESTBEGIN#",
         "to: a@x\ncc: \nbcc: \nparameters: #DESTEND#,#DESTBEGIN#\n", ""},
        {"a comma in Cc", "a@x", "c@x,e@x", "", "", "", "--cc"},
        {"a comma in Bcc", "a@x", "", "d@x,e@x", "", "", "--bcc"},
        {"the end marker in To", "a#DESTEND#b", "", "", "", "", "--to"},
        {"the end marker in Cc", "a@x", "#DESTEND#", "", "", "", "--cc"},
        {"Bcc ending where the end marker begins", "a@x", "", "d#DESTEND", "", "", "--bcc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string keys =
            ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath));
        const RunResult made = RunTool(folder.path(),
                                       {"encrypt", "-u", "dupont", "-k", "keys", "--to", c.to,
                                        "--cc", c.cc, "--bcc", c.bcc, "--param", c.param},
                                       "hello\n");
        if (c.shown.empty()) {
            EXPECT_EQ(made.status, 2);
            EXPECT_EQ(made.out, "");
            EXPECT_EQ(made.err.find("veldoran-tool: " + c.option + ": "), 0u) << made.err;
            EXPECT_NE(made.err.find("recipient block"), std::string::npos) << made.err;
            EXPECT_EQ(std::count(made.err.begin(), made.err.end(), '\n'), 1) << made.err;
            EXPECT_EQ(ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath)), keys);
            continue;
        }
        ASSERT_EQ(made.status, 0) << made.err;
        const RunResult shown =
            RunTool(folder.path(), {"decrypt", "-k", "keys", "--recipients"}, made.out);
        EXPECT_EQ(shown.out, "hello\n");
        EXPECT_EQ(shown.err, c.shown);
    }
}

// Every decryption failure: one line naming the file and what failed, and the status.
TEST(ToolRoundTrips, DecryptFailures) {
    TempDir folder;
    MakeKeys(folder);
    const std::string message = EncryptText(folder, kLetter);
    std::string changed = message;
    const size_t armour = changed.find("#BINASCII1#\n") + 12;
    changed[armour + 70] = changed[armour + 70] == 'A' ? 'B' : 'A';
    std::string cut = message.substr(0, message.find("#ENDBINASCII1#"));

    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string input;
        std::string err;
        int status;
    };
    const std::vector<Case> cases = {
        {"a changed character",
         {"decrypt", "-k", "keys"},
         changed,
         "veldoran-tool: standard input: checksum mismatch: the message was changed or cut in "
         "transit\n",
         253},
        {"a message cut before its end",
         {"decrypt", "-k", "keys"},
         cut,
         "veldoran-tool: standard input: no encrypted message found: no complete #BINASCII1# "
         "armour in it\n",
         252},
        {"a mail without a message",
         {"decrypt", "-k", "keys"},
         "Hello\n",
         "veldoran-tool: standard input: no encrypted message found: no complete #BINASCII1# "
         "armour in it\n",
         252},
        {"the sender's key missing",
         {"decrypt", "-k", "elsewhere"},
         message,
         "veldoran-tool: elsewhere/Clefs/dupont." + kYear +
             ": key file named by the message not found\n",
         251},
        {"a missing message file",
         {"decrypt", "none.vlx", "-k", "keys"},
         "",
         "veldoran-tool: none.vlx: cannot be opened: No such file or directory\n",
         255},
        {"a NUL byte",
         {"decrypt", "-k", "keys"},
         std::string("a\0b", 3),
         "veldoran-tool: standard input: holds a NUL byte: not a mail text\n",
         255},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        // A file and a pipe on the standard input take the same road.
        for (const toolrun::Input kind : {toolrun::Input::kFile, toolrun::Input::kPipe}) {
            SCOPED_TRACE(kind == toolrun::Input::kPipe ? "through a pipe" : "from a file");
            const RunResult result =
                RunTool(folder.path(), testCase.arguments, testCase.input, "", kind);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, testCase.err);
            EXPECT_EQ(result.status, testCase.status);
        }
    }

    // Only the master key missing: the sender's layer comes off, the master's names its key.
    std::filesystem::create_directories(folder.File("partial/Clefs"));
    std::filesystem::copy_file(folder.File(kUserPath),
                               folder.File("partial/Clefs/dupont." + kYear));
    const RunResult result = RunTool(folder.path(), {"decrypt", "-k", "partial"}, message);
    EXPECT_EQ(result.err, "veldoran-tool: partial/Clefs/Master." + kYear +
                              ": key file named by the message not found\n");
    EXPECT_EQ(result.status, 251);
}

// Runs the tool in folder with input written into a pipe on its standard input and $TMPDIR set
// to temporary.
RunResult RunThroughAPipe(const TempDir& folder, const std::vector<std::string>& arguments,
                          const std::string& input, const std::string& temporary) {
    EXPECT_EQ(setenv("TMPDIR", temporary.c_str(), 1), 0);
    const RunResult result = RunTool(folder.path(), arguments, input, "", toolrun::Input::kPipe);
    unsetenv("TMPDIR");
    return result;
}

// Through pipes the input is copied into an unnamed file first: the same message as from a
// file, the document and recipients back, a changed message that gives nothing away, and
// nothing left in the temporary folder.
TEST(ToolRoundTrips, DocumentsThroughPipes) {
    std::string letter;
    while (letter.size() < (5u << 19)) {
        letter +=
            "Dear Helene, the figures are attached, line " + std::to_string(letter.size()) + "\n";
    }
    const std::vector<std::string> encrypt = {"encrypt", "-u",  "dupont",  "-k",   "keys",
                                              "--to",    "h@x", "--param", "ref=7"};
    TempDir fromFile;
    MakeKeys(fromFile);
    const RunResult reference = RunTool(fromFile.path(), encrypt, letter);
    ASSERT_EQ(reference.status, 0) << reference.err;

    TempDir folder;
    TempDir temporary;
    MakeKeys(folder);
    const RunResult message = RunThroughAPipe(folder, encrypt, letter, temporary.path());
    EXPECT_EQ(message.status, 0) << message.err;
    EXPECT_TRUE(message.out == reference.out);

    RunResult back = RunThroughAPipe(folder, {"decrypt", "-k", "keys", "--recipients"}, message.out,
                                     temporary.path());
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(back.out == letter);
    EXPECT_EQ(back.err, "to: h@x\ncc: \nbcc: \nparameters: ref=7\n");

    std::string changed = message.out;
    const size_t armour = changed.find("#BINASCII1#\n") + 12;
    changed[armour + 70000] = changed[armour + 70000] == 'A' ? 'B' : 'A';
    back = RunThroughAPipe(folder, {"decrypt", "-k", "keys"}, changed, temporary.path());
    EXPECT_EQ(back.status, 253);
    EXPECT_EQ(back.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}

// A document that cannot reach the standard output is a failure, not a silent loss.
TEST(ToolRoundTrips, FullStandardOutputFails) {
    TempDir folder;
    MakeKeys(folder);
    const std::string message = EncryptText(folder, kLetter);
    const RunResult result =
        RunTool(folder.path(), {"decrypt", "-k", "keys"}, message, "/dev/full");
    EXPECT_EQ(result.err,
              "veldoran-tool: standard output: cannot be written: No space left on device\n");
    EXPECT_EQ(result.status, 255);
}

TEST(ToolRoundTrips, DocumentWithTheRecipientMarkerIsRefused) {
    TempDir folder;
    MakeKeys(folder);
    const std::string keysBefore =
        ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath));
    const RunResult result =
        RunTool(folder.path(), {"encrypt", "-u", "dupont", "-k", "keys"}, "a #DESTBEGIN# b\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "veldoran-tool: standard input: holds the recipient block's marker #DESTBEGIN#, "
              "which no message can carry\n");
    EXPECT_EQ(result.status, 240);
    EXPECT_EQ(ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath)), keysBefore);
}

// A binary file back from its derived name, and decrypt-binary from a file, a standard input
// that is a file or a pipe, into a named file or the standard output.
TEST(ToolRoundTrips, BinaryFiles) {
    TempDir folder;
    MakeKeys(folder);
    const std::vector<unsigned char> bytes = testsupport::RandomBytes(20000, 3);
    testsupport::WriteWholeFile(folder.File("report.pdf"), bytes);

    RunResult result =
        RunTool(folder.path(), {"encrypt-binary", "report.pdf", "-u", "dupont", "-k", "keys"});
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::ReadWholeFile(folder.File("report.pdf.vlb")).size(), bytes.size() + 448);

    std::filesystem::rename(folder.File("report.pdf"), folder.File("original.pdf"));
    result = RunTool(folder.path(), {"decrypt-binary", "report.pdf.vlb", "-k", "keys"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::ReadWholeFile(folder.File("report.pdf")), bytes);

    result = RunTool(folder.path(), {"encrypt-binary", "original.pdf", "-u", "dupont", "-k", "keys",
                                     "-o", "sealed"});
    ASSERT_EQ(result.status, 0);
    const RunResult streamed = RunTool(
        folder.path(), {"encrypt-binary", "original.pdf", "-u", "dupont", "-k", "keys", "-o", "-"});
    ASSERT_EQ(streamed.status, 0) << streamed.err;
    ASSERT_EQ(streamed.out.size(), bytes.size() + 448);
    const std::string sealed = ReadText(folder.File("sealed"));
    const std::string expected(bytes.begin(), bytes.end());
    struct Way {
        const char* label;
        std::vector<std::string> arguments;
        std::string frame;     // on the standard input, when it comes there
        toolrun::Input input;  // how it comes there
        bool toFile;           // into "opened", else the standard output
    };
    const std::vector<Way> ways = {
        {"a file into a file", {"sealed", "-o", "opened"}, "", toolrun::Input::kFile, true},
        {"a file to the standard output", {"sealed", "-o", "-"}, "", toolrun::Input::kFile, false},
        {"a standard input that is a file, into a file",
         {"-", "-o", "opened"},
         sealed,
         toolrun::Input::kFile,
         true},
        {"a pipe into a file", {"-", "-o", "opened"}, sealed, toolrun::Input::kPipe, true},
        {"a pipe to the standard output", {"-"}, streamed.out, toolrun::Input::kPipe, false},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.label);
        std::vector<std::string> arguments = {"decrypt-binary", "-k", "keys"};
        arguments.insert(arguments.end(), way.arguments.begin(), way.arguments.end());
        result = RunTool(folder.path(), arguments, way.frame, "", way.input);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(way.toFile ? ReadText(folder.File("opened")) : result.out, expected);
        std::filesystem::remove(folder.File("opened"));
    }
}

TEST(ToolRoundTrips, BinaryFailures) {
    TempDir folder;
    MakeKeys(folder);
    testsupport::WriteWholeFile(folder.File("data"), testsupport::RandomBytes(100, 5));
    WriteText(folder.File("short.vlb"), "short");
    ASSERT_EQ(RunTool(folder.path(),
                      {"encrypt-binary", "data", "-u", "dupont", "-k", "keys", "-o", "sealed.vlb"})
                  .status,
              0);
    std::filesystem::create_directories(folder.File("nokeys/Clefs"));
    const std::string missingKey = "veldoran-tool: nokeys/Clefs/dupont." + kYear +
                                   ": key file named by the message not found\n";
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string err;
        int status;
    };
    const std::vector<Case> cases = {
        {"the target is the source",
         {"encrypt-binary", "data", "-o", "data", "-u", "dupont", "-k", "keys"},
         "veldoran-tool: data: is the file itself; give --force to replace it\n",
         255},
        {"decrypting a four-character name in place",
         {"decrypt-binary", "data", "-k", "keys"},
         "veldoran-tool: data: is the file itself; give --force to replace it\n",
         255},
        {"a missing file",
         {"encrypt-binary", "none", "-u", "dupont", "-k", "keys"},
         "veldoran-tool: none: not found, or not a file\n",
         255},
        {"a file too short to be encrypted",
         {"decrypt-binary", "short.vlb", "-k", "keys"},
         "veldoran-tool: short.vlb: not an encrypted file: shorter than a key header\n",
         252},
        {"a missing key, decrypting into the derived name",
         {"decrypt-binary", "sealed.vlb", "-k", "nokeys"},
         missingKey,
         251},
        {"a missing key, decrypting into a named file",
         {"decrypt-binary", "sealed.vlb", "-k", "nokeys", "-o", "opened"},
         missingKey,
         251},
        {"a missing sender's key",
         {"encrypt-binary", "data", "-u", "durand", "-k", "keys"},
         "veldoran-tool: keys/Clefs/durand." + kYear + ": key file not found\n",
         213},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const RunResult result = RunTool(folder.path(), testCase.arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, testCase.err);
        EXPECT_EQ(result.status, testCase.status);
    }
    EXPECT_FALSE(std::filesystem::exists(folder.File("sealed")));
    EXPECT_FALSE(std::filesystem::exists(folder.File("opened")));
}

// The binary pipelines' trace lines go to the standard error stream, never into a result.
TEST(ToolRoundTrips, TraceLinesGoToStandardError) {
    TempDir folder;
    MakeKeys(folder);
    testsupport::WriteWholeFile(folder.File("data"), testsupport::RandomBytes(100, 5));
    RunResult result = RunTool(
        folder.path(), {"encrypt-binary", "data", "-u", "dupont", "-k", "keys", "-o", "quiet.vlb"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    result =
        RunTool(folder.path(), {"--trace", "encrypt-binary", "data", "-u", "dupont", "-k", "keys"});
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Master Key: keys/Clefs/Master." + kYear), std::string::npos)
        << result.err;
    EXPECT_EQ(result.status, 0);

    // A text file that streams has the file pipelines' trace lines too.
    WriteText(folder.File("letter.txt"), kLetter);
    result =
        RunTool(folder.path(), {"--trace", "encrypt", "letter.txt", "-u", "dupont", "-k", "keys"});
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Source filename: letter.txt"), std::string::npos) << result.err;
    EXPECT_EQ(result.status, 0);
    result = RunTool(folder.path(), {"--trace", "decrypt", "letter.txt.vlx", "-k", "keys"});
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Target File: letter.txt.vlx.txt"), std::string::npos) << result.err;
    EXPECT_EQ(ReadText(folder.File("letter.txt.vlx.txt")), kLetter);
}

// pack --encrypt is pack, then encrypt-binary: decrypted, it is the plain container.
TEST(ToolRoundTrips, PackEncryptedInOneStep) {
    TempDir folder;
    MakeKeys(folder);
    WriteText(folder.File("a.txt"), kLetter);
    testsupport::WriteWholeFile(folder.File("b.bin"), testsupport::RandomBytes(3000, 8));
    RunResult result = RunTool(
        folder.path(), {"pack", "-o", "plain.vlp", "--lzo", "--from", "dupont", "a.txt", "b.bin"});
    ASSERT_EQ(result.status, 0) << result.err;
    result = RunTool(folder.path(), {"pack", "-o", "sealed.vlb", "--lzo", "--from", "dupont",
                                     "--encrypt", "-u", "dupont", "-k", "keys", "a.txt", "b.bin"});
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    result =
        RunTool(folder.path(), {"decrypt-binary", "sealed.vlb", "-k", "keys", "-o", "opened.vlp"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadText(folder.File("opened.vlp")), ReadText(folder.File("plain.vlp")));

    result = RunTool(folder.path(), {"pack", "-o", "x.vlb", "--encrypt", "a.txt"});
    EXPECT_EQ(result.err,
              "veldoran-tool: --encrypt requires --user; see veldoran-tool pack --help\n");
    EXPECT_EQ(result.status, 2);
}

}  // namespace
