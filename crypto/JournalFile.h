// The key journal: a file of fixed-size records, outside every key folder, that says which
// range of which key's material each encryption took, so that a key file that went back in
// time (copied again from its original, restored from a backup, used in two places) is found
// before it is used again. Everything in it is big-endian and exact:
//
//   journal header, 128 bytes:
//     0  "VELDORAN-JOURNAL" (16 bytes)   16  u32 version (1)   20  u32 record size (128)
//     24 machine id (16 random bytes, made with the journal)   40..123 zero
//     124 u32 checksum, as a record's, over bytes 0 to 123
//   records, 128 bytes each (crypto/JournalRecord.h), appended in order.
//
// Two indexes beside the journal, each a cache made again whenever it does not match the
// journal, find records without reading the others, so that a check costs the same however long
// the journal grows. They are opened as the journal is: a link, a FIFO, a device or a folder in
// an index's place is never followed, waited on or written, and the journal is refused naming it:
//
//   <journal>.index, each key's last record (any kind but read), read whole:
//     0  "VELDORAN-JINDEX1" (16 bytes)   16 u64 records covered   24 u32 checksum of the last
//     record covered (0 when none)   28 zero   32 machine id of the journal (16 bytes)
//     48 entries, 24 bytes each, in fingerprint order: fingerprint (16 bytes), u64 record number
//     then u32 checksum of every byte before it, as the journal's records carry
//   <journal>.reads, the read records by key and range: crypto/JournalRangeIndex.h.
//
// Every use of the journal holds a lock on it: exclusive to write, shared to read.
#ifndef VELDORAN_CRYPTO_JOURNALFILE_H
#define VELDORAN_CRYPTO_JOURNALFILE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/JournalRecord.h"
#include "platform/Descriptor.h"

namespace veldoran {

class JournalRangeIndex;

class JournalFile {
  public:
    JournalFile();
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
    using Visitor = std::function<bool(uint64_t number, const JournalRecord& record)>;
    // Every sound record in order, from record first on, with its number; the visitor returns
    // false to stop. 0 or -1.
    int32_t Scan(const Visitor& visit) { return Scan(0, visit); }
    int32_t Scan(uint64_t first, const Visitor& visit);
    // Record number (below Records()). 0, or -1 when it cannot be read or is damaged.
    int32_t Record(uint64_t number, JournalRecord* record);
    // Each read record (kind read) of the key fingerprint whose range shares key material with
    // range, in journal order, with its number; the visitor returns false to stop. Found
    // through the read index, which reads a few slots and the records found, however long the
    // journal is; when the index cannot be used (a journal opened for reading whose index does
    // not match it, an index that cannot be written) the records are scanned. 0 or -1.
    int32_t Reads(const unsigned char* fingerprint, const KeyRange& range, const Visitor& visit);
    // The same for the sent records (kind sent) of the key, through the sent index, which every
    // append keeps in step.
    int32_t Sent(const unsigned char* fingerprint, const KeyRange& range, const Visitor& visit);
    // The bytes of range the journal records as sent for the key fingerprint, each counted
    // once however many records hold it; through the sent index. 0 or -1.
    int32_t SentBytes(const unsigned char* fingerprint, const KeyRange& range, uint64_t* bytes);
    // Why the last refusal happened, in words, the journal's path first (or the index's, when
    // the index is what was refused).
    const std::string& Problem() const { return problem_; }
    // Opens an index kept beside the journal at path into *fd, as the journal itself is opened:
    // never following a link, never waiting on a FIFO. With forWriting a missing index is made.
    // -1 (Problem() naming the index) when what stands there is no regular file; otherwise 0,
    // *fd left closed when the index cannot be opened (a cache: the records are read instead).
    int32_t OpenIndex(const std::string& path, bool forWriting, Descriptor* fd);

  private:
    struct IndexEntry {
        unsigned char fingerprint[kKeyFingerprintSize];
        uint64_t number;
    };
    int32_t Refuse(const std::string& words);
    int32_t ReadHeader(bool forWriting);
    int32_t FindSoundEnd();
    // The index as saved when useSaved and it matches the journal, brought up to date; else made
    // again from every record. 0 or -1.
    int32_t LoadIndex(bool useSaved);
    // The records the saved index covers (its entries then in index_), or 0 when it does not
    // match the journal.
    uint64_t ReadSavedIndex();
    int32_t Look(const unsigned char* fingerprint, JournalRecord* record, bool* found,
                 bool fromSaved);
    void Remember(const JournalRecord& record, uint64_t number);
    void SaveIndex();
    JournalRangeIndex* RangeIndex(JournalKind kind);
    std::string path_;
    Descriptor fd_;
    unsigned char machine_[kJournalMachineSize] = {};
    uint64_t fileSize_ = 0;
    uint64_t soundEnd_ = 0;
    bool indexLoaded_ = false;
    std::vector<IndexEntry> index_;
    Descriptor indexFd_;
    bool forWriting_ = false;
    std::unique_ptr<JournalRangeIndex> reads_;
    std::unique_ptr<JournalRangeIndex> sent_;
    std::string problem_;
};

}  // namespace veldoran

#endif
