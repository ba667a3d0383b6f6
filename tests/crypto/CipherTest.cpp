// Encrypted frames byte for byte, the key file's header after each encryption, and decryption
// of frames back to the data.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <vector>

#include "CryptoFixture.h"

namespace cryptotest {
namespace {

using testsupport::DecodeKeyHeader;
using testsupport::EncodeKeyHeader;
using testsupport::KeyFileContents;
using testsupport::KeyHeaderFields;
using testsupport::ReadKeyHeader;
using testsupport::ReadWholeFile;
using testsupport::WriteKeyFile;

using Bytes = std::vector<unsigned char>;

// The key file at path holds the header it was written with but for keyOffset and useCount,
// byte for byte, and its material untouched.
void ExpectKeyFileAdvancedTo(const std::string& path, const KeyFileContents& written,
                             int32_t keyOffset, int32_t useCount) {
    KeyFileContents expected = written;
    expected.keyOffset = keyOffset;
    expected.useCount = useCount;
    const Bytes after = ReadWholeFile(path);
    ASSERT_EQ(after.size(), 224 + written.material.size());
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 224), EncodeKeyHeader(expected));
    EXPECT_EQ(Bytes(after.begin() + 224, after.end()), written.material);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Range(int first, int last) {
    Bytes bytes;
    for (int value = first; value <= last; ++value) {
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return bytes;
}

struct CryptCase {
    const char* what;
    int32_t storedOffset;
    int32_t storedCount;
    uint32_t n;
    Bytes expectedPayload;  // frame bytes 224.. for n zero bytes of data
    int32_t frameCount;     // useCount in the frame and in the key file afterwards
    int32_t nextOffset;     // keyOffset in the key file afterwards
};

// GoogleTest prints a row when it registers the cases; without a printer it would dump the
// struct's bytes, padding included, which the memory checker reports as uninitialised.
void PrintTo(const CryptCase& row, std::ostream* os) {
    *os << row.what;
}

// A 100-byte key whose material byte k is k. The frame header records the stored keyOffset;
// the key file advances by n modulo 100 and counts one more use.
const CryptCase kCryptCases[] = {
    // The key material bytes 90 to 99 and then 0 to 14; the key file then records 15.
    {"wraps at the end", 90, 0, 25, Concat({Range(90, 99), Range(0, 14)}), 1, 15},
    // Exactly the rest of the key: the key file's position returns to 0.
    {"uses the rest exactly", 30, 4, 70, Range(30, 99), 5, 0},
    // The whole key from 0: back to 0.
    {"uses the whole key", 0, 0, 100, Range(0, 99), 1, 0},
    // Longer than the key: the material repeats from its start, 10..99, 0..99, 0..59.
    {"repeats the key", 10, 7, 250, Concat({Range(10, 99), Range(0, 99), Range(0, 59)}), 8, 60},
    // Nothing to encrypt: the position stays, the count still rises.
    {"encrypts nothing", 42, 9, 0, {}, 10, 42},
    // A stored position equal to keyLen starts at material byte 0.
    {"starts at keyLen", 100, 0, 5, Range(0, 4), 1, 5},
    // A stored position equal to keyLen with nothing to encrypt is kept as it is.
    {"keeps keyLen for nothing", 100, 0, 0, {}, 1, 100},
    // The largest count wraps to 0, in the frame and in the key file.
    {"count wraps to 0", 3, 2147483647, 4, Range(3, 6), 0, 7},
    // A stored negative count: one more (-4) is still negative, so 0, in the frame and in the
    // key file.
    {"negative count restarts at 0", 3, -5, 4, Range(3, 6), 0, 7},
};

class CryptKnownAnswer : public KeyFolderFixture,
                         public ::testing::WithParamInterface<CryptCase> {};

TEST_P(CryptKnownAnswer, FrameAndKeyFileMatch) {
    const CryptCase& c = GetParam();
    const std::string path = KeyPath("Dupont.126");
    const KeyFileContents contents =
        DupontKey(CountingMaterial(100), c.storedOffset, c.storedCount);
    ASSERT_TRUE(WriteKeyFile(path, contents));

    const Bytes data(c.n, 0);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypto.Crypt(data.data(), c.n, &frame, &frameLength, Ref(path).get()), kNoErr);
    ASSERT_EQ(frameLength, c.n + 224);

    // The frame header: the key file's header as stored, with the starting position and the
    // new count; the id and name tails and the reserve byte for byte.
    KeyFileContents frameContents = contents;
    frameContents.keyOffset = c.storedOffset;
    frameContents.useCount = c.frameCount;
    EXPECT_EQ(Bytes(frame, frame + 224), EncodeKeyHeader(frameContents));
    EXPECT_EQ(Bytes(frame + 224, frame + frameLength), c.expectedPayload);
    utils.MyDisposeptr(&frame, frameLength);

    // The key file: the same header but for the two advanced fields; the material untouched.
    ExpectKeyFileAdvancedTo(path, contents, c.nextOffset, c.frameCount);
}

INSTANTIATE_TEST_SUITE_P(Cipher, CryptKnownAnswer, ::testing::ValuesIn(kCryptCases), CaseName());

struct LinearKeyCase {
    const char* what;
    int32_t storedOffset;  // keyOffset in the key file before the call (useCount is 8)
    uint32_t start;        // the start position argument
    uint32_t n;            // key stream bytes asked for
    int32_t advance;       // 0: decryption use, 1: encryption use
    Bytes expectedStream;  // buffer bytes 224..
    int32_t nextOffset;    // keyOffset in the key file afterwards
    int32_t count;         // useCount in the buffer's header and in the key file afterwards
};

void PrintTo(const LinearKeyCase& row, std::ostream* os) {
    *os << row.what;
}

// Key streams longer than the 100-byte counting key: byte j is material byte (s + j) mod 100,
// where s is the start argument in decryption use and the stored keyOffset in encryption use.
const LinearKeyCase kLinearKeyCases[] = {
    // From 95: 95..99, the key twice, 0..44. The key file is not written.
    {"decryption repeats from near the end", 33, 95, 250, 0,
     Concat({Range(95, 99), Range(0, 99), Range(0, 99), Range(0, 44)}), 33, 8},
    // An exact multiple of keyLen: the key twice.
    {"decryption of two whole keys", 33, 0, 200, 0, Concat({Range(0, 99), Range(0, 99)}), 33, 8},
    // A start equal to keyLen is the start of the key: the key twice, then 0..4.
    {"decryption from keyLen", 33, 100, 205, 0, Concat({Range(0, 99), Range(0, 99), Range(0, 4)}),
     33, 8},
    // From the stored 90: 90..99, the key twice, 0..39; the key file moves to 340 mod 100.
    {"encryption repeats from the stored position", 90, 0, 250, 1,
     Concat({Range(90, 99), Range(0, 99), Range(0, 99), Range(0, 39)}), 40, 9},
    // The start argument does not move an encryption's stream; three whole keys from 10 come
    // back to 10.
    {"encryption ignores the start argument", 10, 60, 300, 1,
     Concat({Range(10, 99), Range(0, 99), Range(0, 99), Range(0, 9)}), 10, 9},
};

class LinearKeyKnownAnswer : public KeyFolderFixture,
                             public ::testing::WithParamInterface<LinearKeyCase> {};

TEST_P(LinearKeyKnownAnswer, BufferAndKeyFileMatch) {
    const LinearKeyCase& c = GetParam();
    const std::string path = KeyPath("Dupont.126");
    const KeyFileContents contents = DupontKey(CountingMaterial(100), c.storedOffset, 8);
    ASSERT_TRUE(WriteKeyFile(path, contents));

    Bytes buffer(224 + c.n, 0xEE);
    ASSERT_EQ(crypto.GetLinearKey(buffer.data(), c.n, Ref(path).get(), c.start, c.advance), kNoErr);
    // The buffer's header: the key file's header as read, recording where an encryption's
    // stream began (the stored position) and the count after this call.
    KeyFileContents bufferContents = contents;
    bufferContents.useCount = c.count;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 224), EncodeKeyHeader(bufferContents));
    EXPECT_EQ(Bytes(buffer.begin() + 224, buffer.end()), c.expectedStream);

    ExpectKeyFileAdvancedTo(path, contents, c.nextOffset, c.count);
}

