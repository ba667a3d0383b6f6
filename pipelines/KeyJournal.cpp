// The key journal named for the process, the check and record every encryption makes at the
// one point where its keys are spent, and the note every decryption makes of what it read.
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/KeyRange.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/KeyJournalCore.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

std::mutex journalMutex;
std::string journalPath;
std::atomic<bool> notingReads{false};
thread_local std::string threadProblem;
// A finding as the thread keeps it; view points into it once asked for.
struct HeldFinding {
    int32_t kind;
    int32_t code;
    std::string file;
    std::string words;
    VeldoranFinding view;
};
thread_local std::vector<HeldFinding> threadFindings;

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
    return static_cast<int32_t>(threadFindings.size());
}

const VeldoranFinding* veldoranKeyJournalFinding(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= threadFindings.size()) {
        return nullptr;
    }
    HeldFinding& held = threadFindings[static_cast<size_t>(index)];
    held.view = {held.kind, held.code, held.file.c_str(), held.words.c_str()};
    return &held.view;
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
    record->offsetAfter = static_cast<uint32_t>(record->Range().End());
    record->useCountAfter = header.useCount;
    return true;
}

const std::string kNotNoted = "this message was not noted in the key journal: ";

std::string KeyPathOf(const FrameKey& key) {
    const auto* reference = dynamic_cast<const TypFileRefUnix*>(key.source().keyFile);
    return reference != nullptr ? reference->path : "";
}

}  // namespace

void AddFinding(VeldoranFindingKind kind, const std::string& file, const std::string& words,
                int32_t code) {
    threadFindings.push_back({kind, code, file, words, {}});
}

