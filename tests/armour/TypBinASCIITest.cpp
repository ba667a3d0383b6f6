// The printable armour: exact bytes, round trips, what mail systems do to it, corruption and
// memory exhaustion.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "BytePaths.h"
#include "armour/ArmourEncoder.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNPQRSTUVXYZabcdefhijklmpqrstuvwxyz$*+-()!";

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes RandomBytes(std::mt19937& random, size_t count) {
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(random());
    }
    return bytes;
}

// The encoded text written out digit by digit from the format's description, independently of
// the library's tables and line writer: length field, groups lowest six bits first, checksum.
std::string ReferenceEncoded(const Bytes& data) {
    auto hex = [](uint32_t value) {
        char text[9];
        snprintf(text, sizeof text, "%08X", value);
        return std::string(text);
    };
    std::string encoded = hex(static_cast<uint32_t>(data.size()));
    uint32_t checksum = 0xFFFFFFFFU;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t group = uint32_t{data[i]} << 16;
        if (i + 1 < data.size()) {
            group |= uint32_t{data[i + 1]} << 8;
        }
        if (i + 2 < data.size()) {
            group |= data[i + 2];
        }
        for (int shift = 0; shift < 24; shift += 6) {
            encoded += kAlphabet[(group >> shift) & 63];
        }
    }
    for (unsigned char b : data) {
        checksum ^= b;
    }
    return encoded + hex(checksum);
}

std::string Wrap(const std::string& encoded) {
    std::string text = "#BINASCII1#\n";
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (i > 0 && i % 60 == 0) {
            text += '\n';
        }
        text += encoded[i];
    }
    return text + "\n#ENDBINASCII1#\n";
}

class Armour : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(armour.InitCreate(&utils), kNoErr); }
    void TearDown() override {
        EXPECT_EQ(armour.Kill(), kNoErr);
        EXPECT_EQ(utils.liveBlocks(), 0);
    }

    std::string Encode(const Bytes& data) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        EXPECT_EQ(
            armour.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &out, &outLength),
            kNoErr);
        std::string text(reinterpret_cast<char*>(out), outLength);
        utils.MyDisposeptr(&out, outLength);
        return text;
    }

    struct Decoded {
        int32_t result;
        Bytes data;
        bool hadBlock;
    };
    // The text is copied into a block of exactly its size, so a read past it shows under ASan.
    Decoded Decode(const std::string& text) {
        Bytes exact(text.begin(), text.end());
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        Decoded decoded{};
        decoded.result =
            armour.ASCIIToBin(exact.data(), static_cast<uint32_t>(exact.size()), &out, &outLength);
        decoded.hadBlock = out != nullptr;
        if (out != nullptr) {
            decoded.data.assign(out, out + outLength);
            utils.MyDisposeptr(&out, outLength);
        }
        return decoded;
    }

    void ExpectDecodes(const std::string& text, const Bytes& expected) {
        const Decoded decoded = Decode(text);
        EXPECT_EQ(decoded.result, kNoErr);
        EXPECT_TRUE(decoded.hadBlock);
        EXPECT_EQ(decoded.data, expected);
    }

    void ExpectRejected(const std::string& text, int32_t code) {
        const Decoded decoded = Decode(text);
        EXPECT_EQ(decoded.result, code);
        EXPECT_FALSE(decoded.hadBlock && code == kPbErr);
    }

    testsupport::FailingUtils utils;
    TypBinASCII armour;
};

