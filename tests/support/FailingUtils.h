// A utility object whose allocations can be made to fail, to drive the out-of-memory paths of
// any component. It counts every MyNewPtr call and refuses the chosen ones.
#ifndef VELDORAN_TESTS_SUPPORT_FAILINGUTILS_H
#define VELDORAN_TESTS_SUPPORT_FAILINGUTILS_H

#include <cstdint>

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

    unsigned char* MyNewPtr(uint32_t size) override {
        ++calls_;
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
};

}  // namespace testsupport

#endif