INSTANTIATE_TEST_SUITE_P(Cipher, LinearKeyKnownAnswer, ::testing::ValuesIn(kLinearKeyCases),
                         CaseName());

using CipherTest = KeyFolderFixture;

// The whole frame of a three-byte message, written out: the header fields as stored in the key
// file with keyOffset 1 and useCount 1, then "ABC" XOR key bytes 1, 2, 3.
TEST_F(CipherTest, SmallFrameByteForByte) {
    KeyFileContents contents;
    contents.name = "Ab";
    contents.id = "K1";
    contents.year = 2026;
    contents.material = {0x10, 0x20, 0x30, 0x40};
    contents.keyOffset = 1;
    ASSERT_TRUE(WriteKeyFile(KeyPath("Ab.126"), contents));

    const Bytes data = {'A', 'B', 'C'};
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypto.Crypt(data.data(), 3, &frame, &frameLength, Ref(KeyPath("Ab.126")).get()),
              kNoErr);
    ASSERT_EQ(frameLength, 227u);
    Bytes expected(227, 0);
    const Bytes fields = {
        0x00, 0x00, 0x00, 0x01,  // version 1
        0x00, 0x00, 0x07, 0xEA,  // year 2026
        0x00, 0x00, 0x00, 0x02,  // idLen 2
    };
    std::copy(fields.begin(), fields.end(), expected.begin());
    expected[12] = 'K';
    expected[13] = '1';
    expected[47] = 0x02;  // nameLen 2
    expected[48] = 'A';
    expected[49] = 'b';
    expected[91] = 0x04;   // keyLen 4
    expected[95] = 0x01;   // keyOffset 1, where this stream began
    expected[99] = 0x01;   // useCount 1
    expected[224] = 0x61;  // 'A' 0x41 ^ 0x20
    expected[225] = 0x72;  // 'B' 0x42 ^ 0x30
    expected[226] = 0x03;  // 'C' 0x43 ^ 0x40
    EXPECT_EQ(Bytes(frame, frame + frameLength), expected);
    utils.MyDisposeptr(&frame, frameLength);

    KeyHeaderFields after;
    ASSERT_TRUE(ReadKeyHeader(KeyPath("Ab.126"), &after));
    EXPECT_EQ(after.keyOffset, 0);  // 1 + 3 wraps at 4
    EXPECT_EQ(after.useCount, 1);
}

