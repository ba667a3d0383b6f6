// Internal: whether the AVX2 paths are compiled in, the attribute that enables AVX2 code
// generation for one function, and a table translation of 32 bytes held in a register. Callers
// ask HasWideBytes() at run time before taking a wide path.
#ifndef VELDORAN_ARMOUR_WIDEBYTES_H
#define VELDORAN_ARMOUR_WIDEBYTES_H

#include "armour/ByteTranslate.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELDORAN_WIDE_BYTES 1
#define VELDORAN_WIDE __attribute__((target("avx2")))

namespace veldoran {

// The rows of a table in registers.
struct WideRows {
    int count;
    __m256i delta[16];
    __m256i high[16];
};

VELDORAN_WIDE inline void LoadWideRows(const TableRows& rows, WideRows* wide) {
    wide->count = rows.count;
    for (int r = 0; r < rows.count; ++r) {
        wide->delta[r] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.delta[r])));
        wide->high[r] = _mm256_set1_epi8(static_cast<char>(rows.high[r]));
    }
}

VELDORAN_WIDE inline __m256i TranslateWide(__m256i bytes, const WideRows& rows) {
    const __m256i lowMask = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_and_si256(bytes, lowMask);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), lowMask);
    __m256i delta = _mm256_setzero_si256();
    for (int r = 0; r < rows.count; ++r) {
        const __m256i inRow = _mm256_cmpeq_epi8(high, rows.high[r]);
        delta = _mm256_or_si256(delta,
                                _mm256_and_si256(inRow, _mm256_shuffle_epi8(rows.delta[r], low)));
    }
    return _mm256_add_epi8(bytes, delta);
}

}  // namespace veldoran

#endif

#endif
