// A utility object that can set one block aside before a point of no return (key material
// spent) and hand it out for the first later request of exactly its size, so that that request
// cannot fail for lack of memory. Everything else behaves as the base utility object does.
#ifndef VELDORAN_PIPELINES_RESERVINGUTILS_H
#define VELDORAN_PIPELINES_RESERVINGUTILS_H

#include <stdint.h>
#include <string.h>

#include "platform/ResultCodes.h"
#include "platform/UnfilledBlock.h"

namespace veldoran {

// What a pipeline asks of a utility object that can set a block aside.
class BlockReserve {
  public:
    // Allocates size bytes now, through the utility object, for the next MyNewPtr of exactly
    // size bytes (a request of another size, such as a frame's, leaves it alone). kNoErr, or
    // kMemErr (nothing held) when memory is short. A block already set aside is given back first.
    virtual int32_t Reserve(uint32_t size) = 0;
    // Gives back a block still set aside; nothing happens when there is none.
    virtual void ReleaseReserve() = 0;

  protected:
    ~BlockReserve() = default;
};

// Base is any utility object class (TypUtilsUnix or one derived from it). The block set aside
// comes from Base::MyNewPtr and goes back through Base::MyDisposeptr, so it counts as any other
// block of the base; one that is never asked for is given back when the object is deleted.
template <class Base>
class ReservingUtils : public Base, public BlockReserve {
  public:
    using Base::Base;
    ReservingUtils() = default;
    ~ReservingUtils() override { ReleaseReserve(); }

    int32_t Reserve(uint32_t size) override {
        ReleaseReserve();
        reserved_ = Base::MyNewPtr(size);
        if (reserved_ == nullptr) {
            return kMemErr;
        }
        reservedSize_ = size;
        return kNoErr;
    }

    unsigned char* MyNewPtr(uint32_t size) override {
        if (reserved_ == nullptr || size != reservedSize_) {
            return Base::MyNewPtr(size);
        }
        unsigned char* block = reserved_;
        reserved_ = nullptr;
        reservedSize_ = 0;
        // Filled with spaces like every new block, unless it is to be overwritten whole.
        if (!FillLeftOut()) {
            memset(block, ' ', size);
        }
        return block;
    }

    void ReleaseReserve() override {
        if (reserved_ != nullptr) {
            Base::MyDisposeptr(&reserved_, reservedSize_);
        }
        reserved_ = nullptr;
        reservedSize_ = 0;
    }

  private:
    unsigned char* reserved_ = nullptr;
    uint32_t reservedSize_ = 0;
};

}  // namespace veldoran

#endif
