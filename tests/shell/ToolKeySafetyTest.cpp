// veldoran-tool and the key files: no result replaces a key file wherever it stands, however it
// came to be longer than its header says; and the key reuse check (--no-reuse, the wrap warning)
// decides from the header the run actually spends from, under the key locks, so that runs at
// the same time cannot all pass it on the same unspent material.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using testsupport::KeyFileContents;
using testsupport::TempDir;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

const std::string kYear = testsupport::CurrentYearText();

class ToolKeySafety : public ::testing::Test {
  protected:
    void SetUp() override {
        // The tool keeps no state of the user's here.
        ASSERT_EQ(setenv("XDG_STATE_HOME", folder_.File("state").c_str(), 1), 0);
    }
    void TearDown() override { unsetenv("XDG_STATE_HOME"); }

    // A key of the current year at <folder><keyFolder>/Clefs/<name>.<year text>; returns that
    // path relative to the folder.
    std::string MakeKey(const std::string& keyFolder, const std::string& name,
                        size_t materialLength, int32_t keyOffset = 0) {
        const std::string path = keyFolder + "/Clefs/" + name + "." + kYear;
        std::filesystem::create_directories(folder_.File(keyFolder + "/Clefs"));
        KeyFileContents contents;
        contents.name = name;
        contents.year = testsupport::CurrentFullYear();
        contents.keyOffset = keyOffset;
        contents.material = testsupport::RandomBytes(materialLength, 5);
        EXPECT_TRUE(testsupport::WriteKeyFile(folder_.File(path), contents));
        return path;
    }

    TempDir folder_;
};

// A key file with bytes after its key material still works as a key (they are never read), so
// it is still a key file: found by its header, not by an exact length.
TEST_F(ToolKeySafety, AKeyFileLongerThanItsHeaderSaysIsNeverReplaced) {
    MakeKey("kt", "Master", 4096);
    MakeKey("kt", "eve", 4096);
    WriteText(folder_.File("a.txt"), "Bonjour\n");
    const std::string otherMaster = MakeKey("ko", "Master", 300);
    const std::string copy = "backup-of-a-key";
    std::filesystem::copy_file(folder_.File(otherMaster), folder_.File(copy));
    for (const std::string& key : {otherMaster, copy}) {
        SCOPED_TRACE(key);
        WriteText(folder_.File(key), ReadText(folder_.File(key)) + "x");
        const std::string before = ReadText(folder_.File(key));
        const std::vector<std::vector<std::string>> commands = {
            {"encrypt", "a.txt", "-u", "eve", "-k", "kt", "-o", key},
            {"encrypt", "-u", "eve", "-k", "kt", "-o", key},
        };
        for (const std::vector<std::string>& command : commands) {
            const RunResult result = RunTool(folder_.path(), command, "Bonjour\n");
            EXPECT_EQ(result.err, "veldoran-tool: " + key +
                                      ": is a key file; no result ever "
                                      "replaces one\n");
            EXPECT_EQ(result.status, 255);
            EXPECT_TRUE(ReadText(folder_.File(key)) == before) << "the key file was replaced";
        }
    }
}

// Files that are not keys, even ones that begin like a key header, are written as before.
TEST_F(ToolKeySafety, OrdinaryFilesAreStillWritten) {
    MakeKey("kt", "Master", 4096);
    MakeKey("kt", "eve", 4096);
    WriteText(folder_.File("a.txt"), "Bonjour\n");
    // A key header whose key material would run past the end of the file.
    KeyFileContents cut;
    cut.name = "cut";
    cut.keyLen = 1000;
    cut.material = testsupport::RandomBytes(999, 3);
    // A key header with no name.
    KeyFileContents nameless;
    nameless.name = "";
    nameless.material = testsupport::RandomBytes(100, 4);
    // Position outside the key material.
    KeyFileContents astray;
    astray.keyOffset = 101;
    astray.material = testsupport::RandomBytes(100, 4);
    ASSERT_TRUE(testsupport::WriteKeyFile(folder_.File("cut"), cut));
    ASSERT_TRUE(testsupport::WriteKeyFile(folder_.File("nameless"), nameless));
    ASSERT_TRUE(testsupport::WriteKeyFile(folder_.File("astray"), astray));
    WriteText(folder_.File("notes.txt"), std::string(600, 'n'));
    for (const std::string target : {"notes.txt", "cut", "nameless", "astray"}) {
        SCOPED_TRACE(target);
        const RunResult result =
            RunTool(folder_.path(), {"encrypt", "a.txt", "-u", "eve", "-k", "kt", "-o", target});
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(ReadText(folder_.File(target)).find("#BINASCII1#"), std::string::npos);
    }
}

}  // namespace
