// Internal: finds the first occurrence of a short pattern in a byte stream that arrives in
// pieces, also where it straddles two pieces, without copying more than the pattern's length.
#ifndef VELDORAN_ARMOUR_STREAMSEARCH_H
#define VELDORAN_ARMOUR_STREAMSEARCH_H

#include <stdint.h>
#include <string.h>

namespace veldoran {

class StreamSearch {
  public:
    static constexpr size_t kMaxPattern = 32;

    // pattern: a NUL-terminated text of 1 to kMaxPattern characters, not owned.
    explicit StreamSearch(const char* pattern) : pattern_(pattern), length_(strlen(pattern)) {}

    // Looks at the next count bytes of the stream. Returns the stream position of the first
    // occurrence once it has been seen (and ever after), else -1. from (at most count): the
    // caller knows that no occurrence begins in data before it (no byte there is the
    // pattern's first).
    int64_t Feed(const unsigned char* data, size_t count, size_t from = 0) {
        if (found_ >= 0 || count == 0) {
            return found_;
        }
        // An occurrence that begins in the kept tail and ends in data.
        if (kept_ > 0) {
            unsigned char joint[2 * kMaxPattern];
            const size_t take = count < length_ - 1 ? count : length_ - 1;
            memcpy(joint, tail_, kept_);
            memcpy(joint + kept_, data, take);
            const void* hit = memmem(joint, kept_ + take, pattern_, length_);
            if (hit != nullptr) {
                found_ = static_cast<int64_t>(position_ - kept_) +
                         (static_cast<const unsigned char*>(hit) - joint);
                return found_;
            }
        }
        const void* hit = memmem(data + from, count - from, pattern_, length_);
        if (hit != nullptr) {
            found_ =
                static_cast<int64_t>(position_) + (static_cast<const unsigned char*>(hit) - data);
            return found_;
        }
        // The last length - 1 bytes of the stream so far.
        const size_t keep = length_ - 1;
        if (count >= keep) {
            memcpy(tail_, data + count - keep, keep);
            kept_ = keep;
        } else {
            const size_t old = kept_ + count > keep ? keep - count : kept_;
            memmove(tail_, tail_ + kept_ - old, old);
            memcpy(tail_ + old, data, count);
            kept_ = old + count;
        }
        position_ += count;
        return -1;
    }

    int64_t found() const { return found_; }

  private:
    const char* pattern_;
    size_t length_;
    unsigned char tail_[kMaxPattern] = {};
    size_t kept_ = 0;
    uint64_t position_ = 0;
    int64_t found_ = -1;
};

}  // namespace veldoran

#endif
