// The armour's AVX2 kernels, and their empty fallbacks where AVX2 code cannot be built.
#include "armour/BinASCIIKernels.h"

#include <cstdint>
#include <cstring>

#include "armour/ArmourFormat.h"
#include "armour/WideBytes.h"

namespace veldoran {

#ifdef VELDORAN_WIDE_BYTES

namespace {

// Eight groups of three bytes (the first 24 of raw) as eight 32-bit values.
VELDORAN_WIDE inline __m256i SpreadGroups(__m256i raw) {
    // Bytes 0-11 to the low lane, 12-23 to the high lane; then each group as a 32-bit value.
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    const __m256i toGroups = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,
                                              2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), toGroups);
}

// The alphabet's 64 characters, sixteen to a register (each in both lanes).
struct WideAlphabet {
    __m256i quarter[4];
};

VELDORAN_WIDE inline void LoadWideAlphabet(const unsigned char* alphabet, WideAlphabet* wide) {
    for (int q = 0; q < 4; ++q) {
        wide->quarter[q] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(alphabet + 16 * q)));
    }
}

// The 32 characters of eight groups made by SpreadGroups.
VELDORAN_WIDE inline __m256i GroupChars(__m256i group, const WideAlphabet& alphabet) {
    const __m256i digit0 = _mm256_set1_epi32(0x3F);
    const __m256i digit1 = _mm256_set1_epi32(0x3F00);
    const __m256i digit2 = _mm256_set1_epi32(0x3F0000);
    const __m256i digit3 = _mm256_set1_epi32(0x3F000000);
    // Digit k of a group is (group >> 6k) & 63, moved to byte k: shift left by 2k.
    const __m256i digits =
        _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(group, digit0),
                                        _mm256_and_si256(_mm256_slli_epi32(group, 2), digit1)),
                        _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(group, 4), digit2),
                                        _mm256_and_si256(_mm256_slli_epi32(group, 6), digit3)));
    // A digit's low four bits pick the character in each quarter; bits 4 and 5, moved to the
    // top of their byte, pick the quarter. No bit crosses into the next byte's top.
    const __m256i bit4 = _mm256_slli_epi16(digits, 3);
    const __m256i bit5 = _mm256_slli_epi16(digits, 2);
    const __m256i low = _mm256_blendv_epi8(_mm256_shuffle_epi8(alphabet.quarter[0], digits),
                                           _mm256_shuffle_epi8(alphabet.quarter[1], digits), bit4);
    const __m256i high = _mm256_blendv_epi8(_mm256_shuffle_epi8(alphabet.quarter[2], digits),
                                            _mm256_shuffle_epi8(alphabet.quarter[3], digits), bit4);
    return _mm256_blendv_epi8(low, high, bit5);
}

}  // namespace

VELDORAN_WIDE size_t EncodeGroupsWide(const unsigned char* data, size_t groups, size_t readable,
                                      unsigned char* chars, const unsigned char* alphabet) {
    WideAlphabet letters;
    LoadWideAlphabet(alphabet, &letters);
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 32 <= readable; g += 8) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 3 * g));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(chars + 4 * g),
                            GroupChars(SpreadGroups(raw), letters));
    }
    return g;
}

using armour::kCharsPerLine;
using armour::kLineInput;

VELDORAN_WIDE size_t EncodeLinesWide(const unsigned char* data, size_t lines, const char* eol,
                                     size_t eolLength, unsigned char* out,
                                     const unsigned char* alphabet, unsigned char* fold) {
    WideAlphabet letters;
    LoadWideAlphabet(alphabet, &letters);
    // The second half of a line holds seven groups; the eighth belongs to the next line.
    const __m256i sevenGroups = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, -1, 0);
    __m256i sum = _mm256_setzero_si256();
    for (size_t line = 0; line < lines; ++line) {
        memcpy(out, eol, eolLength);
        out += eolLength;
        const __m256i front =
            SpreadGroups(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), GroupChars(front, letters));
        __m256i back;
        if (line + 1 < lines) {
            // The eighth group's characters fall where the next line's end and characters
            // are written next; its bytes are the next line's, so they may be read.
            back = _mm256_and_si256(
                SpreadGroups(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 24))),
                sevenGroups);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), GroupChars(back, letters));
        } else {
            // The last line reads and writes no further than its own bytes.
            unsigned char in[32] = {};
            memcpy(in, data + 24, kLineInput - 24);
            back = _mm256_and_si256(
                SpreadGroups(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in))),
                sevenGroups);
            unsigned char chars[32];
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(chars), GroupChars(back, letters));
            memcpy(out + 32, chars, kCharsPerLine - 32);
        }
        sum = _mm256_xor_si256(sum, _mm256_xor_si256(front, back));
        data += kLineInput;
        out += kCharsPerLine;
    }
    const __m128i half =
        _mm_xor_si128(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    uint64_t wide =
        static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_xor_si128(half, _mm_srli_si128(half, 8))));
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    *fold = static_cast<unsigned char>(wide);
    return lines;
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

size_t EncodeGroupsWide(const unsigned char*, size_t, size_t, unsigned char*,
                        const unsigned char*) {
    return 0;
}

size_t EncodeLinesWide(const unsigned char*, size_t, const char*, size_t, unsigned char*,
                       const unsigned char*, unsigned char* fold) {
    *fold = 0;
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
