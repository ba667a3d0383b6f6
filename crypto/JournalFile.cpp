// The key journal's file: opened and locked, appended to, scanned, and the index that finds
// each key's last record.
#include "crypto/JournalFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "crypto/BigEndian.h"
#include "crypto/JournalRangeIndex.h"
#include "platform/DurableSteps.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"

namespace {

constexpr char kJournalMagic[] = "VELDORAN-JOURNAL";
constexpr char kIndexMagic[] = "VELDORAN-JINDEX1";
constexpr size_t kMagicSize = 16;
constexpr uint32_t kJournalVersion = 1;
// Records read at once by a scan.
constexpr uint32_t kScanChunk = 512;
// The journal header's fields.
constexpr size_t kVersionAt = 16;
constexpr size_t kRecordSizeAt = 20;
constexpr size_t kJournalMachineAt = 24;
// The last-record index's fields, and its entries'.
constexpr size_t kIndexCoveredAt = 16;
constexpr size_t kIndexLastChecksumAt = 24;
constexpr size_t kIndexMachineAt = 32;
constexpr size_t kIndexHeaderSize = 48;
constexpr size_t kIndexNumberAt = veldoran::kKeyFingerprintSize;
constexpr size_t kIndexEntrySize = veldoran::kKeyFingerprintSize + 8;
constexpr size_t kIndexChecksumSize = 4;

// count bytes at offset; false with errno set when they cannot all be written.
bool WriteAt(int fd, const unsigned char* buffer, size_t count, uint64_t offset) {
    const int error = veldoran::WriteFullyAt(fd, buffer, count, offset);
    errno = error != 0 ? error : errno;
    return error == 0;
}

using veldoran::Get32;
using veldoran::Get64;
using veldoran::Put32;
using veldoran::Put64;

}  // namespace

veldoran::JournalFile::JournalFile() = default;
veldoran::JournalFile::~JournalFile() = default;

int32_t veldoran::JournalFile::Refuse(const std::string& words) {
    problem_ = path_ + ": " + words;
    return kOtherErr;
}

