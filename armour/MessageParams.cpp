// Message framing: the recipient block, parameter texts, byte-pattern search and hexadecimal
// number fields.
#include <cstring>

#include "armour/TypBinASCII.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

namespace {

constexpr char kDestBegin[] = "#DESTBEGIN#";
constexpr char kDestEnd[] = "#DESTEND#";
constexpr char kParamBegin[] = "BEGIN#";
constexpr char kParamEnd[] = "END#";

// A parameter name and its longer suffix, with the NUL, fit in this many bytes.
constexpr size_t kMarkerCapacity = 120;
constexpr size_t kMaxNameLength = kMarkerCapacity - sizeof kParamBegin;  // 113
constexpr int32_t kMaxValueLength = 249;

// Positions are signed 32-bit; one that does not fit counts as not found.
int32_t ToPosition(size_t position) {
    return position <= static_cast<size_t>(INT32_MAX) ? static_cast<int32_t>(position) : -1;
}

size_t TextLength(const char* text) {
    return text != nullptr ? strlen(text) : 0;
}

// name followed by suffix, NUL-terminated, in marker; false when it does not fit.
bool MakeMarker(const char* name, const char* suffix, char (&marker)[kMarkerCapacity]) {
    const size_t nameLength = strlen(name);
    if (nameLength > kMaxNameLength) {
        return false;
    }
    memcpy(marker, name, nameLength);
    memcpy(marker + nameLength, suffix, strlen(suffix) + 1);
    return true;
}

// Copies pieces one after another into a block.
class BlockFiller {
  public:
    BlockFiller(TypUtils* utils, unsigned char* block) : utils_(utils), cursor_(block) {}
    void Put(const void* source, size_t count) {
        utils_->MyBlockMove(source, cursor_, static_cast<uint32_t>(count));
        cursor_ += count;
    }
    void Put(const char* text) { Put(text, TextLength(text)); }

  private:
    TypUtils* utils_;
    unsigned char* cursor_;
};

// Allocates the block of a growing message: the caller's out pointer stays null until the
// block is filled, its out length holds the length asked for. kMemErr when that length does
// not fit 32 bits or memory is short.
int32_t NewMessageBlock(TypUtils* utils, uint64_t total, unsigned char** out, uint32_t* outLength,
                        unsigned char** block) {
    *out = nullptr;
    if (total > UINT32_MAX) {
        return kMemErr;
    }
    *outLength = static_cast<uint32_t>(total);
    *block = utils->MyNewPtr(static_cast<uint32_t>(total));
    return *block == nullptr ? kMemErr : kNoErr;
}

// Hands the caller a new block holding count bytes from source; kMemErr, with *out null and
// *outLength the length asked for, when memory is short.
int32_t CopyToNewBlock(TypUtils* utils, const unsigned char* source, uint32_t count,
                       unsigned char** out, uint32_t* outLength) {
    *outLength = count;
    *out = utils->MyNewPtr(count);
    if (*out == nullptr) {
        return kMemErr;
    }
    utils->MyBlockMove(source, *out, count);
    return kNoErr;
}

}  // namespace

void TypUtils::PushLongHexaAtAddress(uint32_t value, unsigned char** cursor) {
    unsigned char* p = *cursor;
    for (int digit = 0; digit < 8; ++digit) {
        p[digit] = static_cast<unsigned char>(kSafe[value >> 28]);
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

int32_t TypUtils::GetParam(const unsigned char* message, uint32_t length, const char* name,
                           char* value) {
    value[0] = '\0';
    char beginMarker[kMarkerCapacity];
    char endMarker[kMarkerCapacity];
    if (!MakeMarker(name, kParamBegin, beginMarker) || !MakeMarker(name, kParamEnd, endMarker)) {
        return -1;
    }
    const int32_t begin = FindSubString(message, length, beginMarker);
    if (begin < 0) {
        return -1;
    }
    const int64_t valueStart = int64_t{begin} + static_cast<int64_t>(strlen(beginMarker));
    const int32_t end = FindSubString(message, length, endMarker);
    if (end < 0) {
        return -1;
    }
    const int64_t valueLength = end - valueStart;
    // An end marker before the end of the start marker frames no value.
    if (valueLength < 0) {
        return -1;
    }
    if (valueLength > kMaxValueLength) {
        return static_cast<int32_t>(valueLength);
    }
    MyBlockMove(message + valueStart, value, static_cast<uint32_t>(valueLength));
    value[valueLength] = '\0';
    return static_cast<int32_t>(valueLength);
}

int32_t TypUtils::ExistParam(const unsigned char* message, uint32_t length, const char* name) {
    char beginMarker[kMarkerCapacity];
    char endMarker[kMarkerCapacity];
    if (!MakeMarker(name, kParamBegin, beginMarker) || !MakeMarker(name, kParamEnd, endMarker)) {
        return 0;
    }
    return FindSubString(message, length, beginMarker) >= 0 &&
                   FindSubString(message, length, endMarker) >= 0
               ? 1
               : 0;
}

int32_t TypUtils::RemoveParamFromMessage(const unsigned char* message, uint32_t length,
                                         unsigned char** out, uint32_t* outLength) {
    const int32_t found = FindSubString(message, length, kDestBegin);
    const uint32_t documentLength = found < 0 ? length : static_cast<uint32_t>(found);
    return CopyToNewBlock(this, message, documentLength, out, outLength);
}

int32_t TypUtils::GetAllParamFromMessage(const unsigned char* message, uint32_t length,
                                         unsigned char** out, uint32_t* outLength) {
    const int32_t found = FindSubString(message, length, kDestBegin);
    const uint32_t tailStart = found < 0 ? length : static_cast<uint32_t>(found);
    return CopyToNewBlock(this, message + tailStart, length - tailStart, out, outLength);
}

int32_t TypUtils::AddDestToMessage(const unsigned char* message, uint32_t length,
                                   unsigned char** out, uint32_t* outLength, const char* to,
                                   const char* cc, const char* bcc) {
    const uint64_t total = uint64_t{length} + (sizeof kDestBegin - 1) + TextLength(to) +
                           TextLength(cc) + TextLength(bcc) + (sizeof kDestEnd - 1) + 2;
    unsigned char* block = nullptr;
    if (NewMessageBlock(this, total, out, outLength, &block) != kNoErr) {
        return kMemErr;
    }
    BlockFiller filler(this, block);
    filler.Put(message, length);
    filler.Put(kDestBegin);
    filler.Put(to);
    filler.Put(",");
    filler.Put(cc);
    filler.Put(",");
    filler.Put(bcc);
    filler.Put(kDestEnd);
    *out = block;
    return kNoErr;
}

int32_t TypUtils::AddParamToMessage(const unsigned char* message, uint32_t length,
                                    unsigned char** out, uint32_t* outLength, const char* param) {
    const uint64_t total = uint64_t{length} + TextLength(param);
    unsigned char* block = nullptr;
    if (NewMessageBlock(this, total, out, outLength, &block) != kNoErr) {
        return kMemErr;
    }
    BlockFiller filler(this, block);
    filler.Put(message, length);
    filler.Put(param);
    *out = block;
    return kNoErr;
}
