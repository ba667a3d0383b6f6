// Both key layers over a message in chunks, one pass per chunk.
#include "pipelines/TwoKeyStream.h"

#include <cstring>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypCrypto.h"
#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypUtils.h"

namespace veldoran {

FrameKey::~FrameKey() {
    if (keyFile_ != nullptr) {
        if (open_) {
            keyFile_->CloseDF();
        }
        keyFile_->Kill();
        delete keyFile_;
    }
}

int32_t FrameKey::Open(TypUtils* utils, TypCrypto* crypto, const unsigned char* frameHeader) {
    TypKeyHeader header;
    memcpy(&header, frameHeader, kKeyHeaderSize);
    crypto->ConvertHeaderForLocalOS(&header);
    if (header.version != kVersion) {
        return kBadKeyHeader;
    }
    keyFile_ = utils->GetKeyFileRef(&header);
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
    crypto->ConvertHeaderForLocalOS(&keyHeader);
    const auto start = static_cast<uint32_t>(header.keyOffset);
    if (keyHeader.keyLen < 1 || start > static_cast<uint32_t>(keyHeader.keyLen)) {
        return kOffsetOutOfRangeErr;
    }
    source_ = {keyFile_, static_cast<uint32_t>(keyHeader.keyLen), start};
    return kNoErr;
}

int32_t TwoKeyStream::Open(const KeyStreamSource& master, const KeyStreamSource& user,
                           uint64_t messageLength, uint32_t window) {
    int32_t result =
        master_.Open(master.keyFile, master.keyLen, master.start, messageLength, window);
    if (result == kNoErr) {
        result = user_.Open(user.keyFile, user.keyLen, user.start, messageLength + kKeyHeaderSize,
                            window);
    }
    return result;
}

int32_t TwoKeyStream::OpenUser(const KeyStreamSource& user, uint64_t messageLength,
                               uint32_t window) {
    return user_.Open(user.keyFile, user.keyLen, user.start, messageLength + kKeyHeaderSize,
                      window);
}

int32_t TwoKeyStream::OpenMaster(const KeyStreamSource& master, uint64_t messageLength,
                                 uint32_t window) {
    return master_.Open(master.keyFile, master.keyLen, master.start, messageLength, window);
}

int32_t TwoKeyStream::CoverInnerHeader(unsigned char* innerHeader) {
    const unsigned char* stream = nullptr;
    const int32_t result = user_.Fetch(0, kKeyHeaderSize, &stream);
    if (result == kNoErr) {
        keystream::XorInPlace(innerHeader, stream, kKeyHeaderSize);
    }
    return result;
}

int32_t TwoKeyStream::Layer(unsigned char* data, uint32_t count, uint64_t position) {
    const unsigned char* master = nullptr;
    const unsigned char* user = nullptr;
    int32_t result = master_.Fetch(position, count, &master);
    if (result == kNoErr) {
        result = user_.Fetch(kKeyHeaderSize + position, count, &user);
    }
    if (result == kNoErr) {
        keystream::XorTwoInPlace(data, master, user, count);
    }
    return result;
}

}  // namespace veldoran
