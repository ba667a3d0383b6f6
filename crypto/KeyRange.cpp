// Cyclic ranges of key material, their pieces and what two of them share.
#include "crypto/KeyRange.h"

#include <algorithm>

veldoran::KeyRange::KeyRange(uint64_t start, uint64_t length, uint64_t keyLen)
    : keyLen_(keyLen == 0 ? 1 : keyLen) {
    start_ = start % keyLen_;
    length_ = std::min(length, keyLen_);
}

veldoran::KeyRange veldoran::KeyRange::Between(uint64_t from, uint64_t to, uint64_t keyLen) {
    const uint64_t period = keyLen == 0 ? 1 : keyLen;
    const uint64_t start = from % period;
    const uint64_t stop = to % period;
    return KeyRange(start, stop == start ? period : (stop + period - start) % period, period);
}

int veldoran::KeyRange::Pieces(KeyPiece* pieces) const {
    if (length_ == 0) {
        return 0;
    }
    if (start_ + length_ <= keyLen_) {
        pieces[0] = {start_, start_ + length_};
        return 1;
    }
    pieces[0] = {start_, keyLen_};
    pieces[1] = {0, start_ + length_ - keyLen_};
    return 2;
}

uint64_t veldoran::KeyRange::Shared(const KeyRange& other, KeyPiece* first) const {
    KeyPiece own[kMostPieces];
    KeyPiece theirs[kMostPieces];
    const int ownCount = Pieces(own);
    const int theirCount = other.Pieces(theirs);
    uint64_t shared = 0;
    bool firstFound = false;
    for (int p = 0; p < ownCount; ++p) {
        for (int q = 0; q < theirCount; ++q) {
            const uint64_t from = std::max(own[p].first, theirs[q].first);
            const uint64_t to = std::min(own[p].end, theirs[q].end);
            if (from >= to) {
                continue;
            }
            // Within one of this range's pieces, theirs may come in either order.
            if (first != nullptr && (shared == 0 || (!firstFound && from < first->first))) {
                *first = {from, to};
            }
            shared += to - from;
        }
        firstFound = shared > 0;
    }
    return shared;
}
