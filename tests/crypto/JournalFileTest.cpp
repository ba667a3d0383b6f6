// The key journal's file: the exact bytes of a new journal's header, each key's last record
// found through the index however the index was left, and every kind of bad journal refused or
// its interrupted tail taken as missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/JournalFile.h"
#include "crypto/Sha256.h"
#include "support/ChildProcess.h"
#include "support/HexText.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using veldoran::JournalFile;
using veldoran::JournalRecord;

using testsupport::Hex;

class JournalFileTest : public ::testing::Test {
  protected:
    std::string Path() const { return folder_.File("journal"); }

    static JournalRecord Use(unsigned char key, uint32_t start, uint32_t length) {
        JournalRecord record;
        record.kind = veldoran::kJournalSent;
        record.fingerprint[0] = key;
        record.start = start;
        record.length = length;
        record.keyLen = 1u << 20;
        record.offsetAfter = start + length;
        record.useCountAfter = static_cast<int32_t>(start / 10 + 1);
        return record;
    }

    // Appends the uses to the journal at Path(), made when missing.
    void AppendUses(std::vector<JournalRecord> records) {
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), true), kNoErr) << journal.Problem();
        ASSERT_EQ(journal.Append(records.data(), static_cast<uint32_t>(records.size())), kNoErr)
            << journal.Problem();
    }

    // The key's last position as a fresh open of the journal finds it; start is 0 and
    // useCountAfter -1 when there is none.
    JournalRecord LastOf(unsigned char key) {
        JournalFile journal;
        JournalRecord record;
        record.useCountAfter = -1;
        EXPECT_EQ(journal.Open(Path(), false), kNoErr) << journal.Problem();
        unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {key};
        bool found = false;
        EXPECT_EQ(journal.Last(fingerprint, &record, &found), kNoErr) << journal.Problem();
        return record;
    }

    testsupport::TempDir folder_;
};

