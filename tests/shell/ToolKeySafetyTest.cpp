// veldoran-tool and the key files: no result replaces a key file wherever it stands, however it
// came to be longer than its header says; and the key reuse check (--no-reuse, the wrap warning)
// decides from the header the run actually spends from, under the key locks, so that runs at
// the same time cannot all pass it on the same unspent material.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using testsupport::KeyFileContents;
using testsupport::TempDir;
using toolrun::kYear;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

class ToolKeySafety : public ::testing::Test {
  protected:
    void SetUp() override {
        // The tool keeps no state of the user's here.
        const char* home = getenv("HOME");
        savedHome_ = home != nullptr ? home : "";
        ASSERT_TRUE(toolrun::UseOwnHome(folder_.File("state")));
    }
    void TearDown() override {
        unsetenv("XDG_STATE_HOME");
        unsetenv("XDG_CONFIG_HOME");
        if (!savedHome_.empty()) {
            setenv("HOME", savedHome_.c_str(), 1);
        }
    }

    std::string savedHome_;

    // A key of the current year at <folder><keyFolder>/Clefs/<name>.<year text>; returns that
    // path relative to the folder.
    std::string MakeKey(const std::string& keyFolder, const std::string& name,
                        size_t materialLength, int32_t keyOffset = 0) {
        EXPECT_FALSE(testsupport::WriteCurrentYearKey(folder_.File(keyFolder + "/"), name,
                                                      materialLength, keyOffset, 5)
                         .empty());
        return keyFolder + "/Clefs/" + name + "." + kYear;
    }

    // Starts the tool in the folder with its standard error going to errPath, without waiting.
    pid_t Start(const std::vector<std::string>& arguments, const std::string& errPath) {
        std::vector<char*> argv = toolrun::ArgumentVector(arguments);
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_RDWR);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0 ||
                chdir(folder_.path().c_str()) != 0) {
                _exit(127);
            }
            execv(toolrun::kTool.c_str(), argv.data());
            _exit(127);
        }
        return child;
    }

    struct Outcome {
        int status = -1;
        std::string err;
    };

    // Runs encrypt on doc.txt in `runs` processes at once, each to its own out<k>.vlx.
    std::vector<Outcome> EncryptAtOnce(int runs, const std::vector<std::string>& extra) {
        std::vector<pid_t> children;
        for (int k = 0; k < runs; ++k) {
            std::vector<std::string> arguments = {
                "encrypt", "doc.txt", "-u", "dupont",
                "-k",      "keys",    "-o", "out" + std::to_string(k) + ".vlx"};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            children.push_back(Start(arguments, ErrPath(k)));
        }
        std::vector<Outcome> outcomes(children.size());
        for (size_t k = 0; k < children.size(); ++k) {
            int status = 0;
            if (waitpid(children[k], &status, 0) == children[k] && WIFEXITED(status)) {
                outcomes[k].status = WEXITSTATUS(status);
            }
            outcomes[k].err = ReadText(ErrPath(static_cast<int>(k)));
        }
        return outcomes;
    }

    // Beside the folder, so that it holds only what the runs made.
    std::string ErrPath(int k) const {
        const std::string base = folder_.path().substr(0, folder_.path().size() - 1);
        return base + ".err" + std::to_string(k);
    }

    TempDir folder_;
};

// A document of 1 MiB (lines of 64 bytes) and keys of 1.5 MiB: room for one message each.
constexpr uint64_t kDocument = 1u << 20;
constexpr uint64_t kKeyMaterial = 3u << 19;
// The document and the recipient block for no recipients (#DESTBEGIN#,,#DESTEND#).
constexpr uint64_t kMessage = kDocument + 22;

void WriteDocument(const std::string& path) {
    std::string line(63, 'a');
    line += '\n';
    std::string document;
    for (uint64_t k = 0; k < kDocument / 64; ++k) {
        document += line;
    }
    ASSERT_TRUE(WriteText(path, document));
}

