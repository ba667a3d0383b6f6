// The key journal named for the process, the check and record every encryption makes at the
// one point where its keys are spent, and the note every decryption makes of what it read.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "crypto/TypKeyHeader.h"
#include "pipelines/KeyJournalCore.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"

namespace {

std::mutex journalMutex;
std::string journalPath;
std::atomic<bool> notingReads{false};
thread_local std::string threadProblem;
thread_local std::vector<veldoran::ReadFinding> threadFindings;
thread_local std::vector<std::string> threadFindingWords;

std::string CurrentJournal() {
    const std::lock_guard<std::mutex> hold(journalMutex);
    return journalPath;
}

}  // namespace

int32_t veldoranSetKeyJournal(const char* path) {
    const std::lock_guard<std::mutex> hold(journalMutex);
    journalPath = path != nullptr ? path : "";
    return kNoErr;
}

const char* veldoranKeyJournalProblem(void) {
    return threadProblem.c_str();
}

int32_t veldoranSetKeyJournalReads(int32_t on) {
    notingReads = on != 0;
    return kNoErr;
}

int32_t veldoranKeyJournalFindings(void) {
    return static_cast<int32_t>(threadFindingWords.size());
}

const char* veldoranKeyJournalFinding(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= threadFindingWords.size()) {
        return "";
    }
    return threadFindingWords[static_cast<size_t>(index)].c_str();
}

namespace veldoran {

std::string NamedJournal() {
    return CurrentJournal();
}

bool JournalStep::Named() {
    return !CurrentJournal().empty();
}

int32_t JournalStep::Record(TypUtils* utils, const JournalUse* layers, uint32_t count) {
    threadProblem.clear();
    const std::string path = CurrentJournal();
    if (path.empty() || count > 2) {
        return count > 2 ? kOtherErr : kNoErr;
    }
    journal_.reset(new (std::nothrow) JournalFile);
    if (journal_ == nullptr) {
        return kMemErr;
    }
    JournalFile& journal = *journal_;
    if (journal.Open(path, true) != kNoErr) {
        threadProblem = journal.Problem();
        journal_.reset();
        return RecordFailure(kVeldoranRoleJournal, kJournalErr, path.c_str());
    }
    JournalRecord* records = records_;
    for (uint32_t k = 0; k < count; ++k) {
        const LockedKeyFile& key = *layers[k].key;
        const TypKeyHeader& header = key.Header();
        JournalRecord& record = records[k];
        int32_t result = ReadKeyFingerprint(utils, key.KeyFile(), header, record.fingerprint);
        if (result != kNoErr) {
            return RecordFailure(k == 0 ? kVeldoranRoleMasterKey : kVeldoranRoleUserKey, result,
                                 layers[k].path);
        }
        JournalRecord last;
        bool found = false;
        if (journal.Last(record.fingerprint, &last, &found) != kNoErr) {
            threadProblem = journal.Problem();
            return RecordFailure(kVeldoranRoleJournal, kJournalErr, path.c_str());
        }
        if (StandingOf(header, found ? &last : nullptr) == JournalStanding::kBehind) {
            threadProblem = std::string(layers[k].path) + ": its header (offset " +
                            std::to_string(header.keyOffset) + ", use count " +
                            std::to_string(header.useCount) +
                            ") is behind the key journal (offset " +
                            std::to_string(last.offsetAfter) + ", use count " +
                            std::to_string(last.useCountAfter) +
                            "): " + std::to_string(RewoundBytes(header, last, layers[k].length)) +
                            " bytes of key material from offset " +
                            std::to_string(header.keyOffset) + " on were used before";
            return RecordFailure(k == 0 ? kVeldoranRoleMasterKey : kVeldoranRoleUserKey,
                                 kKeyRewound, layers[k].path, kVeldoranStepCheck, 0);
        }
        const TypKeyHeader after = key.CommittedHeader(layers[k].length);
        record.kind = kJournalSent;
        record.year = header.year;
        memcpy(record.name, header.name, kLenMaxName);
        record.start = key.StreamStart();
        record.length = layers[k].length;
        record.keyLen = static_cast<uint32_t>(header.keyLen);
        record.offsetAfter = static_cast<uint32_t>(after.keyOffset);
        record.useCountAfter = after.useCount;
    }
    if (journal.Append(records, count) != kNoErr) {
        threadProblem = journal.Problem();
        return RecordFailure(kVeldoranRoleJournal, kJournalErr, path.c_str());
    }
    count_ = count;
    return kNoErr;
}

void JournalStep::Confirm() {
    if (journal_ == nullptr || count_ == 0) {
        return;
    }
    JournalRecord spent[2];
    for (uint32_t k = 0; k < count_; ++k) {
        spent[k] = records_[k];
        spent[k].kind = kJournalSpent;
        spent[k].time = 0;
    }
    // Not confirmed, the sent records let a rewind of exactly one run through as a crash's
    // tail; the headers themselves are safe either way.
    journal_->Append(spent, count_, JournalFile::Mode::kOwnUnsynced);
}

}  // namespace veldoran

