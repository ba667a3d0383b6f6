// veldoran-tool pack and unpack through the built program. The containers pack writes are read
// back with the library's own TypPieceJointe, and the hostile containers unpack meets are made
// with it, independent of the tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "attachments/ContainerFixture.h"
#include "shell/ToolRun.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteContainer;

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
        {"a name that unpack would refuse",
         {"pack", "-o", "out.vlp", "tab\tname"},
         "veldoran-tool: tab\tname: a name with a control character, which unpack refuses\n",
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
        toolrun::WriteText(folder.File("tab\tname"), "t\n");
        std::filesystem::create_directories(folder.File("sub"));
        const RunResult result = RunTool(folder.path(), testCase.arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, testCase.err);
        EXPECT_EQ(result.status, testCase.status);
        EXPECT_FALSE(std::filesystem::exists(folder.File("out.vlp")));
        EXPECT_EQ(toolrun::ReadText(folder.File("a.txt")), "a\n");
    }
}

// Every path under root, relative, with what each holds ("->target" for a link).
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = std::filesystem::relative(item.path(), root).string();
        if (item.is_symlink()) {
            tree[relative] = "->" + std::filesystem::read_symlink(item.path()).string();
        } else if (item.is_regular_file()) {
            tree[relative] = toolrun::ReadText(item.path().string());
        } else {
            tree[relative] = "(folder)";
        }
    }
    return tree;
}

TEST(ToolAttachments, PackThenUnpackGivesTheFilesBack) {
    const std::vector<unsigned char> random = testsupport::RandomBytes(70000, 4);
    const std::string text(20000, 'x');
    struct Case {
        const char* label;
        std::vector<std::string> packOptions;
    };
    const std::vector<Case> cases = {
        {"stored", {}},
        {"compressed", {"--lzo"}},
        {"compressed and encrypted", {"--lzo", "--encrypt", "-u", "dupont", "-k", "keys"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        toolrun::MakeKeys(folder);
        std::filesystem::create_directories(folder.File("in"));
        std::filesystem::create_directories(folder.File("out"));
        testsupport::WriteWholeFile(folder.File("in/photo.jpg"), random);
        toolrun::WriteText(folder.File("in/notes.txt"), text);
        toolrun::WriteText(folder.File("in/empty"), "");
        std::vector<std::string> pack = {"pack",         "-o",      "mail.vlp", "--from",
                                         "dupont",       "--to",    "helene",   "in/photo.jpg",
                                         "in/notes.txt", "in/empty"};
        pack.insert(pack.end(), testCase.packOptions.begin(), testCase.packOptions.end());
        ASSERT_EQ(RunTool(folder.path(), pack).status, 0);

        const RunResult listed =
            RunTool(folder.path(), {"unpack", "mail.vlp", "--list", "-k", "keys"});
        EXPECT_EQ(listed.err, "");
        EXPECT_EQ(listed.status, 0);
        const bool compressed = !testCase.packOptions.empty();
        EXPECT_EQ(listed.out, std::string("from: dupont\nto: helene\ncompressed: ") +
                                  (compressed ? "LZO1X-1" : "no") +
                                  "\n       70000  photo.jpg\n       20000  notes.txt\n"
                                  "           0  empty\n");

        const RunResult unpacked =
            RunTool(folder.path(), {"unpack", "mail.vlp", "-C", "out", "-k", "keys"});
        EXPECT_EQ(unpacked.out, "");
        EXPECT_EQ(unpacked.err, "");
        EXPECT_EQ(unpacked.status, 0);
        EXPECT_EQ(Tree(folder.File("out")), Tree(folder.File("in")));
    }
}

// With --trace the pipelines' trace lines go to the standard error stream while they run; an
// encrypted container written to the standard output must still go to the standard output.
TEST(ToolAttachments, EncryptedContainerOnTheStandardOutputWithTrace) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    toolrun::WriteText(folder.File("notes.txt"), std::string(20000, 'x'));
    const RunResult packed = RunTool(folder.path(), {"--trace", "pack", "-o", "-", "--encrypt",
                                                     "-u", "dupont", "-k", "keys", "notes.txt"});
    EXPECT_EQ(packed.status, 0);
    const RunResult listed = RunTool(folder.path(), {"unpack", "--list", "-k", "keys"}, packed.out);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "from: \nto: \ncompressed: no\n       20000  notes.txt\n");
}

