// Conversion between the local text form (Windows-1252, the platform's line ends) and the
// interchange form (CR line ends, Mac OS Roman accented letters). Both directions are defined by
// a 256-entry table. Scalar code looks every byte up in it; where the processor has AVX2 the
// same table, cut into rows of sixteen by high nibble, is applied 32 bytes at a time.
#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELDORAN_FILTER_AVX2 1
#endif

#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

namespace {

using ByteTable = std::array<unsigned char, 256>;

struct Accent {
    unsigned char local;
    unsigned char interchange;
};

// Letters that travel both ways: Windows-1252 on the left, Mac OS Roman on the right.
// clang-format off
constexpr Accent kAccents[] = {
    {0x8C, 0xCE},  // Œ
    {0x9C, 0xCF},  // œ
    {0xB0, 0xA1},  // °
    {0xE0, 0x88},  // à
    {0xE2, 0x89},  // â
    {0xE7, 0x8D},  // ç
    {0xE8, 0x8F},  // è
    {0xE9, 0x8E},  // é
    {0xEA, 0x90},  // ê
    {0xEB, 0x91},  // ë
    {0xEE, 0x94},  // î
    {0xEF, 0x95},  // ï
    {0xF4, 0x99},  // ô
    {0xF9, 0x9D},  // ù
    {0xFB, 0x9F},  // û
};
// clang-format on

constexpr unsigned char kLineFeed = 0x0A;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kRightQuote = 0x92;  // ’ in Windows-1252
constexpr unsigned char kApostrophe = 0x27;

constexpr ByteTable IdentityTable() {
    ByteTable table{};
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<unsigned char>(i);
    }
    return table;
}

constexpr ByteTable MakeToInterchange() {
    ByteTable table = IdentityTable();
    for (const Accent& accent : kAccents) {
        table[accent.local] = accent.interchange;
    }
    // One-way entries: the quotation mark is not restored, and CR stays CR on the way in.
    table[kLineFeed] = kCarriageReturn;
    table[kRightQuote] = kApostrophe;
    return table;
}

constexpr ByteTable MakeToLocal() {
    ByteTable table = IdentityTable();
    for (const Accent& accent : kAccents) {
        table[accent.interchange] = accent.local;
    }
    return table;
}

constexpr ByteTable kToInterchange = MakeToInterchange();
constexpr ByteTable kToLocal = MakeToLocal();

// The rows of a byte table that change something, as differences to add: row high holds, for
// each low nibble, table[high * 16 + low] - (high * 16 + low) modulo 256.
struct TableRows {
    int count = 0;
    unsigned char high[16] = {};
    unsigned char delta[16][16] = {};
};

constexpr TableRows MakeRows(const ByteTable& table) {
    TableRows rows;
    for (int high = 0; high < 16; ++high) {
        bool changes = false;
        for (int low = 0; low < 16; ++low) {
            const int value = high * 16 + low;
            const auto delta = static_cast<unsigned char>(table[value] - value);
            rows.delta[rows.count][low] = delta;
            changes = changes || delta != 0;
        }
        if (changes) {
            rows.high[rows.count++] = static_cast<unsigned char>(high);
        }
    }
    return rows;
}

constexpr TableRows kToInterchangeRows = MakeRows(kToInterchange);

#ifdef VELDORAN_FILTER_AVX2
// Applies the table to the first multiple of 32 bytes; returns how many bytes it did. source
// and destination may be the same block.
__attribute__((target("avx2"))) size_t TranslateAvx2(const TableRows& rows,
                                                     const unsigned char* source,
                                                     unsigned char* destination, size_t count) {
    __m256i deltas[16];
    __m256i highs[16];
    for (int r = 0; r < rows.count; ++r) {
        deltas[r] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.delta[r])));
        highs[r] = _mm256_set1_epi8(static_cast<char>(rows.high[r]));
    }
    const __m256i lowMask = _mm256_set1_epi8(0x0F);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i low = _mm256_and_si256(bytes, lowMask);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), lowMask);
        __m256i delta = _mm256_setzero_si256();
        for (int r = 0; r < rows.count; ++r) {
            const __m256i inRow = _mm256_cmpeq_epi8(high, highs[r]);
            delta = _mm256_or_si256(delta,
                                    _mm256_and_si256(inRow, _mm256_shuffle_epi8(deltas[r], low)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i),
                            _mm256_add_epi8(bytes, delta));
    }
    return i;
}
#endif

// destination[i] = table[source[i]]; source and destination may be the same block.
void Translate(const ByteTable& table, const TableRows& rows, const unsigned char* source,
               unsigned char* destination, size_t count) {
    size_t done = 0;
#ifdef VELDORAN_FILTER_AVX2
    if (count >= 64 && __builtin_cpu_supports("avx2")) {
        done = TranslateAvx2(rows, source, destination, count);
    }
#else
    static_cast<void>(rows);
#endif
    for (size_t i = done; i < count; ++i) {
        destination[i] = table[source[i]];
    }
}

}  // namespace

int32_t TypUtils::FiltrerTexte(unsigned char** text, uint32_t* length) {
    Translate(kToInterchange, kToInterchangeRows, *text, *text, *length);
    return kNoErr;
}

int32_t TypUtils::FiltrerTexteInverse(unsigned char** text, uint32_t* length) {
    const unsigned char* source = *text;
    const uint32_t oldLength = *length;
    const char* eol = GetEOLCar();
    const size_t eolLength = strlen(eol);

    // The old block is only read until the new one exists, so a failed allocation leaves the
    // caller's block, its bytes and both variables exactly as they were.
    uint64_t newLength = oldLength;
    if (eolLength != 1) {
        uint64_t lineEnds = 0;
        for (uint32_t i = 0; i < oldLength; ++i) {
            lineEnds += source[i] == kCarriageReturn ? 1U : 0U;
        }
        newLength = oldLength - lineEnds + lineEnds * eolLength;
        if (newLength > UINT32_MAX) {
            return kMemErr;
        }
    }
    unsigned char* block = MyNewPtr(static_cast<uint32_t>(newLength));
    if (block == nullptr) {
        return kMemErr;
    }

    if (eolLength == 1) {
        ByteTable table = kToLocal;
        table[kCarriageReturn] = static_cast<unsigned char>(eol[0]);
        Translate(table, MakeRows(table), source, block, oldLength);
    } else {
        unsigned char* cursor = block;
        for (uint32_t i = 0; i < oldLength; ++i) {
            if (source[i] == kCarriageReturn) {
                memcpy(cursor, eol, eolLength);
                cursor += eolLength;
            } else {
                *cursor++ = kToLocal[source[i]];
            }
        }
    }

    MyDisposeptr(text, oldLength);
    *text = block;
    *length = static_cast<uint32_t>(newLength);
    return kNoErr;
}

char* TypUtils::GetEOLCar() {
    eolField[0] = '\n';
    eolField[1] = '\0';
    return eolField;
}
