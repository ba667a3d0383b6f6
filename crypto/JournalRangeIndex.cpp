// A range index: a hash table of (key, granule) slots on disk, probed with pread and brought
// up to date from the journal's new records.
#include "crypto/JournalRangeIndex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "crypto/BigEndian.h"
#include "crypto/JournalFile.h"
#include "platform/DurableSteps.h"
#include "platform/ResultCodes.h"

namespace {

constexpr char kReadsMagic[] = "VELDORAN-JREADS1";
constexpr char kSentMagic[] = "VELDORAN-JSENT01";
constexpr size_t kMagicSize = 16;
// The header's fields.
constexpr size_t kMachineAt = 16;
constexpr size_t kCoveredAt = 32;
constexpr size_t kLastChecksumAt = 40;
constexpr size_t kBitsAt = 44;
constexpr size_t kUsedAt = 48;
constexpr size_t kHeaderChecksumAt = 60;
constexpr size_t kHeaderSize = 64;
// A slot's fields.
constexpr size_t kSlotGranuleAt = 16;
constexpr size_t kSlotNumberAt = 20;
constexpr size_t kSlotCheckAt = 28;
constexpr size_t kSlotSize = 32;
// A granule is 1 << kGranuleBits bytes of key material.
constexpr unsigned kGranuleBits = 16;
// The smallest table, and the largest (4 GiB of slots would be more than any journal needs).
constexpr uint32_t kFewestBits = 10;
constexpr uint32_t kMostBits = 27;
// Slots read at once along a probe run: one read finds a whole run in a table half full.
constexpr uint64_t kRunSlots = 64;
// Slots past the last home: a probe run never goes round to the table's start, it ends in these.
constexpr uint64_t kSpareSlots = 256;
// Slots written at once when the table is made again.
constexpr uint64_t kWriteSlots = 65536;

uint32_t Fnv1a(const unsigned char* bytes, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t k = 0; k < length; ++k) {
        hash = (hash ^ bytes[k]) * 16777619u;
    }
    return hash;
}

uint64_t Mix(uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ull;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

bool AllZero(const unsigned char* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](unsigned char byte) { return byte == 0; });
}

