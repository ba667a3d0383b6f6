// The 224-byte header at the start of every key file, and the copy of it that opens every
// encrypted frame. On disk and in frames the numeric fields are big-endian; in memory they are
// in whatever order the last conversion left them (veldoran::SwapHeaderNumbers, which
// TypCrypto::ConvertHeaderForLocalOS and ConvertHeaderToStandard call). The layout is fixed byte
// for byte.
#ifndef VELDORAN_CRYPTO_TYPKEYHEADER_H
#define VELDORAN_CRYPTO_TYPKEYHEADER_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "platform/ResultCodes.h"

class TypUtils;

struct TypKeyHeader {
    int32_t version;                  // only kVersion (1) is accepted
    int32_t year;                     // full year the key is issued for (2026)
    int32_t idLen;                    // bytes used in id, 0 to 32
    unsigned char id[kLenMaxID];      // identifier, carried along, never interpreted
    int32_t nameLen;                  // bytes used in name, 1 to 40
    unsigned char name[kLenMaxName];  // owner's user name, or Master
    int32_t keyLen;                   // bytes of key material after the header, at least 1
    int32_t keyOffset;                // where the next key stream begins, 0 to keyLen - 1
    int32_t useCount;                 // encryptions made with this key file
    int32_t reserve[kNbLongReserve];  // never interpreted, never reordered, kept as read
};

constexpr uint32_t kKeyHeaderSize = 224;

static_assert(std::is_standard_layout<TypKeyHeader>::value, "key header must be plain data");
static_assert(std::is_trivially_copyable<TypKeyHeader>::value, "key header is copied as bytes");
static_assert(sizeof(TypKeyHeader) == kKeyHeaderSize, "key header is 224 bytes");
static_assert(offsetof(TypKeyHeader, version) == 0, "key header layout");
static_assert(offsetof(TypKeyHeader, year) == 4, "key header layout");
static_assert(offsetof(TypKeyHeader, idLen) == 8, "key header layout");
static_assert(offsetof(TypKeyHeader, id) == 12, "key header layout");
static_assert(offsetof(TypKeyHeader, nameLen) == 44, "key header layout");
static_assert(offsetof(TypKeyHeader, name) == 48, "key header layout");
static_assert(offsetof(TypKeyHeader, keyLen) == 88, "key header layout");
static_assert(offsetof(TypKeyHeader, keyOffset) == 92, "key header layout");
static_assert(offsetof(TypKeyHeader, useCount) == 96, "key header layout");
static_assert(offsetof(TypKeyHeader, reserve) == 100, "key header layout");

namespace veldoran {

// Reorders the seven numeric fields in place through utils' swaplong (a no-op on a big-endian
// host): stored order to host order, and host order to stored order, the same reversal both
// ways. id, name and reserve are never moved.
void SwapHeaderNumbers(TypUtils* utils, TypKeyHeader* header);

// The kKeyHeaderSize bytes of a header as a key file or a frame stores them, into a record in
// host order, and back.
void DecodeKeyHeader(const unsigned char* stored, TypKeyHeader* header);
void EncodeKeyHeader(const TypKeyHeader& header, unsigned char* stored);

// What keeps a header (host order) from being a key file's, or kNone when it is one, checked
// in this order. Random bytes or a file of zeros almost never pass.
enum class KeyHeaderFault {
    kNone,
    kVersion,   // not version 1
    kLength,    // idLen outside 0 to 32, nameLen outside 1 to 40, or keyLen below 1
    kPosition,  // keyOffset outside 0 to keyLen: the fields of a key whose position is damaged
};
KeyHeaderFault CheckKeyHeader(const TypKeyHeader& header);
// The one rule for a key file's header: CheckKeyHeader finds nothing.
bool IsKeyHeader(const TypKeyHeader& header);

// Reads the header at the start of the key file open at fd (from offset 0, without moving the
// file's position) into host order. 0; kOtherErr when fewer than kKeyHeaderSize bytes can be
// read (a short file, or a failed read); kBadKeyHeader when it is of another version than 1,
// with header still filled in, so that the caller can say which.
int32_t ReadKeyHeader(int fd, TypKeyHeader* header);
// The same for the key file at path, opened for reading without waiting on a pipe and read
// under a shared lock, so that a header being rewritten by an encryption is never read half
// old and half new. kFNFErr when nothing is at path; kOtherErr when it cannot be opened or is
// not a regular file; otherwise as above.
int32_t ReadKeyHeader(const char* path, TypKeyHeader* header);

// What keeps a text from being a key name, or kNone when it is one.
enum class KeyNameFault {
    kNone,
    kLength,      // empty, or longer than the header's name field (40 bytes)
    kLeadingDot,  // starts with "."
    kCharacter,   // holds a "/", a NUL or another control character (below 0x20, or 0x7F)
};

// The one rule for key names: for a key being made, and for the name a frame's header gives,
// which decryption refuses with KeyNotFoundErr before it opens any file. A key file's path is
// <key folder>Clefs/<name>.<year>, so a name that passed could lead out of Clefs/ ("../x"),
// to a hidden file, or put terminal controls into a report. Reads at most 40 bytes of name.
KeyNameFault CheckKeyName(const unsigned char* name, size_t length);

}  // namespace veldoran

#endif
