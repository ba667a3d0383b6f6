// Cyclic ranges of key material: their pieces at every kind of start and length, what two of
// them share, and the range between two positions of a stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/KeyRange.h"

namespace {

using veldoran::KeyPiece;
using veldoran::KeyRange;

std::string Text(const KeyPiece* pieces, int count) {
    std::string text;
    for (int k = 0; k < count; ++k) {
        text += "[" + std::to_string(pieces[k].first) + "," + std::to_string(pieces[k].end) + ")";
    }
    return text;
}

TEST(KeyRange, SplitsWhereTheMaterialEnds) {
    const struct {
        uint64_t start, length, keyLen;
        const char* pieces;
    } cases[] = {
        {10, 20, 100, "[10,30)"},           // inside the material
        {80, 20, 100, "[80,100)"},          // up to its last byte
        {90, 20, 100, "[90,100)[0,10)"},    // round to its start
        {99, 2, 100, "[99,100)[0,1)"},      // from the last byte on
        {99, 1, 100, "[99,100)"},           // the last byte alone
        {10, 0, 100, ""},                   // nothing taken
        {0, 100, 100, "[0,100)"},           // the whole key from its start
        {30, 100, 100, "[30,100)[0,30)"},   // the whole key from elsewhere
        {30, 1000, 100, "[30,100)[0,30)"},  // more than the key: still each byte once
        {100, 5, 100, "[0,5)"},             // a start at keyLen is the material's start
        {250, 10, 100, "[50,60)"},          // a start beyond keyLen is taken modulo
        {3, 4, 0, "[0,1)"},                 // keyLen 0, as a damaged record has, is 1
        {4294967295u, 2, 4294967296u, "[4294967295,4294967296)[0,1)"},  // no overflow
    };
    for (const auto& c : cases) {
        const KeyRange range(c.start, c.length, c.keyLen);
        KeyPiece pieces[KeyRange::kMostPieces];
        const int count = range.Pieces(pieces);
        EXPECT_EQ(Text(pieces, count), c.pieces)
            << c.start << "+" << c.length << " of " << c.keyLen;
    }
}

TEST(KeyRange, SharesExactlyTheBytesBothCover) {
    const struct {
        const char* what;
        KeyRange a, b;
        uint64_t shared;
        const char* first;  // the first shared piece in a's stream order
    } cases[] = {
        {"apart", {10, 10, 100}, {30, 10, 100}, 0, ""},
        {"touching", {10, 10, 100}, {20, 10, 100}, 0, ""},
        {"one byte", {10, 10, 100}, {19, 10, 100}, 1, "[19,20)"},
        {"the same", {10, 10, 100}, {10, 10, 100}, 10, "[10,20)"},
        {"one inside the other", {0, 100, 100}, {40, 5, 100}, 5, "[40,45)"},
        {"both wrap", {90, 20, 100}, {95, 20, 100}, 15, "[95,100)"},
        {"a wraps onto b's start", {90, 20, 100}, {5, 10, 100}, 5, "[5,10)"},
        {"b wraps around a", {50, 10, 100}, {40, 80, 100}, 10, "[50,60)"},
        // b's pieces lie in a's first piece in the opposite order: the earlier comes first.
        {"b's pieces reversed in a", {0, 100, 100}, {90, 20, 100}, 20, "[0,10)"},
        {"a whole key from elsewhere", {30, 100, 100}, {10, 30, 100}, 30, "[30,40)"},
        {"empty", {10, 0, 100}, {0, 100, 100}, 0, ""},
        {"a start at keyLen - 1", {99, 3, 100}, {0, 1, 100}, 1, "[0,1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KeyPiece first{7, 7};
        EXPECT_EQ(c.a.Shared(c.b, &first), c.shared);
        EXPECT_EQ(c.shared == 0 ? "" : Text(&first, 1), c.first);
        if (c.shared == 0) {
            EXPECT_EQ(first.first, 7u);  // left as it was
        }
        EXPECT_EQ(c.b.Shared(c.a), c.shared);
    }
}

TEST(KeyRange, BetweenTwoPositionsGoesRound) {
    const struct {
        uint64_t from, to, keyLen, start, length;
    } cases[] = {
        {10, 30, 100, 10, 20}, {90, 10, 100, 90, 20}, {30, 30, 100, 30, 100},  // all the way round
        {100, 5, 100, 0, 5},  // from keyLen, which is the start
        {0, 100, 100, 0, 100},
    };
    for (const auto& c : cases) {
        const KeyRange range = KeyRange::Between(c.from, c.to, c.keyLen);
        EXPECT_EQ(range.Start(), c.start) << c.from << " to " << c.to;
        EXPECT_EQ(range.Length(), c.length) << c.from << " to " << c.to;
        EXPECT_EQ(range.End(), c.to % c.keyLen) << c.from << " to " << c.to;
    }
}

}  // namespace
