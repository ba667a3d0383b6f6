// veldoran-tool and the key journal: a key file that went back in time is refused before any
// of its material is used again, whichever way it went back; a run stopped between its record
// and its header does not block the next; the journal is the one the user named; a journal that
// cannot be trusted stops the run; and the ranges recorded tile each key.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "shell/ToolRun.h"
#include "support/JournalTiling.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::TempDir;
using toolrun::kMasterPath;
using toolrun::kUserPath;
using toolrun::RunResult;
using toolrun::RunTool;
using toolrun::WriteText;

using Bytes = std::vector<unsigned char>;

// Sets a key file's keyOffset and useCount in place.
void SetPosition(const std::string& keyPath, int32_t keyOffset, int32_t useCount) {
    Bytes bytes = ReadWholeFile(keyPath);
    ASSERT_GE(bytes.size(), 224u);
    testsupport::PutBigEndian32(bytes.data() + 92, static_cast<uint32_t>(keyOffset));
    testsupport::PutBigEndian32(bytes.data() + 96, static_cast<uint32_t>(useCount));
    ASSERT_TRUE(testsupport::WriteWholeFile(keyPath, bytes));
}

// Replaces the folder to with a copy of the folder from, both in folder.
void CopyKeys(const TempDir& folder, const std::string& from, const std::string& to) {
    std::filesystem::remove_all(folder.File(to));
    std::filesystem::copy(folder.File(from), folder.File(to),
                          std::filesystem::copy_options::recursive);
}

class ToolJournal : public ::testing::Test {
  protected:
    void SetUp() override {
        toolrun::MakeKeys(folder_);
        ASSERT_TRUE(WriteText(folder_.File("letter.txt"), "Dear reader,\nthe key is safe.\n"));
    }

    // Where the tool's runs keep their state (toolrun::UseOwnState), and so the journal.
    std::string Journal() const {
        const std::string& path = folder_.path();
        return path.substr(0, path.size() - 1) + ".state/veldoran/journal";
    }

    RunResult Encrypt(const std::string& output, std::vector<std::string> more = {}) {
        std::vector<std::string> arguments = {"encrypt", "-u",         "dupont", "-k",
                                              "keys",    "letter.txt", "-o",     output};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(folder_.path(), arguments);
    }

    void ExpectTiles() {
        EXPECT_EQ(testsupport::JournalTiles(Journal(), "Master", folder_.File(kMasterPath)), "");
        EXPECT_EQ(testsupport::JournalTiles(Journal(), "dupont", folder_.File(kUserPath)), "");
    }

    TempDir folder_;
};

TEST_F(ToolJournal, AKeyFileThatWentBackInTimeIsRefusedWithNothingSpent) {
    const struct {
        const char* label;
        int runsBefore;
        std::function<void(const TempDir&)> rewind;
        std::string namedKey;
    } cases[] = {
        {"the sender's key copied again from its original, one run later", 1,
         [](const TempDir& t) {
             std::filesystem::copy_file(t.File("original/Clefs/dupont." + toolrun::kYear),
                                        t.File(kUserPath),
                                        std::filesystem::copy_options::overwrite_existing);
         },
         kUserPath},
        {"the key folder restored from a backup", 3,
         [](const TempDir& t) { CopyKeys(t, "original", "keys"); }, kMasterPath},
        {"the sender's header set back by hand", 2,
         [](const TempDir& t) {
             testsupport::KeyHeaderFields header;
             ASSERT_TRUE(testsupport::ReadKeyHeader(t.File(kUserPath), &header));
             SetPosition(t.File(kUserPath), header.keyOffset - 10, header.useCount);
         },
         kUserPath},
        {"the master key's use count set back by hand", 2,
         [](const TempDir& t) {
             testsupport::KeyHeaderFields header;
             ASSERT_TRUE(testsupport::ReadKeyHeader(t.File(kMasterPath), &header));
             SetPosition(t.File(kMasterPath), header.keyOffset, header.useCount - 1);
         },
         kMasterPath},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(std::filesystem::path(Journal()).parent_path());
        std::filesystem::remove_all(folder_.File("keys"));
        std::filesystem::remove(folder_.File("again.vlx"));
        toolrun::MakeKeys(folder_);
        CopyKeys(folder_, "keys", "original");
        for (int run = 0; run < c.runsBefore; ++run) {
            ASSERT_EQ(Encrypt("sent" + std::to_string(run) + ".vlx").status, 0);
        }
        c.rewind(folder_);
        const Bytes master = ReadWholeFile(folder_.File(kMasterPath));
        const Bytes user = ReadWholeFile(folder_.File(kUserPath));
        const Bytes journal = ReadWholeFile(Journal());

        const RunResult refused = Encrypt("again.vlx");
        EXPECT_EQ(refused.status, 239);
        EXPECT_EQ(refused.err.find("veldoran-tool: " + c.namedKey + ": its header (offset "), 0u)
            << refused.err;
        EXPECT_NE(refused.err.find("bytes of key material from offset"), std::string::npos);
        EXPECT_NE(refused.err.find("see veldoran-tool key check\n"), std::string::npos);
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_FALSE(std::filesystem::exists(folder_.File("again.vlx")));
        EXPECT_EQ(ReadWholeFile(folder_.File(kMasterPath)), master);
        EXPECT_EQ(ReadWholeFile(folder_.File(kUserPath)), user);
        EXPECT_EQ(ReadWholeFile(Journal()), journal);

        // The user's own choice for one run, said out loud; the journal is left alone.
        const RunResult unchecked = Encrypt("again.vlx", {"--no-journal"});
        EXPECT_EQ(unchecked.status, 0) << unchecked.err;
        EXPECT_NE(unchecked.err.find("warning: --no-journal"), std::string::npos);
        EXPECT_EQ(ReadWholeFile(Journal()), journal);
    }
}

