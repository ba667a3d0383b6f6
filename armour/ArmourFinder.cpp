// The armour found in a stream of pieces: two marker searches over the same bytes, and the
// text between them handed to the decoder no later than the end marker can no longer begin in
// it.
#include "armour/ArmourFinder.h"

#include <cstring>

#include "platform/ResultCodes.h"

size_t veldoran::ArmourFinder::Feed(const unsigned char* text, size_t count, unsigned char* out) {
    if (ended_ || count == 0) {
        return 0;
    }
    const int64_t start = start_.Feed(text, count);
    const int64_t end = end_.Feed(text, count);
    const uint64_t position = position_;
    const uint64_t pieceEnd = position + count;
    size_t stored = 0;
    if (end >= 0 && (start < 0 || end < start + static_cast<int64_t>(armour::kStartMarkerLength))) {
        // The first end marker stands before the end of the first start marker.
        ended_ = true;
        return 0;
    }
    if (start >= 0) {
        const uint64_t bodyBegin = static_cast<uint64_t>(start) + armour::kStartMarkerLength;
        const uint64_t limit = end >= 0 ? static_cast<uint64_t>(end)
                                        : (pieceEnd > kHeldText ? pieceEnd - kHeldText : 0);
        const uint64_t from = bodyDone_ > bodyBegin ? bodyDone_ : bodyBegin;
        if (from < limit) {
            // What lies in the held bytes before this piece, then in this one.
            if (from < position) {
                const uint64_t heldBegin = position - kHeldText;
                const uint64_t heldEnd = limit < position ? limit : position;
                stored += decoder_.Put(held_ + (from - heldBegin), heldEnd - from, out);
            }
            if (limit > position) {
                const uint64_t inPiece = from > position ? from - position : 0;
                stored += decoder_.Put(text + inPiece, limit - position - inPiece, out + stored);
            }
            bodyDone_ = limit;
        }
        if (end >= 0) {
            ended_ = true;
            found_ = true;
        }
    }
    if (count >= kHeldText) {
        memcpy(held_, text + count - kHeldText, kHeldText);
    } else {
        memmove(held_, held_ + count, kHeldText - count);
        memcpy(held_ + kHeldText - count, text, count);
    }
    position_ = pieceEnd;
    return stored;
}

int32_t veldoran::ArmourFinder::Finish() const {
    return found_ ? decoder_.Finish() : kPbErr;
}
