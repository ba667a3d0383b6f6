// A block from a utility object, owned by one pipeline stage: given back through the same
// utility object, which wipes what it held, when it is replaced, disposed of, or goes out of
// scope.
#ifndef VELDORAN_PIPELINES_OWNEDBLOCK_H
#define VELDORAN_PIPELINES_OWNEDBLOCK_H

#include <stdint.h>

#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"
#include "platform/UnfilledBlock.h"

namespace veldoran {

class OwnedBlock {
  public:
    explicit OwnedBlock(TypUtils* utils) : utils_(utils) {}
    ~OwnedBlock() { Dispose(); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    // The variables an operation that produces a block writes through.
    unsigned char** Pointer() { return &data_; }
    uint32_t* Length() { return &length_; }
    unsigned char* data() const { return data_; }
    uint32_t length() const { return length_; }

    // A new block of size bytes in place of the one held. 0, or -7 with nothing held.
    int32_t Allocate(uint32_t size) {
        Dispose();
        data_ = utils_->MyNewPtr(size);
        if (data_ == nullptr) {
            return kMemErr;
        }
        length_ = size;
        return kNoErr;
    }

    // Allocate for a block whose every byte the caller writes before reading any: not filled
    // with spaces first (platform/UnfilledBlock.h).
    int32_t AllocateUnfilled(uint32_t size) {
        Dispose();
        data_ = NewUnfilledBlock(utils_, size);
        if (data_ == nullptr) {
            return kMemErr;
        }
        length_ = size;
        return kNoErr;
    }

    void Dispose() {
        if (data_ != nullptr) {
            utils_->MyDisposeptr(&data_, length_);
        }
        data_ = nullptr;
        length_ = 0;
    }

    // Hands the block and its length over to a new owner, which disposes of it.
    void HandOver(unsigned char** block, uint32_t* length) {
        *length = length_;
        *block = Release();
    }

    // Hands the block over to a new owner, which disposes of it.
    unsigned char* Release() {
        unsigned char* block = data_;
        data_ = nullptr;
        length_ = 0;
        return block;
    }

  private:
    TypUtils* utils_;
    unsigned char* data_ = nullptr;
    uint32_t length_ = 0;
};

}  // namespace veldoran

#endif
