// Key stream windows: the period kept whole with a wrapped tail, or read window by window.
#include "crypto/KeyStreamWindow.h"

#include <cassert>
#include <cstring>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypUtils.h"

namespace veldoran {

namespace {

constexpr uint32_t kLargestBlockWindow = 1u << 20;
// A key held whole is walked in pieces of at most this size, so that the key stream a piece
// uses stays in the first-level cache while the data streams past it: a walk over the whole
// window would read a second stream as long as the data from further away.
constexpr uint32_t kCachedPiece = 16u << 10;

}  // namespace

uint32_t BlockWindow(uint64_t length) {
    if (length == 0) {
        return 1;
    }
    return length < kLargestBlockWindow ? static_cast<uint32_t>(length) : kLargestBlockWindow;
}

int32_t KeyStreamWindow::ReadMaterial(unsigned char* destination, uint32_t first, uint32_t count) {
    if (count == 0) {
        return kNoErr;
    }
    const int32_t result = keyFile_->SetFilePos(kKeyHeaderSize + first);
    return result == kNoErr ? keyFile_->Read(destination, count) : result;
}

int32_t KeyStreamWindow::Open(TypUtils* utils, TypFileRef* keyFile, uint32_t keyLen, uint32_t start,
                              uint64_t streamLength, uint32_t window) {
    const int32_t result = Reserve(utils, keyFile, keyLen, start, streamLength, window);
    return result == kNoErr ? Load() : result;
}

int32_t KeyStreamWindow::Reserve(TypUtils* utils, TypFileRef* keyFile, uint32_t keyLen,
                                 uint32_t start, uint64_t streamLength, uint32_t window) {
    assert(block_.data() == nullptr && utils != nullptr && keyLen >= 1 && start <= keyLen &&
           window >= 1);
    keyFile_ = keyFile;
    block_.SetUtils(utils);
    keyLen_ = keyLen;
    start_ = start % keyLen;
    window_ = window;
    const uint64_t period = streamLength < keyLen ? streamLength : keyLen;
    const bool whole = period <= window;
    // A held period is only ever walked a piece at a time, so its wrapped tail need not be
    // longer than one piece: a whole window of it would be copied and touched for nothing.
    const uint64_t tail = window < kCachedPiece ? window : kCachedPiece;
    const uint64_t size = whole ? period + tail : window;
    if (size > UINT32_MAX) {
        return kMemErr;
    }
    // Load, or each Fetch, writes what is read from it.
    if (block_.AllocateUnfilled(static_cast<uint32_t>(size)) != kNoErr) {
        return kMemErr;
    }
    period_ = whole ? static_cast<uint32_t>(period) : 0;
    return kNoErr;
}

int32_t KeyStreamWindow::Load() {
    assert(block_.data() != nullptr);
    if (period_ == 0) {
        return kNoErr;
    }
    // The period, in at most two reads, then repeated behind itself.
    const uint32_t toEnd = keyLen_ - start_ < period_ ? keyLen_ - start_ : period_;
    int32_t result = ReadMaterial(block_.data(), start_, toEnd);
    if (result == kNoErr) {
        result = ReadMaterial(block_.data() + toEnd, 0, period_ - toEnd);
    }
    for (uint32_t filled = period_; result == kNoErr && filled < block_.length();) {
        const uint32_t copy = block_.length() - filled < filled ? block_.length() - filled : filled;
        memcpy(block_.data() + filled, block_.data(), copy);
        filled += copy;
    }
    return result;
}

uint32_t KeyStreamWindow::Piece() const {
    return Held() && window_ > kCachedPiece ? kCachedPiece : window_;
}

int32_t KeyStreamWindow::Fetch(uint64_t position, uint32_t count, const unsigned char** stream) {
    assert(block_.data() != nullptr && count <= Piece());
    if (period_ != 0) {
        *stream = block_.data() + position % period_;
        return kNoErr;
    }
    // A key longer than the window: at most one wrap inside a window.
    *stream = block_.data();
    const auto first = static_cast<uint32_t>((start_ + position) % keyLen_);
    const uint32_t toEnd = keyLen_ - first < count ? keyLen_ - first : count;
    const int32_t result = ReadMaterial(block_.data(), first, toEnd);
    return result == kNoErr ? ReadMaterial(block_.data() + toEnd, 0, count - toEnd) : result;
}

template <class Step>
int32_t KeyStreamWindow::Walk(uint64_t count, uint64_t position, Step step) {
    const uint32_t most = Piece();
    for (uint64_t done = 0; done < count;) {
        const auto piece = static_cast<uint32_t>(count - done < most ? count - done : most);
        const unsigned char* stream = nullptr;
        const int32_t result = Fetch(position + done, piece, &stream);
        if (result != kNoErr) {
            return result;
        }
        step(done, stream, piece);
        done += piece;
    }
    return kNoErr;
}

int32_t KeyStreamWindow::Copy(unsigned char* target, uint64_t count, uint64_t position) {
    return Walk(count, position,
                [target](uint64_t done, const unsigned char* stream, uint32_t piece) {
                    memcpy(target + done, stream, piece);
                });
}

int32_t KeyStreamWindow::Xor(unsigned char* data, uint64_t count, uint64_t position) {
    return Walk(count, position,
                [data](uint64_t done, const unsigned char* stream, uint32_t piece) {
                    keystream::XorInPlace(data + done, stream, piece);
                });
}

int32_t KeyStreamWindow::XorInto(unsigned char* target, const unsigned char* source, uint64_t count,
                                 uint64_t position) {
    return Walk(count, position,
                [target, source](uint64_t done, const unsigned char* stream, uint32_t piece) {
                    keystream::XorInto(target + done, source + done, stream, piece);
                });
}

}  // namespace veldoran
