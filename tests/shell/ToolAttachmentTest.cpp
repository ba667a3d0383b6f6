// veldoran-tool pack through the built program; the containers it writes are read back with
// the library's own TypPieceJointe, independent of the tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;
using toolrun::RunResult;
using toolrun::RunTool;

struct LoadedEntry {
    std::vector<unsigned char> data;
};

// Loads a container file with the library; false when it does not load.
bool LoadContainer(const std::string& path, std::string* sender,
                   std::vector<LoadedEntry>* entries) {
    const std::vector<unsigned char> block = testsupport::ReadWholeFile(path);
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    auto container = std::make_unique<TypPieceJointe>();
    container->InitCreate(&utils);
    const int32_t loaded = container->LoadStruct(block.data(), static_cast<int32_t>(block.size()));
    char senderText[200] = {};
    container->GetExpediteur(senderText);
    *sender = senderText;
    entries->clear();
    for (int32_t k = 0; k < container->GetNbFiles(); ++k) {
        unsigned char* data = nullptr;
        int32_t length = 0;
        if (container->GetDataN(k, &data, &length) != kNoErr) {
            break;
        }
        entries->push_back({std::vector<unsigned char>(data, data + length)});
    }
    container->Kill();
    return loaded == kNoErr;
}

TEST(ToolAttachments, PackWithAndWithoutCompression) {
    const std::vector<unsigned char> random = testsupport::RandomBytes(30000, 9);
    std::string repeated;
    for (int k = 0; k < 5000; ++k) {
        repeated += "the same line again\n";
    }
    const std::vector<unsigned char> text(repeated.begin(), repeated.end());
    const std::vector<unsigned char> empty;

    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "--lzo" : "stored");
        TempDir folder;
        std::filesystem::create_directories(folder.File("in"));
        testsupport::WriteWholeFile(folder.File("in/report.pdf"), random);
        testsupport::WriteWholeFile(folder.File("in/notes.txt"), text);
        testsupport::WriteWholeFile(folder.File("empty"), empty);
        std::vector<std::string> arguments = {
            "pack", "-o",     "attachments.vlp", "--from",       "dupont",
            "--to", "helene", "in/report.pdf",   "in/notes.txt", "empty"};
        if (compressed) {
            arguments.push_back("--lzo");
        }
        const RunResult result = RunTool(folder.path(), arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);

        std::string sender;
        std::vector<LoadedEntry> entries;
        ASSERT_TRUE(LoadContainer(folder.File("attachments.vlp"), &sender, &entries));
        EXPECT_EQ(sender, "dupont");
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[0].data, random);
        EXPECT_EQ(entries[1].data, text);
        EXPECT_EQ(entries[2].data, empty);
        const std::string block = toolrun::ReadText(folder.File("attachments.vlp"));
        EXPECT_NE(block.find("report.pdf"), std::string::npos);
        EXPECT_NE(block.find("notes.txt"), std::string::npos);
        const size_t stored = random.size() + text.size();
        EXPECT_EQ(block.size() < stored, compressed) << block.size();
    }
}

TEST(ToolAttachments, PackFailures) {
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string err;
        int status;
    };
    const std::vector<Case> cases = {
        {"a missing file",
         {"pack", "-o", "out.vlp", "a.txt", "none"},
         "veldoran-tool: none: cannot be opened: No such file or directory\n",
         255},
        {"two files of one name",
         {"pack", "-o", "out.vlp", "a.txt", "./a.txt"},
         "veldoran-tool: ./a.txt: a second file named a.txt in one container\n",
         255},
        {"the container over one of its files",
         {"pack", "-o", "a.txt", "a.txt"},
         "veldoran-tool: a.txt: is one of the files packed; give --force to replace it\n",
         255},
        {"a folder",
         {"pack", "-o", "out.vlp", "sub"},
         "veldoran-tool: sub: is a folder, not a file\n",
         255},
        {"no output",
         {"pack", "a.txt"},
         "veldoran-tool: --output is required; see veldoran-tool pack --help\n",
         2},
        {"a sender longer than the container holds",
         {"pack", "-o", "out.vlp", "--from", std::string(64, 's'), "a.txt"},
         "veldoran-tool: --from: at most 63 bytes; see veldoran-tool pack --help\n",
         2},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        toolrun::WriteText(folder.File("a.txt"), "a\n");
        std::filesystem::create_directories(folder.File("sub"));
        const RunResult result = RunTool(folder.path(), testCase.arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, testCase.err);
        EXPECT_EQ(result.status, testCase.status);
        EXPECT_FALSE(std::filesystem::exists(folder.File("out.vlp")));
        EXPECT_EQ(toolrun::ReadText(folder.File("a.txt")), "a\n");
    }
}

}  // namespace
