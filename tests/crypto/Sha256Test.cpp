// SHA-256 of the library's wrapper against the published answers (FIPS 180-4's examples), whole
// and handed over in uneven pieces across block boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "crypto/Sha256.h"
#include "support/HexText.h"

namespace {

using testsupport::Hex;

TEST(Sha256, GivesThePublishedDigests) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "m"
         "nopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        // A million bytes: many blocks, a length beyond what one block's counter shows.
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.message.data());
        unsigned char digest[veldoran::kSha256Size];
        veldoran::Sha256Digest(bytes, c.message.size(), digest);
        EXPECT_EQ(Hex(digest, sizeof digest), c.digest) << c.message.substr(0, 60);
        // The same message handed over in uneven pieces, across block boundaries.
        veldoran::Sha256 pieces;
        for (size_t at = 0, step = 1; at < c.message.size(); at += step, step = step * 2 + 1) {
            pieces.Add(bytes + at, std::min(step, c.message.size() - at));
        }
        pieces.Finish(digest);
        EXPECT_EQ(Hex(digest, sizeof digest), c.digest) << c.message.substr(0, 60) << " in pieces";
    }
}

// One object gives one digest after another: each Finish starts it again.
TEST(Sha256, StartsAgainAfterEachDigest) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    veldoran::Sha256 sha;
    unsigned char first[veldoran::kSha256Size];
    unsigned char second[veldoran::kSha256Size];
    sha.Add(abc, 3);
    sha.Finish(first);
    sha.Add(abc, 3);
    sha.Finish(second);
    EXPECT_EQ(Hex(first, sizeof first), Hex(second, sizeof second));
}

}  // namespace