void StartJournalFindings() {
    threadFindings.clear();
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
            AddFinding(kVeldoranFindingRead, paths[k],
                       kNotNoted + paths[k] + ": the key's fingerprint cannot be read");
            return;
        }
        memcpy(now[k].message, digest, sizeof now[k].message);
    }
    JournalFile journal;
    if (journal.Open(journal_, true) != kNoErr) {
        AddFinding(kVeldoranFindingRead, "", kNotNoted + journal.Problem());
        return;
    }
    bool known[2] = {false, false};
    for (uint32_t k = 0; k < 2; ++k) {
        const KeyRange range = now[k].Range();
        const int32_t found =
            journal.Reads(now[k].fingerprint, range, [&](uint64_t, const JournalRecord& before) {
                // The same message read again is no reuse; another of the same length from
                // the same place is.
                if (memcmp(before.message, now[k].message, sizeof now[k].message) == 0 &&
                    before.start == now[k].start && before.length == now[k].length) {
                    known[k] = true;
                    return true;
                }
                KeyPiece shared;
                if (range.Shared(before.Range(), &shared) > 0) {
                    AddFinding(
                        kVeldoranFindingRead, paths[k],
                        "key material used twice: bytes " + std::to_string(shared.first) + " to " +
                            std::to_string(shared.end - 1) + " of " + paths[k] +
                            " made this message (use " + std::to_string(now[k].useCountAfter) +
                            ") and a message read before (use " +
                            std::to_string(before.useCountAfter) + ", read " +
                            TimeText(before.time) +
                            "); the sender's key went back in time or is used in two places");
                }
                return true;
            });
        if (found != kNoErr) {
            AddFinding(
                kVeldoranFindingRead, "",
                "this message was not checked against the key journal: " + journal.Problem());
            return;
        }
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
        AddFinding(kVeldoranFindingRead, "", kNotNoted + journal.Problem());
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

namespace {

using veldoran::JournalRecord;

// A key file as the journal knows it: its header (host order) and its fingerprint.
struct KeyOnDisk {
    std::string path;
    TypKeyHeader header{};
    unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {};
};

// Reads path's header and fingerprint. 0, or the library's code.
int32_t ReadKeyOnDisk(const std::string& path, KeyOnDisk* key) {
    key->path = path;
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypFileRefUnix reference;
    reference.InitCreate(&utils);
    int32_t result = reference.SetPath(path.c_str());
    if (result == kNoErr) {
        result = veldoran::ReadKeyHeader(path.c_str(), &key->header);
    }
    if (result == kNoErr && key->header.keyLen < 1) {
        result = kOffsetOutOfRangeErr;
    }
    if (result == kNoErr) {
        result = reference.OpenDF(kOpenRead);
    }
    if (result == kNoErr) {
        result = veldoran::ReadKeyFingerprint(&utils, &reference, key->header, key->fingerprint);
        reference.CloseDF();
    }
    reference.Kill();
    return result;
}

// A range one encryption took, as pieces of the key material that do not wrap.
struct Piece {
    uint64_t first = 0;
    uint64_t end = 0;  // one past the last byte
    const JournalRecord* use = nullptr;
    int epoch = 0;  // accepts before it
};

std::string UseText(const JournalRecord& record, const unsigned char* own) {
    return "use " + std::to_string(record.useCountAfter) + " (" + veldoran::TimeText(record.time) +
           ", " + veldoran::MachineText(record, own) + ")";
}

void AddPieces(const JournalRecord& record, int epoch, std::vector<Piece>* pieces) {
    veldoran::KeyPiece parts[veldoran::KeyRange::kMostPieces];
    const int count = record.Range().Pieces(parts);
    for (int k = 0; k < count; ++k) {
        pieces->push_back({parts[k].first, parts[k].end, &record, epoch});
    }
}

bool SameRun(const JournalRecord& a, const JournalRecord& b) {
    return memcmp(a.machine, b.machine, sizeof a.machine) == 0 && a.start == b.start &&
           a.useCountAfter == b.useCountAfter;
}

// Adds one finding of the key at path, and counts it when it is a problem.
class KeyFindings {
  public:
    explicit KeyFindings(const std::string& path) : path_(path) {}
    void Add(VeldoranFindingKind kind, const std::string& words) {
        veldoran::AddFinding(kind, path_, words);
        problems_ += kind == kVeldoranFindingProblem ? 1 : 0;
    }
    int problems() const { return problems_; }

  private:
    std::string path_;
    int problems_ = 0;
};

// Where the header stands against the journal's last record of its key.
void AddStanding(const TypKeyHeader& header, const JournalRecord& last,
                 veldoran::JournalStanding standing, KeyFindings* findings) {
    switch (standing) {
        case veldoran::JournalStanding::kNoRecord:
        case veldoran::JournalStanding::kInStep:
            findings->Add(kVeldoranFindingStanding, "in step with the journal");
            break;
        case veldoran::JournalStanding::kTailMissing:
            findings->Add(kVeldoranFindingStanding,
                          "the last run stopped before its header was rewritten; its range was "
                          "never given out and the next run takes it again");
            break;
        case veldoran::JournalStanding::kAhead:
            findings->Add(kVeldoranFindingProblem,
                          "used without the journal since its last record (a gap from offset " +
                              std::to_string(last.offsetAfter) + " to " +
                              std::to_string(header.keyOffset) + ")");
            break;
        case veldoran::JournalStanding::kBehind:
            findings->Add(
                kVeldoranFindingProblem,
                "behind the journal: the key file went back in time; " +
                    std::to_string(veldoran::RewoundBytes(header, last,
                                                          static_cast<uint32_t>(header.keyLen))) +
                    " bytes from offset " + std::to_string(header.keyOffset) +
                    " on were used before (key journal accept --advance moves it forward)");
            break;
    }
}

// The ranges given out: each run's sent record, once, but not a run whose header was never
// rewritten (no spent record), whose range that machine's next run took again. Each with the
// accepts before it; *epochs ends with the number of accepts in all.
std::vector<const JournalRecord*> GivenOut(const std::vector<JournalRecord>& records,
                                           bool tailMissing, std::vector<int>* epochs,
                                           int* accepts) {
    std::vector<const JournalRecord*> sent;
    std::vector<bool> confirmed;
    std::map<std::string, size_t> lastOfMachine;
    int epoch = 0;
    for (const JournalRecord& record : records) {
        if (record.kind == veldoran::kJournalRewound || record.kind == veldoran::kJournalAdvanced) {
            ++epoch;
        }
        const std::string machine(record.machine, record.machine + sizeof record.machine);
        const auto before = lastOfMachine.find(machine);
        const bool sameRun = before != lastOfMachine.end() &&
                             SameRun(*sent[before->second], record) &&
                             (*epochs)[before->second] == epoch;
        if (record.kind == veldoran::kJournalSpent && sameRun) {
            confirmed[before->second] = true;
        }
        if (record.kind != veldoran::kJournalSent) {
            continue;
        }
        if (sameRun && !confirmed[before->second]) {
            sent[before->second] = &record;
            continue;
        }
        lastOfMachine[machine] = sent.size();
        sent.push_back(&record);
        epochs->push_back(epoch);
        confirmed.push_back(false);
    }
    if (tailMissing && !sent.empty() && SameRun(*sent.back(), records.back())) {
        sent.pop_back();
        epochs->pop_back();
    }
    *accepts = epoch;
    return sent;
}

// Bytes of material two runs took both: a problem, or a note when accepted since.
void AddUsedTwice(const std::vector<const JournalRecord*>& sent, const std::vector<int>& epochs,
                  int accepts, const unsigned char* own, KeyFindings* findings) {
    std::vector<Piece> pieces;
    for (size_t k = 0; k < sent.size(); ++k) {
        AddPieces(*sent[k], epochs[k], &pieces);
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.first < b.first; });
    const Piece* farthest = nullptr;
    for (const Piece& piece : pieces) {
        if (farthest != nullptr && piece.first < farthest->end) {
            const uint64_t end = std::min(piece.end, farthest->end);
            // Reuse the user has seen and accepted since (a rewind on purpose, or an advance
            // past both uses) is history, no longer a problem.
            const bool accepted = piece.epoch != farthest->epoch || piece.epoch < accepts;
            findings->Add(accepted ? kVeldoranFindingNote : kVeldoranFindingProblem,
                          std::string(accepted ? "accepted since: " : "") + "bytes " +
                              std::to_string(piece.first) + " to " + std::to_string(end - 1) +
                              " used twice: " + UseText(*farthest->use, own) + " and " +
                              UseText(*piece.use, own));
        }
        if (farthest == nullptr || piece.end > farthest->end) {
            farthest = &piece;
        }
    }
}

// Gaps: a machine's runs one after the other, the next not starting where the one before left
// the key.
void AddGaps(const std::vector<const JournalRecord*>& sent, const std::vector<int>& epochs,
             const unsigned char* own, KeyFindings* findings) {
    std::map<std::string, size_t> previous;
    for (size_t k = 0; k < sent.size(); ++k) {
        const std::string machine(sent[k]->machine, sent[k]->machine + sizeof sent[k]->machine);
        const auto before = previous.find(machine);
        if (before != previous.end() && epochs[before->second] == epochs[k] &&
            sent[k]->start != sent[before->second]->offsetAfter) {
            const JournalRecord& earlier = *sent[before->second];
            findings->Add(kVeldoranFindingProblem,
                          "a gap from offset " + std::to_string(earlier.offsetAfter) + " to " +
                              std::to_string(sent[k]->start) + " between " + UseText(earlier, own) +
                              " and " + UseText(*sent[k], own) + ": used without the journal");
        }
        previous[machine] = k;
    }
}

// The audit of one key against its records (every kind but read, in order). The problems.
int AuditKey(const KeyOnDisk& key, const std::vector<JournalRecord>& records,
             const unsigned char* own) {
    KeyFindings findings(key.path);
    const TypKeyHeader& header = key.header;
    findings.Add(kVeldoranFindingHeader,
                 "offset " + std::to_string(header.keyOffset) + ", use count " +
                     std::to_string(header.useCount) + ", " +
                     std::to_string(static_cast<int64_t>(header.keyLen) - header.keyOffset) +
                     " bytes left before the key wraps");
    if (records.empty()) {
        findings.Add(kVeldoranFindingJournal, "no record of this key");
        return findings.problems();
    }
    const JournalRecord& last = records.back();
    findings.Add(
        kVeldoranFindingJournal,
        "last position offset " + std::to_string(last.offsetAfter) + ", " + UseText(last, own));
    const veldoran::JournalStanding standing = veldoran::StandingOf(header, &last);
    AddStanding(header, last, standing, &findings);
    std::vector<int> epochs;
    int accepts = 0;
    const std::vector<const JournalRecord*> sent =
        GivenOut(records, standing == veldoran::JournalStanding::kTailMissing, &epochs, &accepts);
    AddUsedTwice(sent, epochs, accepts, own, &findings);
    AddGaps(sent, epochs, own, &findings);
    return findings.problems();
}

int32_t RefuseJournal(const veldoran::JournalFile& journal, const std::string& path) {
    threadProblem = journal.Problem();
    return veldoran::RecordFailure(kVeldoranRoleJournal, kJournalErr, path.c_str());
}

// A record as merges tell them apart: its machine, its sequence there and its bytes' checksum,
// so that two machines cloned with one id still keep each other's different records.
using RecordIdentity = std::tuple<std::string, uint64_t, uint32_t>;

RecordIdentity IdentityOf(const JournalRecord& record) {
    return {std::string(record.machine, record.machine + sizeof record.machine), record.sequence,
            veldoran::JournalRecordChecksum(record)};
}

int32_t RefuseNoJournal() {
    threadProblem = "no key journal is named";
    return kJournalErr;
}

}  // namespace