TEST_F(ToolJournal, ARunStoppedBetweenItsRecordAndItsHeadersDoesNotBlockTheNext) {
    ASSERT_EQ(Encrypt("first.vlx").status, 0);
    CopyKeys(folder_, "keys", "before");
    const Bytes journalBefore = ReadWholeFile(Journal());
    ASSERT_EQ(Encrypt("second.vlx").status, 0);
    const struct {
        const char* label;
        size_t cut;  // bytes taken off the journal's end after its last run
    } stops[] = {
        {"after the records were synced", 2 * 128},  // the spent records never came
        {"in the middle of the spent records", 128 + 60},
    };
    const Bytes journalAfter = ReadWholeFile(Journal());
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.label);
        // The headers as they stood before that run, the journal with its sent records only.
        CopyKeys(folder_, "before", "keys");
        ASSERT_TRUE(testsupport::WriteWholeFile(
            Journal(), Bytes(journalAfter.begin(), journalAfter.end() - stop.cut)));
        std::filesystem::remove(Journal() + ".index");
        ASSERT_NE(ReadWholeFile(Journal()), journalBefore);
        const RunResult run = Encrypt("again.vlx");
        EXPECT_EQ(run.status, 0) << run.err;
        ExpectTiles();
    }
}

// A run stopped between its record and its headers, then one run without the journal from
// where that run began: the key was used on without the journal, not set back, whether the
// message was shorter or longer than the one recorded.
TEST_F(ToolJournal, AUseWithoutTheJournalAfterAStoppedRunDoesNotBlockTheNext) {
    for (const char* letter :
         {"Short.\n", "A letter much longer than the first one, and more.\n"}) {
        SCOPED_TRACE(letter);
        std::filesystem::remove_all(std::filesystem::path(Journal()).parent_path());
        std::filesystem::remove_all(folder_.File("keys"));
        toolrun::MakeKeys(folder_);
        ASSERT_TRUE(WriteText(folder_.File("letter.txt"), "Dear reader,\nthe key is safe.\n"));
        ASSERT_EQ(Encrypt("first.vlx").status, 0);
        CopyKeys(folder_, "keys", "before");
        ASSERT_EQ(Encrypt("second.vlx").status, 0);
        const Bytes journal = ReadWholeFile(Journal());
        CopyKeys(folder_, "before", "keys");
        ASSERT_TRUE(testsupport::WriteWholeFile(Journal(),
                                                Bytes(journal.begin(), journal.end() - 2 * 128)));
        std::filesystem::remove(Journal() + ".index");

        ASSERT_TRUE(WriteText(folder_.File("letter.txt"), letter));
        ASSERT_EQ(Encrypt("unrecorded.vlx", {"--no-journal"}).status, 0);
        const RunResult run = Encrypt("again.vlx");
        EXPECT_EQ(run.status, 0) << run.err;
    }
}

