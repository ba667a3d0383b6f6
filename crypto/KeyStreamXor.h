// XOR of data with a key stream that is held as one period and repeats: the inner loops of
// every encryption layer. Plain byte loops over restrict pointers, which the compiler turns
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

// target holds one period of the key stream at its start; every byte j of it becomes
// data[j] ^ key[j mod period]. The chunks go from the last to the first, so the period is read
// by every chunk and overwritten only by the first: no repeated key stream is ever written.
inline void XorWithRepeatedKey(unsigned char* target, const unsigned char* data, uint32_t n,
                               uint32_t period) {
    if (n == 0) {
        return;
    }
    for (uint32_t start = (n - 1) / period * period; start > 0; start -= period) {
        const uint32_t count = n - start < period ? n - start : period;
        XorInto(target + start, data + start, target, count);
    }
    XorInPlace(target, data, n < period ? n : period);
}

// Every byte j of data becomes data[j] ^ key[j mod period]; key is a separate block.
inline void XorRepeatedKeyInPlace(unsigned char* data, uint32_t n, const unsigned char* key,
                                  uint32_t period) {
    if (period == 0) {
        return;
    }
    for (uint32_t start = 0; start < n; start += period) {
        XorInPlace(data + start, key, n - start < period ? n - start : period);
    }
}

}  // namespace keystream

#endif
