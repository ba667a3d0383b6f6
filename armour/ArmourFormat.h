// Internal: the facts of the printable armour that its writer and its readers share, each
// stated once: the marker lines' lengths, the line width, the number fields, the checksum and the
// alphabet's tables.
#ifndef VELDORAN_ARMOUR_ARMOURFORMAT_H
#define VELDORAN_ARMOUR_ARMOURFORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "armour/ByteTranslate.h"
#include "armour/TypBinASCII.h"

namespace veldoran {
namespace armour {

// The marker lines themselves are public (armour/TypBinASCII.h).
inline constexpr size_t kStartMarkerLength = sizeof kStartMarker - 1;
inline constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;

inline constexpr size_t kCharsPerLine = 60;
inline constexpr uint32_t kFieldChars = 8;  // one hexadecimal number field
inline constexpr uint32_t kChecksumSeed = 0xFFFFFFFFU;
// Three data bytes make one group of four characters.
inline constexpr size_t kGroupBytes = 3;
inline constexpr size_t kGroupChars = 4;
// Data bytes of one full line: a source read in multiples of it is encoded in whole lines.
inline constexpr size_t kLineInput = kCharsPerLine / kGroupChars * kGroupBytes;

// Digit value to character; only the first 64 entries are used.
constexpr ByteTable MakeDigitToChar() {
    ByteTable table = IdentityTable();
    for (size_t digit = 0; digit < 64; ++digit) {
        table[digit] = static_cast<unsigned char>(kSafe[digit]);
    }
    return table;
}
inline constexpr ByteTable kDigitToChar = MakeDigitToChar();
inline constexpr TableRows kDigitToCharRows = MakeRows(kDigitToChar);

// Character to digit value; only alphabet characters are ever looked up.
constexpr ByteTable MakeCharToDigit() {
    ByteTable table = IdentityTable();
    for (size_t digit = 0; digit < 64; ++digit) {
        table[static_cast<unsigned char>(kSafe[digit])] = static_cast<unsigned char>(digit);
    }
    return table;
}
inline constexpr ByteTable kCharToDigit = MakeCharToDigit();
inline constexpr TableRows kCharToDigitRows = MakeRows(kCharToDigit);

// 1 for the 64 alphabet characters, 0 for every other byte.
constexpr std::array<unsigned char, 256> MakeIsAlphabet() {
    std::array<unsigned char, 256> table{};
    for (size_t digit = 0; digit < 64; ++digit) {
        table[static_cast<unsigned char>(kSafe[digit])] = 1;
    }
    return table;
}
inline constexpr std::array<unsigned char, 256> kIsAlphabet = MakeIsAlphabet();

// The checksum is the seed combined by exclusive or with every data byte; only its low byte
// ever changes. This folds length bytes into running (start from 0, combine with the seed at
// the end), eight at a time.
inline unsigned char FoldChecksum(unsigned char running, const unsigned char* data, size_t length) {
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        memcpy(&word, data + i, sizeof word);
        wide ^= word;
    }
    for (; i < length; ++i) {
        wide ^= data[i];
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    return static_cast<unsigned char>(running ^ (wide & 0xFF));
}

inline uint32_t FinalChecksum(unsigned char running) {
    return kChecksumSeed ^ running;
}

}  // namespace armour
}  // namespace veldoran

#endif
