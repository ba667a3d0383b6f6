// The journal's record codec, its checksum and the fingerprint that names a key in it.
#include "crypto/JournalRecord.h"

#include <string.h>

#include <algorithm>

#include "crypto/BigEndian.h"
#include "crypto/KeyStreamWindow.h"
#include "crypto/Sha256.h"
#include "platform/ResultCodes.h"

namespace {

// Where each field of a record stands in its bytes.
constexpr size_t kMachineAt = 0;
constexpr size_t kSequenceAt = 16;
constexpr size_t kTimeAt = 24;
constexpr size_t kKindAt = 32;
constexpr size_t kYearAt = 36;
constexpr size_t kFingerprintAt = 40;
constexpr size_t kNameAt = 56;
constexpr size_t kStartAt = 96;
constexpr size_t kLengthAt = 100;
constexpr size_t kKeyLenAt = 104;
constexpr size_t kOffsetAfterAt = 108;
constexpr size_t kUseCountAfterAt = 112;
constexpr size_t kMessageAt = 116;
static_assert(kMessageAt + veldoran::kJournalMessageSize == veldoran::kJournalChecksumAt,
              "the message digest ends where the checksum starts");

}  // namespace

uint32_t veldoran::JournalChecksum(const unsigned char* bytes, size_t length) {
    unsigned char digest[kSha256Size];
    Sha256Digest(bytes, length, digest);
    return Get32(digest);
}

void veldoran::EncodeJournalRecord(const JournalRecord& record, unsigned char* bytes) {
    memset(bytes, 0, kJournalRecordSize);
    memcpy(bytes + kMachineAt, record.machine, kJournalMachineSize);
    Put64(bytes + kSequenceAt, record.sequence);
    Put64(bytes + kTimeAt, record.time);
    Put32(bytes + kKindAt, record.kind);
    Put32(bytes + kYearAt, static_cast<uint32_t>(record.year));
    memcpy(bytes + kFingerprintAt, record.fingerprint, kKeyFingerprintSize);
    memcpy(bytes + kNameAt, record.name, kLenMaxName);
    Put32(bytes + kStartAt, record.start);
    Put32(bytes + kLengthAt, record.length);
    Put32(bytes + kKeyLenAt, record.keyLen);
    Put32(bytes + kOffsetAfterAt, record.offsetAfter);
    Put32(bytes + kUseCountAfterAt, static_cast<uint32_t>(record.useCountAfter));
    memcpy(bytes + kMessageAt, record.message, kJournalMessageSize);
    Put32(bytes + kJournalChecksumAt, JournalChecksum(bytes, kJournalChecksumAt));
}

bool veldoran::DecodeJournalRecord(const unsigned char* bytes, JournalRecord* record) {
    memcpy(record->machine, bytes + kMachineAt, kJournalMachineSize);
    record->sequence = Get64(bytes + kSequenceAt);
    record->time = Get64(bytes + kTimeAt);
    record->kind = Get32(bytes + kKindAt);
    record->year = static_cast<int32_t>(Get32(bytes + kYearAt));
    memcpy(record->fingerprint, bytes + kFingerprintAt, kKeyFingerprintSize);
    memcpy(record->name, bytes + kNameAt, kLenMaxName);
    record->start = Get32(bytes + kStartAt);
    record->length = Get32(bytes + kLengthAt);
    record->keyLen = Get32(bytes + kKeyLenAt);
    record->offsetAfter = Get32(bytes + kOffsetAfterAt);
    record->useCountAfter = static_cast<int32_t>(Get32(bytes + kUseCountAfterAt));
    memcpy(record->message, bytes + kMessageAt, kJournalMessageSize);
    return Get32(bytes + kJournalChecksumAt) == JournalChecksum(bytes, kJournalChecksumAt);
}

uint32_t veldoran::JournalRecordChecksum(const JournalRecord& record) {
    unsigned char bytes[kJournalRecordSize];
    EncodeJournalRecord(record, bytes);
    return Get32(bytes + kJournalChecksumAt);
}

