// The utility object's text operations that every layer relies on: the end-of-line text,
// byte-pattern search and the eight-digit hexadecimal number fields.
#include <cstring>

#include "platform/TypUtils.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Positions are signed 32-bit; one that does not fit counts as not found.
int32_t ToPosition(size_t position) {
    return position <= static_cast<size_t>(INT32_MAX) ? static_cast<int32_t>(position) : -1;
}

}  // namespace

char* TypUtils::GetEOLCar() {
    eolField[0] = '\n';
    eolField[1] = '\0';
    return eolField;
}

void TypUtils::PushLongHexaAtAddress(uint32_t value, unsigned char** cursor) {
    unsigned char* p = *cursor;
    for (int digit = 0; digit < 8; ++digit) {
        p[digit] = static_cast<unsigned char>(kHexDigits[value >> 28]);
        value <<= 4;
    }
    *cursor = p + 8;
}

uint32_t TypUtils::PopHexaFromAddress(const unsigned char** cursor) {
    const unsigned char* p = *cursor;
    uint32_t value = 0;
    for (int digit = 0; digit < 8; ++digit) {
        // Not validated: a character outside 0-9 A-F gives a wrong value (a counts as 42),
        // which the armour's length and checksum tests then catch.
        const unsigned char c = p[digit];
        value = value * 16 + (c <= 0x40 ? c - 0x30U : c - 0x37U);
    }
    *cursor = p + 8;
    return value;
}

int32_t TypUtils::FindSubString(const unsigned char* buffer, uint32_t length, const char* pattern) {
    const size_t patternLength = strlen(pattern);
    if (patternLength == 0) {
        return 0;
    }
    if (patternLength > length) {
        return -1;
    }
    // Candidates come from memchr on the first byte; only they are compared in full.
    const auto firstByte = static_cast<unsigned char>(pattern[0]);
    const unsigned char* candidate = buffer;
    const unsigned char* lastStart = buffer + (length - patternLength);
    while (candidate <= lastStart) {
        candidate = static_cast<const unsigned char*>(
            memchr(candidate, firstByte, static_cast<size_t>(lastStart - candidate) + 1));
        if (candidate == nullptr) {
            return -1;
        }
        if (memcmp(candidate + 1, pattern + 1, patternLength - 1) == 0) {
            return ToPosition(static_cast<size_t>(candidate - buffer));
        }
        ++candidate;
    }
    return -1;
}

int32_t TypUtils::FindSubStringFromEnd(const unsigned char* buffer, uint32_t length,
                                       const char* pattern) {
    const size_t patternLength = strlen(pattern);
    if (patternLength == 0) {
        return ToPosition(length);
    }
    if (patternLength > length) {
        return -1;
    }
    const auto firstByte = static_cast<unsigned char>(pattern[0]);
    // Candidates lie in [buffer, buffer + searchLength), scanned backwards with memrchr.
    size_t searchLength = length - patternLength + 1;
    while (searchLength > 0) {
        const auto* candidate =
            static_cast<const unsigned char*>(memrchr(buffer, firstByte, searchLength));
        if (candidate == nullptr) {
            return -1;
        }
        if (memcmp(candidate + 1, pattern + 1, patternLength - 1) == 0) {
            return ToPosition(static_cast<size_t>(candidate - buffer));
        }
        searchLength = static_cast<size_t>(candidate - buffer);
    }
    return -1;
}
