// XOR of data with key stream windows (crypto/KeyStreamWindow.h): the inner loops of every
// encryption layer. Plain byte loops over restrict pointers, which the compiler turns
// into wide vector code.
#ifndef VELDORAN_CRYPTO_KEYSTREAMXOR_H
#define VELDORAN_CRYPTO_KEYSTREAMXOR_H

#include <stdint.h>

namespace keystream {

inline void XorInPlace(unsigned char* __restrict target, const unsigned char* __restrict source,
                       uint32_t count) {
    for (uint32_t j = 0; j < count; ++j) {
        target[j] ^= source[j];
    }
}

inline void XorInto(unsigned char* __restrict target, const unsigned char* __restrict left,
                    const unsigned char* __restrict right, uint32_t count) {
    for (uint32_t j = 0; j < count; ++j) {
        target[j] = left[j] ^ right[j];
    }
}

// Both layers at once: target[j] ^= first[j] ^ second[j].
inline void XorTwoInPlace(unsigned char* __restrict target, const unsigned char* __restrict first,
                          const unsigned char* __restrict second, uint32_t count) {
    for (uint32_t j = 0; j < count; ++j) {
        target[j] ^= first[j] ^ second[j];
    }
}

// Both layers from a separate source: target[j] = source[j] ^ first[j] ^ second[j].
inline void XorTwoInto(unsigned char* __restrict target, const unsigned char* __restrict source,
                       const unsigned char* __restrict first,
                       const unsigned char* __restrict second, uint32_t count) {
    for (uint32_t j = 0; j < count; ++j) {
        target[j] = source[j] ^ first[j] ^ second[j];
    }
}

}  // namespace keystream

#endif