int32_t veldoranAuditKeyFiles(const char* const* paths, int32_t count) {
    return veldoran::RunWithUtils([&](TypUtilsUnix*) -> int32_t {
        threadProblem.clear();
        const std::string path = CurrentJournal();
        if (path.empty() || (count > 0 && paths == nullptr)) {
            return path.empty() ? RefuseNoJournal() : kOtherErr;
        }
        std::vector<KeyOnDisk> keys;
        std::vector<int32_t> results;
        for (int32_t k = 0; k < count; ++k) {
            keys.emplace_back();
            results.push_back(ReadKeyOnDisk(paths[k] != nullptr ? paths[k] : "", &keys.back()));
        }
        std::vector<std::vector<JournalRecord>> records(keys.size());
        unsigned char own[veldoran::kJournalMachineSize] = {};
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            veldoran::JournalFile journal;
            if (journal.Open(path, false) != kNoErr) {
                return RefuseJournal(journal, path);
            }
            memcpy(own, journal.Machine(), sizeof own);
            const int32_t scanned = journal.Scan([&](uint64_t, const JournalRecord& record) {
                for (size_t k = 0; record.kind != veldoran::kJournalRead && k < keys.size(); ++k) {
                    if (results[k] == kNoErr && memcmp(record.fingerprint, keys[k].fingerprint,
                                                       veldoran::kKeyFingerprintSize) == 0) {
                        records[k].push_back(record);
                    }
                }
                return true;
            });
            if (scanned != kNoErr) {
                return RefuseJournal(journal, path);
            }
        }
        int32_t problems = 0;
        for (size_t k = 0; k < keys.size(); ++k) {
            if (results[k] != kNoErr) {
                veldoran::AddFinding(kVeldoranFindingProblem, keys[k].path,
                                     "not a key file that can be read", results[k]);
                ++problems;
                continue;
            }
            problems += AuditKey(keys[k], records[k], own);
        }
        return problems;
    });
}

