// A range of a key's material as a key stream takes it: from a start, for a length, going round
// to the material's first byte after its last. Splits it into pieces that do not go round and
// says what two ranges of the same key share, exactly, at any start and length.
#ifndef VELDORAN_CRYPTO_KEYRANGE_H
#define VELDORAN_CRYPTO_KEYRANGE_H

#include <stdint.h>

namespace veldoran {

// Bytes first up to end (one past the last) of the key material, never going round.
struct KeyPiece {
    uint64_t first = 0;
    uint64_t end = 0;
};

class KeyRange {
  public:
    // The most pieces a range splits into: one up to the material's end, one from its start.
    static constexpr int kMostPieces = 2;

    KeyRange() = default;
    // length bytes from start (taken modulo keyLen) of keyLen bytes of material; a keyLen of 0
    // is taken as 1, so that a damaged record still names a range. A length of keyLen or more
    // covers the whole material once.
    KeyRange(uint64_t start, uint64_t length, uint64_t keyLen);
    // The range a stream takes from position from until it reaches position to again: the
    // whole material when the two are equal (the stream went all the way round).
    static KeyRange Between(uint64_t from, uint64_t to, uint64_t keyLen);

    uint64_t Start() const { return start_; }
    // The bytes of material covered, at most keyLen.
    uint64_t Length() const { return length_; }
    uint64_t KeyLen() const { return keyLen_; }
    // Where a stream stands after the range: the position the next one starts from.
    uint64_t End() const { return (start_ + length_) % keyLen_; }

    // Writes the pieces in stream order into pieces (kMostPieces of room) and returns their
    // count: 0 for an empty range, 2 when it goes round.
    int Pieces(KeyPiece* pieces) const;
    // The bytes of material both ranges cover (of keyLen, taken from this range). first, when
    // not null, receives the first piece shared, in this range's stream order, and is left as
    // it was when nothing is shared.
    uint64_t Shared(const KeyRange& other, KeyPiece* first = nullptr) const;

  private:
    uint64_t start_ = 0;
    uint64_t length_ = 0;
    uint64_t keyLen_ = 1;
};

}  // namespace veldoran

#endif
