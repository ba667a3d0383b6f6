// Heap memory, copies, the key folder, the year text and key file references on this platform.
#include "platform/TypUtilsUnix.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/KeyFilePath.h"
#include "platform/TypFileRefUnix.h"
#include "platform/UnfilledBlock.h"

int32_t TypUtilsUnix::InitCreate(unsigned char*) {
    keyFolderPath[0] = '\0';
    return kNoErr;
}

namespace {

constexpr uintptr_t kHugePage = 2u << 20;
// Filling a fresh 64 MiB block page by page costs more than the work done in it, and huge
// pages make that several times cheaper. Measured on a virtual machine: for blocks of 128 MiB
// and more the clearing of fresh huge pages stalls and ordinary pages come out ahead.
constexpr size_t kHugePageLimit = size_t{112} << 20;

void AdviseHugePages(unsigned char* block, size_t size) {
#ifdef MADV_HUGEPAGE
    // Only whole huge pages inside the block; a refusal just leaves ordinary pages.
    const auto start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (start + size) & ~(kHugePage - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)size;
#endif
}

}  // namespace

unsigned char* TypUtilsUnix::AllocateBlock(size_t capacity, size_t used) {
    // malloc(0) may legally return null; a zero-length block must still be a valid block.
    auto* block = static_cast<unsigned char*>(malloc(capacity == 0 ? 1 : capacity));
    if (block != nullptr && used >= kLargeBlock && used <= kHugePageLimit) {
        AdviseHugePages(block, used);
    }
    return block;
}

unsigned char* TypUtilsUnix::MyNewPtr(uint32_t size) {
    unsigned char* block = AllocateBlock(size);
    if (block != nullptr && !veldoran::FillLeftOut()) {
        memset(block, ' ', size);
    }
    return block;
}

void TypUtilsUnix::MyDisposeptr(unsigned char** block, uint32_t length) {
    if (block == nullptr) {
        return;
    }
    WipeAndFree(*block, length);
    *block = nullptr;
}

void TypUtilsUnix::WipeAndFree(unsigned char* block, size_t length) {
    if (block == nullptr) {
        return;
    }
    // Blocks hold documents, key material and key stream: none of it may linger in memory the
    // heap hands out again. Only the bytes the block was used for are wiped (a caller may name
    // fewer than it had, never more than the heap gave), so untouched pages stay untouched.
    const size_t usable = malloc_usable_size(block);
    explicit_bzero(block, length < usable ? length : usable);
    free(block);
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
    char path[kMaxPathLength + 1];
    if (!veldoran::KeyFilePath(keyFolderPath, name, nullptr, path) ||
        fileRef->SetPath(path) != kNoErr) {
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
