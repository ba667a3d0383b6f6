// What the tests ask of a key journal after any number of runs, killed or not: for each key,
// the ranges the encryptions took follow one another without gap or overlap (each starts where
// the one before left the key, one use later), and the key file's header stands where the last
// one left it, or at its start when that run was stopped between its record and its header.
// A range recorded but never spent (the run stopped there) is taken again by the next run,
// from the same start: the later record replaces it.
#ifndef VELDORAN_TESTS_SUPPORT_JOURNALTILING_H
#define VELDORAN_TESTS_SUPPORT_JOURNALTILING_H

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace testsupport {

// The journal's sound records in order; *sound false when one fails its checksum before the
// last or the file is no journal.
inline std::vector<veldoran::JournalRecord> ReadJournal(const std::string& path, bool* sound) {
    std::vector<veldoran::JournalRecord> records;
    const std::vector<unsigned char> bytes = ReadWholeFile(path);
    *sound = bytes.size() >= 128 && memcmp(bytes.data(), "VELDORAN-JOURNAL", 16) == 0;
    for (size_t at = 128; *sound && at + 128 <= bytes.size(); at += 128) {
        veldoran::JournalRecord record;
        if (!veldoran::DecodeJournalRecord(bytes.data() + at, &record)) {
            // Only the last whole record may be an interrupted write.
            *sound = at + 256 > bytes.size();
            break;
        }
        records.push_back(record);
    }
    return records;
}

// "" when the sent ranges of the key named name tile and its key file (at keyPath) stands at
// their end or one recoverable tail before it; else what is wrong. uses, when not null, gets
// the number of ranges spent.
inline std::string JournalTiles(const std::string& journalPath, const std::string& name,
                                const std::string& keyPath, int* uses = nullptr) {
    bool sound = false;
    const std::vector<veldoran::JournalRecord> records = ReadJournal(journalPath, &sound);
    if (!sound) {
        return "the journal is damaged";
    }
    std::vector<veldoran::JournalRecord> sent;
    for (const veldoran::JournalRecord& record : records) {
        if (veldoran::JournalKeyName(record) != name || record.kind != veldoran::kJournalSent) {
            continue;
        }
        if (!sent.empty() && sent.back().start == record.start &&
            sent.back().useCountAfter == record.useCountAfter) {
            sent.back() = record;
            continue;
        }
        if (!sent.empty() && (record.start != sent.back().offsetAfter ||
                              record.useCountAfter != sent.back().useCountAfter + 1)) {
            return name + ": range from " + std::to_string(record.start) + " (use " +
                   std::to_string(record.useCountAfter) + ") does not follow the one before (to " +
                   std::to_string(sent.back().offsetAfter) + ", use " +
                   std::to_string(sent.back().useCountAfter) + ")";
        }
        if (record.length == 0 ||
            (record.start + record.length) % record.keyLen != record.offsetAfter % record.keyLen) {
            return name + ": a range that does not end where it says";
        }
        sent.push_back(record);
    }
    KeyHeaderFields header;
    if (!ReadKeyHeader(keyPath, &header)) {
        return keyPath + " cannot be read";
    }
    if (sent.empty()) {
        return "";
    }
    const veldoran::JournalRecord& last = sent.back();
    const bool inStep = static_cast<uint32_t>(header.keyOffset) == last.offsetAfter &&
                        header.useCount == last.useCountAfter;
    const bool tail = static_cast<uint32_t>(header.keyOffset) == last.start &&
                      header.useCount + 1 == last.useCountAfter;
    if (uses != nullptr) {
        *uses = static_cast<int>(sent.size()) - (tail ? 1 : 0);
    }
    return inStep || tail ? ""
                          : name + ": the header (offset " + std::to_string(header.keyOffset) +
                                ", use count " + std::to_string(header.useCount) +
                                ") is not where the journal left it";
}

// Where the key file at keyPath stands against the journal's last position record of the key
// named name (veldoran::StandingOf); kBehind, the one that must never be, when the journal or the
// key file cannot be read.
inline veldoran::JournalStanding StandingInJournal(const std::string& journalPath,
                                                   const std::string& name,
                                                   const std::string& keyPath) {
    bool sound = false;
    const std::vector<veldoran::JournalRecord> records = ReadJournal(journalPath, &sound);
    KeyHeaderFields fields;
    if ((!sound && !records.empty()) || !ReadKeyHeader(keyPath, &fields)) {
        return veldoran::JournalStanding::kBehind;
    }
    const veldoran::JournalRecord* last = nullptr;
    for (const veldoran::JournalRecord& record : records) {
        if (veldoran::JournalKeyName(record) == name && record.kind != veldoran::kJournalRead) {
            last = &record;
        }
    }
    TypKeyHeader header{};
    header.keyLen = fields.keyLen;
    header.keyOffset = fields.keyOffset;
    header.useCount = fields.useCount;
    return veldoran::StandingOf(header, last);
}

}  // namespace testsupport

#endif
