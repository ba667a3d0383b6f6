// A key file opened, locked and checked for one encryption, its header rewritten on Commit or
// moved on purpose by MoveTo.
#include "crypto/LockedKeyFile.h"

#include <sys/stat.h>

#include <cassert>

#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypUtils.h"

namespace {

constexpr int32_t kLargestCount = 0x7FFFFFFF;

// The count after one more use: 0 once it passes the largest signed 32-bit value (and for a
// stored count that was already negative). Computed wide so that nothing overflows.
int32_t NextUseCount(int32_t useCount) {
    const int64_t next = static_cast<int64_t>(useCount) + 1;
    return next < 0 || next > kLargestCount ? 0 : static_cast<int32_t>(next);
}

// Where the next key stream begins after n bytes from start: start itself for n == 0 (even
// when it equals keyLen), otherwise (start + n) modulo keyLen.
int32_t AdvancedOffset(int32_t start, uint32_t n, int32_t keyLen) {
    if (n == 0) {
        return start;
    }
    const uint64_t advanced = static_cast<uint64_t>(start) + n;
    return static_cast<int32_t>(advanced % static_cast<uint64_t>(keyLen));
}

}  // namespace

veldoran::LockedKeyFile::~LockedKeyFile() {
    Kill();
}

int32_t veldoran::LockedKeyFile::InitCreate(TypUtils* theUtils, TypFileRef* theKeyFile) {
    utils_ = theUtils;
    keyFile_ = theKeyFile;
    return kNoErr;
}

int32_t veldoran::LockedKeyFile::Open(const veldoran::LockedKeyFile* held) {
    return OpenChecked(held, false);
}

int32_t veldoran::LockedKeyFile::OpenToMove(const veldoran::LockedKeyFile* held) {
    return OpenChecked(held, true);
}

int32_t veldoran::LockedKeyFile::OpenChecked(const veldoran::LockedKeyFile* held,
                                             bool positionMayBeDamaged) {
    assert(utils_ != nullptr && keyFile_ != nullptr && !open_);
    int32_t result = keyFile_->OpenDF(kOpenUpdate);
    if (result != kNoErr) {
        return result;
    }
    open_ = true;
    // A reference that can say what the file is and lock it is asked to; another kind of
    // reference is taken as it is, without locking.
    veldoran::FileControl* control = keyFile_->Control();
    uint64_t fileSize = 0;
    bool sizeKnown = false;
    if (control != nullptr) {
        struct stat info {};
        result = control->GetInfo(&info);
        // A device or anything else that is not a plain file holds no key: its "material"
        // would be whatever it yields, and a rewrite of its header could not be trusted.
        if (result == kNoErr && !S_ISREG(info.st_mode)) {
            result = kOtherErr;
        }
        if (result == kNoErr) {
            hasIdentity_ = true;
            device_ = info.st_dev;
            inode_ = info.st_ino;
            fileSize = static_cast<uint64_t>(info.st_size);
            sizeKnown = true;
        }
        if (result == kNoErr && held != nullptr && held->hasIdentity_ && held->device_ == device_ &&
            held->inode_ == inode_) {
            result = kOtherErr;
        }
        if (result == kNoErr) {
            result = control->Lock(1);
        }
    }
    if (result == kNoErr) {
        result = keyFile_->SetFilePos(0);
    }
    if (result == kNoErr) {
        result = keyFile_->Read(reinterpret_cast<unsigned char*>(&header_), kKeyHeaderSize);
    }
    if (result == kNoErr) {
        veldoran::SwapHeaderNumbers(utils_, &header_);
        start_ = header_.keyOffset;
        recordedCount_ = NextUseCount(header_.useCount);
        if (header_.version != kVersion) {
            // Frames made with it could never be decrypted, yet its key material would be spent.
            result = kBadKeyHeader;
        } else if (header_.keyLen < 1 ||
                   (!positionMayBeDamaged &&
                    (header_.keyOffset < 0 || header_.keyOffset > header_.keyLen))) {
            result = kOffsetOutOfRangeErr;
        }
    }
    if (result == kNoErr && !sizeKnown) {
        int32_t length = 0;
        result = keyFile_->GetLength(&length);
        fileSize = length < 0 ? 0 : static_cast<uint64_t>(length);
    }
    // A truncated copy of a key is refused here rather than found out halfway through a
    // message.
    if (result == kNoErr && fileSize < uint64_t{kKeyHeaderSize} + uint64_t(header_.keyLen)) {
        result = kOtherErr;
    }
    if (result != kNoErr) {
        Close();
    }
    return result;
}

void veldoran::LockedKeyFile::FrameHeader(unsigned char* destination) const {
    assert(utils_ != nullptr);
    TypKeyHeader recorded = header_;
    recorded.keyOffset = start_;
    recorded.useCount = recordedCount_;
    veldoran::SwapHeaderNumbers(utils_, &recorded);
    utils_->MyBlockMove(&recorded, destination, kKeyHeaderSize);
}

TypKeyHeader veldoran::LockedKeyFile::CommittedHeader(uint32_t n) const {
    TypKeyHeader advanced = header_;
    advanced.keyOffset = AdvancedOffset(start_, n, header_.keyLen);
    advanced.useCount = recordedCount_;
    return advanced;
}

int32_t veldoran::LockedKeyFile::Commit(uint32_t n) {
    // The new position must be on stable storage before any frame made from the old one can
    // leave: after a crash the key file never points at used key material.
    const int32_t result = Rewrite(n);
    return result == kNoErr ? SyncHeader() : result;
}

int32_t veldoran::LockedKeyFile::Rewrite(uint32_t n) {
    assert(open_);
    return WriteHeader(CommittedHeader(n));
}

int32_t veldoran::LockedKeyFile::MoveTo(uint32_t offset, int32_t useCount) {
    assert(open_);
    if (offset > static_cast<uint32_t>(header_.keyLen)) {
        return kOffsetOutOfRangeErr;
    }
    TypKeyHeader moved = header_;
    moved.keyOffset = static_cast<int32_t>(offset);
    moved.useCount = useCount;
    start_ = moved.keyOffset;
    recordedCount_ = NextUseCount(moved.useCount);
    const int32_t result = WriteHeader(moved);
    return result == kNoErr ? SyncHeader() : result;
}

int32_t veldoran::LockedKeyFile::SyncHeader() {
    veldoran::FileControl* control = keyFile_->Control();
    return control != nullptr ? control->Sync() : kNoErr;
}

int32_t veldoran::LockedKeyFile::WriteHeader(const TypKeyHeader& header) {
    TypKeyHeader stored = header;
    veldoran::SwapHeaderNumbers(utils_, &stored);
    int32_t result = keyFile_->SetFilePos(0);
    if (result == kNoErr) {
        result = keyFile_->Write(reinterpret_cast<const unsigned char*>(&stored), kKeyHeaderSize);
    }
    // Positioning hands a buffered rewrite over to the system, so that the header is rewritten
    // in the file before anything of the run is synced beside it, not only when its own sync
    // comes to flush it.
    if (result == kNoErr) {
        result = keyFile_->SetFilePos(0);
    }
    header_ = header;
    return result;
}

int32_t veldoran::LockedKeyFile::SyncRewrite() {
    assert(open_);
    veldoran::FileControl* control = keyFile_->Control();
    return control != nullptr ? control->SyncData() : kNoErr;
}

int32_t veldoran::LockedKeyFile::Close() {
    if (!open_) {
        return kNoErr;
    }
    open_ = false;
    return keyFile_->CloseDF();
}

int32_t veldoran::LockedKeyFile::Kill() {
    Close();
    return kNoErr;
}
