// Platform-neutral operations of the utility object: numbers as text, block extraction and
// appending, byte order. The overridable memory operations are placeholders here.
#include "platform/TypUtils.h"

#include <cstdio>
#include <cstring>

#include "platform/ResultCodes.h"

int32_t TypUtils::InitCreate(unsigned char*) {
    return kNoErr;
}
unsigned char* TypUtils::MyNewPtr(uint32_t) {
    return nullptr;
}

void TypUtils::MyDisposeptr(unsigned char** block, uint32_t) {
    if (block != nullptr) {
        *block = nullptr;
    }
}

void TypUtils::MyBlockMove(const void*, void*, uint32_t) {}
TypFileRef* TypUtils::GetFileRefForKeyName(const char*) {
    return nullptr;
}

void TypUtils::MyNumToString(int32_t number, char* destination) {
    snprintf(destination, 12, "%d", number);
}

void TypUtils::MyExtractFromPtr(const unsigned char* source, int32_t sourceLength,
                                unsigned char* destination, int32_t count, int32_t* position) {
    // 64-bit sum: a position near INT32_MAX must not wrap past the bound check.
    const int64_t end = static_cast<int64_t>(*position) + count;
    if (count < 0 || *position < 0 || end > sourceLength) {
        return;
    }
    if (destination != nullptr && count > 0) {
        MyBlockMove(source + *position, destination, static_cast<uint32_t>(count));
    }
    *position += count;
}

void TypUtils::MyAppendToPtr(const unsigned char* source, int32_t count, unsigned char* destination,
                             int32_t* position, int32_t copySwitch) {
    // A position that would run backwards or past INT32_MAX is left alone, as is a copy into
    // no destination.
    const int64_t end = static_cast<int64_t>(*position) + count;
    if (count < 0 || *position < 0 || end > INT32_MAX) {
        return;
    }
    if (copySwitch == 1 && count > 0) {
        if (source == nullptr || destination == nullptr) {
            return;
        }
        MyBlockMove(source, destination + *position, static_cast<uint32_t>(count));
    }
    *position = static_cast<int32_t>(end);
}

int32_t TypUtils::ShouldSwapBytes() {
    // A plain copy, not MyBlockMove: the base class's MyBlockMove copies nothing.
    const uint32_t one = 1;
    unsigned char firstByte[4];
    memcpy(firstByte, &one, sizeof firstByte);
    return firstByte[0] == 1 ? 1 : 0;
}

namespace {

template <typename Number>
void ReverseBytes(Number* value) {
    unsigned char bytes[sizeof(Number)];
    memcpy(bytes, value, sizeof bytes);
    for (size_t low = 0, high = sizeof bytes - 1; low < high; ++low, --high) {
        const unsigned char swapped = bytes[low];
        bytes[low] = bytes[high];
        bytes[high] = swapped;
    }
    memcpy(value, bytes, sizeof bytes);
}

}  // namespace

void TypUtils::swaplong(int32_t* value) {
    if (ShouldSwapBytes() == 1) {
        ReverseBytes(value);
    }
}

void TypUtils::swapUnsignedlong(uint32_t* value) {
    if (ShouldSwapBytes() == 1) {
        ReverseBytes(value);
    }
}

void TypUtils::swapshort(int16_t* value) {
    if (ShouldSwapBytes() == 1) {
        ReverseBytes(value);
    }
}

int32_t TypUtils::Kill() {
    return kNoErr;
}