TEST(ToolAttachments, UnpackRefusesHostileNamesAndWritesOnlyInsideTheFolder) {
    TempDir folder;
    std::filesystem::create_directories(folder.File("out"));
    WriteContainer(folder.File("hostile.vlp"), {{"../escaped.txt", "1"},
                                                {"/tmp/veldoran-absolute.txt", "2"},
                                                {"", "3"},
                                                {"bell\x07.txt", "4"},
                                                {"sub/inner.txt", "5"},
                                                {".", "6"},
                                                {"..", "7"},
                                                {"good.txt", "8"},
                                                {"good.txt", "9"},
                                                {"new\nline", "10"}});
    const auto before = Tree(folder.path());
    const RunResult result = RunTool(folder.path(), {"unpack", "hostile.vlp", "-C", "out"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(
        result.err,
        "veldoran-tool: hostile.vlp: entry 1 \"../escaped.txt\": refused: a name with a folder "
        "in it; not written\n"
        "veldoran-tool: hostile.vlp: entry 2 \"/tmp/veldoran-absolute.txt\": refused: an "
        "absolute name; not written\n"
        "veldoran-tool: hostile.vlp: entry 3 \"\": refused: an empty name; not written\n"
        "veldoran-tool: hostile.vlp: entry 4 \"bell\\x07.txt\": refused: a name with a control "
        "character; not written\n"
        "veldoran-tool: hostile.vlp: entry 5 \"sub/inner.txt\": refused: a name with a folder in "
        "it; not written\n"
        "veldoran-tool: hostile.vlp: entry 6 \".\": refused: the name . stands for a folder; not "
        "written\n"
        "veldoran-tool: hostile.vlp: entry 7 \"..\": refused: the name .. stands for a folder; "
        "not written\n"
        "veldoran-tool: hostile.vlp: entry 9 \"good.txt\": refused: a second entry of that name; "
        "not written\n"
        "veldoran-tool: hostile.vlp: entry 10 \"new\\x0aline\": refused: a name with a control "
        "character; not written\n");
    EXPECT_EQ(result.status, 255);
    auto expected = before;
    expected["out/good.txt"] = "8";
    EXPECT_EQ(Tree(folder.path()), expected);
    EXPECT_FALSE(std::filesystem::exists("/tmp/veldoran-absolute.txt"));
}

// Containers written byte for byte as the format describes them, so that they may hold what
// the library's writer never makes.
void WriteBlock(const std::string& path, const containertest::BlockContents& contents) {
    ASSERT_TRUE(testsupport::WriteWholeFile(path, containertest::ReferenceBlock(contents)));
}

// 34 entries of 32 000 000 zero bytes (just over 1 GiB together) in about 4 MB, and a note.
TEST(ToolAttachments, AContainerDeclaringGigabytesIsListedAndNotUnpacked) {
    using containertest::Bytes;
    const Bytes zeros = containertest::LzoCompressDirect(Bytes(size_t{kLZOMacDataSize}, 0));
    containertest::BlockContents contents{kformatLZOcompresse, "dupont", "helene", {}};
    std::string listing = "from: dupont\nto: helene\ncompressed: LZO1X-1\n";
    for (int k = 0; k < 34; ++k) {
        contents.entries.push_back({TypInfo{}, "zeros" + std::to_string(k), zeros});
        listing += "    32000000  zeros" + std::to_string(k) + "\n";
    }
    contents.entries.push_back(
        {TypInfo{}, "note.txt", containertest::LzoCompressDirect(containertest::B("a note\n"))});
    listing += "           7  note.txt\n";
    TempDir folder;
    std::filesystem::create_directories(folder.File("out"));
    WriteBlock(folder.File("big.vlp"), contents);

    const RunResult listed = RunTool(folder.path(), {"unpack", "big.vlp", "--list"});
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out, listing);
    EXPECT_EQ(listed.status, 0);

    const RunResult unpacked = RunTool(folder.path(), {"unpack", "big.vlp", "-C", "out"});
    EXPECT_EQ(unpacked.out, "");
    EXPECT_EQ(unpacked.err,
              "veldoran-tool: big.vlp: its entries together hold 1088000007 bytes, more than "
              "1073741824 an unpack writes; nothing written\n");
    EXPECT_EQ(unpacked.status, 246);
    EXPECT_TRUE(std::filesystem::is_empty(folder.File("out")));
}

// Entries go out one at a time through one buffer: a short entry after a long one, and a long
// one after a short one, come out byte for byte.
TEST(ToolAttachments, UnpackWritesEveryEntryByteForByte) {
    using containertest::Bytes;
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"long.bin", testsupport::RandomBytes(3000000, 21)},
        {"short.txt", containertest::B("short")},
        {"zeros.bin", Bytes(5000000, 0)},
        {"empty", Bytes()},
        {"text.txt", containertest::TextLike(800000, 22)}};
    for (const int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}}) {
        SCOPED_TRACE(format);
        containertest::BlockContents contents{format, "", "", {}};
        for (const auto& file : files) {
            contents.entries.push_back({TypInfo{}, file.first,
                                        format == kformatLZOcompresse
                                            ? containertest::LzoCompressDirect(file.second)
                                            : file.second});
        }
        TempDir folder;
        std::filesystem::create_directories(folder.File("out"));
        WriteBlock(folder.File("c.vlp"), contents);
        const RunResult result = RunTool(folder.path(), {"unpack", "c.vlp", "-C", "out"});
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        for (const auto& file : files) {
            EXPECT_EQ(testsupport::ReadWholeFile(folder.File("out/" + file.first)), file.second)
                << file.first;
        }
        EXPECT_EQ(Tree(folder.File("out")).size(), files.size());
    }
}

