// The journal's read and sent records found by key and range through their range indexes:
// exactly the records a scan of the whole journal finds, over seeded random journals and ranges,
// and the same however the index beside the journal was left (removed, older than the journal,
// of another journal, damaged), made again where the journal may be written and never written
// where it is only read. Every case runs for both kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crypto/JournalFile.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Numbers = std::vector<uint64_t>;
using veldoran::JournalFile;
using veldoran::JournalRecord;
using veldoran::KeyRange;

// Keys of a few granules (64 KiB each), so that ranges wrap and cross granules.
constexpr uint32_t kKeyLen = 300000;

JournalRecord Read(unsigned char key, uint32_t start, uint32_t length, uint32_t kind) {
    JournalRecord record;
    record.kind = kind;
    record.fingerprint[0] = key;
    record.keyLen = kKeyLen;
    record.start = start;
    record.length = length;
    record.offsetAfter = static_cast<uint32_t>(KeyRange(start, length, kKeyLen).End());
    return record;
}

class JournalRangeIndexTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    static uint32_t Kind() { return GetParam(); }
    std::string Path() const { return folder_.File("journal"); }
    std::string IndexPath() const {
        return Path() + (Kind() == veldoran::kJournalRead ? ".reads" : ".sent");
    }

    // The records of the index's kind, as the journal finds them through it.
    static int32_t Look(JournalFile* journal, const unsigned char* fingerprint,
                        const KeyRange& range, const JournalFile::Visitor& visit) {
        return Kind() == veldoran::kJournalRead ? journal->Reads(fingerprint, range, visit)
                                                : journal->Sent(fingerprint, range, visit);
    }

    void Append(std::vector<JournalRecord> records) {
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), true), kNoErr) << journal.Problem();
        ASSERT_EQ(journal.Append(records.data(), static_cast<uint32_t>(records.size())), kNoErr)
            << journal.Problem();
    }

    // A journal of count records of keys 1 to 3, reads and sends mixed, from the seed.
    void AppendRandom(uint32_t seed, int count) {
        std::mt19937 random(seed);
        std::vector<JournalRecord> records;
        for (int k = 0; k < count; ++k) {
            const auto key = static_cast<unsigned char>(1 + random() % 3);
            const uint32_t start = static_cast<uint32_t>(random() % kKeyLen);
            // Mostly short, now and then longer than the key.
            const uint32_t length = random() % 8 == 0 ? static_cast<uint32_t>(random() % 400000)
                                                      : static_cast<uint32_t>(random() % 3000);
            records.push_back(
                Read(key, start, length,
                     random() % 4 == 0 ? veldoran::kJournalSent : veldoran::kJournalRead));
        }
        Append(records);
    }

    // What Reads gives for the key and range, and what a scan of every record gives.
    static Numbers Found(JournalFile* journal, unsigned char key, const KeyRange& range) {
        unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {key};
        Numbers numbers;
        EXPECT_EQ(Look(journal, fingerprint, range,
                       [&numbers](uint64_t number, const JournalRecord&) {
                           numbers.push_back(number);
                           return true;
                       }),
                  kNoErr)
            << journal->Problem();
        return numbers;
    }
    static Numbers Scanned(JournalFile* journal, unsigned char key, const KeyRange& range) {
        Numbers numbers;
        journal->Scan([&](uint64_t number, const JournalRecord& record) {
            if (record.kind == Kind() && record.fingerprint[0] == key &&
                range.Shared(record.Range()) > 0) {
                numbers.push_back(number);
            }
            return true;
        });
        return numbers;
    }

    // Every query of the table, on a journal opened as asked, gives what a scan gives.
    void ExpectLikeAScan(bool forWriting) {
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), forWriting), kNoErr) << journal.Problem();
        for (const KeyRange& range : Queries()) {
            for (unsigned char key = 1; key <= 4; ++key) {
                EXPECT_EQ(Found(&journal, key, range), Scanned(&journal, key, range))
                    << "key " << int(key) << ", " << range.Start() << "+" << range.Length();
            }
        }
    }

    // The index is in step and used: a look-up that finds nothing reads no record, so a journal
    // damaged in its first record (which a scan refuses) still answers it.
    void ExpectIndexUsed() {
        const Bytes whole = testsupport::ReadWholeFile(Path());
        Bytes damaged = whole;
        damaged[128 + 50] ^= 1;
        ASSERT_TRUE(testsupport::WriteWholeFile(Path(), damaged));
        {
            JournalFile journal;
            ASSERT_EQ(journal.Open(Path(), false), kNoErr) << journal.Problem();
            EXPECT_EQ(Found(&journal, 4, KeyRange(0, kKeyLen, kKeyLen)), Numbers());
            EXPECT_NE(journal.Scan([](uint64_t, const JournalRecord&) { return true; }), kNoErr);
        }
        ASSERT_TRUE(testsupport::WriteWholeFile(Path(), whole));
    }

    static std::vector<KeyRange> Queries() {
        std::vector<KeyRange> queries = {
            {0, kKeyLen, kKeyLen},      // the whole key
            {kKeyLen - 1, 2, kKeyLen},  // round the end
            {65535, 2, kKeyLen},        // across a granule's edge
            {12345, 0, kKeyLen},        // nothing
            {200000, 150000, kKeyLen},  // wrapping, several granules
        };
        std::mt19937 random(7);
        for (int k = 0; k < 40; ++k) {
            queries.emplace_back(random() % kKeyLen, random() % 5000, kKeyLen);
        }
        return queries;
    }

    testsupport::TempDir folder_;
};

