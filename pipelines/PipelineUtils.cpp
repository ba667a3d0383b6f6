// Large blocks on huge pages, with one spare block kept for the next form of the document.
#include "pipelines/PipelineUtils.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/UnfilledBlock.h"

namespace {

// Room for every later form of the document: the recipient block and two key headers, and
// the armour, about 1.36 times its input. Room that is never touched costs no memory, and a
// block that can hold the armour spares it fresh pages.
size_t CapacityFor(uint32_t size) {
    return size_t{size} + size / 2 + (1u << 20);
}

}  // namespace

veldoran::PipelineUtils::~PipelineUtils() {
    WipeAndFree(spare_, spareUsed_);
}

unsigned char* veldoran::PipelineUtils::MyNewPtr(uint32_t size) {
    if (size < kLargeBlock) {
        return TypUtilsUnix::MyNewPtr(size);
    }
    unsigned char* block = nullptr;
    if (spare_ != nullptr && spareCapacity_ >= size) {
        block = spare_;
    } else {
        // Released first, so that the old and the new block are never held together.
        WipeAndFree(spare_, spareUsed_);
        const size_t capacity = CapacityFor(size);
        block = AllocateBlock(capacity, size);
        if (block == nullptr) {
            spare_ = nullptr;
            spareCapacity_ = 0;
            spareUsed_ = 0;
            return nullptr;
        }
    }
    spare_ = nullptr;
    spareCapacity_ = 0;
    spareUsed_ = 0;
    if (!FillLeftOut()) {
        memset(block, ' ', size);
    }
    return block;
}

void veldoran::PipelineUtils::MyDisposeptr(unsigned char** block, uint32_t length) {
    if (block == nullptr || *block == nullptr) {
        TypUtilsUnix::MyDisposeptr(block, length);
        return;
    }
    const size_t capacity = malloc_usable_size(*block);
    if (spare_ == nullptr && capacity >= kLargeBlock) {
        spare_ = *block;
        spareCapacity_ = capacity;
        spareUsed_ = length;
        *block = nullptr;
        return;
    }
    TypUtilsUnix::MyDisposeptr(block, length);
}
