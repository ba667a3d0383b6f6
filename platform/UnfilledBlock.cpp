// The request for an unfilled block, told to MyNewPtr on the calling thread alone.
#include "platform/UnfilledBlock.h"

#include "platform/TypUtils.h"

namespace {

thread_local bool tFillLeftOut = false;

}  // namespace

unsigned char* veldoran::NewUnfilledBlock(TypUtils* utils, uint32_t size) {
    // Restored, not cleared: a MyNewPtr that itself asks for an unfilled block stays correct.
    const bool outer = tFillLeftOut;
    tFillLeftOut = true;
    unsigned char* block = utils->MyNewPtr(size);
    tFillLeftOut = outer;
    return block;
}

bool veldoran::FillLeftOut() {
    return tFillLeftOut;
}
