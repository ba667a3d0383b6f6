// Both key layers over a message in chunks, one pass per chunk.
#include "pipelines/TwoKeyStream.h"

#include <sys/stat.h>

#include <cstring>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypCrypto.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtils.h"

namespace veldoran {

int32_t FrameKey::Open(TypUtils* utils, TypCrypto* crypto, const unsigned char* frameHeader) {
    TypKeyHeader header;
    memcpy(&header, frameHeader, kKeyHeaderSize);
    crypto->ConvertHeaderForLocalOS(&header);
    const int32_t result = keyFile_.Open(utils, crypto, header);
    if (result == kNoErr) {
        open_ = true;
        source_ = {keyFile_.KeyFile(), keyFile_.KeyLen(), keyFile_.Start()};
    }
    return result;
}

bool FrameKey::Names(const char* path) const {
    const auto* keyFile = dynamic_cast<const TypFileRefUnix*>(keyFile_.KeyFile());
    struct stat key {};
    return keyFile != nullptr && open_ && keyFile->GetInfo(&key) == kNoErr &&
           NamesKeyFile(path, keyFile->path, key);
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