TEST_F(Armour, KnownAnswers) {
    struct Case {
        Bytes data;
        std::string encoded;
    };
    const Case cases[] = {
        {B("abc"), "00000003b9MPFFFFFF9F"},  // from the format's examples
        {B("a"), "0000000100GPFFFFFF9E"},    // from the format's examples
        {B("ab"), "0000000208MPFFFFFFFC"},   // from the format's examples
        {B(""), "00000000FFFFFFFF"},         // from the format's examples
        // 0xFFFFFF: every digit 63; the checksum FF^FF^FF^FF.
        {Bytes{0xFF, 0xFF, 0xFF}, "00000003!!!!FFFFFF00"},
        // 0x000001, 0x040000: digit order inside a group, lowest six bits first.
        {Bytes{0x00, 0x00, 0x01, 0x04, 0x00, 0x00}, "0000000610000001FFFFFFFA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(ReferenceEncoded(c.data), c.encoded);
        EXPECT_EQ(Encode(c.data), Wrap(c.encoded));
        ExpectDecodes(Wrap(c.encoded), c.data);
    }
    // The whole armoured text of abc, byte for byte.
    EXPECT_EQ(Encode(B("abc")), "#BINASCII1#\n00000003b9MPFFFFFF9F\n#ENDBINASCII1#\n");
}

TEST_F(Armour, LineBoundaries) {
    // 33 bytes make exactly 60 characters: one line, no line end inside.
    const std::string text33 = Encode(Bytes(33, 'x'));
    EXPECT_EQ(text33.size(), 11 + 14 + 3 + 60U);
    EXPECT_EQ(text33.substr(0, 12), "#BINASCII1#\n");
    EXPECT_EQ(text33.find('\n', 12), 72U);
    // 34 bytes make 64: a line of 60 and a line of 4.
    const std::string text34 = Encode(Bytes(34, 'x'));
    EXPECT_EQ(text34.size(), 11 + 14 + 3 + 64 + 1U);
    EXPECT_EQ(text34.find('\n', 12), 72U);
    EXPECT_EQ(text34.find('\n', 73), 77U);
    EXPECT_EQ(text34.substr(77), "\n#ENDBINASCII1#\n");
}

TEST_F(Armour, AnnouncedLengthIsTheWrittenLength) {
    // Around the group and line edges: 33 bytes fill one line exactly, 34 start a second.
    for (const size_t n : {0, 1, 2, 3, 32, 33, 34, 35, 44, 45, 46, 79, 80, 81, 224, 448, 1000}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Encode(Bytes(n, 'x')).size(), veldoran::ArmouredLength(n, 1));
    }
    // A length that no block could hold is still counted without overflow.
    EXPECT_GT(veldoran::ArmouredLength(UINT32_MAX, 2), uint64_t{UINT32_MAX});
}

// Encoding and reading run once on each byte path.
using ArmourOnPath = testsupport::OnBytePath<Armour>;
INSTANTIATE_TEST_SUITE_P(BytePaths, ArmourOnPath, testsupport::EachBytePath(),
                         testsupport::BytePathName);

TEST_P(ArmourOnPath, RoundTripAgainstTheReferenceEncoding) {
    const unsigned seed = 4201;
    std::printf("armour round trip seed %u\n", seed);
    std::mt19937 random(seed);
    std::vector<size_t> sizes;
    for (size_t size = 0; size <= 200; ++size) {
        sizes.push_back(size);
    }
    for (size_t size : {44U, 45U, 46U, 4095U, 65536U, 1000003U}) {
        sizes.push_back(size);
    }
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const Bytes data = RandomBytes(random, size);
        const std::string text = Encode(data);
        ASSERT_EQ(text, Wrap(ReferenceEncoded(data)));
        ExpectDecodes(text, data);
    }
}

// What mail systems do to a text body.
std::string Replace(const std::string& text, const std::string& from, const std::string& to) {
    std::string result;
    size_t start = 0;
    for (size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size()) {
        result += text.substr(start, at - start) + to;
    }
    return result + text.substr(start);
}

std::string Rewrap(const std::string& armoured, size_t width) {
    const size_t bodyStart = armoured.find('\n') + 1;
    const size_t bodyEnd = armoured.find("\n#ENDBINASCII1#");
    const std::string body = Replace(armoured.substr(bodyStart, bodyEnd - bodyStart), "\n", "");
    std::string rewrapped;
    for (size_t i = 0; i < body.size(); i += width) {
        rewrapped += body.substr(i, width) + "\r\n";
    }
    return armoured.substr(0, bodyStart) + rewrapped + armoured.substr(bodyEnd + 1);
}