TEST_F(ToolJournal, TheRangesOfEveryEncryptingCommandTileEachKey) {
    ASSERT_TRUE(WriteText(folder_.File("picture.bin"), std::string(3000, '\x01')));
    const std::vector<std::vector<std::string>> runs = {
        {"encrypt", "-u", "dupont", "-k", "keys", "letter.txt", "-o", "a.vlx"},
        {"encrypt-binary", "-u", "dupont", "-k", "keys", "picture.bin", "-o", "b.vlb"},
        {"encrypt", "-u", "dupont", "-k", "keys", "-o", "c.vlx"},
        {"pack", "--encrypt", "-u", "dupont", "-k", "keys", "-o", "d.vlb", "letter.txt",
         "picture.bin"},
    };
    for (const auto& arguments : runs) {
        const RunResult run = RunTool(folder_.path(), arguments, "from the standard input\n");
        ASSERT_EQ(run.status, 0) << arguments[0] << ": " << run.err;
    }
    int uses = 0;
    EXPECT_EQ(testsupport::JournalTiles(Journal(), "dupont", folder_.File(kUserPath), &uses), "");
    EXPECT_EQ(uses, 4);
    EXPECT_EQ(testsupport::JournalTiles(Journal(), "Master", folder_.File(kMasterPath)), "");
    bool sound = false;
    EXPECT_EQ(testsupport::ReadJournal(Journal(), &sound).size(), 4u * 4);
}

TEST_F(ToolJournal, TheJournalIsTheOneTheUserNamed) {
    const std::string named = folder_.File("named-journal");
    ASSERT_EQ(Encrypt("a.vlx", {"--journal", named}).status, 0);
    EXPECT_EQ(ReadWholeFile(named).size(), 128u + 4 * 128);
    EXPECT_FALSE(std::filesystem::exists(Journal()));

    const std::string fromVariable = folder_.File("variable-journal");
    ASSERT_EQ(setenv("VELDORAN_JOURNAL", fromVariable.c_str(), 1), 0);
    const RunResult run = Encrypt("b.vlx");
    unsetenv("VELDORAN_JOURNAL");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadWholeFile(fromVariable).size(), 128u + 4 * 128);
    EXPECT_FALSE(std::filesystem::exists(Journal()));
    // The named journal has never seen the second run: the key is ahead of it, not behind.
    EXPECT_EQ(Encrypt("c.vlx", {"--journal", named}).status, 0);
}

TEST_F(ToolJournal, AJournalThatCannotBeTrustedStopsTheRun) {
    const struct {
        const char* label;
        std::function<void(const std::string&)> make;
        const char* words;
    } cases[] = {
        {"another file's bytes",
         [](const std::string& p) { ASSERT_TRUE(WriteText(p, std::string(500, 'x'))); },
         "not a key journal"},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"a symbolic link",
         [this](const std::string& p) {
             ASSERT_TRUE(WriteText(folder_.File("elsewhere"), ""));
             std::filesystem::create_symlink(folder_.File("elsewhere"), p);
         },
         "symbolic link"},
        {"in a folder that is not there", [](const std::string&) {}, "cannot be opened"},
    };
    const Bytes master = ReadWholeFile(folder_.File(kMasterPath));
    const Bytes user = ReadWholeFile(folder_.File(kUserPath));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = std::string(c.label) == "in a folder that is not there"
                                     ? folder_.File("none/journal")
                                     : folder_.File("journal-" + std::to_string(&c - cases));
        c.make(path);
        const RunResult run = Encrypt("a.vlx", {"--journal", path});
        EXPECT_EQ(run.status, 238);
        EXPECT_EQ(run.err.find("veldoran-tool: " + path + ": "), 0u) << run.err;
        EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(folder_.File("a.vlx")));
        EXPECT_EQ(ReadWholeFile(folder_.File(kMasterPath)), master);
        EXPECT_EQ(ReadWholeFile(folder_.File(kUserPath)), user);
    }
}

}  // namespace