std::string WrapWords(uint64_t needed, uint64_t left) {
    return "the message needs " + std::to_string(needed) + " bytes of key material and " +
           std::to_string(left) + " are left before the key wraps, so " +
           std::to_string(needed - left) + " bytes of it would be used a second time";
}

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
            {"encrypt-binary", "a.txt", "-u", "eve", "-k", "kt", "-o", key},
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

// Runs at the same time cannot all pass --no-reuse on the same unspent material: the check is
// made under the key locks, so exactly one run spends, and every other is refused from the
// header that run left, with nothing spent.
TEST_F(ToolKeySafety, NoReuseLetsOneOfManyRunsAtOnceThrough) {
    const std::string master = MakeKey("keys", "Master", kKeyMaterial);
    MakeKey("keys", "dupont", kKeyMaterial);
    WriteDocument(folder_.File("doc.txt"));
    const std::vector<Outcome> outcomes = EncryptAtOnce(6, {"--no-reuse"});

    const std::string refusal = "veldoran-tool: " + master + ": " +
                                WrapWords(kMessage, kKeyMaterial - kMessage) +
                                "; nothing encrypted (--no-reuse)\n";
    int succeeded = 0;
    for (size_t k = 0; k < outcomes.size(); ++k) {
        SCOPED_TRACE("run " + std::to_string(k));
        const bool wrote =
            std::filesystem::exists(folder_.File("out" + std::to_string(k) + ".vlx"));
        if (outcomes[k].status == 0) {
            ++succeeded;
            EXPECT_EQ(outcomes[k].err, "");
            EXPECT_TRUE(wrote);
        } else {
            EXPECT_EQ(outcomes[k].status, 3);
            EXPECT_EQ(outcomes[k].err, refusal);
            EXPECT_FALSE(wrote);
        }
    }
    EXPECT_EQ(succeeded, 1);
    testsupport::KeyHeaderFields header;
    ASSERT_TRUE(testsupport::ReadKeyHeader(folder_.File(master), &header));
    EXPECT_EQ(header.keyOffset, static_cast<int32_t>(kMessage));
    EXPECT_EQ(header.useCount, 1);
    ASSERT_TRUE(testsupport::ReadKeyHeader(folder_.File("keys/Clefs/dupont." + kYear), &header));
    EXPECT_EQ(header.keyOffset, static_cast<int32_t>(kMessage + 224));
    EXPECT_EQ(header.useCount, 1);
}

// Without --no-reuse every run goes through, and each warns with the figures of the header it
// spends from: the fresh key, then the key each earlier run left, one after the other.
TEST_F(ToolKeySafety, WrapWarningsComeFromTheHeaderEachRunSpends) {
    const std::string master = MakeKey("keys", "Master", kKeyMaterial);
    const std::string user = MakeKey("keys", "dupont", kKeyMaterial);
    WriteDocument(folder_.File("doc.txt"));
    const std::vector<Outcome> outcomes = EncryptAtOnce(3, {});

    // The positions the keys pass through, run after run.
    const uint64_t userStream = kMessage + 224;
    const std::set<std::string> expected = {
        "",
        "veldoran-tool: warning: " + master + ": " + WrapWords(kMessage, kKeyMaterial - kMessage) +
            "\n" + "veldoran-tool: warning: " + user + ": " +
            WrapWords(userStream, kKeyMaterial - userStream) + "\n",
        "veldoran-tool: warning: " + master + ": " +
            WrapWords(kMessage, kKeyMaterial - (2 * kMessage - kKeyMaterial)) + "\n" +
            "veldoran-tool: warning: " + user + ": " +
            WrapWords(userStream, kKeyMaterial - (2 * userStream - kKeyMaterial)) + "\n",
    };
    std::set<std::string> seen;
    for (const Outcome& outcome : outcomes) {
        EXPECT_EQ(outcome.status, 0);
        seen.insert(outcome.err);
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace
