// Key stream windows: the period kept whole with a wrapped tail, or read window by window.
#include "crypto/KeyStreamWindow.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"

namespace veldoran {

KeyStreamWindow::~KeyStreamWindow() {
    if (buffer_ != nullptr) {
        // It held key material.
        explicit_bzero(buffer_, size_);
        free(buffer_);
    }
}

int32_t KeyStreamWindow::ReadMaterial(unsigned char* destination, uint32_t first, uint32_t count) {
    if (count == 0) {
        return kNoErr;
    }
    const int32_t result = keyFile_->SetFilePos(kKeyHeaderSize + first);
    return result == kNoErr ? keyFile_->Read(destination, count) : result;
}

int32_t KeyStreamWindow::Open(TypFileRef* keyFile, uint32_t keyLen, uint32_t start,
                              uint64_t streamLength, uint32_t window) {
    assert(buffer_ == nullptr && keyLen >= 1 && start <= keyLen && window >= 1);
    keyFile_ = keyFile;
    keyLen_ = keyLen;
    start_ = start % keyLen;
    const uint64_t period = streamLength < keyLen ? streamLength : keyLen;
    const bool whole = period <= window;
    size_ = whole ? period + window : window;
    buffer_ = static_cast<unsigned char*>(malloc(size_ == 0 ? 1 : size_));
    if (buffer_ == nullptr) {
        return kMemErr;
    }
    if (!whole || period == 0) {
        return kNoErr;
    }
    // The period, in at most two reads, then repeated behind itself.
    period_ = static_cast<uint32_t>(period);
    const uint32_t toEnd = keyLen - start_ < period_ ? keyLen - start_ : period_;
    int32_t result = ReadMaterial(buffer_, start_, toEnd);
    if (result == kNoErr) {
        result = ReadMaterial(buffer_ + toEnd, 0, period_ - toEnd);
    }
    for (uint64_t filled = period_; result == kNoErr && filled < size_;) {
        const uint64_t copy = size_ - filled < filled ? size_ - filled : filled;
        memcpy(buffer_ + filled, buffer_, copy);
        filled += copy;
    }
    return result;
}

int32_t KeyStreamWindow::Fetch(uint64_t position, uint32_t count, const unsigned char** stream) {
    assert(buffer_ != nullptr && count <= (period_ != 0 ? size_ - period_ : size_));
    if (period_ != 0) {
        *stream = buffer_ + position % period_;
        return kNoErr;
    }
    // A key longer than the window: at most one wrap inside a window.
    *stream = buffer_;
    const auto first = static_cast<uint32_t>((start_ + position) % keyLen_);
    const uint32_t toEnd = keyLen_ - first < count ? keyLen_ - first : count;
    const int32_t result = ReadMaterial(buffer_, first, toEnd);
    return result == kNoErr ? ReadMaterial(buffer_ + toEnd, 0, count - toEnd) : result;
}

}  // namespace veldoran
