// A memory block from a utility object, held by one variable and given back through the same
// object when it is replaced or goes out of scope, so that no early return leaks a form of the
// document.
#ifndef VELDORAN_PIPELINES_OWNEDBLOCK_H
#define VELDORAN_PIPELINES_OWNEDBLOCK_H

#include <stdint.h>

#include "platform/TypUtils.h"

namespace veldoran {

class OwnedBlock {
  public:
    explicit OwnedBlock(TypUtils* utils) : utils_(utils) {}
    ~OwnedBlock() { Dispose(); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    // For operations that hand a block over through the caller's pointer and length variables.
    unsigned char** Pointer() { return &data_; }
    uint32_t* Length() { return &length_; }
    unsigned char* data() const { return data_; }
    uint32_t length() const { return length_; }

    void Dispose() {
        if (data_ != nullptr) {
            utils_->MyDisposeptr(&data_, length_);
        }
        data_ = nullptr;
        length_ = 0;
    }

  private:
    TypUtils* utils_;
    unsigned char* data_ = nullptr;
    uint32_t length_ = 0;
};

}  // namespace veldoran

#endif