int32_t veldoran::JournalFile::Open(const std::string& path, bool forWriting) {
    path_ = path;
    forWriting_ = forWriting;
    reads_.reset();
    sent_.reset();
    // Never followed: a link could lead the records anywhere; never waited on: a FIFO holds no
    // journal.
    const int flags =
        (forWriting ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd_.Reset(open(path.c_str(), flags, 0600));
    if (!fd_.IsOpen()) {
        const int error = errno;
        NoteFailure(path.c_str(), kVeldoranStepOpen, error);
        if (error == ELOOP) {
            return Refuse("the key journal is a symbolic link; it is never followed");
        }
        return Refuse(std::string("the key journal cannot be opened: ") + strerror(error));
    }
    struct stat info {};
    if (fstat(fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return Refuse("the key journal is not a regular file");
    }
    while (flock(fd_.Get(), forWriting ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            NoteFailure(path.c_str(), kVeldoranStepLock, errno);
            return Refuse(std::string("the key journal cannot be locked: ") + strerror(errno));
        }
    }
    // Another run may have made it or added to it while this one waited for the lock.
    if (fstat(fd_.Get(), &info) != 0) {
        return Refuse("the key journal cannot be read");
    }
    fileSize_ = static_cast<uint64_t>(info.st_size);
    const int32_t result = ReadHeader(forWriting);
    return result == kNoErr ? FindSoundEnd() : result;
}

int32_t veldoran::JournalFile::ReadHeader(bool forWriting) {
    unsigned char header[kJournalRecordSize] = {};
    if (fileSize_ == 0 && forWriting) {
        memcpy(header, kJournalMagic, kMagicSize);
        Put32(header + kVersionAt, kJournalVersion);
        Put32(header + kRecordSizeAt, veldoran::kJournalRecordSize);
        if (getrandom(header + kJournalMachineAt, veldoran::kJournalMachineSize, 0) !=
            static_cast<ssize_t>(kJournalMachineSize)) {
            return Refuse("the system's random source failed");
        }
        Put32(header + veldoran::kJournalChecksumAt,
              veldoran::JournalChecksum(header, veldoran::kJournalChecksumAt));
        if (!WriteAt(fd_.Get(), header, sizeof header, 0) || fsync(fd_.Get()) != 0) {
            const int error = errno;
            if (ftruncate(fd_.Get(), 0) != 0) {
                // Left short: the next run refuses it as no journal, which is what it is.
            }
            return Refuse(std::string("the key journal cannot be written: ") + strerror(error));
        }
        // A journal just made survives a crash only with its folder; a failure here loses no
        // record, so it is not one.
        veldoran::SyncFolderOf(path_);
        fileSize_ = sizeof header;
    } else if (fileSize_ < sizeof header ||
               !veldoran::ReadFullyAt(fd_.Get(), header, sizeof header, 0)) {
        return Refuse("not a key journal (too short for its header)");
    }
    if (memcmp(header, kJournalMagic, kMagicSize) != 0 ||
        Get32(header + veldoran::kJournalChecksumAt) !=
            veldoran::JournalChecksum(header, veldoran::kJournalChecksumAt)) {
        return Refuse("not a key journal");
    }
    if (Get32(header + kVersionAt) != kJournalVersion ||
        Get32(header + kRecordSizeAt) != veldoran::kJournalRecordSize) {
        return Refuse("a key journal of another version");
    }
    memcpy(machine_, header + kJournalMachineAt, kJournalMachineSize);
    return kNoErr;
}

int32_t veldoran::JournalFile::FindSoundEnd() {
    const uint64_t whole = (fileSize_ - kJournalRecordSize) / kJournalRecordSize;
    soundEnd_ = kJournalRecordSize + whole * kJournalRecordSize;
    if (whole > 0) {
        unsigned char bytes[kJournalRecordSize];
        JournalRecord record;
        if (!veldoran::ReadFullyAt(fd_.Get(), bytes, sizeof bytes,
                                   soundEnd_ - kJournalRecordSize)) {
            return Refuse("the key journal cannot be read");
        }
        if (!DecodeJournalRecord(bytes, &record)) {
            soundEnd_ -= kJournalRecordSize;
        }
    }
    return kNoErr;
}

int32_t veldoran::JournalFile::Record(uint64_t number, JournalRecord* record) {
    unsigned char bytes[kJournalRecordSize];
    if (!veldoran::ReadFullyAt(fd_.Get(), bytes, sizeof bytes,
                               kJournalRecordSize + number * kJournalRecordSize)) {
        return Refuse("the key journal cannot be read");
    }
    if (!DecodeJournalRecord(bytes, record)) {
        return Refuse("record " + std::to_string(number) + " of the key journal is damaged");
    }
    return kNoErr;
}

int32_t veldoran::JournalFile::Scan(uint64_t first, const Visitor& visit) {
    std::vector<unsigned char> chunk(kScanChunk * kJournalRecordSize);
    const uint64_t records = Records();
    for (uint64_t number = first; number < records;) {
        const uint64_t count =
            records - number < kScanChunk ? records - number : uint64_t{kScanChunk};
        if (!veldoran::ReadFullyAt(fd_.Get(), chunk.data(), count * kJournalRecordSize,
                                   kJournalRecordSize + number * kJournalRecordSize)) {
            return Refuse("the key journal cannot be read");
        }
        for (uint64_t k = 0; k < count; ++k, ++number) {
            JournalRecord record;
            if (!DecodeJournalRecord(chunk.data() + k * kJournalRecordSize, &record)) {
                return Refuse("record " + std::to_string(number) +
                              " of the key journal is damaged");
            }
            if (!visit(number, record)) {
                return kNoErr;
            }
        }
    }
    return kNoErr;
}

int32_t veldoran::JournalFile::Reads(const unsigned char* fingerprint, const KeyRange& range,
                                     const Visitor& visit) {
    return RangeIndex(kJournalRead)->Records(fingerprint, range, visit);
}

int32_t veldoran::JournalFile::Sent(const unsigned char* fingerprint, const KeyRange& range,
                                    const Visitor& visit) {
    return RangeIndex(kJournalSent)->Records(fingerprint, range, visit);
}

int32_t veldoran::JournalFile::SentBytes(const unsigned char* fingerprint, const KeyRange& range,
                                         uint64_t* bytes) {
    *bytes = 0;
    KeyPiece wanted[KeyRange::kMostPieces];
    const int count = range.Pieces(wanted);
    std::vector<KeyPiece> shared;
    const int32_t result = Sent(fingerprint, range, [&](uint64_t, const JournalRecord& record) {
        KeyPiece pieces[KeyRange::kMostPieces];
        const int found = record.Range().Pieces(pieces);
        for (int w = 0; w < count; ++w) {
            for (int p = 0; p < found; ++p) {
                const KeyPiece both{std::max(wanted[w].first, pieces[p].first),
                                    std::min(wanted[w].end, pieces[p].end)};
                if (both.first < both.end) {
                    shared.push_back(both);
                }
            }
        }
        return true;
    });
    std::sort(shared.begin(), shared.end(),
              [](const KeyPiece& a, const KeyPiece& b) { return a.first < b.first; });
    uint64_t reached = 0;
    for (const KeyPiece& piece : shared) {
        const uint64_t from = std::max(piece.first, reached);
        *bytes += piece.end > from ? piece.end - from : 0;
        reached = std::max(reached, piece.end);
    }
    return result;
}

veldoran::JournalRangeIndex* veldoran::JournalFile::RangeIndex(JournalKind kind) {
    std::unique_ptr<JournalRangeIndex>& index = kind == kJournalRead ? reads_ : sent_;
    if (!index) {
        index.reset(new JournalRangeIndex(this, path_ + (kind == kJournalRead ? ".reads" : ".sent"),
                                          forWriting_, kind));
    }
    return index.get();
}
int32_t veldoran::JournalFile::OpenIndex(const std::string& path, bool forWriting, Descriptor* fd) {
    const int flags =
        (forWriting ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd->Reset(open(path.c_str(), flags, 0600));
    const int error = fd->IsOpen() ? 0 : errno;
    struct stat info {};
    const bool regular = fd->IsOpen() && fstat(fd->Get(), &info) == 0 && S_ISREG(info.st_mode);
    if (regular || (error != 0 && error != ELOOP && error != EISDIR && error != ENXIO)) {
        return kNoErr;
    }
    fd->Reset(-1);
    problem_ = path + ": " +
               (error == ELOOP ? "the key journal's index is a symbolic link; it is never followed"
                               : "the key journal's index is not a regular file") +
               "; remove it and it is made again";
    return kOtherErr;
}

void veldoran::JournalFile::Remember(const JournalRecord& record, uint64_t number) {
    if (record.kind == kJournalRead) {
        return;
    }
    const auto place =
        std::lower_bound(index_.begin(), index_.end(), record.fingerprint,
                         [](const IndexEntry& entry, const unsigned char* fingerprint) {
                             return memcmp(entry.fingerprint, fingerprint, kKeyFingerprintSize) < 0;
                         });
    if (place != index_.end() &&
        memcmp(place->fingerprint, record.fingerprint, kKeyFingerprintSize) == 0) {
        place->number = number;
        return;
    }
    IndexEntry entry{};
    memcpy(entry.fingerprint, record.fingerprint, kKeyFingerprintSize);
    entry.number = number;
    index_.insert(place, entry);
}

int32_t veldoran::JournalFile::LoadIndex(bool useSaved) {
    if (indexLoaded_) {
        return kNoErr;
    }
    if (OpenIndex(path_ + ".index", forWriting_, &indexFd_) != kNoErr) {
        return kOtherErr;
    }
    const uint64_t covered = useSaved ? ReadSavedIndex() : 0;
    if (covered == 0) {
        index_.clear();
    }
    const int32_t result = Scan(covered, [this](uint64_t number, const JournalRecord& record) {
        Remember(record, number);
        return true;
    });
    if (result != kNoErr) {
        index_.clear();
        return result;
    }
    indexLoaded_ = true;
    if (covered != Records()) {
        SaveIndex();
    }
    return kNoErr;
}

uint64_t veldoran::JournalFile::ReadSavedIndex() {
    // The index as saved: its header, its entries in fingerprint order, a checksum over both.
    // Whatever does not match the journal as it stands is thrown away and made again from the
    // records; the record at the index's point must be sound as well as the one it saw, or a
    // record damaged since would pass unread.
    const int fd = indexFd_.Get();
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 ||
        static_cast<uint64_t>(info.st_size) < kIndexHeaderSize + kIndexChecksumSize ||
        (static_cast<uint64_t>(info.st_size) - kIndexHeaderSize - kIndexChecksumSize) %
                kIndexEntrySize !=
            0) {
        return 0;
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(info.st_size));
    const size_t body = bytes.size() - kIndexChecksumSize;
    if (!veldoran::ReadFullyAt(fd, bytes.data(), bytes.size(), 0) ||
        memcmp(bytes.data(), kIndexMagic, kMagicSize) != 0 ||
        memcmp(bytes.data() + kIndexMachineAt, machine_, kJournalMachineSize) != 0 ||
        Get32(bytes.data() + body) != veldoran::JournalChecksum(bytes.data(), body)) {
        return 0;
    }
    const uint64_t covered = Get64(bytes.data() + kIndexCoveredAt);
    JournalRecord last;
    if (covered > Records() || (covered > 0 && (Record(covered - 1, &last) != kNoErr ||
                                                JournalRecordChecksum(last) !=
                                                    Get32(bytes.data() + kIndexLastChecksumAt)))) {
        return 0;
    }
    index_.clear();
    for (size_t at = kIndexHeaderSize; at < body; at += kIndexEntrySize) {
        IndexEntry entry{};
        memcpy(entry.fingerprint, bytes.data() + at, kKeyFingerprintSize);
        entry.number = Get64(bytes.data() + at + kIndexNumberAt);
        if (entry.number >= covered ||
            (!index_.empty() &&
             memcmp(index_.back().fingerprint, entry.fingerprint, kKeyFingerprintSize) >= 0)) {
            index_.clear();
            return 0;
        }
        index_.push_back(entry);
    }
    return covered;
}

void veldoran::JournalFile::SaveIndex() {
    // A cache: when it cannot be written, the next run reads the records again.
    std::vector<unsigned char> bytes(kIndexHeaderSize + index_.size() * kIndexEntrySize +
                                     kIndexChecksumSize);
    memcpy(bytes.data(), kIndexMagic, kMagicSize);
    Put64(bytes.data() + kIndexCoveredAt, Records());
    if (Records() > 0) {
        unsigned char last[kJournalRecordSize];
        if (!veldoran::ReadFullyAt(fd_.Get(), last, sizeof last, soundEnd_ - kJournalRecordSize)) {
            return;
        }
        memcpy(bytes.data() + kIndexLastChecksumAt, last + veldoran::kJournalChecksumAt, 4);
    }
    memcpy(bytes.data() + kIndexMachineAt, machine_, kJournalMachineSize);
    size_t at = kIndexHeaderSize;
    for (const IndexEntry& entry : index_) {
        memcpy(bytes.data() + at, entry.fingerprint, kKeyFingerprintSize);
        Put64(bytes.data() + at + kIndexNumberAt, entry.number);
        at += kIndexEntrySize;
    }
    Put32(bytes.data() + at, veldoran::JournalChecksum(bytes.data(), at));
    // Written over in place: an index cut short by a kill fails its checksum and is rebuilt
    // from the journal, so no temporary file is needed that a kill could leave behind.
    const int fd = indexFd_.Get();
    if (fd < 0 || !forWriting_) {
        return;
    }
    // A write or a shortening that fails leaves an index whose checksum fails: only slower.
    if (WriteAt(fd, bytes.data(), bytes.size(), 0)) {
        const int shortened = ftruncate(fd, static_cast<off_t>(bytes.size()));
        static_cast<void>(shortened);
    }
}

int32_t veldoran::JournalFile::Last(const unsigned char* fingerprint, JournalRecord* record,
                                    bool* found) {
    return Look(fingerprint, record, found, true);
}

int32_t veldoran::JournalFile::Look(const unsigned char* fingerprint, JournalRecord* record,
                                    bool* found, bool fromSaved) {
    *found = false;
    const int32_t result = LoadIndex(fromSaved);
    if (result != kNoErr) {
        return result;
    }
    const auto place =
        std::lower_bound(index_.begin(), index_.end(), fingerprint,
                         [](const IndexEntry& entry, const unsigned char* wanted) {
                             return memcmp(entry.fingerprint, wanted, kKeyFingerprintSize) < 0;
                         });
    if (place == index_.end() ||
        memcmp(place->fingerprint, fingerprint, kKeyFingerprintSize) != 0) {
        return kNoErr;
    }
    if (Record(place->number, record) != kNoErr) {
        return kOtherErr;
    }
    // An entry that names a record of another key, or a read, is no index of this journal: it
    // is made again from the records, which the scan checks one by one.
    if (memcmp(record->fingerprint, fingerprint, kKeyFingerprintSize) != 0 ||
        record->kind == kJournalRead) {
        if (!fromSaved) {
            return Refuse("the key journal's index does not match its records");
        }
        indexLoaded_ = false;
        return Look(fingerprint, record, found, false);
    }
    *found = true;
    return kNoErr;
}

int32_t veldoran::JournalFile::Append(JournalRecord* records, uint32_t count, Mode mode) {
    int32_t result = LoadIndex(true);
    if (result != kNoErr) {
        return result;
    }
    if (fileSize_ > soundEnd_) {
        if (ftruncate(fd_.Get(), static_cast<off_t>(soundEnd_)) != 0) {
            return Refuse(std::string("the key journal cannot be written: ") + strerror(errno));
        }
        fileSize_ = soundEnd_;
    }
    const uint64_t first = Records();
    const auto now = static_cast<uint64_t>(time(nullptr));
    std::vector<unsigned char> bytes(static_cast<size_t>(count) * kJournalRecordSize);
    for (uint32_t k = 0; k < count; ++k) {
        if (mode != Mode::kOthers) {
            memcpy(records[k].machine, machine_, kJournalMachineSize);
            records[k].sequence = first + k;
            if (records[k].time == 0) {
                records[k].time = now;
            }
        }
        EncodeJournalRecord(records[k], bytes.data() + static_cast<size_t>(k) * kJournalRecordSize);
    }
    if (!WriteAt(fd_.Get(), bytes.data(), bytes.size(), soundEnd_) ||
        (mode != Mode::kOwnUnsynced && fdatasync(fd_.Get()) != 0)) {
        const int error = errno;
        // Whatever got there is not a record that was made: gone, so that the next run does
        // not take a cut or unsynced record for a use.
        if (ftruncate(fd_.Get(), static_cast<off_t>(soundEnd_)) != 0) {
            // A cut record left behind is taken as a missing tail by the next run.
        }
        NoteFailure(path_.c_str(), kVeldoranStepWrite, error);
        return Refuse(std::string("the key journal cannot be written: ") + strerror(error));
    }
    soundEnd_ += bytes.size();
    fileSize_ = soundEnd_;
    for (uint32_t k = 0; k < count; ++k) {
        Remember(records[k], first + k);
    }
    SaveIndex();
    if (reads_) {
        reads_->Appended();
    }
    // Looked up only when a key header is out of step, the sent index is kept in step at every
    // append, so that the look-up never waits on the whole journal.
    RangeIndex(kJournalSent)->Appended(true);
    return kNoErr;
}
