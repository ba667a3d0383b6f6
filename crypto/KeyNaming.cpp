// Finding a key file again from a key header: its name, a full stop and the year since 1900
// (Dupont.126 for the key named Dupont for 2026), under the key folder's Clefs/.
#include <cstring>

#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

namespace {

// The naming operations take up to this many bytes from the name field onwards.
constexpr int32_t kLenMaxKeyName = 63;
// Name, full stop, a signed 32-bit number and the terminator.
constexpr size_t kKeyFileNameSize = kLenMaxKeyName + 1 + 11 + 1;

// The nameLen bytes starting at the name field, bounded to 0..63. A long name runs on into the
// numeric fields that follow the name field, still inside the 224-byte record.
size_t KeyNameLength(const TypKeyHeader* header) {
    if (header->nameLen < 0) {
        return 0;
    }
    return static_cast<size_t>(header->nameLen < kLenMaxKeyName ? header->nameLen : kLenMaxKeyName);
}

void CopyKeyName(const TypKeyHeader* header, char* name) {
    const size_t length = KeyNameLength(header);
    const auto* record = reinterpret_cast<const unsigned char*>(header);
    memcpy(name, record + offsetof(TypKeyHeader, name), length);
    name[length] = '\0';
}

}  // namespace

veldoran::KeyNameFault veldoran::CheckKeyName(const unsigned char* name, size_t length) {
    if (length < 1 || length > static_cast<size_t>(kLenMaxName)) {
        return KeyNameFault::kLength;
    }
    if (name[0] == '.') {
        return KeyNameFault::kLeadingDot;
    }
    for (size_t k = 0; k < length; ++k) {
        if (name[k] == '/' || name[k] < 0x20 || name[k] == 0x7F) {
            return KeyNameFault::kCharacter;
        }
    }
    return KeyNameFault::kNone;
}

TypFileRef* TypUtils::GetKeyFileRef(TypKeyHeader* header) {
    if (header->version != kVersion) {
        return nullptr;
    }
    if (header->idLen > kLenMaxID) {
        header->idLen = kLenMaxID;
    }
    if (header->nameLen > kLenMaxKeyName) {
        header->nameLen = kLenMaxKeyName;
    }
    char fileName[kKeyFileNameSize];
    CopyKeyName(header, fileName);
    strcat(fileName, ".");
    char year[12];
    MyNumToString(static_cast<int32_t>(static_cast<uint32_t>(header->year) - 1900u), year);
    strcat(fileName, year);
    return GetFileRefForKeyName(fileName);
}

void TypUtils::GetKeyNameFromKeyHeader(const TypKeyHeader* header, char* name) {
    name[0] = '\0';
    if (header->version != kVersion) {
        return;
    }
    CopyKeyName(header, name);
}
