// Block ownership: allocation through the utility object or the heap, and the one way back.
#include "platform/OwnedBlock.h"

#include <assert.h>
#include <stdlib.h>
#include <string.h>

#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"
#include "platform/TypUtilsUnix.h"
#include "platform/UnfilledBlock.h"

namespace veldoran {

namespace {

// malloc gives no block for 0 bytes everywhere; a utility object always does.
unsigned char* NewHeapBlock(uint32_t size) {
    return static_cast<unsigned char*>(malloc(size == 0 ? 1 : size));
}

}  // namespace

void OwnedBlock::SetUtils(TypUtils* utils) {
    assert(data_ == nullptr);
    utils_ = utils;
}

int32_t OwnedBlock::Allocate(uint32_t size) {
    Dispose();
    data_ = utils_ != nullptr ? utils_->MyNewPtr(size) : NewHeapBlock(size);
    if (data_ == nullptr) {
        return kMemErr;
    }
    if (utils_ == nullptr) {
        // The promise MyNewPtr makes, kept for heap blocks too.
        memset(data_, ' ', size);
    }
    length_ = size;
    return kNoErr;
}

int32_t OwnedBlock::AllocateUnfilled(uint32_t size) {
    Dispose();
    data_ = utils_ != nullptr ? NewUnfilledBlock(utils_, size) : NewHeapBlock(size);
    if (data_ == nullptr) {
        return kMemErr;
    }
    length_ = size;
    return kNoErr;
}

void OwnedBlock::Adopt(unsigned char** block, uint32_t* length) {
    Dispose();
    data_ = *block;
    length_ = *length;
    *block = nullptr;
    *length = 0;
}

void OwnedBlock::AdoptText(char** text) {
    Dispose();
    if (*text != nullptr) {
        const size_t size = strlen(*text) + 1;
        data_ = reinterpret_cast<unsigned char*>(*text);
        length_ = size < UINT32_MAX ? static_cast<uint32_t>(size) : UINT32_MAX;
    }
    *text = nullptr;
}

void OwnedBlock::Dispose() {
    if (data_ != nullptr) {
        if (content_ == BlockContent::kKeyMaterial) {
            // Whatever the utility object does with the block, key material does not linger.
            explicit_bzero(data_, length_);
        }
        if (utils_ != nullptr) {
            utils_->MyDisposeptr(&data_, length_);
        } else {
            TypUtilsUnix::WipeAndFree(data_, length_);
        }
    }
    data_ = nullptr;
    length_ = 0;
}

}  // namespace veldoran
