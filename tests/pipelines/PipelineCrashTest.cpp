// Every encrypting pipeline killed with SIGKILL at a random moment, again and again on the same
// key files and target: after each kill every key header is whole and has advanced by no use or
// by exactly one (with the offset moved by exactly that use's bytes), the target is the old file
// or a complete new message, no temporary file is left behind, and the next run works. The
// library's runs keep a key journal: after each kill each key stands where the journal's last
// record left it, or one recoverable tail before it, or (after the veldoran program, which
// keeps none) ahead of it; never behind.
// The seed is printed; VELDORAN_CRASH_SEED=<seed> replays a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "EncryptingPipelines.h"
#include "platform/TargetWriter.h"
#include "support/CurrentYear.h"
#include "support/FolderEntries.h"
#include "support/JournalTiling.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "support/Valgrind.h"

namespace {

using pipelinerun::Bytes;
using pipelinerun::Pipeline;
using testsupport::Entries;
using testsupport::KeyHeaderFields;

constexpr int kKills = 30;
constexpr size_t kKeyBytes = 256 << 10;
constexpr size_t kSmallDocument = 300;
// Several times the keys, so that a run wraps around them.
constexpr size_t kLargeDocument = 3 << 20;
constexpr Pipeline kPipelines[] = {Pipeline::kProgram, Pipeline::kTextFile, Pipeline::kMemory,
                                   Pipeline::kBinaryFile, Pipeline::kBinaryMemory};

// A printable document with line ends, which every text pipeline carries unchanged.
Bytes Document(size_t size, uint32_t seed) {
    Bytes document = testsupport::RandomBytes(size, seed);
    for (size_t i = 0; i < document.size(); ++i) {
        document[i] = i % 64 == 63 ? '\n' : static_cast<unsigned char>('a' + document[i] % 26);
    }
    return document;
}

uint32_t SeedFromEnvironmentOrClock() {
    const char* given = getenv("VELDORAN_CRASH_SEED");
    return given != nullptr ? static_cast<uint32_t>(strtoul(given, nullptr, 10))
                            : std::random_device{}();
}

struct KeyState {
    std::string path;
    Bytes material;  // as written: no run may touch it
    KeyHeaderFields header;
};

class PipelineCrash : public ::testing::Test {
  protected:
    void SetUp() override {
        keyFolder_ = tmp_.File("keys/");
        std::filesystem::create_directories(keyFolder_ + "Clefs");
        const std::string year = testsupport::CurrentYearText();
        master_.path = keyFolder_ + "Clefs/Master." + year;
        user_.path = keyFolder_ + "Clefs/dupont." + year;
        WriteKey(&master_, "Master", 51);
        WriteKey(&user_, "dupont", 52);
        small_ = Document(kSmallDocument, 53);
        large_ = Document(kLargeDocument, 54);
        ASSERT_TRUE(testsupport::WriteWholeFile(tmp_.File("small.txt"), small_));
        ASSERT_TRUE(testsupport::WriteWholeFile(tmp_.File("large.txt"), large_));
        // Beside the test folder, so that its files do not count as left behind.
        journal_ = tmp_.File("journal");
        veldoranSetKeyJournal(journal_.c_str());
        folderEntries_ = Entries(tmp_.path());
        keyEntries_ = Entries(keyFolder_ + "Clefs");
    }
    void TearDown() override { veldoranSetKeyJournal(nullptr); }

    // Neither key behind the journal; with inStep, both where it left them.
    void ExpectJournalAgrees(bool inStep) {
        using veldoran::JournalStanding;
        for (const auto& [name, path] :
             {std::pair<std::string, std::string>{"Master", master_.path},
              {"dupont", user_.path}}) {
            const JournalStanding standing = testsupport::StandingInJournal(journal_, name, path);
            EXPECT_NE(standing, JournalStanding::kBehind) << name;
            if (inStep) {
                EXPECT_EQ(standing, JournalStanding::kInStep) << name;
            }
        }
    }

