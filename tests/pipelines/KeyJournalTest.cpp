// The key journal as a host uses it: named once for the whole process, it refuses a key that
// went back in time in every thread, with nothing spent and the key named; runs from two copies
// of one key folder at the same time never both take the same range; named nowhere, nothing
// changes. With reads noted, every decryption notes its frame's ranges and finds a message made
// from material another message took, without ever failing.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MessageFixture.h"
#include "support/JournalTiling.h"

namespace {

class KeyJournal : public messagetest::MessageTest {
  protected:
    void TearDown() override {
        veldoranSetKeyJournal(nullptr);
        veldoranSetKeyJournalReads(0);
    }

    // crypterMem3 of a short letter with the keys under keyFolder.
    static int32_t Encrypt(const std::string& keyFolder) {
        char* out = nullptr;
        const int32_t result =
            crypterMem3("hello\n", &out, "dupont", keyFolder.c_str(), "a", "", "", "");
        free(out);
        return result;
    }

    std::string Journal() const { return folder_.File("journal"); }

    // The calling thread's findings, in words.
    static std::vector<std::string> Findings() {
        std::vector<std::string> words;
        for (int32_t k = 0; k < veldoranKeyJournalFindings(); ++k) {
            words.emplace_back(veldoranKeyJournalFinding(k)->words);
        }
        return words;
    }
};

TEST_F(KeyJournal, OnceNamedItRefusesARestoredKeyFolderInEveryThread) {
    ASSERT_EQ(veldoranSetKeyJournal(Journal().c_str()), kNoErr);
    ASSERT_EQ(Encrypt(keyFolder_), kNoErr);
    RestoreKeys();
    EXPECT_EQ(Encrypt(keyFolder_), kKeyRewound);
    EXPECT_TRUE(KeysUntouched());
    EXPECT_EQ(std::string(veldoranKeyJournalProblem()).rfind(MasterPath() + ": its header", 0), 0u)
        << veldoranKeyJournalProblem();

    int32_t elsewhere = kNoErr;
    std::thread other([&] { elsewhere = Encrypt(keyFolder_); });
    other.join();
    EXPECT_EQ(elsewhere, kKeyRewound);
    EXPECT_TRUE(KeysUntouched());

    // No journal: the program that never named one keeps its behaviour.
    veldoranSetKeyJournal(nullptr);
    EXPECT_EQ(Encrypt(keyFolder_), kNoErr);
    EXPECT_STREQ(veldoranKeyJournalProblem(), "");
}

TEST_F(KeyJournal, TwoCopiesOfAKeyFolderAtOnceNeverShareARange) {
    const std::string copy = folder_.File("copy/");
    std::filesystem::copy(keyFolder_, copy, std::filesystem::copy_options::recursive);
    ASSERT_EQ(veldoranSetKeyJournal(Journal().c_str()), kNoErr);
    constexpr int kThreads = 6;
    constexpr int kRunsEach = 8;
    std::vector<int> passed(kThreads, 0);
    std::vector<int> other(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int run = 0; run < kRunsEach; ++run) {
                const int32_t result = Encrypt(t % 2 == 0 ? keyFolder_ : copy);
                // A key file locked by another run of the same copy is refused (-1) too.
                (result == kNoErr ? passed : other)[t] +=
                    result == kNoErr || result == kKeyRewound || result == kOtherErr ? 1 : 100;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    int passes = 0;
    for (int t = 0; t < kThreads; ++t) {
        passes += passed[t];
        EXPECT_LT(other[t], 100) << "thread " << t << " met another result";
    }
    int uses = 0;
    const std::string first = testsupport::JournalTiles(Journal(), "dupont", UserPath(), &uses);
    const std::string second = testsupport::JournalTiles(
        Journal(), "dupont", copy + "Clefs/dupont." + testsupport::CurrentYearText());
    EXPECT_TRUE(first.empty() || second.empty()) << first << "\n" << second;
    EXPECT_GT(passes, 0);
    bool sound = false;
    // Two sent and two spent records for each run that passed.
    EXPECT_EQ(testsupport::ReadJournal(Journal(), &sound).size(), static_cast<size_t>(4 * passes));
}

// Two messages from the same key material (the key folder restored between them), read by
// each way a host decrypts: the first is noted, read again it is the same message, the second
// is found made from the first one's material, in both layers. A note never fails the run.
TEST_F(KeyJournal, NotedReadsFindAMessageMadeFromMaterialAnotherTook) {
    const std::string first = MakeMessage(messagetest::Interchange(messagetest::ToBytes("one\n")));
    RestoreKeys();
    const std::string second =
        MakeMessage(messagetest::Interchange(messagetest::ToBytes("another\n")));
    ASSERT_TRUE(
        testsupport::WriteWholeFile(folder_.File("second.vlx"), messagetest::ToBytes(second)));
    const auto inMemory = [&](const std::string& message) {
        char* document = nullptr;
        const int32_t result = decrypterMem2(message.c_str(), &document, keyFolder_.c_str());
        free(document);
        return result;
    };
    const auto fromFile = [&](const std::string&) {
        return decrypter2(folder_.File("second.vlx").c_str(), keyFolder_.c_str(), 0);
    };

    // Not asked: a decryption only reads.
    ASSERT_EQ(veldoranSetKeyJournal(Journal().c_str()), kNoErr);
    ASSERT_EQ(inMemory(first), kNoErr);
    EXPECT_FALSE(std::filesystem::exists(Journal()));

    ASSERT_EQ(veldoranSetKeyJournalReads(1), kNoErr);
    ASSERT_EQ(inMemory(first), kNoErr);
    EXPECT_EQ(Findings(), std::vector<std::string>{});
    ASSERT_EQ(inMemory(first), kNoErr);
    EXPECT_EQ(Findings(), std::vector<std::string>{}) << "the same message read again";
    for (const auto& read : {std::function<int32_t(const std::string&)>(inMemory),
                             std::function<int32_t(const std::string&)>(fromFile)}) {
        ASSERT_EQ(read(second), kNoErr);
        const std::vector<std::string> found = Findings();
        ASSERT_EQ(found.size(), 2u);
        EXPECT_EQ(found[0].rfind("key material used twice: bytes ", 0), 0u) << found[0];
        EXPECT_NE(found[0].find(" of " + UserPath() + " made this message (use "),
                  std::string::npos)
            << found[0];
        EXPECT_NE(found[1].find(" of " + MasterPath() + " made this message (use "),
                  std::string::npos)
            << found[1];
    }

    // A journal that cannot be written: the message is still read, and the reader told.
    ASSERT_EQ(veldoranSetKeyJournal(folder_.path().c_str()), kNoErr);
    ASSERT_EQ(inMemory(first), kNoErr);
    ASSERT_EQ(Findings().size(), 1u);
    EXPECT_EQ(Findings()[0].rfind("this message was not noted in the key journal: ", 0), 0u)
        << Findings()[0];
}

// A host looks after its journal through the public header alone: the audit finds a key
// folder restored from a backup, accept --advance moves each key past the journal, and the
// next audit finds nothing wrong and the next encryption goes through.
TEST_F(KeyJournal, AHostAuditsAndAcceptsThroughThePublicHeader) {
    const std::string master = MasterPath();
    const std::string user = UserPath();
    const char* keys[] = {master.c_str(), user.c_str()};
    ASSERT_EQ(veldoranSetKeyJournal(Journal().c_str()), kNoErr);
    // A journal not there yet has recorded nothing.
    EXPECT_EQ(veldoranAuditKeyFiles(keys, 2), 0);
    ASSERT_EQ(veldoranKeyJournalFindings(), 4);
    EXPECT_EQ(veldoranKeyJournalFinding(1)->kind, kVeldoranFindingJournal);
    EXPECT_STREQ(veldoranKeyJournalFinding(1)->words, "no record of this key");
    EXPECT_EQ(veldoranKeyJournalFinding(4), nullptr);

    ASSERT_EQ(Encrypt(keyFolder_), kNoErr);
    ASSERT_EQ(Encrypt(keyFolder_), kNoErr);
    RestoreKeys();
    // Both headers are behind; the sender's short key wrapped, so its two runs share bytes.
    EXPECT_EQ(veldoranAuditKeyFiles(keys, 2), 3);
    std::vector<std::string> problems;
    for (int32_t k = 0; k < veldoranKeyJournalFindings(); ++k) {
        const VeldoranFinding& finding = *veldoranKeyJournalFinding(k);
        if (finding.kind == kVeldoranFindingProblem) {
            problems.push_back(std::string(finding.file) + ": " + finding.words);
        }
    }
    ASSERT_EQ(problems.size(), 3u) << testing::PrintToString(problems);
    EXPECT_EQ(problems[0].rfind(master + ": behind the journal: the key file went back in time", 0),
              0u)
        << problems[0];
    EXPECT_EQ(problems[1].rfind(user + ": behind the journal", 0), 0u) << problems[1];
    EXPECT_EQ(problems[2].rfind(user + ": bytes 450 to 455 used twice: use 2 (", 0), 0u)
        << problems[2];

    for (const char* key : keys) {
        uint32_t offset = 0;
        int32_t useCount = 0;
        ASSERT_EQ(veldoranAcceptKeyFile(key, 1, &offset, &useCount), kNoErr)
            << veldoranKeyJournalProblem();
        EXPECT_EQ(useCount, 2);
        TypKeyHeader header{};
        ASSERT_EQ(veldoran::ReadKeyHeader(key, &header), kNoErr);
        EXPECT_EQ(static_cast<uint32_t>(header.keyOffset), offset);
        EXPECT_EQ(header.useCount, useCount);
    }
    EXPECT_EQ(veldoranAuditKeyFiles(keys, 2), 0);
    EXPECT_EQ(Encrypt(keyFolder_), kNoErr);

    // Refusals say what happened, the file first.
    const std::string missing = folder_.File("none");
    EXPECT_EQ(veldoranAcceptKeyFile(missing.c_str(), 1, nullptr, nullptr), kFNFErr);
    EXPECT_EQ(std::string(veldoranKeyJournalProblem()).rfind(missing + ": ", 0), 0u);
    EXPECT_EQ(veldoranMergeKeyJournal(Journal().c_str(), nullptr, nullptr), kOtherErr);
    veldoranSetKeyJournal(nullptr);
    EXPECT_EQ(veldoranAuditKeyFiles(keys, 2), kJournalErr);
}

}  // namespace
