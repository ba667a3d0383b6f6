// A key file opened, locked and checked for one encryption, its header rewritten on Commit.
#include "crypto/TypLockedKeyFile.h"

#include <sys/stat.h>

#include <cassert>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypCrypto.h"
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

TypLockedKeyFile::~TypLockedKeyFile() {
    Kill();
}

int32_t TypLockedKeyFile::InitCreate(TypCrypto* theCrypto, TypFileRef* theKeyFile) {
    crypto_ = theCrypto;
    keyFile_ = theKeyFile;
    return kNoErr;
}

int32_t TypLockedKeyFile::Open(const TypLockedKeyFile* held) {
    assert(crypto_ != nullptr && keyFile_ != nullptr && !open_);
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
        crypto_->ConvertHeaderForLocalOS(&header_);
        start_ = header_.keyOffset;
        recordedCount_ = NextUseCount(header_.useCount);
        if (header_.version != kVersion) {
            // Frames made with it could never be decrypted, yet its key material would be spent.
            result = kBadKeyHeader;
        } else if (header_.keyLen < 1 || header_.keyOffset < 0 ||
                   header_.keyOffset > header_.keyLen) {
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

int32_t TypLockedKeyFile::ReadMaterial(unsigned char* destination, uint32_t first, uint32_t count) {
    if (count == 0) {
        return kNoErr;
    }
    const int32_t result = keyFile_->SetFilePos(kKeyHeaderSize + first);
    return result == kNoErr ? keyFile_->Read(destination, count) : result;
}

int32_t TypLockedKeyFile::ReadPeriod(unsigned char* stream, uint32_t n, uint32_t* period) {
    assert(open_);
    *period = 0;
    // Key material is read at most once, in at most two reads: the run to the end of the
    // material and the run from its start.
    const auto keyLen = static_cast<uint32_t>(header_.keyLen);
    const uint32_t first = static_cast<uint32_t>(start_) % keyLen;
    const uint32_t material = n < keyLen ? n : keyLen;
    const uint32_t toEnd = keyLen - first < material ? keyLen - first : material;
    int32_t result = ReadMaterial(stream, first, toEnd);
    if (result == kNoErr) {
        result = ReadMaterial(stream + toEnd, 0, material - toEnd);
    }
    if (result == kNoErr) {
        *period = material;
    }
    return result;
}

int32_t TypLockedKeyFile::XorStream(unsigned char* data, uint32_t n, unsigned char* scratch,
                                    uint32_t scratchSize) {
    assert(open_ && scratchSize > 0);
    const auto keyLen = static_cast<uint32_t>(header_.keyLen);
    if ((n < keyLen ? n : keyLen) <= scratchSize) {
        // The whole period fits: read once, repeat in memory.
        uint32_t period = 0;
        const int32_t result = ReadPeriod(scratch, n, &period);
        if (result == kNoErr) {
            keystream::XorRepeatedKeyInPlace(data, n, scratch, period);
        }
        return result;
    }
    // A long key: the stream passes through scratch in pieces, each read once.
    uint32_t position = static_cast<uint32_t>(start_) % keyLen;
    for (uint32_t done = 0; done < n;) {
        uint32_t count = n - done < scratchSize ? n - done : scratchSize;
        if (count > keyLen - position) {
            count = keyLen - position;
        }
        const int32_t result = ReadMaterial(scratch, position, count);
        if (result != kNoErr) {
            return result;
        }
        keystream::XorInPlace(data + done, scratch, count);
        done += count;
        position = position + count == keyLen ? 0 : position + count;
    }
    return kNoErr;
}

void TypLockedKeyFile::FrameHeader(unsigned char* destination) const {
    assert(crypto_ != nullptr);
    TypKeyHeader recorded = header_;
    recorded.keyOffset = start_;
    recorded.useCount = recordedCount_;
    crypto_->ConvertHeaderToStandard(&recorded);
    crypto_->utils->MyBlockMove(&recorded, destination, kKeyHeaderSize);
}

TypKeyHeader TypLockedKeyFile::CommittedHeader(uint32_t n) const {
    TypKeyHeader advanced = header_;
    advanced.keyOffset = AdvancedOffset(start_, n, header_.keyLen);
    advanced.useCount = recordedCount_;
    return advanced;
}

int32_t TypLockedKeyFile::Commit(uint32_t n) {
    assert(open_);
    const TypKeyHeader advanced = CommittedHeader(n);
    TypKeyHeader stored = advanced;
    crypto_->ConvertHeaderToStandard(&stored);
    int32_t result = keyFile_->SetFilePos(0);
    if (result == kNoErr) {
        result = keyFile_->Write(reinterpret_cast<const unsigned char*>(&stored), kKeyHeaderSize);
    }
    // The new position must be on stable storage before any frame made from the old one can
    // leave: after a crash the key file never points at used key material.
    veldoran::FileControl* control = keyFile_->Control();
    if (result == kNoErr && control != nullptr) {
        result = control->Sync();
    }
    header_ = advanced;
    return result;
}

int32_t TypLockedKeyFile::Close() {
    if (!open_) {
        return kNoErr;
    }
    open_ = false;
    return keyFile_->CloseDF();
}

int32_t TypLockedKeyFile::Kill() {
    Close();
    return kNoErr;
}
