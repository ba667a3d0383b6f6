// The key journal: a file of fixed-size records, outside every key folder, that says which
// range of which key's material each encryption took, so that a key file that went back in
// time (copied again from its original, restored from a backup, used in two places) is found
// before it is used again. Everything in it is big-endian and exact:
//
//   journal header, 128 bytes:
//     0  "VELDORAN-JOURNAL" (16 bytes)   16  u32 version (1)   20  u32 record size (128)
//     24 machine id (16 random bytes, made with the journal)   40..123 zero
//     124 u32 checksum: the first four bytes of SHA-256 over bytes 0 to 123
//   record, 128 bytes each, appended in order:
//     0  machine id of the journal that wrote it   16  u64 sequence: its record number there
//     24 u64 time (seconds since 1970, UTC)         32  u32 kind (JournalKind)
//     36 u32 year (the key header's)                40  key fingerprint (16 bytes)
//     56 key name (the header's 40 name bytes, unused bytes zero)
//     96 u32 start of the range   100 u32 its length   104 u32 keyLen
//     108 u32 keyOffset after the range   112 u32 useCount after it
//     116 a read record's message: the first 8 bytes of SHA-256 over its frame (else zero)
//     124 u32 checksum, as the header's, over bytes 0 to 123
//
// A key's fingerprint is the first 16 bytes of SHA-256 over its header's id (32 bytes), idLen,
// name (40 bytes), nameLen, year and keyLen (each u32) and its first 64 bytes of key material
// (all of it when shorter): two keys that differ in any of these never share a record, and the
// fingerprint gives nothing of the material away.
//
// The last record of each key is found through an index beside the journal (<journal>.index),
// a cache rebuilt whenever it does not match the journal, so a check costs the same however
// long the journal grows. Every use of the journal holds an exclusive lock on it.
#ifndef VELDORAN_CRYPTO_JOURNALFILE_H
#define VELDORAN_CRYPTO_JOURNALFILE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "crypto/TypKeyHeader.h"
#include "platform/Descriptor.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

constexpr uint32_t kJournalRecordSize = 128;
constexpr size_t kJournalMachineSize = 16;
constexpr size_t kKeyFingerprintSize = 16;
// Bytes of key material a fingerprint covers at most, from the material's start.
constexpr uint32_t kKeyFingerprintHead = 64;

enum JournalKind : uint32_t {
    kJournalSent = 1,      // an encryption took the range
    kJournalAdvanced = 2,  // key journal accept --advance moved the key file forward
    kJournalRewound = 3,   // key journal accept --allow-rewind took the key file's position
    kJournalRead = 4,      // a reader decrypted a message whose frame names the range
    kJournalSpent = 5,     // the sent range's header rewrite went through: a message may be out
};

// One record in host order.
struct JournalRecord {
    unsigned char machine[kJournalMachineSize] = {};
    uint64_t sequence = 0;
    uint64_t time = 0;
    uint32_t kind = 0;
    int32_t year = 0;
    unsigned char fingerprint[kKeyFingerprintSize] = {};
    unsigned char name[kLenMaxName] = {};
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t keyLen = 0;
    uint32_t offsetAfter = 0;
    int32_t useCountAfter = 0;
    unsigned char message[8] = {};  // a read message's frame digest
};

// The record's 128 bytes, checksum included.
void EncodeJournalRecord(const JournalRecord& record, unsigned char* bytes);
// false when the checksum does not match (record is then as far as it got).
bool DecodeJournalRecord(const unsigned char* bytes, JournalRecord* record);
// The checksum the record's 128 bytes carry.
uint32_t JournalRecordChecksum(const JournalRecord& record);
// Sets a read record's message digest from the frame read.
void SetJournalMessage(const unsigned char* frame, size_t length, JournalRecord* record);
// The key name of a record, as text.
std::string JournalKeyName(const JournalRecord& record);

// The fingerprint of the key whose header (host order) is header and whose first
// min(keyLen, kKeyFingerprintHead) bytes of material are head.
void KeyFingerprint(const TypKeyHeader& header, const unsigned char* head,
                    unsigned char* fingerprint);