// Random data and a random key through Crypt and UnCrypt, at sizes around the key length; the
// key file's position is where Crypt left it, and decryption changes no byte of it.
TEST_F(CipherTest, RoundTripKeepsKeyFileAsCryptLeftIt) {
    const uint32_t seed = 20261210;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Bytes material = testsupport::RandomBytes(257, seed);
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(material, 200)));
    for (uint32_t n : {0u, 1u, 56u, 57u, 257u, 514u, 1000u, 4099u}) {
        const Bytes data = testsupport::RandomBytes(n, seed + n);
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        ASSERT_EQ(crypto.Crypt(data.data(), n, &frame, &frameLength, Ref(path).get()), kNoErr);
        const Bytes keyFileAfterCrypt = ReadWholeFile(path);

        // Each frame's payload is the data XOR the key stream from the frame's own position.
        const auto start = static_cast<uint32_t>(DecodeKeyHeader(frame).keyOffset);
        for (uint32_t j = 0; j < n; ++j) {
            ASSERT_EQ(frame[224 + j], data[j] ^ material[(start + j) % 257]) << "n " << n;
        }

        unsigned char* plain = nullptr;
        uint32_t plainLength = 0;
        ASSERT_EQ(crypto.UnCrypt(frame, frameLength, &plain, &plainLength), kNoErr);
        ASSERT_EQ(plainLength, n);
        EXPECT_EQ(Bytes(plain, plain + plainLength), data);
        EXPECT_EQ(ReadWholeFile(path), keyFileAfterCrypt);
        utils.MyDisposeptr(&plain, plainLength);
        utils.MyDisposeptr(&frame, frameLength);
    }
}

