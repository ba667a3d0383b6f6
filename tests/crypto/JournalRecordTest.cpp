// The key journal's record: the exact bytes of a record and what its checksum catches, the
// fingerprint that tells keys apart, where a key's header stands against its last record and
// the bytes a header set back would take again.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/JournalRecord.h"
#include "crypto/Sha256.h"
#include "support/HexText.h"

namespace {

using Bytes = std::vector<unsigned char>;
using veldoran::JournalRecord;
using veldoran::JournalStanding;

using testsupport::Hex;

JournalRecord SampleRecord() {
    JournalRecord record;
    for (size_t k = 0; k < veldoran::kJournalMachineSize; ++k) {
        record.machine[k] = static_cast<unsigned char>(0xA0 + k);
    }
    record.sequence = 0x0102030405060708ull;
    record.time = 0x1112131415161718ull;
    record.kind = veldoran::kJournalSent;
    record.year = 2026;
    for (size_t k = 0; k < veldoran::kKeyFingerprintSize; ++k) {
        record.fingerprint[k] = static_cast<unsigned char>(0xF0 + k);
    }
    memcpy(record.name, "dupont", 6);
    record.start = 0x21222324;
    record.length = 0x31323334;
    record.keyLen = 0x41424344;
    record.offsetAfter = 0x51525354;
    record.useCountAfter = 0x61626364;
    for (size_t k = 0; k < sizeof record.message; ++k) {
        record.message[k] = static_cast<unsigned char>(0x71 + k);
    }
    return record;
}

TEST(JournalRecordBytes, AreBigEndianInTheirFixedPlaces) {
    unsigned char bytes[veldoran::kJournalRecordSize];
    veldoran::EncodeJournalRecord(SampleRecord(), bytes);
    const std::string expected =
        "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"  // machine id
        "0102030405060708"                  // sequence
        "1112131415161718"                  // time
        "00000001"                          // kind: sent
        "000007ea"                          // year 2026
        "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"  // fingerprint
        "6475706f6e74" +
        std::string(68, '0') +  // name, 40 bytes
        "21222324"
        "31323334"
        "41424344"
        "51525354"
        "61626364"
        "7172737475767778";  // a read message's frame digest
    EXPECT_EQ(Hex(bytes, 124), expected);
    unsigned char digest[veldoran::kSha256Size];
    veldoran::Sha256Digest(bytes, 124, digest);
    EXPECT_EQ(Hex(bytes + 124, 4), Hex(digest, 4));

    JournalRecord decoded;
    ASSERT_TRUE(veldoran::DecodeJournalRecord(bytes, &decoded));
    unsigned char again[veldoran::kJournalRecordSize];
    veldoran::EncodeJournalRecord(decoded, again);
    EXPECT_EQ(memcmp(bytes, again, sizeof bytes), 0);
    EXPECT_EQ(veldoran::JournalKeyName(decoded), "dupont");
}

TEST(JournalRecordBytes, ACheckSumCatchesAChangeAnywhere) {
    unsigned char bytes[veldoran::kJournalRecordSize];
    veldoran::EncodeJournalRecord(SampleRecord(), bytes);
    for (const size_t at : {0u, 17u, 33u, 40u, 60u, 99u, 112u, 123u, 124u, 127u}) {
        unsigned char changed[veldoran::kJournalRecordSize];
        memcpy(changed, bytes, sizeof changed);
        changed[at] ^= 0x01;
        JournalRecord decoded;
        EXPECT_FALSE(veldoran::DecodeJournalRecord(changed, &decoded)) << "byte " << at;
    }
}

TEST(KeyFingerprint, TellsKeysApartByEveryPartOfTheirIdentity) {
    TypKeyHeader header{};
    header.year = 2026;
    header.idLen = 4;
    memcpy(header.id, "abcd", 4);
    header.nameLen = 6;
    memcpy(header.name, "dupont", 6);
    header.keyLen = 100;
    unsigned char head[64];
    for (size_t k = 0; k < sizeof head; ++k) {
        head[k] = static_cast<unsigned char>(k * 7);
    }
    unsigned char base[veldoran::kKeyFingerprintSize];
    veldoran::KeyFingerprint(header, head, base);
    const struct {
        const char* label;
        void (*change)(TypKeyHeader*, unsigned char*);
    } changes[] = {
        {"id", [](TypKeyHeader* h, unsigned char*) { h->id[0] = 'x'; }},
        {"name", [](TypKeyHeader* h, unsigned char*) { h->name[5] = 'd'; }},
        {"year", [](TypKeyHeader* h, unsigned char*) { h->year = 2027; }},
        {"keyLen", [](TypKeyHeader* h, unsigned char*) { h->keyLen = 101; }},
        {"first material byte", [](TypKeyHeader*, unsigned char* m) { m[0] ^= 1; }},
        {"64th material byte", [](TypKeyHeader*, unsigned char* m) { m[63] ^= 1; }},
    };
    for (const auto& c : changes) {
        TypKeyHeader changedHeader = header;
        unsigned char changedHead[64];
        memcpy(changedHead, head, sizeof head);
        c.change(&changedHeader, changedHead);
        unsigned char other[veldoran::kKeyFingerprintSize];
        veldoran::KeyFingerprint(changedHeader, changedHead, other);
        EXPECT_NE(memcmp(base, other, sizeof base), 0) << c.label;
    }
    // Where the key stands is no part of which key it is.
    TypKeyHeader moved = header;
    moved.keyOffset = 50;
    moved.useCount = 9;
    unsigned char same[veldoran::kKeyFingerprintSize];
    veldoran::KeyFingerprint(moved, head, same);
    EXPECT_EQ(memcmp(base, same, sizeof base), 0);
}

TEST(JournalStandingOf, SetsARewindApartFromACrashAndFromUseWithoutTheJournal) {
    JournalRecord sent;
    sent.kind = veldoran::kJournalSent;
    sent.start = 100;
    sent.length = 50;
    sent.keyLen = 1000;
    sent.offsetAfter = 150;
    sent.useCountAfter = 4;
    JournalRecord spent = sent;
    spent.kind = veldoran::kJournalSpent;
    const struct {
        const char* label;
        const JournalRecord* last;
        int32_t offset, useCount;
        JournalStanding standing;
    } cases[] = {
        {"no record of the key", nullptr, 0, 0, JournalStanding::kNoRecord},
        {"where the record left it", &spent, 150, 4, JournalStanding::kInStep},
        {"where an unconfirmed record left it", &sent, 150, 4, JournalStanding::kInStep},
        {"sent, header never rewritten", &sent, 100, 3, JournalStanding::kTailMissing},
        {"spent, header back where it began", &spent, 100, 3, JournalStanding::kBehind},
        {"an older header", &sent, 40, 2, JournalStanding::kBehind},
        {"offset set back by hand", &spent, 120, 4, JournalStanding::kBehind},
        {"use count set back by hand", &spent, 150, 3, JournalStanding::kBehind},
        {"used on without the journal", &spent, 190, 5, JournalStanding::kAhead},
        // The run that sent died before its headers; one without the journal used the key from
        // where that run began, for a shorter or a longer message.
        {"a crash's tail, then a shorter use without the journal", &sent, 120, 4,
         JournalStanding::kAhead},
        {"a crash's tail, then a longer use without the journal", &sent, 190, 4,
         JournalStanding::kAhead},
    };
    for (const auto& c : cases) {
        TypKeyHeader header{};
        header.keyLen = 1000;
        header.keyOffset = c.offset;
        header.useCount = c.useCount;
        EXPECT_EQ(veldoran::StandingOf(header, c.last), c.standing) << c.label;
    }
}

TEST(JournalRewoundBytes, CountFromTheHeaderUpToTheRecordedPosition) {
    const struct {
        int32_t offset;
        uint32_t recorded, length, expected;
    } cases[] = {
        {100, 150, 500, 50},   // the run would pass the used part
        {100, 150, 20, 20},    // the run lies inside it
        {900, 100, 500, 200},  // used across the end of the material
        {150, 150, 80, 80},    // the same place, the whole key round since
    };
    for (const auto& c : cases) {
        TypKeyHeader header{};
        header.keyLen = 1000;
        header.keyOffset = c.offset;
        JournalRecord last;
        last.offsetAfter = c.recorded;
        EXPECT_EQ(veldoran::RewoundBytes(header, last, c.length), c.expected) << c.offset;
    }
}

}  // namespace