TEST_P(ArmourOnPath, ReadsWhatAMailSystemLeaves) {
    std::mt19937 random(77);
    const Bytes data = RandomBytes(random, 500);
    const Bytes other = RandomBytes(random, 20);
    const std::string text = Encode(data);
    const struct {
        const char* label;
        std::string text;
    } cases[] = {
        {"CR LF line ends", Replace(text, "\n", "\r\n")},
        {"indented", "    " + Replace(text, "\n", "\n    ")},
        {"tabs and trailing spaces", Replace(text, "\n", " \t\n\t")},
        {"re-wrapped at 72", Rewrap(text, 72)},
        {"re-wrapped at 7", Rewrap(text, 7)},
        {"long runs of blanks", Replace(text, "\n", "\n" + std::string(300, ' ') + "\n\n")},
        {"quoted reply", "> " + Replace(text, "\n", "\n> ")},
        {"twice quoted", ">> " + Replace(text, "\n", "\n>> ")},
        {"text around", "Bonjour,\n\nvoici le message :\n\n" + text + "\n-- \nDupont (+33) 1\n"},
        {"two armours, the first counts", text + "\n" + Encode(other)},
        {"no line end after the end marker", text.substr(0, text.size() - 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ExpectDecodes(c.text, data);
    }
}

TEST_F(Armour, RejectsBrokenFraming) {
    const std::string text = Encode(B("Bonjour"));
    const std::string body = text.substr(12, text.size() - 12 - 16);
    const struct {
        const char* label;
        std::string text;
    } cases[] = {
        {"empty input", ""},
        {"no end marker", text.substr(0, text.find("#ENDBINASCII1#"))},
        {"no start marker", text.substr(11)},
        {"end marker first", "#ENDBINASCII1#\n" + body + "\n#BINASCII1#\n"},
        {"markers touching", "#BINASCII1##ENDBINASCII1#"},
        {"markers only, cut short", "#BINASCII1#"},
        {"15 characters", "#BINASCII1#\n00000000FFFFFFF\n#ENDBINASCII1#\n"},
        {"cut inside the start marker", "#BINASCII1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        unsigned char* out = nullptr;
        uint32_t outLength = 777;
        Bytes exact(c.text.begin(), c.text.end());
        EXPECT_EQ(
            armour.ASCIIToBin(exact.data(), static_cast<uint32_t>(exact.size()), &out, &outLength),
            kPbErr);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(outLength, 777U);  // untouched when the framing fails
    }
    // Exactly 16 characters: an empty block.
    ExpectDecodes("#BINASCII1#00000000FFFFFFFF#ENDBINASCII1#", Bytes{});
}

TEST_F(Armour, LengthFieldIsNotTrusted) {
    // A length far beyond what the text holds: refused before any block is allocated, and the
    // length field is reported.
    const std::string forged = "#BINASCII1#\nFFFFFFFF0000FFFFFFFF\n#ENDBINASCII1#\n";
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    utils.FailCall(0);
    EXPECT_EQ(armour.ASCIIToBin(reinterpret_cast<const unsigned char*>(forged.data()),
                                static_cast<uint32_t>(forged.size()), &out, &outLength),
              kPbErr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLength, 0xFFFFFFFFU);
    EXPECT_EQ(utils.calls(), 0);

    // A length field that the complete data groups cannot supply is refused on purpose rather
    // than decoded: the bytes the groups lack would be the spaces a new block starts with, and
    // the checksum alone, which varies only in its low eight bits, would let about one cut text
    // in 256 through as intact, with spaces made up at its end.
    // One byte more than the groups hold.
    ExpectRejected(Wrap("00000004b9MPFFFFFF9F"), kPbErr);
    // Characters cut out of the data: the length now exceeds what is left, whatever the cut.
    std::mt19937 random(5);
    const Bytes data = RandomBytes(random, 1000);
    const std::string text = Encode(data);
    for (size_t cut = 1; cut <= 8; ++cut) {
        for (size_t at : {size_t{20}, size_t{500}, text.size() - 40}) {
            std::string shortened = text;
            size_t removed = 0;
            for (size_t i = at; removed < cut; ++i) {
                if (shortened[i] != '\n') {
                    shortened.erase(i--, 1);
                    ++removed;
                }
            }
            SCOPED_TRACE(std::to_string(cut) + " at " + std::to_string(at));
            ExpectRejected(shortened, kPbErr);
        }
    }
    // A whole line missing from a longer text.
    const size_t lineStart = text.find('\n', 200) + 1;
    ExpectRejected(text.substr(0, lineStart) + text.substr(lineStart + 61), kPbErr);
}

TEST_F(Armour, OneChangedCharacterInAFullGroupIsCaught) {
    const Bytes data = B("Bonjour!!");  // three full groups
    const std::string text = Wrap(ReferenceEncoded(data));
    const size_t firstGroup = 12 + 8;
    for (size_t at = firstGroup; at < firstGroup + 12; ++at) {
        for (const char* c = kAlphabet; *c != '\0'; ++c) {
            if (*c == text[at]) {
                continue;
            }
            std::string changed = text;
            changed[at] = *c;
            const Decoded decoded = Decode(changed);
            ASSERT_EQ(decoded.result, kCRCErr) << "position " << at << " char " << *c;
            // The decoded block is still handed over, and the caller owns it.
            EXPECT_TRUE(decoded.hadBlock);
            EXPECT_EQ(decoded.data.size(), data.size());
        }
    }
}

TEST_F(Armour, PaddingCharactersCarryNothing) {
    // In a last group of one byte the first two characters hold only padding bits, in a last
    // group of two bytes the first one.
    ExpectDecodes(Wrap("00000001!!GPFFFFFF9E"), B("a"));
    ExpectDecodes(Wrap("00000002!8MPFFFFFFFC"), B("ab"));
}

TEST_F(Armour, MangledTextNeverMisbehaves) {
    const unsigned seed = 99;
    std::printf("armour mangling seed %u\n", seed);
    std::mt19937 random(seed);
    const std::string text = Encode(RandomBytes(random, 120));
    for (int round = 0; round < 2000; ++round) {
        std::string mangled = text;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !mangled.empty(); ++e) {
            const size_t at = random() % mangled.size();
            switch (random() % 3) {
                case 0:
                    mangled[at] = static_cast<char>(random());
                    break;
                case 1:
                    mangled.erase(at, 1 + random() % 30);
                    break;
                default:
                    mangled.insert(at, 1, kAlphabet[random() % 64]);
                    break;
            }
        }
        const Decoded decoded = Decode(mangled);
        ASSERT_TRUE(decoded.result == kNoErr || decoded.result == kCRCErr ||
                    decoded.result == kPbErr)
            << decoded.result;
        EXPECT_EQ(decoded.hadBlock, decoded.result != kPbErr);
    }
}

// Fails each allocation of one conversion in turn, until a run makes no more allocations than
// the one that failed: every failure gives kMemErr, a null out pointer and no block left.
template <typename Conversion>
void ExpectEveryFailedAllocationReported(testsupport::FailingUtils* utils, Conversion convert) {
    for (int call = 1;; ++call) {
        SCOPED_TRACE(call);
        utils->FailCall(call);
        unsigned char sentinel = 0;
        unsigned char* out = &sentinel;
        uint32_t outLength = 0;
        const int32_t result = convert(&out, &outLength);
        if (utils->calls() < call) {
            EXPECT_EQ(result, kNoErr);
            utils->MyDisposeptr(&out, outLength);
            return;
        }
        EXPECT_EQ(result, kMemErr);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(utils->liveBlocks(), 0);
    }
}

TEST_F(Armour, FailedAllocationsLeaveNothingBehind) {
    const Bytes data = B("Bonjour, voici le message.");
    const std::string text = Encode(data);
    ExpectEveryFailedAllocationReported(&utils, [&](unsigned char** out, uint32_t* outLength) {
        return armour.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), out, outLength);
    });
    ExpectEveryFailedAllocationReported(&utils, [&](unsigned char** out, uint32_t* outLength) {
        return armour.ASCIIToBin(reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<uint32_t>(text.size()), out, outLength);
    });
}