// The caller's frame is only read: decrypting it twice gives the data twice.
TEST_F(CipherTest, UnCryptLeavesTheFrameAsItWas) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(testsupport::RandomBytes(64, 7), 5)));
    const Bytes data = {'l', 'e', 't', 't', 'r', 'e'};
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypto.Crypt(data.data(), 6, &frame, &frameLength, Ref(path).get()), kNoErr);
    const Bytes frameBefore(frame, frame + frameLength);
    for (int pass = 0; pass < 2; ++pass) {
        unsigned char* plain = nullptr;
        uint32_t plainLength = 0;
        ASSERT_EQ(crypto.UnCrypt(frame, frameLength, &plain, &plainLength), kNoErr) << pass;
        EXPECT_EQ(Bytes(plain, plain + plainLength), data);
        utils.MyDisposeptr(&plain, plainLength);
        EXPECT_EQ(Bytes(frame, frame + frameLength), frameBefore);
    }
    char name[41];
    ASSERT_EQ(crypto.GetCryptedFor(frame, frameLength, name), kNoErr);
    EXPECT_STREQ(name, "Dupont");
    EXPECT_EQ(Bytes(frame, frame + frameLength), frameBefore);
    utils.MyDisposeptr(&frame, frameLength);
}

// Two layers as the pipelines make them: the master key inside, the user's key outside.
TEST_F(CipherTest, NestedFramesPeelInOrder) {
    KeyFileContents master = DupontKey(testsupport::RandomBytes(300, 11), 17);
    master.name = "Master";
    ASSERT_TRUE(WriteKeyFile(KeyPath("Master.126"), master));
    ASSERT_TRUE(
        WriteKeyFile(KeyPath("Dupont.126"), DupontKey(testsupport::RandomBytes(500, 12), 480)));
    const Bytes data = testsupport::RandomBytes(100, 13);
    unsigned char* inner = nullptr;
    uint32_t innerLength = 0;
    ASSERT_EQ(
        crypto.Crypt(data.data(), 100, &inner, &innerLength, Ref(KeyPath("Master.126")).get()),
        kNoErr);
    unsigned char* outer = nullptr;
    uint32_t outerLength = 0;
    ASSERT_EQ(
        crypto.Crypt(inner, innerLength, &outer, &outerLength, Ref(KeyPath("Dupont.126")).get()),
        kNoErr);
    ASSERT_EQ(outerLength, 548u);

    char name[41];
    ASSERT_EQ(crypto.GetCryptedFor(outer, outerLength, name), kNoErr);
    EXPECT_STREQ(name, "Dupont");

    unsigned char* peeled = nullptr;
    uint32_t peeledLength = 0;
    ASSERT_EQ(crypto.UnCrypt(outer, outerLength, &peeled, &peeledLength), kNoErr);
    EXPECT_EQ(Bytes(peeled, peeled + peeledLength), Bytes(inner, inner + innerLength));
    unsigned char* plain = nullptr;
    uint32_t plainLength = 0;
    ASSERT_EQ(crypto.UnCrypt(peeled, peeledLength, &plain, &plainLength), kNoErr);
    EXPECT_EQ(Bytes(plain, plain + plainLength), data);
    for (unsigned char* block : {inner, outer, peeled, plain}) {
        utils.MyDisposeptr(&block, 0);
    }
}