namespace veldoran {

namespace {

void AddFinding(ReadFinding finding) {
    threadFindingWords.push_back(DescribeReadFinding(finding));
    threadFindings.push_back(std::move(finding));
}

void AddProblem(ReadFinding::Kind kind, const std::string& problem) {
    ReadFinding finding;
    finding.kind = kind;
    finding.problem = problem;
    AddFinding(finding);
}

// The bytes of the key material two ranges of one key share, as the first and last of the
// overlap; false when none. Ranges wrap around the material.
bool Overlap(const JournalRecord& a, const JournalRecord& b, uint64_t* first, uint64_t* last) {
    const uint64_t keyLen = a.keyLen == 0 ? 1 : a.keyLen;
    const auto pieces = [keyLen](const JournalRecord& r) {
        std::vector<std::pair<uint64_t, uint64_t>> list;
        const uint64_t start = r.start % keyLen;
        if (r.length >= keyLen) {
            list.emplace_back(0, keyLen);
        } else if (start + r.length <= keyLen) {
            list.emplace_back(start, start + r.length);
        } else {
            list.emplace_back(start, keyLen);
            list.emplace_back(0, start + r.length - keyLen);
        }
        return list;
    };
    for (const auto& p : pieces(a)) {
        for (const auto& q : pieces(b)) {
            const uint64_t from = std::max(p.first, q.first);
            const uint64_t to = std::min(p.second, q.second);
            if (from < to) {
                *first = from;
                *last = to - 1;
                return true;
            }
        }
    }
    return false;
}

// The read record of one layer: the key file key, opened for the frame header stored (in
// stored order), whose stream covered length bytes. false when the key's fingerprint cannot be
// read.
bool ReadRecordOf(TypUtils* utils, const unsigned char* stored, const FrameKey& key,
                  uint32_t length, JournalRecord* record) {
    TypKeyHeader header{};
    DecodeKeyHeader(stored, &header);
    // The key file's own length of material, which the frame's header only repeats.
    header.keyLen = static_cast<int32_t>(key.source().keyLen);
    if (ReadKeyFingerprint(utils, key.source().keyFile, header, record->fingerprint) != kNoErr) {
        return false;
    }
    record->kind = kJournalRead;
    record->year = header.year;
    memcpy(record->name, header.name, kLenMaxName);
    record->keyLen = key.source().keyLen;
    record->start = key.source().start;
    record->length = length;
    record->offsetAfter = static_cast<uint32_t>((uint64_t{record->start} + length) %
                                                (record->keyLen == 0 ? 1 : record->keyLen));
    record->useCountAfter = header.useCount;
    return true;
}

std::string KeyPathOf(const FrameKey& key) {
    const auto* reference = dynamic_cast<const TypFileRefUnix*>(key.source().keyFile);
    return reference != nullptr ? reference->path : "";
}

}  // namespace

std::string DescribeReadFinding(const ReadFinding& finding) {
    switch (finding.kind) {
        case ReadFinding::Kind::kUsedTwice:
            return "key material used twice: bytes " + std::to_string(finding.first) + " to " +
                   std::to_string(finding.last) + " of " + finding.keyPath +
                   " made this message (use " + std::to_string(finding.use) +
                   ") and a message read before (use " + std::to_string(finding.useBefore) +
                   ", read " + TimeText(finding.readBefore) +
                   "); the sender's key went back in time or is used in two places";
        case ReadFinding::Kind::kNotChecked:
            return "this message was not checked against the key journal: " + finding.problem;
        case ReadFinding::Kind::kNotNoted:
            break;
    }
    return "this message was not noted in the key journal: " + finding.problem;
}

const std::vector<ReadFinding>& ReadFindings() {
    return threadFindings;
}

void StartJournalFindings() {
    threadFindings.clear();
    threadFindingWords.clear();
}

ReadNote::ReadNote() {
    if (notingReads) {
        journal_ = CurrentJournal();
    }
}

void ReadNote::Note(TypUtils* utils, const unsigned char* headers, const FrameKey& user,
                    const FrameKey& master, uint32_t outerLength) {
    if (!On()) {
        return;
    }
    unsigned char digest[kSha256Size];
    digest_.Finish(digest);
    const FrameKey* keys[2] = {&user, &master};
    std::string paths[2];
    JournalRecord now[2];
    for (uint32_t k = 0; k < 2; ++k) {
        paths[k] = KeyPathOf(*keys[k]);
        if (!ReadRecordOf(utils, headers + k * kKeyHeaderSize, *keys[k],
                          outerLength - (k + 1) * kKeyHeaderSize, &now[k])) {
            AddProblem(ReadFinding::Kind::kNotNoted,
                       paths[k] + ": the key's fingerprint cannot be read");
            return;
        }
        memcpy(now[k].message, digest, sizeof now[k].message);
    }
    JournalFile journal;
    if (journal.Open(journal_, true) != kNoErr) {
        AddProblem(ReadFinding::Kind::kNotNoted, journal.Problem());
        return;
    }
    bool known[2] = {false, false};
    const int32_t scanned = journal.Scan([&](uint64_t, const JournalRecord& before) {
        for (uint32_t k = 0; k < 2; ++k) {
            if (before.kind != kJournalRead ||
                memcmp(before.fingerprint, now[k].fingerprint, sizeof now[k].fingerprint) != 0) {
                continue;
            }
            // The same message read again is no reuse; another of the same length from the same
            // place is.
            if (memcmp(before.message, now[k].message, sizeof now[k].message) == 0 &&
                before.start == now[k].start && before.length == now[k].length) {
                known[k] = true;
                continue;
            }
            ReadFinding finding;
            if (Overlap(now[k], before, &finding.first, &finding.last)) {
                finding.kind = ReadFinding::Kind::kUsedTwice;
                finding.keyPath = paths[k];
                finding.use = now[k].useCountAfter;
                finding.useBefore = before.useCountAfter;
                finding.readBefore = before.time;
                AddFinding(finding);
            }
        }
        return true;
    });
    if (scanned != kNoErr) {
        AddProblem(ReadFinding::Kind::kNotChecked, journal.Problem());
        return;
    }
    JournalRecord fresh[2];
    uint32_t count = 0;
    for (uint32_t k = 0; k < 2; ++k) {
        if (!known[k]) {
            fresh[count++] = now[k];
        }
    }
    // Unsynced: a read lost in a crash is read again, and costs the reader no key material.
    if (count > 0 && journal.Append(fresh, count, JournalFile::Mode::kOwnUnsynced) != kNoErr) {
        AddProblem(ReadFinding::Kind::kNotNoted, journal.Problem());
    }
}

std::string MachineText(const JournalRecord& record, const unsigned char* own) {
    if (memcmp(record.machine, own, kJournalMachineSize) == 0) {
        return "this machine";
    }
    char text[16];
    snprintf(text, sizeof text, "%02x%02x%02x%02x", record.machine[0], record.machine[1],
             record.machine[2], record.machine[3]);
    return std::string("machine ") + text;
}

std::string TimeText(uint64_t seconds) {
    const auto when = static_cast<time_t>(seconds);
    struct tm parts {};
    char text[40] = "?";
    if (gmtime_r(&when, &parts) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}

}  // namespace veldoran
