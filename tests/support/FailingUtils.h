// A utility object whose allocations can be made to fail, to drive the out-of-memory paths of
// any component. It counts every MyNewPtr call and refuses the chosen ones, and adds up the
// bytes asked for and those of them filled with spaces (not asked through NewUnfilledBlock).
#ifndef VELDORAN_TESTS_SUPPORT_FAILINGUTILS_H
#define VELDORAN_TESTS_SUPPORT_FAILINGUTILS_H

#include <cstdint>

#include "platform/UnfilledBlock.h"
#include "veldoran.h"

namespace testsupport {

class FailingUtils : public TypUtilsUnix {
  public:
    // Calls numbered from 1; 0 fails none. With failAllFrom set, that call and every later one
    // fail.
    void FailCall(int callNumber, bool failAllFrom = false) {
        failCall_ = callNumber;
        failAllFrom_ = failAllFrom;
        calls_ = 0;
    }
    int calls() const { return calls_; }
    // Blocks handed out and not yet disposed of through this object.
    int liveBlocks() const { return live_; }

    // Bytes asked for, and those filled, since the object was made.
    uint64_t askedBytes() const { return asked_; }
    uint64_t filledBytes() const { return filled_; }

    unsigned char* MyNewPtr(uint32_t size) override {
        ++calls_;
        asked_ += size;
        filled_ += veldoran::FillLeftOut() ? 0 : size;
        if (failCall_ != 0 && (calls_ == failCall_ || (failAllFrom_ && calls_ > failCall_))) {
            return nullptr;
        }
        unsigned char* block = TypUtilsUnix::MyNewPtr(size);
        if (block != nullptr) {
            ++live_;
        }
        return block;
    }

    void MyDisposeptr(unsigned char** block, uint32_t length) override {
        if (block != nullptr && *block != nullptr) {
            --live_;
        }
        TypUtilsUnix::MyDisposeptr(block, length);
    }

  private:
    int failCall_ = 0;
    bool failAllFrom_ = false;
    int calls_ = 0;
    int live_ = 0;
    uint64_t asked_ = 0;
    uint64_t filled_ = 0;
};

}  // namespace testsupport

#endif