namespace {

class ToolKeyCheck : public ToolJournal {
  protected:
    RunResult Check() { return RunTool(folder_.path(), {"key", "check", "-k", "keys"}); }
};

TEST_F(ToolKeyCheck, TellsWhatIsWrongWithEachKeyAndSaysNothingWhenAllIsWell) {
    ASSERT_EQ(Encrypt("a.vlx").status, 0);
    CopyKeys(folder_, "keys", "backup");
    ASSERT_EQ(Encrypt("b.vlx").status, 0);
    const RunResult sound = Check();
    EXPECT_EQ(sound.status, 0) << sound.err;
    EXPECT_NE(sound.out.find(kUserPath + "\n  header:             offset "), std::string::npos)
        << sound.out;
    EXPECT_NE(sound.out.find("  standing:           in step with the journal\n"),
              std::string::npos);
    EXPECT_EQ(sound.out.substr(sound.out.size() - 14), "nothing wrong\n");

    // Used once without the journal: a gap, and the next run with it leaves one in the record.
    ASSERT_EQ(Encrypt("c.vlx", {"--no-journal"}).status, 0);
    const RunResult ahead = Check();
    EXPECT_EQ(ahead.status, 1);
    EXPECT_NE(ahead.out.find("problem:            used without the journal"), std::string::npos)
        << ahead.out;
    ASSERT_EQ(Encrypt("d.vlx").status, 0);
    const RunResult gap = Check();
    EXPECT_EQ(gap.status, 1);
    EXPECT_NE(gap.out.find("problem:            a gap from offset "), std::string::npos) << gap.out;
    EXPECT_NE(gap.out.find("between use 2 ("), std::string::npos) << gap.out;
    EXPECT_EQ(gap.out.substr(gap.out.size() - 11), "2 problems\n") << gap.out;

    // Restored: behind the journal, and the bytes it would reuse.
    CopyKeys(folder_, "backup", "keys");
    const RunResult behind = Check();
    EXPECT_EQ(behind.status, 1);
    EXPECT_NE(behind.out.find("problem:            behind the journal"), std::string::npos)
        << behind.out;
    // key show says the same of the one key.
    const RunResult shown = RunTool(folder_.path(), {"key", "show", kUserPath});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("  problem:            behind the journal"), std::string::npos)
        << shown.out;
}

TEST_F(ToolKeyCheck, ARunStoppedBeforeItsHeadersIsNoProblem) {
    ASSERT_EQ(Encrypt("a.vlx").status, 0);
    CopyKeys(folder_, "keys", "before");
    ASSERT_EQ(Encrypt("b.vlx").status, 0);
    const Bytes journal = ReadWholeFile(Journal());
    ASSERT_TRUE(
        testsupport::WriteWholeFile(Journal(), Bytes(journal.begin(), journal.end() - 256)));
    CopyKeys(folder_, "before", "keys");
    const RunResult check = Check();
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("  standing:           the last run stopped before its header"),
              std::string::npos)
        << check.out;
}

}  // namespace

