// The key journal named for the process, and the check and record every encryption makes at
// the one point where its keys are spent.
#include "pipelines/KeyJournal.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "crypto/JournalFile.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"

namespace {

std::mutex journalMutex;
std::string journalPath;
thread_local std::string threadProblem;

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

namespace veldoran {

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