// The same, its material read from keyFile (open for reading) through the key stream reader.
// 0, or the read's code.
int32_t ReadKeyFingerprint(TypUtils* utils, TypFileRef* keyFile, const TypKeyHeader& header,
                           unsigned char* fingerprint);

// Where a key file's header stands against the last record of its key.
enum class JournalStanding {
    kNoRecord,     // the journal has no position of this key yet
    kInStep,       // at the position the record leaves
    kTailMissing,  // at the start of a sent range not confirmed spent, one use before it:
                   // that run's header was never rewritten (a crash between the record and
                   // the header), so no message was given out from the range
    kAhead,        // used further without the journal: a gap, no reuse
    kBehind,       // a rewind: the material from the header's position on was used already
};
JournalStanding StandingOf(const TypKeyHeader& header, const JournalRecord* last);

// The bytes a stream of length bytes from the header's position would take again when it is
// behind last: from header.keyOffset on, up to the recorded position (cyclically), at most
// length.
uint32_t RewoundBytes(const TypKeyHeader& header, const JournalRecord& last, uint32_t length);

class JournalFile {
  public:
    JournalFile() = default;
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;
    // Closes the journal, which ends the lock.
    ~JournalFile();

    // Opens the journal at path and locks it, waiting for another run's lock; with forWriting
    // a missing journal is made (its header written and synced, with a new machine id), else it
    // is opened for reading only. Refused (-1, with Problem() saying why) when it is not a
    // regular file (a link, a FIFO, a device), cannot be opened, locked or made, or does not
    // start with a journal header. A record cut short at the end, or a last record whose
    // checksum fails, is a write a crash interrupted: it is taken as missing (and cut off
    // before the next append). A failing record before the last one is refused.
    int32_t Open(const std::string& path, bool forWriting);
    const unsigned char* Machine() const { return machine_; }
    // Whole sound records, the interrupted tail left out.
    uint64_t Records() const { return (soundEnd_ - kJournalRecordSize) / kJournalRecordSize; }
    // Whether an interrupted tail was found.
    bool HasTail() const { return fileSize_ > soundEnd_; }
    // The last record of the key that set its position (any kind but read), through the
    // index; *found false when there is none. 0 or -1.
    int32_t Last(const unsigned char* fingerprint, JournalRecord* record, bool* found);
    // Appends the records in one write; an interrupted tail is cut off first. This journal's
    // own records get its machine id and their sequence (and the time when it is 0); another
    // machine's (a merge) are taken as they are. Synced unless the mode says otherwise. On a
    // failure the journal is cut back to what it was. 0 or -1.
    enum class Mode { kOwnSynced, kOwnUnsynced, kOthers };
    int32_t Append(JournalRecord* records, uint32_t count, Mode mode = Mode::kOwnSynced);
    // Every sound record in order, with its number; the visitor returns false to stop. 0 or -1.
    int32_t Scan(const std::function<bool(uint64_t number, const JournalRecord& record)>& visit);
    // Why the last refusal happened, in words, the journal's path first.
    const std::string& Problem() const { return problem_; }

  private:
    struct IndexEntry {
        unsigned char fingerprint[kKeyFingerprintSize];
        uint64_t number;
    };
    int32_t Refuse(const std::string& words);
    int32_t ReadHeader(bool forWriting);
    int32_t FindSoundEnd();
    int32_t ReadRecord(uint64_t number, JournalRecord* record);
    int32_t LoadIndex();
    void Remember(const JournalRecord& record, uint64_t number);
    void SaveIndex();
    int32_t Scan(uint64_t first,
                 const std::function<bool(uint64_t number, const JournalRecord& record)>& visit);

    std::string path_;
    Descriptor fd_;
    unsigned char machine_[kJournalMachineSize] = {};
    uint64_t fileSize_ = 0;
    uint64_t soundEnd_ = 0;
    bool indexLoaded_ = false;
    std::vector<IndexEntry> index_;
    std::string problem_;
};

}  // namespace veldoran

#endif
