// Large blocks on huge pages, with one spare block kept for the next form of the document.
#include "pipelines/TypPipelineUtils.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uintptr_t kHugePage = 2u << 20;
// Measured on a virtual machine: huge pages make a 64 MiB document's blocks several times
// cheaper to fault in, but for blocks of 128 MiB and more the clearing of fresh huge pages
// stalls and ordinary pages come out ahead.
constexpr size_t kHugePageLimit = size_t{96} << 20;
// Room for every later form of the document: the recipient block and two key headers, and
// the armour, about 1.36 times its input. Room that is never touched costs no memory, and a
// block that can hold the armour spares it fresh pages.
size_t CapacityFor(uint32_t size) {
    return size_t{size} + size / 2 + (1u << 20);
}

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

TypPipelineUtils::~TypPipelineUtils() {
    free(spare_);
}

unsigned char* TypPipelineUtils::MyNewPtr(uint32_t size) {
    if (size < kLargeBlock) {
        return TypUtilsUnix::MyNewPtr(size);
    }
    unsigned char* block = nullptr;
    if (spare_ != nullptr && spareCapacity_ >= size) {
        block = spare_;
    } else {
        // Released first, so that the old and the new block are never held together.
        free(spare_);
        const size_t capacity = CapacityFor(size);
        block = static_cast<unsigned char*>(malloc(capacity));
        if (block == nullptr) {
            spare_ = nullptr;
            spareCapacity_ = 0;
            return nullptr;
        }
        if (size <= kHugePageLimit) {
            AdviseHugePages(block, capacity);
        }
    }
    spare_ = nullptr;
    spareCapacity_ = 0;
    memset(block, ' ', size);
    return block;
}

void TypPipelineUtils::MyDisposeptr(unsigned char** block, uint32_t length) {
    if (block == nullptr || *block == nullptr) {
        TypUtilsUnix::MyDisposeptr(block, length);
        return;
    }
    const size_t capacity = malloc_usable_size(*block);
    if (spare_ == nullptr && capacity >= kLargeBlock) {
        spare_ = *block;
        spareCapacity_ = capacity;
        *block = nullptr;
        return;
    }
    TypUtilsUnix::MyDisposeptr(block, length);
}
