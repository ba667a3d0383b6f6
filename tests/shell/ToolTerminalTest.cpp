// A decrypted document on a terminal: the control characters a stranger's letter holds (a window
// title, a cleared screen, a colour, C1 introducers) arrive escaped, whichever road writes the
// document there, while a pipe or a file receives the document byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/TempDir.h"

namespace {

using testsupport::TempDir;
using toolrun::Output;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::RunToolInto;

// A window title (OSC ... BEL), a cleared screen, a colour and a DEL; tabs and line ends are
// the letter's own.
const std::string kHostile =
    "Dear reader,\x1b]0;owned\x07\tsee\x1b[2J\x1b[31mred\x1b[0m\x7f\nend\n";
const std::string kEscaped =
    "Dear reader,\\x1b]0;owned\\x07\tsee\\x1b[2J\\x1b[31mred\\x1b[0m\\x7f\nend\n";

class ToolTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(setenv("LC_ALL", "C.UTF-8", 1), 0);
        toolrun::MakeKeys(folder_);
        const RunResult made =
            RunTool(folder_.path(), {"encrypt", "-u", "dupont", "-k", "keys"}, kHostile);
        ASSERT_EQ(made.status, 0) << made.err;
        message_ = made.out;
        ASSERT_TRUE(toolrun::WriteText(folder_.File("letter.txt"), message_));
        ASSERT_TRUE(
            toolrun::WriteText(folder_.File("letter.eml"),
                               "From: someone@example.org\nSubject: a letter\n\n" + message_));
    }
    void TearDown() override { unsetenv("LC_ALL"); }

    TempDir folder_;
    std::string message_;
};

TEST_F(ToolTerminal, ControlsOfADocumentAreEscapedOnATerminalAndKeptThroughAPipe) {
    struct Road {
        const char* name;
        std::vector<std::string> arguments;
    };
    const std::vector<Road> roads = {
        {"decrypt a message file to -o -", {"decrypt", "-k", "keys", "letter.txt", "-o", "-"}},
        {"decrypt a mail", {"decrypt", "-k", "keys", "letter.eml", "-o", "-"}},
        {"open a mail", {"open", "-k", "keys", "letter.eml"}},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        const RunResult shown = RunToolInto(Output::kTerminal, folder_.path(), road.arguments);
        EXPECT_EQ(shown.status, 0) << shown.err;
        EXPECT_EQ(shown.out, kEscaped);
        const RunResult piped = RunToolInto(Output::kPipe, folder_.path(), road.arguments);
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_EQ(piped.out, kHostile);
    }
}

// In a single-byte charset the C1 controls are bytes: Windows-1252 leaves 0x81 without a
// character, and a terminal in that charset may take it for a control; its letters from 0x80
// up (the euro sign, 0x80) are text.
TEST_F(ToolTerminal, ASingleByteCharsetsControlBytesAreEscaped) {
    const std::string letter = "\x81\x9b[2J \x80 5\n";
    ASSERT_TRUE(toolrun::WriteText(folder_.File("cp1252.txt"), letter));
    const RunResult made =
        RunTool(folder_.path(), {"--charset", "windows-1252", "encrypt", "-u", "dupont", "-k",
                                 "keys", "cp1252.txt", "-o", "cp1252.msg"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<std::string> decrypt = {"--charset", "windows-1252", "decrypt", "-k",
                                              "keys",      "cp1252.msg",   "-o",      "-"};
    const RunResult shown = RunToolInto(Output::kTerminal, folder_.path(), decrypt);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "\\x81\x9b[2J \x80 5\n");
    const RunResult piped = RunToolInto(Output::kPipe, folder_.path(), decrypt);
    EXPECT_EQ(piped.out, letter);
}

// The display filter writes for the mail client, which shows the text itself: unchanged even
// when a terminal is its output.
TEST_F(ToolTerminal, TheDisplayFilterWritesTheDocumentAsItIs) {
    const RunResult shown = RunToolInto(Output::kTerminal, folder_.path(),
                                        {"decrypt", "-k", "keys", "--inline"}, message_);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, kHostile);
}

}  // namespace