// Names no file may take are listed escaped and refused. A name is every byte the container
// gives it: one cut at a zero byte would pass for a plain name. C1 controls (CSI U+009B, OSC
// U+009D) act on a terminal as C0 ones do, while a letter whose UTF-8 form merely holds such a
// byte (U+011B is C4 9B) is text.
TEST(ToolAttachments, NamesNoFileMayTakeAreListedEscapedAndRefused) {
    ASSERT_EQ(setenv("LC_ALL", "C.UTF-8", 1), 0);
    struct HostileNames {
        const char* name;
        containertest::BlockContents contents;
        const char* listed;
        const char* refused;
        std::map<std::string, std::string> written;
    };
    containertest::BlockContents zero{kformatnoncompresse, "", "", {}};
    zero.entries.push_back({TypInfo{}, std::string("ok\0../../x", 10), containertest::B("1")});
    zero.entries.push_back({TypInfo{}, "good.txt", containertest::B("22")});
    containertest::BlockContents c1{kformatnoncompresse, "mallory\xc2\x9b[2J", "", {}};
    c1.entries.push_back({TypInfo{}, "csi\xc2\x9b[2J.txt", containertest::B("1")});
    c1.entries.push_back({TypInfo{}, "osc\xc2\x9d;x.txt", containertest::B("22")});
    c1.entries.push_back({TypInfo{}, "caf\xc3\xa9.txt", containertest::B("333")});
    c1.entries.push_back({TypInfo{}, "\xc4\x9b.txt", containertest::B("4444")});
    const std::vector<HostileNames> cases = {
        {"a zero byte",
         zero,
         "from: \nto: \ncompressed: no\n"
         "           1  ok\\x00../../x  (refused: a name with a zero byte in it)\n"
         "           2  good.txt\n",
         "veldoran-tool: hostile.vlp: entry 1 \"ok\\x00../../x\": refused: a name with a "
         "zero byte in it; not written\n",
         {{"good.txt", "22"}}},
        {"C1 controls",
         c1,
         "from: mallory\\xc2\\x9b[2J\nto: \ncompressed: no\n"
         "           1  csi\\xc2\\x9b[2J.txt  (refused: a name with a control character)\n"
         "           2  osc\\xc2\\x9d;x.txt  (refused: a name with a control character)\n"
         "           3  caf\xc3\xa9.txt\n"
         "           4  \xc4\x9b.txt\n",
         "veldoran-tool: hostile.vlp: entry 1 \"csi\\xc2\\x9b[2J.txt\": refused: a name with a "
         "control character; not written\n"
         "veldoran-tool: hostile.vlp: entry 2 \"osc\\xc2\\x9d;x.txt\": refused: a name with a "
         "control character; not written\n",
         {{"caf\xc3\xa9.txt", "333"}, {"\xc4\x9b.txt", "4444"}}},
    };
    for (const HostileNames& names : cases) {
        SCOPED_TRACE(names.name);
        TempDir folder;
        std::filesystem::create_directories(folder.File("out"));
        WriteBlock(folder.File("hostile.vlp"), names.contents);

        const RunResult listed = RunTool(folder.path(), {"unpack", "hostile.vlp", "--list"});
        EXPECT_EQ(listed.out, names.listed);
        EXPECT_EQ(listed.status, 0);

        const RunResult unpacked = RunTool(folder.path(), {"unpack", "hostile.vlp", "-C", "out"});
        EXPECT_EQ(unpacked.out, "");
        EXPECT_EQ(unpacked.err, names.refused);
        EXPECT_EQ(unpacked.status, 255);
        EXPECT_EQ(Tree(folder.File("out")), names.written);
    }
    unsetenv("LC_ALL");
}

