// Table translation of byte runs, 32 bytes at a time where AVX2 is present.
#include "armour/ByteTranslate.h"

#include "armour/WideBytes.h"

namespace veldoran {

#ifdef VELDORAN_WIDE_BYTES
namespace {

// Applies the table to the first multiple of 32 bytes; returns how many bytes it did.
VELDORAN_WIDE size_t TranslateRunWide(const TableRows& rows, const unsigned char* source,
                                      unsigned char* destination, size_t count) {
    WideRows wide;
    LoadWideRows(rows, &wide);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i),
                            TranslateWide(bytes, wide));
    }
    return i;
}

}  // namespace
#endif

namespace {
[[maybe_unused]] bool wideAllowed = true;
}  // namespace

bool HasWideBytes() {
#ifdef VELDORAN_WIDE_BYTES
    return wideAllowed && __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

void SetWideBytesForTesting(bool allowed) {
    wideAllowed = allowed;
}

void TranslateBytes(const ByteTable& table, const TableRows& rows, const unsigned char* source,
                    unsigned char* destination, size_t count) {
    size_t done = 0;
#ifdef VELDORAN_WIDE_BYTES
    if (count >= 32 && HasWideBytes()) {
        done = TranslateRunWide(rows, source, destination, count);
    }
#else
    static_cast<void>(rows);
#endif
    for (size_t i = done; i < count; ++i) {
        destination[i] = table[source[i]];
    }
}

}  // namespace veldoran