// A platform whose line end has two characters.
class CrLfUtils : public TypUtilsUnix {
  public:
    char* GetEOLCar() override {
        strcpy(eolField, "\r\n");
        return eolField;
    }
};

TEST(ArmourLineEnd, TwoCharacterLineEndGoesEverywhere) {
    CrLfUtils utils;
    TypBinASCII armour;
    armour.InitCreate(&utils);
    const Bytes data(34, 'x');
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    ASSERT_EQ(armour.BinToASCII(data.data(), 34, &out, &outLength), kNoErr);
    const std::string text(reinterpret_cast<char*>(out), outLength);
    EXPECT_EQ(text, Replace(Wrap(ReferenceEncoded(data)), "\n", "\r\n"));
    // Length formula: 11 + 14 + 3|L| + E + |L| * floor((E - 1) / 60).
    EXPECT_EQ(outLength, 11 + 14 + 6 + 64 + 2U);
    EXPECT_EQ(outLength, veldoran::ArmouredLength(34, 2));
    unsigned char* decoded = nullptr;
    uint32_t decodedLength = 0;
    EXPECT_EQ(armour.ASCIIToBin(out, outLength, &decoded, &decodedLength), kNoErr);
    EXPECT_EQ(Bytes(decoded, decoded + decodedLength), data);
    utils.MyDisposeptr(&decoded, decodedLength);
    utils.MyDisposeptr(&out, outLength);
}

}  // namespace