    void WriteKey(KeyState* key, const std::string& name, uint32_t seed) {
        testsupport::KeyFileContents contents;
        contents.name = name;
        contents.year = testsupport::CurrentFullYear();
        contents.keyOffset = 1000;
        contents.material = testsupport::RandomBytes(kKeyBytes, seed);
        ASSERT_TRUE(testsupport::WriteKeyFile(key->path, contents));
        key->material = contents.material;
        ASSERT_TRUE(testsupport::ReadKeyHeader(key->path, &key->header));
    }

    // The key file is whole and has advanced by no use or by one use of length bytes; the
    // number of uses (0 or 1) goes to advanced, and key->header moves on to what it holds now.
    void ExpectWholeAndAdvanced(KeyState* key, uint32_t length, int* advanced) {
        const Bytes file = testsupport::ReadWholeFile(key->path);
        ASSERT_EQ(file.size(), testsupport::kKeyHeaderBytes + kKeyBytes) << key->path;
        ASSERT_TRUE(std::equal(key->material.begin(), key->material.end(),
                               file.begin() + testsupport::kKeyHeaderBytes))
            << key->path;
        const KeyHeaderFields now = testsupport::DecodeKeyHeader(file.data());
        const KeyHeaderFields& before = key->header;
        EXPECT_EQ(now.version, before.version);
        EXPECT_EQ(now.year, before.year);
        EXPECT_EQ(now.id, before.id);
        EXPECT_EQ(now.name, before.name);
        EXPECT_EQ(now.keyLen, before.keyLen);
        *advanced = now.useCount - before.useCount;
        ASSERT_TRUE(*advanced == 0 || *advanced == 1) << key->path;
        const auto expectedOffset =
            *advanced == 0
                ? before.keyOffset
                : static_cast<int32_t>((static_cast<uint64_t>(before.keyOffset) + length) %
                                       static_cast<uint64_t>(before.keyLen));
        EXPECT_EQ(now.keyOffset, expectedOffset) << key->path;
        key->header = now;
    }

    pipelinerun::Job JobFor(bool large) const {
        return {keyFolder_, "dupont", tmp_.File(large ? "large.txt" : "small.txt"),
                tmp_.File("message.txt")};
    }

    // The target's folder without the target and the journal's files.
    std::set<std::string> TargetFolderEntries() const {
        std::set<std::string> entries = Entries(tmp_.path());
        for (const char* name :
             {"message.txt", "journal", "journal.index", "journal.sent", "journal.reads"}) {
            entries.erase(name);
        }
        return entries;
    }

    // Opens the target for writing and gives up, as a run that fails after Open would.
    static void SweepAsTheNextRunWould(const std::string& target) {
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
        writer.Kill();
    }