int32_t veldoranMergeKeyJournal(const char* otherJournal, uint64_t* merged, uint64_t* already) {
    return veldoran::RunWithUtils([&](TypUtilsUnix*) -> int32_t {
        threadProblem.clear();
        const std::string path = CurrentJournal();
        if (path.empty()) {
            return RefuseNoJournal();
        }
        const std::string other = otherJournal != nullptr ? otherJournal : "";
        struct stat mine {};
        struct stat theirs {};
        // Its lock would wait on this one's forever.
        if (stat(path.c_str(), &mine) == 0 && stat(other.c_str(), &theirs) == 0 &&
            mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino) {
            threadProblem = other + ": is this machine's key journal itself";
            return kOtherErr;
        }
        veldoran::JournalFile journal;
        std::set<RecordIdentity> known;
        if (journal.Open(path, true) != kNoErr ||
            journal.Scan([&](uint64_t, const JournalRecord& record) {
                known.insert(IdentityOf(record));
                return true;
            }) != kNoErr) {
            return RefuseJournal(journal, path);
        }
        veldoran::JournalFile incoming;
        std::vector<JournalRecord> fresh;
        uint64_t there = 0;
        if (incoming.Open(other, false) != kNoErr ||
            incoming.Scan([&](uint64_t, const JournalRecord& record) {
                if (known.insert(IdentityOf(record)).second) {
                    fresh.push_back(record);
                } else {
                    ++there;
                }
                return true;
            }) != kNoErr) {
            return RefuseJournal(incoming, other);
        }
        if (!fresh.empty() && journal.Append(fresh.data(), static_cast<uint32_t>(fresh.size()),
                                             veldoran::JournalFile::Mode::kOthers) != kNoErr) {
            return RefuseJournal(journal, path);
        }
        if (merged != nullptr) {
            *merged = fresh.size();
        }
        if (already != nullptr) {
            *already = there;
        }
        return kNoErr;
    });
}