TEST_F(JournalFileTest, ANewJournalStartsWithItsHeader) {
    JournalFile journal;
    ASSERT_EQ(journal.Open(Path(), true), kNoErr) << journal.Problem();
    EXPECT_EQ(journal.Records(), 0u);
    const Bytes bytes = testsupport::ReadWholeFile(Path());
    ASSERT_EQ(bytes.size(), 128u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16), "VELDORAN-JOURNAL");
    EXPECT_EQ(Hex(bytes.data() + 16, 8), "0000000100000080");
    EXPECT_EQ(Hex(bytes.data() + 24, 16), Hex(journal.Machine(), 16));
    EXPECT_NE(Hex(bytes.data() + 24, 16), std::string(32, '0'));
    EXPECT_EQ(Hex(bytes.data() + 40, 84), std::string(168, '0'));
    unsigned char digest[veldoran::kSha256Size];
    veldoran::Sha256Digest(bytes.data(), 124, digest);
    EXPECT_EQ(Hex(bytes.data() + 124, 4), Hex(digest, 4));
    struct stat info {};
    ASSERT_EQ(stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(JournalFileTest, EachKeysLastRecordIsFoundHoweverTheIndexWasLeft) {
    AppendUses({Use(1, 0, 10), Use(2, 0, 30)});
    AppendUses({Use(1, 10, 20)});
    AppendUses({Use(3, 0, 5), Use(1, 30, 40)});
    const Bytes goodIndex = testsupport::ReadWholeFile(Path() + ".index");
    ASSERT_FALSE(goodIndex.empty());
    const std::string indexPath = Path() + ".index";
    const struct {
        const char* label;
        std::function<void()> leave;
    } ways[] = {
        {"as saved", [] {}},
        {"removed", [&] { std::filesystem::remove(indexPath); }},
        {"damaged",
         [&] {
             Bytes bad = goodIndex;
             bad[50] ^= 0xFF;
             testsupport::WriteWholeFile(indexPath, bad);
         }},
        {"older than the journal",
         [&] {
             // Saved before the last append: the records after it are read again.
             AppendUses({Use(2, 30, 1)});
             testsupport::WriteWholeFile(indexPath, goodIndex);
         }},
        {"of a journal since replaced",
         [&] {
             // The same length, other records: the index's last record does not match.
             std::filesystem::remove(indexPath);
             AppendUses({});
             Bytes journal = testsupport::ReadWholeFile(Path());
             Bytes index = testsupport::ReadWholeFile(indexPath);
             JournalRecord other = Use(9, 7, 7);
             other.sequence = 5;
             memcpy(other.machine, journal.data() + 24, 16);
             veldoran::EncodeJournalRecord(other, journal.data() + journal.size() - 128);
             testsupport::WriteWholeFile(Path(), journal);
             testsupport::WriteWholeFile(indexPath, index);
         }},
    };
    for (const auto& way : ways) {
        way.leave();
        const JournalRecord one = LastOf(1);
        EXPECT_EQ(one.start, 30u) << way.label;
        EXPECT_EQ(one.offsetAfter, 70u) << way.label;
        EXPECT_EQ(one.sequence, 4u) << way.label;
        EXPECT_EQ(LastOf(3).start, 0u) << way.label;
        EXPECT_EQ(LastOf(4).useCountAfter, -1) << way.label;
    }
    // The replaced journal's own record counts, not the index's memory of the old one.
    EXPECT_EQ(LastOf(9).start, 7u);
}

TEST_F(JournalFileTest, AnInterruptedLastRecordIsTakenAsMissingAndCutOffAtTheNextAppend) {
    const struct {
        const char* label;
        void (*damage)(Bytes*);
    } tails[] = {
        {"cut mid-record", [](Bytes* j) { j->resize(j->size() - 50); }},
        {"last checksum failing", [](Bytes* j) { (*j)[j->size() - 3] ^= 1; }},
    };
    for (const auto& tail : tails) {
        std::filesystem::remove(Path());
        std::filesystem::remove(Path() + ".index");
        AppendUses({Use(1, 0, 10), Use(1, 10, 10)});
        Bytes journal = testsupport::ReadWholeFile(Path());
        tail.damage(&journal);
        testsupport::WriteWholeFile(Path(), journal);
        {
            JournalFile opened;
            ASSERT_EQ(opened.Open(Path(), false), kNoErr) << tail.label;
            EXPECT_EQ(opened.Records(), 1u) << tail.label;
            EXPECT_TRUE(opened.HasTail()) << tail.label;
        }
        EXPECT_EQ(LastOf(1).start, 0u) << tail.label;
        AppendUses({Use(1, 10, 5)});
        EXPECT_EQ(testsupport::ReadWholeFile(Path()).size(), 128u * 3) << tail.label;
        EXPECT_EQ(LastOf(1).offsetAfter, 15u) << tail.label;
    }
}

TEST_F(JournalFileTest, WhatIsNoSoundJournalIsRefusedWithItsReason) {
    const struct {
        const char* label;
        std::function<void(const std::string&)> make;
        bool forWriting;
        const char* words;
    } cases[] = {
        {"another format",
         [](const std::string& p) { testsupport::WriteWholeFile(p, Bytes(300, 'x')); }, true,
         "not a key journal"},
        {"shorter than its header",
         [](const std::string& p) { testsupport::WriteWholeFile(p, Bytes(10, 0)); }, true,
         "too short"},
        {"a symbolic link",
         [this](const std::string& p) {
             AppendUses({});
             std::filesystem::rename(Path(), Path() + ".real");
             std::filesystem::create_symlink(Path() + ".real", p);
         },
         true, "symbolic link"},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, true,
         "not a regular file"},
        {"a folder", [](const std::string& p) { std::filesystem::create_directory(p); }, false,
         "not a regular file"},
        {"missing, for reading", [](const std::string&) {}, false, "cannot be opened"},
        {"in a missing folder", [](const std::string&) {}, true, "cannot be opened"},
        {"of another version",
         [](const std::string& p) {
             unsigned char header[128] = {};
             memcpy(header, "VELDORAN-JOURNAL", 16);
             header[19] = 2;
             header[23] = 128;
             unsigned char digest[veldoran::kSha256Size];
             veldoran::Sha256Digest(header, 124, digest);
             memcpy(header + 124, digest, 4);
             testsupport::WriteWholeFile(p, Bytes(header, header + 128));
         },
         true, "another version"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(Path());
        const std::string path =
            std::string(c.label) == "in a missing folder" ? folder_.File("none/journal") : Path();
        c.make(path);
        const auto before = std::filesystem::symlink_status(path).type();
        JournalFile journal;
        EXPECT_EQ(journal.Open(path, c.forWriting), kOtherErr) << c.label;
        EXPECT_NE(journal.Problem().find(c.words), std::string::npos)
            << c.label << ": " << journal.Problem();
        EXPECT_EQ(journal.Problem().rfind(path, 0), 0u) << c.label;
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), before) << c.label;
    }
}