namespace {

TEST_F(ToolJournal, TheReaderIsWarnedOfTwoMessagesFromTheSameKeyMaterial) {
    // The sender's key folder copied to a laptop and used on both; the reader holds copies too.
    CopyKeys(folder_, "keys", "laptop");
    CopyKeys(folder_, "keys", "reader");
    // As long as the desk's letter: a message is told apart by its frame, not its length.
    ASSERT_TRUE(WriteText(folder_.File("other.txt"), "Sent from my laptop, sorry!!!\n"));
    ASSERT_EQ(Encrypt("desk.vlx").status, 0);
    const RunResult laptop =
        RunTool(folder_.path(), {"encrypt", "-u", "dupont", "-k", "laptop", "other.txt", "-o",
                                 "laptop.vlx", "--journal", folder_.File("laptop.journal")});
    ASSERT_EQ(laptop.status, 0) << laptop.err;

    const std::string readerJournal = folder_.File("reader.journal");
    const auto read = [&](std::vector<std::string> arguments, const std::string& input = "") {
        arguments.insert(arguments.begin(),
                         {"decrypt", "-k", "reader", "--journal", readerJournal});
        return RunTool(folder_.path(), arguments, input);
    };
    const RunResult first = read({"desk.vlx"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.err, "");
    // The same message again, by another way in: no reuse.
    EXPECT_EQ(read({"-o", "-"}, toolrun::ReadText(folder_.File("desk.vlx"))).err, "");

    const RunResult second = read({"laptop.vlx", "-o", "laptop.txt"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(toolrun::ReadText(folder_.File("laptop.txt")), "Sent from my laptop, sorry!!!\n");
    const std::string user =
        "veldoran-tool: warning: laptop.vlx: key material used twice: bytes 0 to ";
    EXPECT_EQ(second.err.find(user), 0u) << second.err;
    EXPECT_NE(second.err.find(" of reader/Clefs/dupont." + toolrun::kYear +
                              " made this message (use 1) and a message read before (use 1, read "),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find(" of reader/Clefs/Master." + toolrun::kYear), std::string::npos)
        << second.err;
    EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 2) << second.err;
}

}  // namespace

namespace {

// A read as the reader's journal notes it, and as the sender's records name the same range.
using Range = std::tuple<std::string, uint32_t, uint32_t>;

std::vector<Range> RangesOf(const std::string& journal, uint32_t kind) {
    bool sound = false;
    std::vector<Range> ranges;
    for (const veldoran::JournalRecord& record : testsupport::ReadJournal(journal, &sound)) {
        if (record.kind == kind) {
            ranges.emplace_back(veldoran::JournalKeyName(record), record.start, record.length);
        }
    }
    EXPECT_TRUE(sound) << journal;
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

// Every way a message is read notes, in the reader's journal, the two ranges its frame names:
// exactly the ranges the sender's journal recorded as spent for it, whatever the way in.
TEST_F(ToolJournal, EveryWayOfReadingNotesTheRangesTheSenderSpent) {
    ASSERT_EQ(Encrypt("one.vlx").status, 0);
    ASSERT_TRUE(WriteText(folder_.File("picture.bin"), std::string(3000, '\x7f')));
    ASSERT_EQ(RunTool(folder_.path(), {"encrypt-binary", "-u", "dupont", "-k", "keys",
                                       "picture.bin", "-o", "picture.vlb"})
                  .status,
              0);
    ASSERT_EQ(Encrypt("two.vlx").status, 0);
    // The sender's journal: each run's two sent records, in the order of the runs.
    bool sound = false;
    std::vector<std::vector<Range>> spent(3);
    size_t run = 0;
    for (const veldoran::JournalRecord& record : testsupport::ReadJournal(Journal(), &sound)) {
        if (record.kind == veldoran::kJournalSent) {
            spent[run / 2].emplace_back(veldoran::JournalKeyName(record), record.start,
                                        record.length);
            ++run;
        }
    }
    ASSERT_EQ(run, 6u);
    const std::string one = toolrun::ReadText(folder_.File("one.vlx"));
    const std::string two = toolrun::ReadText(folder_.File("two.vlx"));
    ASSERT_TRUE(WriteText(folder_.File("box.mbox"),
                          "From anne@example.org Fri Dec 11 10:00:00 2026\nFrom: "
                          "anne@example.org\nSubject: one\n\n" +
                              one +
                              "\nFrom anne@example.org Fri Dec 11 11:00:00 2026\nFrom: "
                              "anne@example.org\nSubject: two\n\n" +
                              two));

    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string input;
        std::vector<size_t> runs;  // the sender's runs whose messages are read
    };
    const std::vector<Case> cases = {
        {"a message file", {"decrypt", "one.vlx", "-o", "one.txt"}, "", {0}},
        {"the standard input", {"decrypt", "-o", "-"}, two, {2}},
        {"a mailbox of two letters", {"decrypt", "box.mbox", "-o", "box.txt"}, "", {0, 2}},
        {"the display filter", {"decrypt", "--inline"}, "Hello,\n" + two + "bye\n", {2}},
        {"a binary file", {"decrypt-binary", "picture.vlb", "-o", "picture.out"}, "", {1}},
    };
    int row = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const std::string reader = folder_.File("reader" + std::to_string(row++) + ".journal");
        std::vector<std::string> arguments = testCase.arguments;
        arguments.insert(arguments.end(), {"-k", "keys", "--journal", reader});
        const RunResult read = RunTool(folder_.path(), arguments, testCase.input);
        ASSERT_EQ(read.status, 0) << read.err;
        EXPECT_EQ(read.err, "");
        std::vector<Range> expected;
        for (size_t k : testCase.runs) {
            expected.insert(expected.end(), spent[k].begin(), spent[k].end());
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(RangesOf(reader, veldoran::kJournalRead), expected);
    }
}

// A message far past a letter's size is noted like any other, as it streams.
TEST_F(ToolJournal, AHundredMebibyteMessageIsNoted) {
    std::string line(99, 'a');
    line += '\n';
    std::string text;
    text.reserve(size_t{100} << 20);
    while (text.size() < (size_t{100} << 20)) {
        text += line;
    }
    ASSERT_TRUE(WriteText(folder_.File("large.txt"), text));
    text.clear();
    text.shrink_to_fit();
    ASSERT_EQ(RunTool(folder_.path(),
                      {"encrypt", "-u", "dupont", "-k", "keys", "large.txt", "-o", "large.vlx"})
                  .status,
              0);
    const std::string reader = folder_.File("reader.journal");
    const RunResult read = RunTool(folder_.path(), {"decrypt", "large.vlx", "-k", "keys", "-o",
                                                    "large.out", "--journal", reader});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.err, "");
    EXPECT_EQ(RangesOf(reader, veldoran::kJournalRead),
              RangesOf(Journal(), veldoran::kJournalSent));
}

TEST_F(ToolKeyCheck, AMergeShowsAFolderUsedOnTwoMachinesAndAnAdvanceEndsTheReuse) {
    CopyKeys(folder_, "keys", "laptop");
    const std::string laptopJournal = folder_.File("laptop.journal");
    ASSERT_EQ(Encrypt("desk.vlx").status, 0);
    for (const char* output : {"l1.vlx", "l2.vlx"}) {
        ASSERT_EQ(RunTool(folder_.path(), {"encrypt", "-u", "dupont", "-k", "laptop", "letter.txt",
                                           "-o", output, "--journal", laptopJournal})
                      .status,
                  0);
    }
    const RunResult merged = RunTool(folder_.path(), {"key", "journal", "merge", laptopJournal});
    EXPECT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out.find("8 records merged from " + laptopJournal + ", 0 already there"), 0u)
        << merged.out;
    // A union: merged again, nothing is added.
    EXPECT_EQ(RunTool(folder_.path(), {"key", "journal", "merge", laptopJournal})
                  .out.find("0 records merged"),
              0u);
    EXPECT_EQ(RunTool(folder_.path(), {"key", "journal", "merge", Journal()}).status, 255);

    const RunResult check = Check();
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("problem:            bytes 0 to "), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(" used twice: use 1 ("), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("this machine) and use 1 ("), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(", machine "), std::string::npos) << check.out;
    // The desk's keys stand behind the laptop's records now: refused.
    EXPECT_EQ(Encrypt("again.vlx").status, 239);