    testsupport::TempDir tmp_{testsupport::MemoryBackedTempParent()};
    std::string keyFolder_;
    KeyState master_;
    KeyState user_;
    Bytes small_;
    Bytes large_;
    std::set<std::string> folderEntries_;
    std::set<std::string> keyEntries_;
    std::string journal_;
};

TEST_F(PipelineCrash, KilledRunsLeaveWholeKeysAndTheOldOrACompleteTarget) {
    if (testsupport::RunningOnValgrind()) {
        GTEST_SKIP() << "not under valgrind: the pipelines' memory paths are checked there by "
                        "their own tests";
    }
    const uint32_t seed = SeedFromEnvironmentOrClock();
    printf("crash test seed %u (VELDORAN_CRASH_SEED=%u replays it)\n", seed, seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string target = JobFor(false).target;
    // How the kills fell, printed so that a run shows which states it reached: by the uses
    // spent (none, the master key's, both) and whether the run had finished.
    int outcomes[3][2] = {};
    int killedAtRename = 0;

    for (int round = 0; round < kKills; ++round) {
        const Pipeline pipeline = kPipelines[random() % std::size(kPipelines)];
        const bool large = random() % 2 == 0;
        // A small run ends within milliseconds, a large one within some hundreds: the kill comes
        // anywhere from before the start to after the end.
        const auto delayMicroseconds = static_cast<useconds_t>(random() % (large ? 250000 : 8000));
        const Bytes& document = large ? large_ : small_;
        const pipelinerun::Job job = JobFor(large);
        const Bytes oldTarget = testsupport::ReadWholeFile(target);
        const KeyHeaderFields masterBefore = master_.header;
        SCOPED_TRACE(std::string(pipelinerun::Name(pipeline)) + (large ? ", large" : ", small") +
                     ", kill " + std::to_string(round) + " after " +
                     std::to_string(delayMicroseconds) + " us");

        fflush(stdout);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (pipeline == Pipeline::kProgram) {
                pipelinerun::ExecProgram(job);
                _exit(127);
            }
            Bytes output;
            _exit(pipelinerun::Encrypt(pipeline, job, &output) == kNoErr ? 0 : 1);
        }
        usleep(delayMicroseconds);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const bool finished = WIFEXITED(status);
        if (finished) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }

        const uint32_t length = pipelinerun::MasterLayerLength(pipeline, document.size());
        int masterAdvanced = 0;
        int userAdvanced = 0;
        ExpectWholeAndAdvanced(&master_, length, &masterAdvanced);
        ExpectWholeAndAdvanced(&user_, length + testsupport::kKeyHeaderBytes, &userAdvanced);
        // The user layer is made from the master layer's frame: never spent without it.
        EXPECT_TRUE(masterAdvanced == 1 || userAdvanced == 0);
        if (finished) {
            EXPECT_EQ(masterAdvanced + userAdvanced, 2);
        }

        outcomes[masterAdvanced + userAdvanced][finished ? 1 : 0]++;

        if (pipelinerun::WritesTarget(pipeline)) {
            const Bytes nowTarget = testsupport::ReadWholeFile(target);
            if (finished || nowTarget != oldTarget) {
                // A new message, whole: both keys spent on it, from where they stood.
                const pipelinerun::Opened opened =
                    pipelinerun::Open(pipeline, keyFolder_, nowTarget);
                ASSERT_TRUE(opened.ok);
                EXPECT_EQ(opened.document, document);
                EXPECT_EQ(opened.master.keyOffset, masterBefore.keyOffset);
                EXPECT_EQ(masterAdvanced + userAdvanced, 2);
            }
        }
        ExpectJournalAgrees(false);
        // No temporary file: what stood there before, and the target once a run wrote it. A run
        // killed between naming its new message and renaming it over the old one may leave that
        // name; the next run in the folder removes it before it writes anything.
        if (TargetFolderEntries() != folderEntries_) {
            SweepAsTheNextRunWould(target);
            ++killedAtRename;
        }
        EXPECT_EQ(TargetFolderEntries(), folderEntries_);
        EXPECT_EQ(Entries(keyFolder_ + "Clefs"), keyEntries_);
        if (HasFatalFailure()) {
            return;
        }
    }

    printf(
        "killed with no use spent %d, with the master key's %d, with both %d; finished %d; "
        "killed at the rename %d\n",
        outcomes[0][0], outcomes[1][0], outcomes[2][0], outcomes[2][1], killedAtRename);

    // Nothing a killed run left behind stands in the way of the next one.
    for (const Pipeline pipeline : kPipelines) {
        SCOPED_TRACE(std::string("after the kills: ") + pipelinerun::Name(pipeline));
        Bytes output;
        ASSERT_EQ(pipelinerun::Encrypt(pipeline, JobFor(false), &output), kNoErr);
        if (pipelinerun::WritesTarget(pipeline)) {
            output = testsupport::ReadWholeFile(target);
        }
        const pipelinerun::Opened opened = pipelinerun::Open(pipeline, keyFolder_, output);
        ASSERT_TRUE(opened.ok);
        EXPECT_EQ(opened.document, small_);
        const uint32_t length = pipelinerun::MasterLayerLength(pipeline, small_.size());
        int masterAdvanced = 0;
        int userAdvanced = 0;
        ExpectWholeAndAdvanced(&master_, length, &masterAdvanced);
        ExpectWholeAndAdvanced(&user_, length + testsupport::kKeyHeaderBytes, &userAdvanced);
        EXPECT_EQ(masterAdvanced + userAdvanced, 2);
        ExpectJournalAgrees(pipeline != Pipeline::kProgram);
    }
}

}  // namespace