// Calls step(granule) for each granule of material the range touches.
template <class Step>
bool EachGranule(const veldoran::KeyRange& range, Step step) {
    veldoran::KeyPiece pieces[veldoran::KeyRange::kMostPieces];
    const int count = range.Pieces(pieces);
    for (int p = 0; p < count; ++p) {
        const uint64_t last = (pieces[p].end - 1) >> kGranuleBits;
        for (uint64_t granule = pieces[p].first >> kGranuleBits; granule <= last; ++granule) {
            if (!step(static_cast<uint32_t>(granule))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

veldoran::JournalRangeIndex::JournalRangeIndex(JournalFile* journal, std::string path,
                                               bool writable, JournalKind kind)
    : journal_(journal), path_(std::move(path)), writable_(writable), kind_(kind) {}

const char* veldoran::JournalRangeIndex::Magic() const {
    return kind_ == kJournalRead ? kReadsMagic : kSentMagic;
}

int32_t veldoran::JournalRangeIndex::Records(const unsigned char* fingerprint,
                                             const KeyRange& range, const Visitor& visit) {
    // A table found damaged is made again once; after that, or with no table, the records are
    // scanned.
    if (!checked_ && journal_->OpenIndex(path_, writable_, &fd_) != kNoErr) {
        return kOtherErr;
    }
    std::vector<std::pair<uint64_t, JournalRecord>> found;
    for (int attempt = 0; attempt < 2 && InStep(); ++attempt) {
        found.clear();
        if (Look(fingerprint, range, &found)) {
            for (const auto& entry : found) {
                if (!visit(entry.first, entry.second)) {
                    break;
                }
            }
            return kNoErr;
        }
        if (!Rebuild()) {
            break;
        }
    }
    return ScanAll(fingerprint, range, visit);
}

bool veldoran::JournalRangeIndex::Look(const unsigned char* fingerprint, const KeyRange& range,
                                       std::vector<std::pair<uint64_t, JournalRecord>>* found) {
    std::vector<uint64_t> numbers;
    Slot wanted{};
    memcpy(wanted.fingerprint, fingerprint, kKeyFingerprintSize);
    const bool sound = EachGranule(range, [&](uint32_t granule) {
        wanted.granule = granule;
        return Find(wanted, &numbers) == Probe::kFound;
    });
    if (!sound) {
        return false;
    }
    // A record that touches several granules of the range has a slot in each.
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (uint64_t number : numbers) {
        JournalRecord record;
        if (number >= journal_->Records() || journal_->Record(number, &record) != kNoErr ||
            record.kind != kind_ ||
            memcmp(record.fingerprint, fingerprint, kKeyFingerprintSize) != 0) {
            return false;
        }
        // A slot says the record touches a granule of the range, not that it shares its bytes.
        if (range.Shared(record.Range()) > 0) {
            found->emplace_back(number, record);
        }
    }
    return true;
}

void veldoran::JournalRangeIndex::Appended(bool load) {
    if (load && !checked_) {
        if (journal_->OpenIndex(path_, writable_, &fd_) == kNoErr) {
            InStep();
        }
        return;
    }
    if (usable_ && !CatchUp()) {
        GiveUp();
    }
}

int32_t veldoran::JournalRangeIndex::ScanAll(const unsigned char* fingerprint,
                                             const KeyRange& range, const Visitor& visit) {
    return journal_->Scan([&](uint64_t number, const JournalRecord& record) {
        if (record.kind != kind_ ||
            memcmp(record.fingerprint, fingerprint, kKeyFingerprintSize) != 0 ||
            range.Shared(record.Range()) == 0) {
            return true;
        }
        return visit(number, record);
    });
}

bool veldoran::JournalRangeIndex::InStep() {
    if (!checked_) {
        checked_ = true;
        usable_ = Load() || (writable_ && Rebuild());
    }
    if (usable_ && covered_ != journal_->Records() && (!writable_ || !CatchUp())) {
        GiveUp();
    }
    return usable_;
}

void veldoran::JournalRangeIndex::GiveUp() {
    // Only slower: the records are scanned, and the next run makes the table again.
    usable_ = false;
}

bool veldoran::JournalRangeIndex::Load() {
    struct stat info {};
    if (!fd_.IsOpen() || fstat(fd_.Get(), &info) != 0) {
        return false;
    }
    unsigned char header[kHeaderSize];
    if (!ReadFullyAt(fd_.Get(), header, sizeof header, 0) ||
        memcmp(header, Magic(), kMagicSize) != 0 ||
        memcmp(header + kMachineAt, journal_->Machine(), kJournalMachineSize) != 0 ||
        Get32(header + kHeaderChecksumAt) != JournalChecksum(header, kHeaderChecksumAt)) {
        return false;
    }
    covered_ = Get64(header + kCoveredAt);
    bits_ = Get32(header + kBitsAt);
    used_ = Get64(header + kUsedAt);
    uint32_t lastChecksum = 0;
    return bits_ >= kFewestBits && bits_ <= kMostBits &&
           static_cast<uint64_t>(info.st_size) == kHeaderSize + TableSlots() * kSlotSize &&
           covered_ <= journal_->Records() && LastChecksum(covered_, &lastChecksum) &&
           lastChecksum == Get32(header + kLastChecksumAt);
}

bool veldoran::JournalRangeIndex::LastChecksum(uint64_t covered, uint32_t* checksum) {
    *checksum = 0;
    JournalRecord last;
    if (covered == 0) {
        return true;
    }
    if (journal_->Record(covered - 1, &last) != kNoErr) {
        return false;
    }
    *checksum = JournalRecordChecksum(last);
    return true;
}

bool veldoran::JournalRangeIndex::Rebuild() {
    if (!writable_ || !fd_.IsOpen()) {
        return false;
    }
    // Every slot first, then the table written in order, in large pieces: one write per slot
    // would cost a system call each.
    std::vector<Placed> placed;
    const int32_t scanned = journal_->Scan([&](uint64_t number, const JournalRecord& record) {
        if (record.kind == kind_) {
            Slot slot{};
            memcpy(slot.fingerprint, record.fingerprint, kKeyFingerprintSize);
            slot.number = number;
            EachGranule(record.Range(), [&](uint32_t granule) {
                slot.granule = granule;
                placed.push_back({0, 0, slot});
                return true;
            });
        }
        return true;
    });
    if (scanned != kNoErr) {
        return false;
    }
    bits_ = kFewestBits;
    while (bits_ < kMostBits && (uint64_t{1} << bits_) < 4 * placed.size()) {
        ++bits_;
    }
    // A last run too long for the spare slots: a table twice the size spreads it.
    while (!Place(&placed)) {
        if (bits_ == kMostBits) {
            return false;
        }
        ++bits_;
    }
    // The header goes last: a table cut short by a kill has none, and is made again.
    if (ftruncate(fd_.Get(), 0) != 0 ||
        ftruncate(fd_.Get(), static_cast<off_t>(kHeaderSize + TableSlots() * kSlotSize)) != 0 ||
        !WritePlaced(placed)) {
        return false;
    }
    used_ = placed.size();
    covered_ = journal_->Records();
    return WriteHeader();
}

bool veldoran::JournalRangeIndex::Place(std::vector<Placed>* placed) const {
    for (Placed& entry : *placed) {
        entry.home = Home(entry.slot);
    }
    std::sort(placed->begin(), placed->end(),
              [](const Placed& a, const Placed& b) { return a.home < b.home; });
    // In order of home, each slot takes the first free one from its home on, as an insertion
    // would.
    uint64_t next = 0;
    for (Placed& entry : *placed) {
        entry.at = std::max(entry.home, next);
        next = entry.at + 1;
    }
    return next <= TableSlots();
}

bool veldoran::JournalRangeIndex::WritePlaced(const std::vector<Placed>& placed) {
    std::vector<unsigned char> piece(kWriteSlots * kSlotSize);
    auto next = placed.begin();
    for (uint64_t first = 0; next != placed.end(); first += kWriteSlots) {
        const uint64_t count = std::min(kWriteSlots, TableSlots() - first);
        std::fill(piece.begin(), piece.end(), 0);
        bool any = false;
        for (; next != placed.end() && next->at < first + count; ++next) {
            EncodeSlot(next->slot, piece.data() + (next->at - first) * kSlotSize);
            any = true;
        }
        // The file was made at its size, all zero: an empty piece is already there.
        if (any && WriteFullyAt(fd_.Get(), piece.data(), count * kSlotSize,
                                kHeaderSize + first * kSlotSize) != 0) {
            return false;
        }
    }
    return true;
}

bool veldoran::JournalRangeIndex::CatchUp() {
    const uint64_t records = journal_->Records();
    full_ = false;
    bool inserted = true;
    const int32_t scanned =
        journal_->Scan(covered_, [&](uint64_t number, const JournalRecord& record) {
            inserted = Insert(record, number);
            return inserted;
        });
    if (full_) {
        return Rebuild();
    }
    if (scanned != kNoErr || !inserted) {
        return false;
    }
    covered_ = records;
    return WriteHeader();
}

bool veldoran::JournalRangeIndex::WriteHeader() {
    unsigned char header[kHeaderSize] = {};
    memcpy(header, Magic(), kMagicSize);
    memcpy(header + kMachineAt, journal_->Machine(), kJournalMachineSize);
    Put64(header + kCoveredAt, covered_);
    uint32_t lastChecksum = 0;
    if (!LastChecksum(covered_, &lastChecksum)) {
        return false;
    }
    Put32(header + kLastChecksumAt, lastChecksum);
    Put32(header + kBitsAt, bits_);
    Put64(header + kUsedAt, used_);
    Put32(header + kHeaderChecksumAt, JournalChecksum(header, kHeaderChecksumAt));
    return WriteFullyAt(fd_.Get(), header, sizeof header, 0) == 0;
}

bool veldoran::JournalRangeIndex::Insert(const JournalRecord& record, uint64_t number) {
    if (record.kind != kind_) {
        return true;
    }
    Slot slot{};
    memcpy(slot.fingerprint, record.fingerprint, kKeyFingerprintSize);
    slot.number = number;
    return EachGranule(record.Range(), [&](uint32_t granule) {
        slot.granule = granule;
        return InsertSlot(slot);
    });
}

bool veldoran::JournalRangeIndex::InsertSlot(const Slot& slot) {
    if ((used_ + 1) * 2 > (uint64_t{1} << bits_)) {
        full_ = true;
        return false;
    }
    bool present = false;
    uint64_t emptyAt = 0;
    const Probe probe = Walk(slot, &emptyAt, [&present, &slot](uint64_t number) {
        present = number == slot.number;
        return !present;
    });
    if (probe != Probe::kFound) {
        return false;
    }
    // A slot a run killed before its header was written is already there.
    if (present) {
        return true;
    }
    if (emptyAt == TableSlots()) {
        full_ = true;
        return false;
    }
    unsigned char bytes[kSlotSize];
    EncodeSlot(slot, bytes);
    if (WriteFullyAt(fd_.Get(), bytes, sizeof bytes, kHeaderSize + emptyAt * kSlotSize) != 0) {
        return false;
    }
    ++used_;
    return true;
}

veldoran::JournalRangeIndex::Probe veldoran::JournalRangeIndex::Find(
    const Slot& wanted, std::vector<uint64_t>* numbers) {
    uint64_t emptyAt = 0;
    return Walk(wanted, &emptyAt, [numbers](uint64_t number) {
        numbers->push_back(number);
        return true;
    });
}

template <class Visit>
veldoran::JournalRangeIndex::Probe veldoran::JournalRangeIndex::Walk(const Slot& wanted,
                                                                     uint64_t* emptyAt,
                                                                     Visit visit) {
    run_.resize(kRunSlots * kSlotSize);
    for (uint64_t at = Home(wanted); at < TableSlots();) {
        const uint64_t count = std::min(kRunSlots, TableSlots() - at);
        if (!ReadFullyAt(fd_.Get(), run_.data(), count * kSlotSize, kHeaderSize + at * kSlotSize)) {
            return Probe::kFailed;
        }
        for (uint64_t k = 0; k < count; ++k) {
            const unsigned char* bytes = run_.data() + k * kSlotSize;
            if (AllZero(bytes, kSlotSize)) {
                *emptyAt = at + k;
                return Probe::kFound;
            }
            const uint64_t stored = Get64(bytes + kSlotNumberAt);
            if (Get32(bytes + kSlotCheckAt) != Fnv1a(bytes, kSlotCheckAt) || stored == 0) {
                return Probe::kDamaged;
            }
            if (memcmp(bytes, wanted.fingerprint, kKeyFingerprintSize) == 0 &&
                Get32(bytes + kSlotGranuleAt) == wanted.granule && !visit(stored - 1)) {
                return Probe::kFound;
            }
        }
        at += count;
    }
    // The run goes on to the table's last slot: every slot of it was seen, and none is free.
    *emptyAt = TableSlots();
    return Probe::kFound;
}

uint64_t veldoran::JournalRangeIndex::Home(const Slot& slot) const {
    return Mix(Get64(slot.fingerprint) ^ Mix(Get64(slot.fingerprint + 8) ^ slot.granule)) >>
           (64 - bits_);
}

void veldoran::JournalRangeIndex::EncodeSlot(const Slot& slot, unsigned char* bytes) {
    memcpy(bytes, slot.fingerprint, kKeyFingerprintSize);
    Put32(bytes + kSlotGranuleAt, slot.granule);
    Put64(bytes + kSlotNumberAt, slot.number + 1);
    Put32(bytes + kSlotCheckAt, Fnv1a(bytes, kSlotCheckAt));
}

uint64_t veldoran::JournalRangeIndex::TableSlots() const {
    return (uint64_t{1} << bits_) + kSpareSlots;
}
