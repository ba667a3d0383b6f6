// The armour's AVX2 kernels, and their empty fallbacks where AVX2 code cannot be built.
#include "armour/BinASCIIKernels.h"

#include <cstdint>
#include <cstring>

#include "armour/WideBytes.h"

namespace veldoran {

#ifdef VELDORAN_WIDE_BYTES

VELDORAN_WIDE size_t EncodeGroupsWide(const unsigned char* data, size_t groups, size_t readable,
                                      unsigned char* chars, const TableRows& digitToChar) {
    WideRows rows;
    LoadWideRows(digitToChar, &rows);
    // Bytes 0-11 to the low lane, 12-23 to the high lane; then each group as a 32-bit value.
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    const __m256i toGroups = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,
                                              2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m256i digit0 = _mm256_set1_epi32(0x3F);
    const __m256i digit1 = _mm256_set1_epi32(0x3F00);
    const __m256i digit2 = _mm256_set1_epi32(0x3F0000);
    const __m256i digit3 = _mm256_set1_epi32(0x3F000000);
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 32 <= readable; g += 8) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 3 * g));
        const __m256i group =
            _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), toGroups);
        // Digit k of a group is (group >> 6k) & 63, moved to byte k: shift left by 2k.
        const __m256i digits =
            _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(group, digit0),
                                            _mm256_and_si256(_mm256_slli_epi32(group, 2), digit1)),
                            _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(group, 4), digit2),
                                            _mm256_and_si256(_mm256_slli_epi32(group, 6), digit3)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(chars + 4 * g), TranslateWide(digits, rows));
    }
    return g;
}
VELDORAN_WIDE size_t GatherAlphabetWide(const unsigned char* text, size_t count, unsigned char* out,
                                        size_t* consumed, const unsigned char* isAlphabet) {
    // A byte is in the alphabet when the bit for its high nibble is set in the entry for its
    // low nibble; high nibbles 8 to 15 have no bit.
    alignas(32) unsigned char byLow[32] = {};
    alignas(32) unsigned char byHigh[32] = {};
    for (int value = 0; value < 128; ++value) {
        if (isAlphabet[value] != 0) {
            byLow[value & 15] =
                static_cast<unsigned char>(byLow[value & 15] | (1U << (value >> 4)));
        }
    }
    for (int high = 0; high < 8; ++high) {
        byHigh[high] = static_cast<unsigned char>(1U << high);
    }
    memcpy(byLow + 16, byLow, 16);
    memcpy(byHigh + 16, byHigh, 16);
    const __m256i lowTable = _mm256_load_si256(reinterpret_cast<const __m256i*>(byLow));
    const __m256i highTable = _mm256_load_si256(reinterpret_cast<const __m256i*>(byHigh));
    const __m256i lowMask = _mm256_set1_epi8(0x0F);

    size_t i = 0;
    size_t j = 0;
    while (i + 32 <= count) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        const __m256i low = _mm256_and_si256(bytes, lowMask);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), lowMask);
        const __m256i bits = _mm256_and_si256(_mm256_shuffle_epi8(lowTable, low),
                                              _mm256_shuffle_epi8(highTable, high));
        const auto outside = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(bits, _mm256_setzero_si256())));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), bytes);
        if (outside == 0) {
            i += 32;
            j += 32;
            continue;
        }
        // Keep the run in front of the first outside byte and skip the outside run after it
        // (a line end, an indent, a quote mark); the next step starts behind it.
        const auto kept = static_cast<size_t>(__builtin_ctz(outside));
        const uint32_t after = ~outside >> kept;
        const size_t skipped = after == 0 ? 32 - kept : static_cast<size_t>(__builtin_ctz(after));
        i += kept + skipped;
        j += kept;
    }
    *consumed = i;
    return j;
}

VELDORAN_WIDE size_t PackGroupsWide(const unsigned char* digits, size_t groups,
                                    unsigned char* output, size_t room) {
    const __m256i pairs = _mm256_set1_epi32(0x40014001);   // d0 + 64 d1, d2 + 64 d3
    const __m256i halves = _mm256_set1_epi32(0x10000001);  // low + 4096 high
    const __m256i bytesOut =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                         10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 32 <= room; g += 8) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(digits + 4 * g));
        const __m256i group = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pairs), halves);
        const __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(group, bytesOut), join);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + 3 * g), packed);
    }
    return g;
}
#else

size_t EncodeGroupsWide(const unsigned char*, size_t, size_t, unsigned char*, const TableRows&) {
    return 0;
}

size_t GatherAlphabetWide(const unsigned char*, size_t, unsigned char*, size_t* consumed,
                          const unsigned char*) {
    *consumed = 0;
    return 0;
}

size_t PackGroupsWide(const unsigned char*, size_t, unsigned char*, size_t) {
    return 0;
}

#endif

}  // namespace veldoran