TEST_P(JournalRangeIndexTest, FindsWhatAScanFinds) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::filesystem::remove(Path());
        std::filesystem::remove(IndexPath());
        AppendRandom(seed, 600);
        ExpectLikeAScan(true);
        ExpectIndexUsed();
        // Records appended by a run that did not look: taken in by the next look-up.
        AppendRandom(seed + 100, 50);
        ExpectLikeAScan(true);
        ExpectIndexUsed();
    }
}

// The table made again from journals of many sizes, so that its probe runs also go round its
// end: every read record is found by its own range, and only by the ranges it touches.
TEST_P(JournalRangeIndexTest, EveryReadIsFoundAfterTheTableIsMadeAgain) {
    std::mt19937 random(11);
    std::vector<JournalRecord> reads;
    for (int round = 0; round < 30; ++round) {
        std::vector<JournalRecord> more;
        for (int k = 0; k < 60; ++k) {
            JournalRecord read = Read(static_cast<unsigned char>(random()),
                                      static_cast<uint32_t>(random() % kKeyLen), 100, Kind());
            read.fingerprint[1] = static_cast<unsigned char>(round);
            more.push_back(read);
        }
        Append(more);
        reads.insert(reads.end(), more.begin(), more.end());
        std::filesystem::remove(IndexPath());
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), true), kNoErr);
        for (uint64_t number = 0; number < reads.size(); ++number) {
            Numbers found;
            Look(&journal, reads[number].fingerprint, reads[number].Range(),
                 [&found](uint64_t at, const JournalRecord&) {
                     found.push_back(at);
                     return true;
                 });
            ASSERT_EQ(found, Numbers({number})) << "round " << round;
        }
    }
}

// A read noted, then looked for again through the same open journal: found without a new open.
TEST_P(JournalRangeIndexTest, ARecordAppendedIsFoundAtOnce) {
    AppendRandom(4, 100);
    JournalFile journal;
    ASSERT_EQ(journal.Open(Path(), true), kNoErr) << journal.Problem();
    const KeyRange range(kKeyLen - 10, 30, kKeyLen);
    const Numbers before = Found(&journal, 4, range);
    EXPECT_TRUE(before.empty());
    JournalRecord read = Read(4, kKeyLen - 10, 30, Kind());
    ASSERT_EQ(journal.Append(&read, 1, JournalFile::Mode::kOwnUnsynced), kNoErr);
    EXPECT_EQ(Found(&journal, 4, range), Numbers({100}));
    EXPECT_EQ(Found(&journal, 4, KeyRange(5, 1, kKeyLen)), Numbers({100}));
    EXPECT_EQ(Found(&journal, 4, KeyRange(20, 1, kKeyLen)), Numbers());
}