TEST_F(JournalFileTest, AJournalThatCannotBeWrittenIsRefusedForWritingOnly) {
    AppendUses({Use(1, 0, 10)});
    const Bytes before = testsupport::ReadWholeFile(Path());
    ASSERT_EQ(chmod(Path().c_str(), 0644), 0);
    ASSERT_EQ(chmod(folder_.path().c_str(), 0755), 0);
    const int status = testsupport::RunAsUnprivileged([&] {
        JournalFile writing;
        if (writing.Open(Path(), true) != kOtherErr ||
            writing.Problem().find("cannot be opened: Permission denied") == std::string::npos) {
            return 1;
        }
        // An audit still reads it.
        JournalFile reading;
        if (reading.Open(Path(), false) != kNoErr || reading.Records() != 1) {
            return 2;
        }
        return 0;
    });
    if (status == testsupport::kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testsupport::ReadWholeFile(Path()), before);
}

TEST_F(JournalFileTest, ADamagedRecordBeforeTheLastIsRefused) {
    AppendUses({Use(1, 0, 10), Use(2, 0, 10), Use(1, 10, 10)});
    std::filesystem::remove(Path() + ".index");
    Bytes journal = testsupport::ReadWholeFile(Path());
    journal[128 + 128 + 100] ^= 1;
    testsupport::WriteWholeFile(Path(), journal);
    JournalFile opened;
    ASSERT_EQ(opened.Open(Path(), true), kNoErr);
    unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {1};
    JournalRecord record;
    bool found = false;
    EXPECT_EQ(opened.Last(fingerprint, &record, &found), kOtherErr);
    EXPECT_NE(opened.Problem().find("record 1 of the key journal is damaged"), std::string::npos)
        << opened.Problem();
    JournalRecord more = Use(1, 20, 1);
    EXPECT_EQ(opened.Append(&more, 1), kOtherErr);
    EXPECT_EQ(testsupport::ReadWholeFile(Path()), journal);
}

TEST_F(JournalFileTest, AFullDiskLeavesTheJournalAsItWas) {
    AppendUses({Use(1, 0, 10)});
    const Bytes before = testsupport::ReadWholeFile(Path());
    // The file-size limit stands in for a full disk: the second record fits only in part.
    const int status = testsupport::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size() + 200, before.size() + 200};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 10;
        }
        JournalFile journal;
        if (journal.Open(Path(), true) != kNoErr) {
            return 11;
        }
        JournalRecord records[2] = {Use(1, 10, 10), Use(2, 0, 10)};
        if (journal.Append(records, 2) != kOtherErr) {
            return 12;
        }
        return journal.Problem().find("cannot be written") == std::string::npos ? 13 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testsupport::ReadWholeFile(Path()), before);
    EXPECT_EQ(LastOf(1).offsetAfter, 10u);
}

TEST_F(JournalFileTest, RecordsOfAnotherMachineKeepTheirIdentity) {
    AppendUses({Use(1, 0, 10)});
    JournalRecord other = Use(1, 10, 10);
    memset(other.machine, 0x77, sizeof other.machine);
    other.sequence = 41;
    other.time = 1234;
    {
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), true), kNoErr);
        ASSERT_EQ(journal.Append(&other, 1, JournalFile::Mode::kOthers), kNoErr);
    }
    const JournalRecord last = LastOf(1);
    EXPECT_EQ(last.sequence, 41u);
    EXPECT_EQ(last.time, 1234u);
    EXPECT_EQ(last.machine[0], 0x77);
}