    for (const char* name : {"dupont", "Master"}) {
        const RunResult advanced =
            RunTool(folder_.path(), {"key", "journal", "accept", name, "-k", "keys", "--advance"});
        EXPECT_EQ(advanced.status, 0) << advanced.err;
    }
    testsupport::KeyHeaderFields desk;
    testsupport::KeyHeaderFields laptop;
    ASSERT_TRUE(testsupport::ReadKeyHeader(folder_.File(kUserPath), &desk));
    ASSERT_TRUE(
        testsupport::ReadKeyHeader(folder_.File("laptop/Clefs/dupont." + toolrun::kYear), &laptop));
    EXPECT_EQ(desk.keyOffset, laptop.keyOffset);
    EXPECT_EQ(desk.useCount, laptop.useCount);
    const RunResult after = Check();
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_NE(after.out.find("note:               accepted since: bytes 0 to "), std::string::npos)
        << after.out;
    EXPECT_EQ(Encrypt("again.vlx").status, 0);
}

TEST_F(ToolKeyCheck, ARewindOnPurposeIsRecordedAndLetsTheNextRunGoOn) {
    CopyKeys(folder_, "keys", "backup");
    ASSERT_EQ(Encrypt("a.vlx").status, 0);
    CopyKeys(folder_, "backup", "keys");
    ASSERT_EQ(Encrypt("b.vlx").status, 239);
    const Bytes journal = ReadWholeFile(Journal());
    for (const char* name : {"dupont", "Master"}) {
        const RunResult accepted = RunTool(
            folder_.path(), {"key", "journal", "accept", name, "-k", "keys", "--allow-rewind"});
        EXPECT_EQ(accepted.status, 0) << accepted.err;
        EXPECT_NE(accepted.out.find("accepted as it stands, at offset 0, use count 0"),
                  std::string::npos)
            << accepted.out;
    }
    EXPECT_EQ(ReadWholeFile(Journal()).size(), journal.size() + 2 * 128);
    EXPECT_EQ(ReadWholeFile(folder_.File(kUserPath)),
              ReadWholeFile(folder_.File("backup/Clefs/dupont." + toolrun::kYear)));
    EXPECT_EQ(Encrypt("b.vlx").status, 0);
    const RunResult check = Check();
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("note:               accepted since: bytes 0 to "), std::string::npos)
        << check.out;
    // One of the two, and only one.
    EXPECT_EQ(RunTool(folder_.path(), {"key", "journal", "accept", "dupont", "-k", "keys"}).status,
              2);
}

}  // namespace