struct UnCryptCase {
    const char* what;
    int32_t frameOffset;   // keyOffset written into the frame header
    int32_t frameVersion;  // version written into the frame header
    const char* keyFile;   // key file present in the key folder ("" for none)
    int32_t expected;
    Bytes expectedData;        // for 0: the data; otherwise its length holds the block handed over
    uint32_t n = 6;            // data bytes in the frame
    int64_t frameKeyLen = -1;  // keyLen written into the frame header (-1: the key file's)
};

void PrintTo(const UnCryptCase& row, std::ostream* os) {
    *os << row.what;
}

// Frames of zero bytes (6 unless the row says otherwise) against the counting 100-byte Dupont
// key, so that decrypted data is the key positions used.
const UnCryptCase kUnCryptCases[] = {
    // keyOffset 97 in the frame: positions 97, 98, 99, 0, 1, 2.
    {"wraps at keyLen", 97, 1, "Dupont.126", kNoErr, {97, 98, 99, 0, 1, 2}},
    // keyOffset equal to keyLen starts at material byte 0.
    {"starts at keyLen", 100, 1, "Dupont.126", kNoErr, Range(0, 5)},
    // keyOffset beyond keyLen is out of range; a block of the data length still comes back.
    {"beyond keyLen", 101, 1, "Dupont.126", kOffsetOutOfRangeErr, Bytes(6, ' ')},
    // A negative keyOffset read as unsigned is far beyond keyLen.
    {"negative offset", -1, 1, "Dupont.126", kOffsetOutOfRangeErr, Bytes(6, ' ')},
    // The key file the header names is missing: -5 with a block of the data length.
    {"missing key file", 0, 1, "", KeyNotFoundErr, Bytes(6, ' ')},
    // A header whose version is not 1: -6 and no block.
    {"bad version", 0, 2, "Dupont.126", kBadKeyHeader, {}},
    // 250 bytes from 97: 97..99, the key twice, then 0..46.
    {"longer than the key near its end", 97, 1, "Dupont.126", kNoErr,
     Concat({Range(97, 99), Range(0, 99), Range(0, 99), Range(0, 46)}), 250},
    // An exact multiple of keyLen: the key twice.
    {"two whole keys", 0, 1, "Dupont.126", kNoErr, Concat({Range(0, 99), Range(0, 99)}), 200},
    // The frame header says keyLen 50, the key file 100: the key file's length wraps, 45..99
    // then 0..4, and a position past the frame's keyLen is still in range.
    {"key file's keyLen wraps", 45, 1, "Dupont.126", kNoErr, Concat({Range(45, 99), Range(0, 4)}),
     60, 50},
    {"key file's keyLen bounds the position", 70, 1, "Dupont.126", kNoErr,
     Concat({Range(70, 99), Range(0, 9)}), 40, 50},
};

class UnCryptCases : public KeyFolderFixture, public ::testing::WithParamInterface<UnCryptCase> {};

TEST_P(UnCryptCases, ResultAndData) {
    const UnCryptCase& c = GetParam();
    const KeyFileContents contents = DupontKey(CountingMaterial(100), 33, 8);
    if (c.keyFile[0] != '\0') {
        ASSERT_TRUE(WriteKeyFile(KeyPath(c.keyFile), contents));
    }
    KeyFileContents frameContents = contents;
    frameContents.keyOffset = c.frameOffset;
    frameContents.version = c.frameVersion;
    frameContents.keyLen = c.frameKeyLen;
    Bytes frame = EncodeKeyHeader(frameContents);
    frame.resize(224 + c.n, 0);
    const Bytes frameBefore = frame;
    const Bytes keyFileBefore = ReadWholeFile(KeyPath("Dupont.126"));

    unsigned char sentinel = 0;
    unsigned char* data = &sentinel;  // must be replaced
    uint32_t dataLength = 99;
    EXPECT_EQ(crypto.UnCrypt(frame.data(), static_cast<uint32_t>(frame.size()), &data, &dataLength),
              c.expected);
    if (c.expected == kBadKeyHeader) {
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(dataLength, 0u);
    } else {
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Bytes(data, data + dataLength), c.expectedData);
    }
    utils.MyDisposeptr(&data, dataLength);
    EXPECT_EQ(frame, frameBefore);
    EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), keyFileBefore);
}