TEST_P(JournalRangeIndexTest, GivesTheSameHoweverTheIndexWasLeft) {
    AppendRandom(5, 400);
    {
        JournalFile journal;
        ASSERT_EQ(journal.Open(Path(), true), kNoErr);
        Found(&journal, 1, KeyRange(0, 1, kKeyLen));
    }
    const Bytes goodJournal = testsupport::ReadWholeFile(Path());
    const Bytes good = testsupport::ReadWholeFile(IndexPath());
    ASSERT_GT(good.size(), 64u);
    const struct {
        const char* label;
        std::function<void()> leave;
    } ways[] = {
        {"removed", [&] { std::filesystem::remove(IndexPath()); }},
        {"emptied", [&] { testsupport::WriteWholeFile(IndexPath(), {}); }},
        {"older than the journal",
         [&] {
             AppendRandom(6, 30);
             testsupport::WriteWholeFile(IndexPath(), good);
         }},
        {"a header byte changed",
         [&] {
             Bytes bad = good;
             bad[33] ^= 1;
             testsupport::WriteWholeFile(IndexPath(), bad);
         }},
        {"every slot's bytes changed",
         [&] {
             // Each slot in use gets one byte flipped: its check fails wherever a look-up
             // reads it.
             Bytes bad = good;
             for (size_t at = 64; at + 32 <= bad.size(); at += 32) {
                 if (std::any_of(bad.begin() + at, bad.begin() + at + 32,
                                 [](unsigned char b) { return b != 0; })) {
                     bad[at + 20] ^= 0x40;
                 }
             }
             testsupport::WriteWholeFile(IndexPath(), bad);
         }},
        {"of another journal",
         [&] {
             // A journal made again, with fewer records and another machine id.
             std::filesystem::rename(IndexPath(), IndexPath() + ".kept");
             std::filesystem::remove(Path());
             AppendRandom(7, 20);
             std::filesystem::rename(IndexPath() + ".kept", IndexPath());
         }},
        {"of a journal cut back",
         [&] {
             testsupport::WriteWholeFile(Path(),
                                         Bytes(goodJournal.begin(), goodJournal.end() - 128 * 5));
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.label);
        testsupport::WriteWholeFile(Path(), goodJournal);
        testsupport::WriteWholeFile(IndexPath(), good);
        way.leave();
        const Bytes left = testsupport::ReadWholeFile(IndexPath());
        // Opened for reading only: the index is used where it matches and never written.
        ExpectLikeAScan(false);
        EXPECT_EQ(testsupport::ReadWholeFile(IndexPath()), left);
        // Opened for writing: made again, and right from then on.
        ExpectLikeAScan(true);
        ExpectIndexUsed();
        ExpectLikeAScan(false);
    }
}

// The index is no way for a path to lead elsewhere: a link in its place is never followed, and
// the look-up is refused naming it.
TEST_P(JournalRangeIndexTest, ALinkInTheIndexsPlaceIsNotFollowed) {
    AppendRandom(8, 50);
    const std::string elsewhere = folder_.File("elsewhere");
    testsupport::WriteWholeFile(elsewhere, {'k', 'e', 'e', 'p'});
    std::filesystem::remove(IndexPath());
    std::filesystem::create_symlink(elsewhere, IndexPath());
    JournalFile journal;
    ASSERT_EQ(journal.Open(Path(), true), kNoErr);
    unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {1};
    EXPECT_EQ(Look(&journal, fingerprint, KeyRange(0, kKeyLen, kKeyLen),
                   [](uint64_t, const JournalRecord&) { return true; }),
              kOtherErr);
    EXPECT_NE(journal.Problem().find("symbolic link"), std::string::npos) << journal.Problem();
    EXPECT_EQ(testsupport::ReadWholeFile(elsewhere), Bytes({'k', 'e', 'e', 'p'}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, JournalRangeIndexTest,
                         ::testing::Values(veldoran::kJournalRead, veldoran::kJournalSent),
                         [](const ::testing::TestParamInfo<uint32_t>& kind) {
                             return kind.param == veldoran::kJournalRead ? "Reads" : "Sent";
                         });

}  // namespace
