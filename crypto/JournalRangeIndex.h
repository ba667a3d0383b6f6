// The key journal's range indexes: tables beside the journal (<journal>.reads for read
// records, <journal>.sent for sent ones) that find the records of one kind of a key whose range
// touches a given range of its material by reading a few of their slots and those records
// alone, so that noting a read, or judging a key header against the material sent, costs the
// same however long the journal grows. A cache: whatever does not match the journal is made
// again from it. Every number is big-endian:
//
//   header, 64 bytes:
//     0  "VELDORAN-JREADS1" (reads) or "VELDORAN-JSENT01" (sent)
//     16 machine id of the journal (16 bytes)
//     32 u64 records covered: every record of the kind numbered below has its slots
//     40 u32 checksum of the last record covered (0 when none): a journal cut back, written
//        over or replaced does not match it
//     44 u32 log2 of the slot count        48 u64 slots in use       56 u32 zero
//     60 u32 checksum of bytes 0 to 59, as the journal's records carry
//   slots, 32 bytes each, from byte 64: a hash table of 2^log2 homes and 256 spare slots after
//   them, probed one slot after the next (never round to the first):
//     0  key fingerprint (16 bytes)        16 u32 granule: key material position >> 16
//     20 u64 record number + 1             28 u32 check: FNV-1a over bytes 0 to 27
//     (an empty slot is 32 zero bytes)
//
// A record has one slot for each 64 KiB granule of material its range touches, so a look-up
// reads one probe run per granule of the range asked about. The table is kept at most half
// full and made again, at four times its entries, when it would pass that or a run would pass
// its last slot. A slot whose check fails, or one that names a record that is not of its kind
// and key, makes the table be made again; a slot wiped to zero bytes is not seen (it ends its
// probe run), which only a damaged file does.
#ifndef VELDORAN_CRYPTO_JOURNALRANGEINDEX_H
#define VELDORAN_CRYPTO_JOURNALRANGEINDEX_H

#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "crypto/JournalRecord.h"
#include "crypto/KeyRange.h"
#include "platform/Descriptor.h"

namespace veldoran {

class JournalFile;

class JournalRangeIndex {
  public:
    using Visitor = std::function<bool(uint64_t number, const JournalRecord& record)>;

    // The index of journal's records of kind (kJournalRead or kJournalSent) kept at path;
    // journal is open and locked, not owned, and outlives this object. It is written only when
    // writable (the journal held exclusively); otherwise a table that does not match is not
    // used and the records are scanned instead.
    JournalRangeIndex(JournalFile* journal, std::string path, bool writable, JournalKind kind);
    JournalRangeIndex(const JournalRangeIndex&) = delete;
    JournalRangeIndex& operator=(const JournalRangeIndex&) = delete;

    // Each record of the kind of the key fingerprint whose range shares material with range, in
    // journal order, with its number; visit returns false to stop. 0, or -1 when the journal
    // cannot be read or what stands at path is no regular file (its Problem() says why). The
    // table is brought up to date first.
    int32_t Records(const unsigned char* fingerprint, const KeyRange& range, const Visitor& visit);
    // Takes in the records appended since: when the table is in use, or, with load, after
    // finding it (a cache that cannot be used is left to the next look-up).
    void Appended(bool load = false);

  private:
    struct Slot {
        unsigned char fingerprint[kKeyFingerprintSize];
        uint32_t granule;
        uint64_t number;
    };
    enum class Probe { kFound, kDamaged, kFailed };
    // A slot as the table is made again: its home and where it goes.
    struct Placed {
        uint64_t home;
        uint64_t at;
        Slot slot;
    };

    // The records of the key whose range shares material with range, through the table; false
    // when the table turns out damaged.
    bool Look(const unsigned char* fingerprint, const KeyRange& range,
              std::vector<std::pair<uint64_t, JournalRecord>>* found);
    bool InStep();
    const char* Magic() const;
    bool Load();
    bool Rebuild();
    // Sets where each slot goes, as inserting them one by one would; false when the last run
    // would pass the table's end.
    bool Place(std::vector<Placed>* placed) const;
    bool WritePlaced(const std::vector<Placed>& placed);
    uint64_t Home(const Slot& slot) const;
    // The table's slots: 1 << bits_ homes, then the spare slots the last runs go on into.
    uint64_t TableSlots() const;
    static void EncodeSlot(const Slot& slot, unsigned char* bytes);
    bool CatchUp();
    bool WriteHeader();
    bool Insert(const JournalRecord& record, uint64_t number);
    bool InsertSlot(const Slot& slot);
    Probe Find(const Slot& wanted, std::vector<uint64_t>* numbers);
    // Walks the probe run of wanted's key and granule, calling visit(record number) for each of
    // its slots until visit returns false; *emptyAt is the run's first empty slot.
    template <class Visit>
    Probe Walk(const Slot& wanted, uint64_t* emptyAt, Visit visit);
    bool LastChecksum(uint64_t covered, uint32_t* checksum);
    int32_t ScanAll(const unsigned char* fingerprint, const KeyRange& range, const Visitor& visit);
    void GiveUp();

    JournalFile* journal_;
    std::string path_;
    bool writable_;
    JournalKind kind_;
    Descriptor fd_;
    bool checked_ = false;
    bool usable_ = false;
    uint32_t bits_ = 0;
    uint64_t used_ = 0;
    uint64_t covered_ = 0;
    // Set when an insertion found the table at its fill limit.
    bool full_ = false;
    std::vector<unsigned char> run_;
};

}  // namespace veldoran

#endif
