// LzoDecompressedLength against LZO's own safe decompressor with room to spare: the measure,
// whose scratch grows from a small first size and is reused from stream to stream, must give the
// very length the decompressor produces for every stream it accepts, and refuse exactly the
// streams it refuses, at any capacity; and it must never read outside the stream (the sanitizer
// build watches the exact-size copies).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ContainerFixture.h"
#include "attachments/LzoCodec.h"

namespace containertest {
namespace {

struct Outcome {
    bool accepted = false;
    size_t length = 0;
    bool operator==(const Outcome& other) const {
        return accepted == other.accepted && (!accepted || length == other.length);
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << (outcome.accepted ? "accepted, " + std::to_string(outcome.length) + " bytes"
                                    : std::string("refused"));
}

// One scratch for every measure of a test, as a load uses one for every entry: a larger buffer
// left by an earlier stream must not change what a later one gives.
veldoran::LzoScratch& SharedScratch() {
    static veldoran::LzoScratch scratch;
    return scratch;
}

Outcome Measured(const Bytes& stream, size_t capacity) {
    // An exact-size heap copy, so that a read past the stream is caught.
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[stream.size() + 1]);
    std::copy(stream.begin(), stream.end(), exact.get());
    Outcome outcome;
    outcome.accepted = veldoran::LzoDecompressedLength(exact.get(), stream.size(), capacity,
                                                       &SharedScratch(), &outcome.length) == kNoErr;
    return outcome;
}

Outcome Decompressed(const Bytes& stream, size_t capacity) {
    Outcome outcome;
    Bytes data;
    // A spare byte after the stream, so that even an empty one has an address.
    Bytes padded = stream;
    padded.push_back(0);
    outcome.accepted = LzoDecompressDirect(padded.data(), stream.size(), capacity, &data);
    outcome.length = data.size();
    return outcome;
}

Bytes Incompressible(size_t count, uint32_t seed) {
    return testsupport::RandomBytes(count, seed);
}

// Inputs that make the compressor use each of its codes: long literal runs, near, middle and
// far matches, long match lengths, trailing literals, and the short forms of the first byte.
std::vector<Bytes> Inputs() {
    std::vector<Bytes> inputs = {Bytes(),
                                 B("a"),
                                 B("abc"),
                                 B("abcdefghijklmnopqrstu"),
                                 Bytes(100000, 0),
                                 TextLike(50000, 3),
                                 Incompressible(5000, 7)};
    Bytes mixed;
    for (uint32_t k = 0; k < 40; ++k) {
        const Bytes words = TextLike(700 + k * 37, k);
        const Bytes noise = Incompressible(20 + k * 11, k);
        mixed.insert(mixed.end(), words.begin(), words.end());
        mixed.insert(mixed.end(), noise.begin(), noise.end());
        mixed.insert(mixed.end(), 300 + k * 50, static_cast<unsigned char>(k));
    }
    // A block repeated after more than 16 KiB: the far matches.
    const Bytes block = Incompressible(3000, 99);
    Bytes far = block;
    const Bytes gap = Incompressible(20000, 98);
    far.insert(far.end(), gap.begin(), gap.end());
    far.insert(far.end(), block.begin(), block.end());
    inputs.push_back(mixed);
    inputs.push_back(far);
    return inputs;
}

TEST(LzoLength, GivesTheLengthOfEveryCompressedStream) {
    for (const Bytes& input : Inputs()) {
        const Bytes stream = LzoCompressDirect(input);
        const Outcome measured = Measured(stream, kLZOMacDataSize);
        EXPECT_TRUE(measured.accepted) << input.size();
        EXPECT_EQ(measured.length, input.size());
        // A capacity of exactly the length is enough, one byte less is not.
        EXPECT_TRUE(Measured(stream, input.size()).accepted) << input.size();
        if (!input.empty()) {
            EXPECT_FALSE(Measured(stream, input.size() - 1).accepted) << input.size();
        }
    }
}

// The end-of-stream code and short streams, byte for byte.
TEST(LzoLength, KnownStreams) {
    struct Case {
        const char* what;
        Bytes stream;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        {"the empty stream", Bytes(), {false, 0}},
        {"the end code alone", Bytes{0x11, 0x00, 0x00}, {true, 0}},
        {"one literal in the first byte", Bytes{0x12, 'x', 0x11, 0x00, 0x00}, {true, 1}},
        {"bytes after the end", Bytes{0x11, 0x00, 0x00, 0x00}, {false, 0}},
        {"the end code cut", Bytes{0x11, 0x00}, {false, 0}},
        {"a match before any output", Bytes{0x10, 0x04, 0x11, 0x00, 0x11, 0x00, 0x00}, {false, 0}},
        // Four literals, then a two-byte-coded match of three bytes at distance 1.
        {"literals and a near match",
         Bytes{0x15, 'a', 'b', 'c', 'd', 0x40, 0x00, 0x11, 0x00, 0x00},
         {true, 7}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Measured(c.stream, 1000), c.expected) << c.what;
        EXPECT_EQ(Decompressed(c.stream, 1000), c.expected) << c.what;
    }
}

// Cut anywhere, a byte changed anywhere, a smaller capacity: both agree on every stream.
TEST(LzoLength, AgreesWithTheDecompressorOnDamagedStreams) {
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    for (const Bytes& input : Inputs()) {
        const Bytes stream = LzoCompressDirect(input);
        const size_t capacity = input.size() + 64;
        for (size_t cut = 0; cut < stream.size(); cut += 1 + stream.size() / 300) {
            const Bytes part(stream.begin(), stream.begin() + long(cut));
            ASSERT_EQ(Measured(part, capacity), Decompressed(part, capacity)) << "cut at " << cut;
        }
        for (int round = 0; round < 400; ++round) {
            Bytes changed = stream;
            const size_t at = next() % changed.size();
            changed[at] = static_cast<unsigned char>(next());
            if (round % 4 == 0 && changed.size() > 1) {
                changed[next() % changed.size()] = 0;
            }
            const size_t smaller = round % 3 == 0 ? next() % capacity : capacity;
            ASSERT_EQ(Measured(changed, smaller), Decompressed(changed, smaller))
                << "input of " << input.size() << " bytes, byte " << at << " changed, capacity "
                << smaller;
        }
    }
}

}  // namespace
}  // namespace containertest