// The streaming pipelines feed the encoder a chunk at a time, whole lines going straight into
// the output: any cut of the data, with either line end, gives the reference armour.
struct PieceCase {
    const char* eol;
    size_t size;
    size_t piece;
};

const PieceCase kPieceCases[] = {
    {"\n", 5000, 1},          {"\n", 5000, 44},           {"\n", 5000, 45},
    {"\n", 5000, 46},         {"\n", 5000, 91},           {"\n", 70000, 4096},
    {"\n", 70000, 70000},     {"\r\n", 5000, 45},         {"\r\n", 5000, 47},
    {"\r\n", 70000, 999},     {"\r\n", 70000, 70000},     {"\n", 33 + 90, 33 + 90},
    {"\n", 33 + 91, 33 + 91}, {"\r\n", 33 + 45, 33 + 45},
};

class ArmourInPieces : public testsupport::OnBytePath<> {};
INSTANTIATE_TEST_SUITE_P(BytePaths, ArmourInPieces, testsupport::EachBytePath(),
                         testsupport::BytePathName);

TEST_P(ArmourInPieces, AnyCutGivesTheReferenceText) {
    std::mt19937 random(4203);
    testsupport::FailingUtils utils;
    for (const PieceCase& c : kPieceCases) {
        SCOPED_TRACE(std::string(c.eol == std::string("\n") ? "LF" : "CR LF") + " size " +
                     std::to_string(c.size) + " piece " + std::to_string(c.piece));
        const Bytes data = RandomBytes(random, c.size);
        veldoran::ArmourEncoder encoder(&utils, c.eol);
        // Exactly as much room as the encoder promises, so a write past it shows under ASan.
        std::string text;
        Bytes out(encoder.MaxEdgeLength());
        text.append(reinterpret_cast<char*>(out.data()),
                    encoder.Begin(static_cast<uint32_t>(c.size), out.data()));
        for (size_t at = 0; at < c.size; at += c.piece) {
            const size_t count = c.size - at < c.piece ? c.size - at : c.piece;
            const Bytes piece(data.begin() + at, data.begin() + at + count);
            Bytes room(encoder.MaxPutLength(count));
            text.append(reinterpret_cast<char*>(room.data()),
                        encoder.Put(piece.data(), count, room.data()));
        }
        text.append(reinterpret_cast<char*>(out.data()), encoder.Finish(out.data()));
        EXPECT_EQ(text, Replace(Wrap(ReferenceEncoded(data)), "\n", c.eol));
    }
}
