// Table translation of byte runs, 32 bytes at a time where AVX2 is present.
#include "armour/ByteTranslate.h"

#include <cstdint>

#include "armour/WideBytes.h"

namespace veldoran {

#ifdef VELDORAN_WIDE_BYTES
namespace {

// Applies the table to the first multiple of 32 bytes; returns how many bytes it did. Where
// sought is a byte value, *first is lowered to the position of its first translated occurrence.
VELDORAN_WIDE size_t TranslateRunWide(const TableRows& rows, const unsigned char* source,
                                      unsigned char* destination, size_t count, int sought,
                                      size_t* first) {
    WideRows wide;
    LoadWideRows(rows, &wide);
    const __m256i soughtBytes = _mm256_set1_epi8(static_cast<char>(sought));
    bool seeking = sought >= 0 && *first > count;
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i translated = TranslateWide(bytes, wide);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), translated);
        if (seeking) {
            const auto hits = static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(translated, soughtBytes)));
            if (hits != 0) {
                *first = i + static_cast<size_t>(__builtin_ctz(hits));
                seeking = false;
            }
        }
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

size_t TranslateBytesFinding(const ByteTable& table, const TableRows& rows,
                             const unsigned char* source, unsigned char* destination, size_t count,
                             int sought) {
    size_t first = SIZE_MAX;
    size_t done = 0;
#ifdef VELDORAN_WIDE_BYTES
    if (count >= 32 && HasWideBytes()) {
        done = TranslateRunWide(rows, source, destination, count, sought, &first);
    }
#else
    static_cast<void>(rows);
#endif
    for (size_t i = done; i < count; ++i) {
        destination[i] = table[source[i]];
        if (first > count && destination[i] == sought) {
            first = i;
        }
    }
    return first > count ? count : first;
}

void TranslateBytes(const ByteTable& table, const TableRows& rows, const unsigned char* source,
                    unsigned char* destination, size_t count) {
    TranslateBytesFinding(table, rows, source, destination, count, -1);
}

}  // namespace veldoran
