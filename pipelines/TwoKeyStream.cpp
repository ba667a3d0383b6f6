// Both key layers over a message in chunks, one pass per chunk.
#include "pipelines/TwoKeyStream.h"

#include "crypto/KeyStreamXor.h"
#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"

namespace veldoran {

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