// The indexes beside the journal are opened as the journal is: a FIFO, a folder or a link in
// their place is never waited on, written or followed, and the journal is refused naming it.
TEST_F(JournalFileTest, WhatIsNoRegularFileInAnIndexsPlaceIsRefusedWithoutWaiting) {
    AppendUses({Use(1, 0, 10)});
    const std::string elsewhere = folder_.File("elsewhere");
    const struct {
        const char* label;
        std::function<void(const std::string&)> make;
        const char* words;
    } shapes[] = {
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"a folder", [](const std::string& p) { std::filesystem::create_directory(p); },
         "not a regular file"},
        {"a symbolic link",
         [&](const std::string& p) {
             testsupport::WriteWholeFile(elsewhere, {'k', 'e', 'e', 'p'});
             std::filesystem::create_symlink(elsewhere, p);
         },
         "symbolic link"},
    };
    unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {1};
    const struct {
        const char* suffix;
        bool forWriting;
        std::function<int32_t(JournalFile*)> use;
    } uses[] = {
        {".index", true,
         [](JournalFile* journal) {
             JournalRecord more = Use(1, 10, 5);
             return journal->Append(&more, 1);
         }},
        {".index", false,
         [&](JournalFile* journal) {
             JournalRecord last;
             bool found = false;
             return journal->Last(fingerprint, &last, &found);
         }},
        {".reads", true,
         [&](JournalFile* journal) {
             return journal->Reads(fingerprint, veldoran::KeyRange(0, 5, 1u << 20),
                                   [](uint64_t, const JournalRecord&) { return true; });
         }},
    };
    for (const auto& use : uses) {
        for (const auto& shape : shapes) {
            SCOPED_TRACE(std::string(use.suffix) + (use.forWriting ? " writing, " : " reading, ") +
                         shape.label);
            const std::string index = Path() + use.suffix;
            std::filesystem::remove_all(index);
            std::filesystem::remove(elsewhere);
            shape.make(index);
            const auto type = std::filesystem::symlink_status(index).type();
            const Bytes journalBefore = testsupport::ReadWholeFile(Path());
            // A hang fails here instead of stalling the run.
            const int status = testsupport::RunInChild([&] {
                alarm(10);
                JournalFile journal;
                if (journal.Open(Path(), use.forWriting) != kNoErr) {
                    return 1;
                }
                if (use.use(&journal) != kOtherErr) {
                    return 2;
                }
                const std::string& problem = journal.Problem();
                return problem.rfind(index + ": ", 0) == 0 &&
                               problem.find(shape.words) != std::string::npos &&
                               problem.find('\n') == std::string::npos
                           ? 0
                           : 3;
            });
            EXPECT_EQ(status, 0);
            EXPECT_EQ(std::filesystem::symlink_status(index).type(), type);
            EXPECT_EQ(testsupport::ReadWholeFile(Path()), journalBefore);
            if (std::filesystem::exists(elsewhere)) {
                EXPECT_EQ(testsupport::ReadWholeFile(elsewhere), Bytes({'k', 'e', 'e', 'p'}));
            }
        }
    }
}

// The index is a cache: whatever it was left as, a key's last position comes out as the records
// alone give it, and a damaged record a look-up reads through the index is refused as a look-up
// without it refuses it.
TEST_F(JournalFileTest, TheIndexNeverHidesADamagedRecordALookUpReads) {
    const std::string indexPath = Path() + ".index";
    const struct {
        const char* label;
        // Leaves the journal and its index; the index is as saved when this returns nothing.
        std::function<void()> leave;
    } ways[] = {
        {"the record at the index's point damaged",
         [&] {
             AppendUses({Use(1, 0, 10), Use(2, 0, 10)});
             const Bytes index = testsupport::ReadWholeFile(indexPath);
             AppendUses({Use(1, 10, 10)});
             Bytes journal = testsupport::ReadWholeFile(Path());
             journal[128 + 128 + 100] ^= 1;
             testsupport::WriteWholeFile(Path(), journal);
             testsupport::WriteWholeFile(indexPath, index);
         }},
        {"the key's last record damaged",
         [&] {
             AppendUses({Use(1, 0, 10), Use(1, 10, 10), Use(2, 0, 10)});
             Bytes journal = testsupport::ReadWholeFile(Path());
             journal[128 + 128 + 100] ^= 1;
             testsupport::WriteWholeFile(Path(), journal);
         }},
        {"an entry naming another key's record",
         [&] {
             AppendUses({Use(1, 0, 10), Use(2, 50, 10)});
             Bytes index = testsupport::ReadWholeFile(indexPath);
             // Key 1's entry, first in fingerprint order, names record 1 (key 2's).
             index[48 + 16 + 7] = 1;
             const size_t body = index.size() - 4;
             const uint32_t checksum = veldoran::JournalChecksum(index.data(), body);
             for (int k = 0; k < 4; ++k) {
                 index[body + k] = static_cast<unsigned char>(checksum >> (24 - 8 * k));
             }
             testsupport::WriteWholeFile(indexPath, index);
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.label);
        std::filesystem::remove(Path());
        std::filesystem::remove(indexPath);
        way.leave();
        const Bytes index = testsupport::ReadWholeFile(indexPath);
        unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {1};
        struct Answer {
            int32_t result;
            uint64_t start;
        };
        auto lookUp = [&] {
            JournalFile journal;
            EXPECT_EQ(journal.Open(Path(), false), kNoErr) << journal.Problem();
            JournalRecord last;
            bool found = false;
            const int32_t result = journal.Last(fingerprint, &last, &found);
            return Answer{result, result == kNoErr && found ? last.start : ~uint64_t{0}};
        };
        const Answer withIndex = lookUp();
        std::filesystem::remove(indexPath);
        const Answer without = lookUp();
        EXPECT_EQ(withIndex.result, without.result);
        EXPECT_EQ(withIndex.start, without.start);
        testsupport::WriteWholeFile(indexPath, index);
    }
}

}  // namespace