TEST(ToolAttachments, UnpackNeverFollowsALinkAndReplacesOnlyWithForce) {
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "--force" : "without --force");
        TempDir folder;
        std::filesystem::create_directories(folder.File("out"));
        toolrun::WriteText(folder.File("outside.txt"), "precious");
        std::filesystem::create_symlink("../outside.txt", folder.File("out/linked.txt"));
        std::filesystem::create_symlink("../nowhere.txt", folder.File("out/dangling.txt"));
        toolrun::WriteText(folder.File("out/existing.txt"), "old");
        WriteContainer(folder.File("c.vlp"), {{"linked.txt", "through the link"},
                                              {"dangling.txt", "through the dangling link"},
                                              {"existing.txt", "new"}});
        std::vector<std::string> arguments = {"unpack", "c.vlp", "-C", "out"};
        if (force) {
            arguments.push_back("--force");
        }
        const RunResult result = RunTool(folder.path(), arguments);
        const std::string linkRefusal =
            ": exists and is not a plain file (a link is never followed); entry not written\n";
        std::string err = "veldoran-tool: out/linked.txt" + linkRefusal +
                          "veldoran-tool: out/dangling.txt" + linkRefusal;
        if (!force) {
            err +=
                "veldoran-tool: out/existing.txt: exists; entry not written (--force "
                "replaces it)\n";
        }
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(toolrun::ReadText(folder.File("outside.txt")), "precious");
        EXPECT_FALSE(std::filesystem::exists(folder.File("nowhere.txt")));
        EXPECT_TRUE(std::filesystem::is_symlink(folder.File("out/linked.txt")));
        EXPECT_EQ(toolrun::ReadText(folder.File("out/existing.txt")), force ? "new" : "old");
        EXPECT_EQ(Tree(folder.File("out")).size(), 3u) << "no stray file in the folder";
    }
}

TEST(ToolAttachments, AContainerCutWhileUnpackedLeavesNoPartialFile) {
    TempDir folder;
    const std::string content(64u << 20, 'z');
    toolrun::WriteText(folder.File("large.bin"), content);
    ASSERT_EQ(RunTool(folder.path(), {"pack", "-o", "whole.vlp", "large.bin"}).status, 0);
    std::filesystem::create_directories(folder.File("out"));
    // Wherever the cut falls (before the file is read, while it is, or after), the run either
    // fails and writes nothing or writes the whole file.
    for (const int delayMs : {0, 5, 20, 60}) {
        SCOPED_TRACE(delayMs);
        std::filesystem::copy_file(folder.File("whole.vlp"), folder.File("cut.vlp"),
                                   std::filesystem::copy_options::overwrite_existing);
        const std::vector<std::string> arguments = {"unpack", "cut.vlp", "-C", "out", "--force"};
        const pid_t child = toolrun::StartTool(folder, arguments);
        ASSERT_GT(child, 0);
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        ASSERT_EQ(truncate(folder.File("cut.vlp").c_str(), 1000), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) {
            EXPECT_EQ(toolrun::ReadText(folder.File("out/large.bin")), content);
            std::filesystem::remove(folder.File("out/large.bin"));
        } else {
            EXPECT_TRUE(std::filesystem::is_empty(folder.File("out")));
        }
    }
}

TEST(ToolAttachments, UnpackFailures) {
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string err;
        int status;
    };
    const std::string year = testsupport::CurrentYearText();
    const std::vector<Case> cases = {
        {"a missing file",
         {"unpack", "none.vlp"},
         "veldoran-tool: none.vlp: cannot be opened: No such file or directory\n",
         255},
        {"a text file",
         {"unpack", "letter.txt"},
         "veldoran-tool: letter.txt: neither an attachment container nor an encrypted one\n",
         252},
        {"a container cut short",
         {"unpack", "cut.vlp", "-C", "out"},
         "veldoran-tool: cut.vlp: attachment container cut short\n",
         252},
        {"a folder that does not exist",
         {"unpack", "whole.vlp", "-C", "missing"},
         "veldoran-tool: missing: cannot be opened as a folder: No such file or directory\n",
         255},
        {"an encrypted container without its key",
         {"unpack", "sealed.vlp", "-C", "out"},
         "veldoran-tool: Clefs/dupont." + year + ": key file named by the message not found\n",
         251},
    };
    TempDir keyed;
    toolrun::MakeKeys(keyed);
    toolrun::WriteText(keyed.File("a.txt"), "attached\n");
    ASSERT_EQ(RunTool(keyed.path(), {"pack", "-o", "sealed.vlp", "--encrypt", "-u", "dupont", "-k",
                                     "keys", "a.txt"})
                  .status,
              0);
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        std::filesystem::create_directories(folder.File("out"));
        toolrun::WriteText(folder.File("letter.txt"), std::string(200, 'L'));
        WriteContainer(folder.File("whole.vlp"), {{"a.txt", std::string(100, 'a')}});
        std::string whole = toolrun::ReadText(folder.File("whole.vlp"));
        toolrun::WriteText(folder.File("cut.vlp"), whole.substr(0, whole.size() - 30));
        std::filesystem::copy_file(keyed.File("sealed.vlp"), folder.File("sealed.vlp"));
        const RunResult result = RunTool(folder.path(), testCase.arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, testCase.err);
        EXPECT_EQ(result.status, testCase.status);
        EXPECT_TRUE(std::filesystem::is_empty(folder.File("out")));
    }
}

}  // namespace