INSTANTIATE_TEST_SUITE_P(Cipher, UnCryptCases, ::testing::ValuesIn(kUnCryptCases), CaseName());

TEST_F(CipherTest, FrameLengthLimits) {
    const Bytes header = EncodeKeyHeader(DupontKey(CountingMaterial(100), 0));
    ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), DupontKey(CountingMaterial(100), 0)));
    unsigned char* data = nullptr;
    uint32_t dataLength = 5;
    char name[41] = "unchanged";
    // Shorter than its header: -4, nothing handed over, the name untouched.
    EXPECT_EQ(crypto.UnCrypt(header.data(), 223, &data, &dataLength), kFrameTooShort);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(dataLength, 0u);
    EXPECT_EQ(crypto.GetCryptedFor(header.data(), 223, name), kFrameTooShort);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_EQ(crypto.UnCrypt(header.data(), 0, &data, &dataLength), kFrameTooShort);
    // Exactly a header: no data, and a valid empty block.
    EXPECT_EQ(crypto.UnCrypt(header.data(), 224, &data, &dataLength), kNoErr);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(dataLength, 0u);
    utils.MyDisposeptr(&data, dataLength);
}

// A key folder so long that the key file's path does not fit: no reference, so no key.
TEST_F(CipherTest, UnCryptWithUnnameableKeyFileIsKeyNotFound) {
    ASSERT_EQ(utils.SetKeyFolderPath(std::string(250, 'k').c_str()), kNoErr);
    Bytes frame = EncodeKeyHeader(DupontKey(CountingMaterial(100), 0));
    frame.resize(230, 0);
    unsigned char* data = nullptr;
    uint32_t dataLength = 0;
    EXPECT_EQ(crypto.UnCrypt(frame.data(), 230, &data, &dataLength), KeyNotFoundErr);
    EXPECT_EQ(dataLength, 6u);
    utils.MyDisposeptr(&data, dataLength);
}

// The name a frame was made for, bounded at 40 bytes, never below 0.
TEST_F(CipherTest, GetCryptedForBoundsTheName) {
    struct {
        int32_t nameLen;
        int32_t version;
        const char* expected;
    } const cases[] = {
        {6, 1, "Dupont"},                                     // the name as stored
        {6, 5, "Dupont"},                                     // the version is not tested
        {55, 1, "Dupont-Durand-Martin-Lefebvre-Moreau-Sim"},  // the first 40 bytes only
        {0, 1, ""},
        {-3, 1, ""},  // a negative length reads as no name
    };
    for (const auto& c : cases) {
        KeyFileContents contents;
        contents.name = "Dupont-Durand-Martin-Lefebvre-Moreau-Simon";
        contents.nameLen = c.nameLen;
        contents.version = c.version;
        const Bytes frame = EncodeKeyHeader(contents);
        char name[41];
        memset(name, 'x', sizeof name);
        EXPECT_EQ(crypto.GetCryptedFor(frame.data(), 224, name), kNoErr);
        EXPECT_STREQ(name, c.expected) << "nameLen " << c.nameLen;
    }
}

TEST_F(CipherTest, DecrypterPJGivesItsFixedAnswer) {
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    char text[7];
    EXPECT_EQ(crypto.DecrypterPJ(nullptr, 0, &out, &outLength, text), kNoErr);
    EXPECT_STREQ(text, "ZELMOR");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(outLength, 10u);
    // 20 bytes allocated: the six letters, then spaces from the fresh block.
    EXPECT_EQ(Bytes(out, out + 20), Bytes({'Z', 'E', 'L', 'M', 'O', 'R', ' ', ' ', ' ', ' ',
                                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}));
    utils.MyDisposeptr(&out, outLength);
}

}  // namespace
}  // namespace cryptotest
