// The key header's byte order, the one conversion every reader and writer of headers uses, and
// the reading of a key file's header.
#include "crypto/TypKeyHeader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/DurableSteps.h"
#include "platform/TypUtils.h"

void veldoran::SwapHeaderNumbers(TypUtils* utils, TypKeyHeader* header) {
    utils->swaplong(&header->version);
    utils->swaplong(&header->year);
    utils->swaplong(&header->idLen);
    utils->swaplong(&header->nameLen);
    utils->swaplong(&header->keyLen);
    utils->swaplong(&header->keyOffset);
    utils->swaplong(&header->useCount);
}

void veldoran::DecodeKeyHeader(const unsigned char* stored, TypKeyHeader* header) {
    // The base utility object's byte order needs nothing set up.
    TypUtils byteOrder;
    memcpy(header, stored, kKeyHeaderSize);
    SwapHeaderNumbers(&byteOrder, header);
}

void veldoran::EncodeKeyHeader(const TypKeyHeader& header, unsigned char* stored) {
    TypUtils byteOrder;
    TypKeyHeader copy = header;
    SwapHeaderNumbers(&byteOrder, &copy);
    memcpy(stored, &copy, kKeyHeaderSize);
}

veldoran::KeyHeaderFault veldoran::CheckKeyHeader(const TypKeyHeader& header) {
    if (header.version != kVersion) {
        return KeyHeaderFault::kVersion;
    }
    if (header.idLen < 0 || header.idLen > kLenMaxID || header.nameLen < 1 ||
        header.nameLen > kLenMaxName || header.keyLen < 1) {
        return KeyHeaderFault::kLength;
    }
    if (header.keyOffset < 0 || header.keyOffset > header.keyLen) {
        return KeyHeaderFault::kPosition;
    }
    return KeyHeaderFault::kNone;
}

bool veldoran::IsKeyHeader(const TypKeyHeader& header) {
    return CheckKeyHeader(header) == KeyHeaderFault::kNone;
}

int32_t veldoran::ReadKeyHeader(int fd, TypKeyHeader* header) {
    unsigned char stored[kKeyHeaderSize];
    if (!ReadFullyAt(fd, stored, sizeof stored, 0)) {
        return kOtherErr;
    }
    DecodeKeyHeader(stored, header);
    return header->version == kVersion ? kNoErr : kBadKeyHeader;
}

int32_t veldoran::ReadKeyHeader(const char* path, TypKeyHeader* header) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno == ENOENT ? kFNFErr : kOtherErr;
    }
    struct stat info {};
    int32_t result = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? kNoErr : kOtherErr;
    if (result == kNoErr) {
        // Where locks are not offered the header is read without one, as GetKeyKeyHeader
        // reads it.
        while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        result = ReadKeyHeader(fd, header);
    }
    close(fd);
    return result;
}