namespace {

// Why a key file to be accepted was refused, in the words of the failure the report holds.
int32_t RefuseKeyFile(const std::string& path, int32_t result) {
    const VeldoranFailure failure = veldoran::CarryFailure();
    if (failure.systemError == ENOENT) {
        threadProblem = path + ": cannot be opened as a key file: it is not there";
        return kFNFErr;
    }
    if (failure.step == kVeldoranStepLock) {
        threadProblem = path + ": is in use by an encryption; try again";
        return kOtherErr;
    }
    if (result == kBadKeyHeader) {
        threadProblem = path + ": not a key file of version 1 with its material";
        return kBadKeyHeader;
    }
    threadProblem = path + ": cannot be opened as a key file" +
                    (failure.systemError != 0
                         ? std::string(": ") + strerror(failure.systemError)
                         : std::string(": not a regular file with a header and its material"));
    return result;
}

// The record of an accept of key (locked, fingerprint read) in journal: with advance, past every
// range recorded for the key; else where the key file stands. 0 or -1.
int32_t AcceptRecord(veldoran::JournalFile* journal, const TypKeyHeader& header,
                     const unsigned char* fingerprint, bool advance, JournalRecord* record) {
    memcpy(record->fingerprint, fingerprint, veldoran::kKeyFingerprintSize);
    memcpy(record->name, header.name, kLenMaxName);
    record->year = header.year;
    record->keyLen = static_cast<uint32_t>(header.keyLen);
    record->start = static_cast<uint32_t>(header.keyOffset);
    record->offsetAfter = record->start;
    record->useCountAfter = header.useCount;
    record->kind = advance ? veldoran::kJournalAdvanced : veldoran::kJournalRewound;
    if (!advance) {
        return kNoErr;
    }
    // The furthest any machine took the key: past every range recorded for it.
    const int32_t result = journal->Scan([&](uint64_t, const JournalRecord& seen) {
        if (seen.kind != veldoran::kJournalRead &&
            memcmp(seen.fingerprint, fingerprint, veldoran::kKeyFingerprintSize) == 0) {
            record->offsetAfter = std::max(record->offsetAfter, seen.offsetAfter);
            record->useCountAfter = std::max(record->useCountAfter, seen.useCountAfter);
        }
        return true;
    });
    record->length = record->offsetAfter - record->start;
    return result;
}

}  // namespace

int32_t veldoranAcceptKeyFile(const char* keyFile, int32_t advance, uint32_t* offset,
                              int32_t* useCount) {
    return veldoran::RunWithUtils([&](TypUtilsUnix* utils) -> int32_t {
        threadProblem.clear();
        const std::string path = CurrentJournal();
        if (path.empty()) {
            return RefuseNoJournal();
        }
        const std::string keyPath = keyFile != nullptr ? keyFile : "";
        TypFileRefUnix reference;
        reference.InitCreate(utils);
        veldoran::LockedKeyFile key;
        key.InitCreate(utils, &reference);
        int32_t result = reference.SetPath(keyPath.c_str());
        if (result == kNoErr) {
            // Locked against every encryption (which refuses a key it cannot lock) from here
            // until the header stands where the journal says.
            result = key.OpenToMove(nullptr);
        }
        if (result != kNoErr) {
            reference.Kill();
            return RefuseKeyFile(keyPath, result);
        }
        const TypKeyHeader header = key.Header();
        unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {};
        result = veldoran::ReadKeyFingerprint(utils, key.KeyFile(), header, fingerprint);
        if (result != kNoErr) {
            key.Kill();
            reference.Kill();
            return RefuseKeyFile(keyPath, kBadKeyHeader);
        }
        veldoran::JournalFile journal;
        JournalRecord record;
        // Recorded first, as an encryption does: the header never stands where the journal
        // does not know it.
        if (journal.Open(path, true) != kNoErr ||
            AcceptRecord(&journal, header, fingerprint, advance != 0, &record) != kNoErr ||
            journal.Append(&record, 1) != kNoErr) {
            key.Kill();
            reference.Kill();
            return RefuseJournal(journal, path);
        }
        if (record.offsetAfter != record.start || record.useCountAfter != header.useCount) {
            result = key.MoveTo(record.offsetAfter, record.useCountAfter);
        }
        if (result != kNoErr) {
            threadProblem = keyPath + ": cannot be rewritten";
        }
        const int32_t closed = key.Close();
        reference.Kill();
        if (offset != nullptr) {
            *offset = record.offsetAfter;
        }
        if (useCount != nullptr) {
            *useCount = record.useCountAfter;
        }
        return result != kNoErr ? result : closed;
    });
}
