// Heap memory, copies, the key folder, the year text and key file references on this platform.
#include "platform/TypUtilsUnix.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/TypFileRefUnix.h"

int32_t TypUtilsUnix::InitCreate(unsigned char*) {
    keyFolderPath[0] = '\0';
    return kNoErr;
}

namespace {

// Whole documents live in single blocks. Above this size a block is aligned to, and asks the
// kernel for, 2 MiB pages: filling a fresh 64 MiB block page by page otherwise costs more than
// the work done in it.
constexpr uint32_t kLargeBlock = 4u << 20;
constexpr size_t kHugePage = 2u << 20;

unsigned char* AllocateLarge(uint32_t size) {
    void* block = nullptr;
    if (posix_memalign(&block, kHugePage, size) != 0) {
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    const size_t wholePages = size / kHugePage * kHugePage;
    madvise(block, wholePages, MADV_HUGEPAGE);
#endif
    return static_cast<unsigned char*>(block);
}

}  // namespace

unsigned char* TypUtilsUnix::MyNewPtr(uint32_t size) {
    // malloc(0) may legally return null; a zero-length block must still be a valid block.
    auto* block = size >= kLargeBlock ? AllocateLarge(size)
                                      : static_cast<unsigned char*>(malloc(size == 0 ? 1 : size));
    if (block != nullptr) {
        memset(block, ' ', size);
    }
    return block;
}

void TypUtilsUnix::MyDisposeptr(unsigned char** block, uint32_t) {
    if (block == nullptr) {
        return;
    }
    free(*block);
    *block = nullptr;
}

void TypUtilsUnix::MyBlockMove(const void* source, void* destination, uint32_t count) {
    // memmove: as fast as memcpy on distinct ranges, and still right if a caller overlaps them.
    if (count != 0) {
        memmove(destination, source, count);
    }
}

TypFileRef* TypUtilsUnix::GetFileRefForKeyName(const char* name) {
    auto* fileRef = new (std::nothrow) TypFileRefUnix;
    if (fileRef == nullptr) {
        return nullptr;
    }
    fileRef->InitCreate(this);
    if (fileRef->SetPath(keyFolderPath) != kNoErr || fileRef->AppendPath("Clefs/") != kNoErr ||
        fileRef->AppendPath(name) != kNoErr) {
        delete fileRef;
        return nullptr;
    }
    return fileRef;
}

void TypUtilsUnix::FormatYearText(int32_t yearsSince1900, char* destination) {
    const int32_t yearText = yearsSince1900 <= 89 ? yearsSince1900 + 100 : yearsSince1900;
    snprintf(destination, 12, "%d", yearText);
}

void TypUtilsUnix::GetYearAsText(char* destination) {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    FormatYearText(local.tm_year, destination);
}

int32_t TypUtilsUnix::SetKeyFolderPath(const char* path) {
    if (path == nullptr) {
        return kOtherErr;
    }
    const size_t length = strlen(path);
    if (length > kMaxPathLength) {
        return kOtherErr;
    }
    memmove(keyFolderPath, path, length + 1);
    return kNoErr;
}
