// The key journal's record: what one use of a key's material (an encryption, a read, an accept)
// leaves behind, its 128 bytes and their checksum, and the fingerprint that names a key in it
// without giving any of its material away. Everything is big-endian and exact:
//
//   record, 128 bytes:
//     0  machine id of the journal that wrote it   16  u64 sequence: its record number there
//     24 u64 time (seconds since 1970, UTC)         32  u32 kind (JournalKind)
//     36 u32 year (the key header's)                40  key fingerprint (16 bytes)
//     56 key name (the header's 40 name bytes, unused bytes zero)
//     96 u32 start of the range   100 u32 its length   104 u32 keyLen
//     108 u32 keyOffset after the range   112 u32 useCount after it
//     116 a read record's message: the first 8 bytes of SHA-256 over its frame (else zero)
//     124 u32 checksum: the first four bytes of SHA-256 over bytes 0 to 123
//
// A key's fingerprint is the first 16 bytes of SHA-256 over its header's id (32 bytes), name
// (40 bytes), then idLen, nameLen, year and keyLen (each u32), then its first 64 bytes of key
// material (all of it when shorter): two keys that differ in any of these never share a record.
#ifndef VELDORAN_CRYPTO_JOURNALRECORD_H
#define VELDORAN_CRYPTO_JOURNALRECORD_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "crypto/KeyRange.h"
#include "crypto/TypKeyHeader.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

constexpr uint32_t kJournalRecordSize = 128;
constexpr size_t kJournalMachineSize = 16;
constexpr size_t kKeyFingerprintSize = 16;
constexpr size_t kJournalMessageSize = 8;
// Where a record (and the journal's header) keeps its checksum, over every byte before it.
constexpr uint32_t kJournalChecksumAt = 124;
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
    unsigned char message[kJournalMessageSize] = {};  // a read message's frame digest

    // The key material the record's use took.
    KeyRange Range() const { return KeyRange(start, length, keyLen); }
};

// The first four bytes of SHA-256 over length bytes, as records and the journal's header carry.
uint32_t JournalChecksum(const unsigned char* bytes, size_t length);
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
// The same, its material read from keyFile (open for reading) through the key stream reader,
// and wiped after. 0, -8 when keyLen is below 1, or the read's code.
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

}  // namespace veldoran

#endif
