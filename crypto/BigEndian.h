// Big-endian numbers in the journal's and its index's bytes, where every number is stored most
// significant byte first.
#ifndef VELDORAN_CRYPTO_BIGENDIAN_H
#define VELDORAN_CRYPTO_BIGENDIAN_H

#include <stdint.h>

namespace veldoran {

inline void Put32(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

inline void Put64(unsigned char* at, uint64_t value) {
    Put32(at, static_cast<uint32_t>(value >> 32));
    Put32(at + 4, static_cast<uint32_t>(value));
}

inline uint32_t Get32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

inline uint64_t Get64(const unsigned char* at) {
    return static_cast<uint64_t>(Get32(at)) << 32 | Get32(at + 4);
}

}  // namespace veldoran

#endif