void veldoran::SetJournalMessage(const unsigned char* frame, size_t length, JournalRecord* record) {
    unsigned char digest[kSha256Size];
    Sha256Digest(frame, length, digest);
    memcpy(record->message, digest, kJournalMessageSize);
}

std::string veldoran::JournalKeyName(const JournalRecord& record) {
    const auto* end = std::find(record.name, record.name + kLenMaxName, 0);
    return std::string(record.name, end);
}

void veldoran::KeyFingerprint(const TypKeyHeader& header, const unsigned char* head,
                              unsigned char* fingerprint) {
    unsigned char numbers[16];
    Put32(numbers, static_cast<uint32_t>(header.idLen));
    Put32(numbers + 4, static_cast<uint32_t>(header.nameLen));
    Put32(numbers + 8, static_cast<uint32_t>(header.year));
    Put32(numbers + 12, static_cast<uint32_t>(header.keyLen));
    Sha256 sha;
    sha.Add(header.id, kLenMaxID);
    sha.Add(header.name, kLenMaxName);
    sha.Add(numbers, sizeof numbers);
    const uint32_t headLength = header.keyLen < 1 ? 0
                                : static_cast<uint32_t>(header.keyLen) < kKeyFingerprintHead
                                    ? static_cast<uint32_t>(header.keyLen)
                                    : kKeyFingerprintHead;
    sha.Add(head, headLength);
    unsigned char digest[kSha256Size];
    sha.Finish(digest);
    memcpy(fingerprint, digest, kKeyFingerprintSize);
}

int32_t veldoran::ReadKeyFingerprint(TypUtils* utils, TypFileRef* keyFile,
                                     const TypKeyHeader& header, unsigned char* fingerprint) {
    if (header.keyLen < 1) {
        return kOffsetOutOfRangeErr;
    }
    const uint32_t keyLen = static_cast<uint32_t>(header.keyLen);
    const uint32_t headLength = keyLen < kKeyFingerprintHead ? keyLen : kKeyFingerprintHead;
    unsigned char head[kKeyFingerprintHead] = {};
    KeyStreamWindow window;
    int32_t result = window.Open(utils, keyFile, keyLen, 0, headLength, headLength);
    if (result == kNoErr) {
        result = window.Copy(head, headLength, 0);
    }
    if (result == kNoErr) {
        KeyFingerprint(header, head, fingerprint);
    }
    // Key material: wiped in a way the optimiser cannot drop as a dead store.
    explicit_bzero(head, sizeof head);
    return result;
}

veldoran::JournalStanding veldoran::StandingOf(const TypKeyHeader& header,
                                               const JournalRecord* last) {
    if (last == nullptr) {
        return JournalStanding::kNoRecord;
    }
    const auto offset = static_cast<uint32_t>(header.keyOffset);
    if (offset == last->offsetAfter && header.useCount == last->useCountAfter) {
        return JournalStanding::kInStep;
    }
    if (last->kind == kJournalSent) {
        // A run that recorded its range and died before rewriting the headers left the header
        // where the record starts, one use short of it.
        if (offset == last->start &&
            static_cast<int64_t>(header.useCount) + 1 == last->useCountAfter) {
            return JournalStanding::kTailMissing;
        }
        // From there, one use without the journal (the fixed program, --no-journal) brings the
        // use count to the record's with an offset of its own: used on without the journal.
        if (header.useCount == last->useCountAfter) {
            return JournalStanding::kAhead;
        }
    }
    // Use counts only grow; one past the journal's was used on without it.
    return header.useCount > last->useCountAfter ? JournalStanding::kAhead
                                                 : JournalStanding::kBehind;
}

uint32_t veldoran::RewoundBytes(const TypKeyHeader& header, const JournalRecord& last,
                                uint32_t length) {
    const auto keyLen = static_cast<uint64_t>(header.keyLen < 1 ? 1 : header.keyLen);
    const auto position = static_cast<uint64_t>(header.keyOffset);
    const KeyRange stream(position, length, keyLen);
    // What was used from the header's position on: up to the recorded position, or all the
    // way round when both stand at the same place with fewer uses behind the header.
    return static_cast<uint32_t>(
        stream.Shared(KeyRange::Between(position, last.offsetAfter, keyLen)));
}
