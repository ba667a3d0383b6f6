// Finding and checking the key file a frame names.
#include "crypto/FrameKeyFile.h"

#include <cstring>

#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypUtils.h"

namespace veldoran {

namespace {

// The bytes a length field covers in its field, bounded to the field.
size_t Covered(int32_t length, int32_t field) {
    if (length < 0) {
        return 0;
    }
    return static_cast<size_t>(length < field ? length : field);
}

}  // namespace

bool SameKey(const TypKeyHeader& first, const TypKeyHeader& second) {
    return first.version == second.version && first.year == second.year &&
           first.idLen == second.idLen &&
           memcmp(first.id, second.id, Covered(first.idLen, kLenMaxID)) == 0 &&
           first.nameLen == second.nameLen &&
           memcmp(first.name, second.name, Covered(first.nameLen, kLenMaxName)) == 0;
}

FrameKeyFile::~FrameKeyFile() {
    if (keyFile_ != nullptr) {
        if (open_) {
            keyFile_->CloseDF();
        }
        keyFile_->Kill();
        delete keyFile_;
    }
}

int32_t FrameKeyFile::Open(TypUtils* utils, const TypKeyHeader& frameHeader) {
    if (frameHeader.version != kVersion) {
        return kBadKeyHeader;
    }
    const size_t nameLength =
        frameHeader.nameLen < 0 ? 0 : static_cast<size_t>(frameHeader.nameLen);
    if (CheckKeyName(frameHeader.name, nameLength) != KeyNameFault::kNone) {
        return KeyNotFoundErr;
    }
    // GetKeyFileRef bounds the lengths in the record it is given; the frame's stays as it is.
    TypKeyHeader naming = frameHeader;
    keyFile_ = utils->GetKeyFileRef(&naming);
    if (keyFile_ == nullptr || keyFile_->Exists() != kNoErr) {
        return KeyNotFoundErr;
    }
    int32_t result = keyFile_->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    open_ = true;
    TypKeyHeader keyHeader;
    result = keyFile_->SetFilePos(0);
    if (result == kNoErr) {
        result = keyFile_->Read(reinterpret_cast<unsigned char*>(&keyHeader), kKeyHeaderSize);
    }
    if (result != kNoErr) {
        return result;
    }
    SwapHeaderNumbers(utils, &keyHeader);
    if (!SameKey(keyHeader, frameHeader)) {
        return KeyNotFoundErr;
    }
    const auto start = static_cast<uint32_t>(frameHeader.keyOffset);
    if (keyHeader.keyLen < 1 || start > static_cast<uint32_t>(keyHeader.keyLen)) {
        return kOffsetOutOfRangeErr;
    }
    keyLen_ = static_cast<uint32_t>(keyHeader.keyLen);
    start_ = start;
    return kNoErr;
}

}  // namespace veldoran
