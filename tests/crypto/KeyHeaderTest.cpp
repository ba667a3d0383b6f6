// The key header's layout and byte order, reading it from a key file, the key comment, and
// finding a key file again from a header.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <ostream>
#include <vector>

#include "CryptoFixture.h"

namespace cryptotest {
namespace {

using testsupport::EncodeKeyHeader;
using testsupport::GetBigEndian32;
using testsupport::KeyFileContents;
using testsupport::WriteKeyFile;
using testsupport::WriteWholeFile;

using Bytes = std::vector<unsigned char>;

using KeyHeaderTest = KeyFolderFixture;

// A header in host order, built field by field without the library's conversions.
TypKeyHeader HostHeader(int32_t version, int32_t year, const char* name, int32_t nameLen) {
    TypKeyHeader header;
    memset(&header, 0, sizeof header);
    header.version = version;
    header.year = year;
    header.idLen = 4;
    memcpy(header.id, "ID01", 4);
    header.nameLen = nameLen;
    memcpy(header.name, name, std::min<size_t>(strlen(name), sizeof header.name));
    header.keyLen = 1000;
    header.keyOffset = 12;
    header.useCount = 3;
    return header;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The virtual slot of a member function: on the Itanium C++ ABI for x86-64 a pointer to a
// virtual member holds 1 + the slot's byte offset in the table.
template <typename Member>
size_t SlotOf(Member member) {
    uintptr_t raw = 0;
    memcpy(&raw, &member, sizeof raw);
    return (raw - 1) / sizeof(void*);
}

// Host programs built against this class rely on its slot order and its size.
TEST(CipherClassShape, SlotOrderAndSize) {
    const size_t slots[] = {
        SlotOf(&TypCrypto::InitCreate),
        SlotOf(&TypCrypto::Kill),
        SlotOf(&TypCrypto::DecrypterPJ),
        SlotOf(&TypCrypto::GetLinearKey),
        SlotOf(&TypCrypto::Crypt),
        SlotOf(&TypCrypto::UnCrypt),
        SlotOf(&TypCrypto::GetKeyKeyHeader),
        SlotOf(&TypCrypto::ConvertHeaderForLocalOS),
        SlotOf(&TypCrypto::ConvertHeaderToStandard),
        SlotOf(&TypCrypto::GetKeyComment),
        SlotOf(&TypCrypto::GetCryptedFor),
    };
    for (size_t k = 0; k < std::size(slots); ++k) {
        EXPECT_EQ(slots[k], k) << "operation " << k;
    }
    // The table pointer and the utility object pointer; the platform class adds no data.
    EXPECT_EQ(sizeof(TypCrypto), 2 * sizeof(void*));
    EXPECT_EQ(sizeof(TypCryptoUnix), sizeof(TypCrypto));
}
#endif

TEST_F(KeyHeaderTest, GetKeyKeyHeaderReadsBigEndianFields) {
    KeyFileContents contents = DupontKey(CountingMaterial(300), 258, 17);
    contents.id = "id-0123";
    ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), contents));
    TypKeyHeader header;
    ASSERT_EQ(crypto.GetKeyKeyHeader(&header, Ref(KeyPath("Dupont.126")).get()), kNoErr);
    // The file begins 00 00 00 01: version 1 in host order.
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.year, 2026);
    EXPECT_EQ(header.idLen, 7);
    EXPECT_EQ(memcmp(header.id, "id-0123", 7), 0);
    EXPECT_EQ(header.nameLen, 6);
    EXPECT_EQ(memcmp(header.name, "Dupont", 6), 0);
    EXPECT_EQ(header.keyLen, 300);
    EXPECT_EQ(header.keyOffset, 258);
    EXPECT_EQ(header.useCount, 17);
    // The bytes after the used id and name and the reserve come over as stored, unmoved.
    for (size_t k = 7; k < 32; ++k) {
        EXPECT_EQ(header.id[k], 0xC3) << "id byte " << k;
    }
    for (size_t k = 6; k < 40; ++k) {
        EXPECT_EQ(header.name[k], 0xC3) << "name byte " << k;
    }
    const auto* reserve = reinterpret_cast<const unsigned char*>(header.reserve);
    for (size_t k = 0; k < 124; ++k) {
        EXPECT_EQ(reserve[k], k) << "reserve byte " << k;
    }
}

TEST_F(KeyHeaderTest, GetKeyKeyHeaderFailures) {
    TypKeyHeader header;
    memset(&header, 0x77, sizeof header);
    const TypKeyHeader untouched = header;
    // A missing file: the open's code, the record untouched.
    EXPECT_EQ(crypto.GetKeyKeyHeader(&header, Ref(KeyPath("Nobody.126")).get()), kOtherErr);
    EXPECT_EQ(memcmp(&header, &untouched, sizeof header), 0);
    // A file shorter than its header.
    ASSERT_TRUE(WriteWholeFile(KeyPath("Short.126"), Bytes(223, 0)));
    EXPECT_EQ(crypto.GetKeyKeyHeader(&header, Ref(KeyPath("Short.126")).get()), kOtherErr);
}

// Only the seven numeric fields move; the conversions undo each other.
TEST_F(KeyHeaderTest, ByteOrderRoundTrip) {
    const uint32_t seed = 4242;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Bytes stored = testsupport::RandomBytes(224, seed);
    TypKeyHeader header;
    memcpy(&header, stored.data(), 224);
    crypto.ConvertHeaderForLocalOS(&header);
    const struct {
        int32_t* field;
        size_t offset;
    } numeric[] = {{&header.version, 0},  {&header.year, 4},    {&header.idLen, 8},
                   {&header.nameLen, 44}, {&header.keyLen, 88}, {&header.keyOffset, 92},
                   {&header.useCount, 96}};
    for (const auto& f : numeric) {
        EXPECT_EQ(static_cast<uint32_t>(*f.field), GetBigEndian32(&stored[f.offset]))
            << "offset " << f.offset;
    }
    EXPECT_EQ(memcmp(header.id, &stored[12], 32), 0);
    EXPECT_EQ(memcmp(header.name, &stored[48], 40), 0);
    EXPECT_EQ(memcmp(header.reserve, &stored[100], 124), 0);
    crypto.ConvertHeaderToStandard(&header);
    EXPECT_EQ(memcmp(&header, stored.data(), 224), 0);
}

// A Dupont key of 300 bytes at offset 258 after 17 uses, with the stored field at offset set to
// value (big-endian) and cut to length bytes: the bytes ReadKeyHeader and IsKeyHeader judge.
struct StoredHeaderCase {
    const char* what;
    int offset;  // -1: no field changed
    uint32_t value;
    size_t length;  // bytes of the file kept
    int32_t expectedRead;
    veldoran::KeyHeaderFault expectedFault;  // of what was read
};

void PrintTo(const StoredHeaderCase& row, std::ostream* os) {
    *os << row.what;
}

constexpr size_t kWhole = 224 + 300;
using Fault = veldoran::KeyHeaderFault;

const StoredHeaderCase kStoredHeaders[] = {
    {"usual key", -1, 0, kWhole, kNoErr, Fault::kNone},
    {"header alone", -1, 0, 224, kNoErr, Fault::kNone},
    {"one byte short of a header", -1, 0, 223, kOtherErr, Fault::kNone},
    {"empty file", -1, 0, 0, kOtherErr, Fault::kNone},
    // The version is read as stored: 1 written least significant byte first is another one.
    {"version 2", 0, 2, kWhole, kBadKeyHeader, Fault::kVersion},
    {"version 1 little-endian", 0, 0x01000000, kWhole, kBadKeyHeader, Fault::kVersion},
    {"version 0", 0, 0, kWhole, kBadKeyHeader, Fault::kVersion},
    {"id of 32 bytes", 8, 32, kWhole, kNoErr, Fault::kNone},
    {"id of 33 bytes", 8, 33, kWhole, kNoErr, Fault::kLength},
    {"no id", 8, 0, kWhole, kNoErr, Fault::kNone},
    {"negative id length", 8, 0xFFFFFFFF, kWhole, kNoErr, Fault::kLength},
    {"name of 40 bytes", 44, 40, kWhole, kNoErr, Fault::kNone},
    {"name of 41 bytes", 44, 41, kWhole, kNoErr, Fault::kLength},
    {"no name", 44, 0, kWhole, kNoErr, Fault::kLength},
    {"one byte of material", 88, 1, kWhole, kNoErr, Fault::kPosition},
    {"material up to the offset", 88, 258, kWhole, kNoErr, Fault::kNone},
    {"no material", 88, 0, kWhole, kNoErr, Fault::kLength},
    {"negative key length", 88, 0x80000000, kWhole, kNoErr, Fault::kLength},
    {"offset at the end of the material", 92, 300, kWhole, kNoErr, Fault::kNone},
    {"offset past the material", 92, 301, kWhole, kNoErr, Fault::kPosition},
    {"negative offset", 92, 0xFFFFFFFF, kWhole, kNoErr, Fault::kPosition},
};

class StoredHeader : public KeyFolderFixture,
                     public ::testing::WithParamInterface<StoredHeaderCase> {};

TEST_P(StoredHeader, ReadAndJudged) {
    const StoredHeaderCase& c = GetParam();
    Bytes bytes = testsupport::EncodeKeyHeader(DupontKey(CountingMaterial(300), 258, 17));
    const Bytes material = CountingMaterial(300);
    bytes.insert(bytes.end(), material.begin(), material.end());
    if (c.offset >= 0) {
        testsupport::PutBigEndian32(&bytes[static_cast<size_t>(c.offset)], c.value);
    }
    bytes.resize(c.length);
    ASSERT_TRUE(WriteWholeFile(KeyPath("Dupont.126"), bytes));

    TypKeyHeader header;
    memset(&header, 0x77, sizeof header);
    ASSERT_EQ(veldoran::ReadKeyHeader(KeyPath("Dupont.126").c_str(), &header), c.expectedRead);
    if (c.expectedRead == kOtherErr) {
        return;
    }
    // Read in host order: the changed field holds the value written, the others the key's own.
    const int32_t expected[] = {1, 2026, 8, 6, 300, 258, 17};
    const int32_t read[] = {header.version, header.year,      header.idLen,   header.nameLen,
                            header.keyLen,  header.keyOffset, header.useCount};
    const int offsets[] = {0, 4, 8, 44, 88, 92, 96};
    for (size_t k = 0; k < std::size(offsets); ++k) {
        EXPECT_EQ(read[k], offsets[k] == c.offset ? static_cast<int32_t>(c.value) : expected[k])
            << "field at " << offsets[k];
    }
    EXPECT_EQ(memcmp(header.name, "Dupont", 6), 0);
    EXPECT_EQ(veldoran::CheckKeyHeader(header), c.expectedFault);
    EXPECT_EQ(veldoran::IsKeyHeader(header), c.expectedFault == Fault::kNone);

    // Bytes a frame carries give the same record, and encode back to themselves.
    TypKeyHeader decoded;
    veldoran::DecodeKeyHeader(bytes.data(), &decoded);
    EXPECT_EQ(memcmp(&decoded, &header, sizeof header), 0);
    unsigned char stored[kKeyHeaderSize];
    veldoran::EncodeKeyHeader(decoded, stored);
    EXPECT_EQ(memcmp(stored, bytes.data(), sizeof stored), 0);
}

INSTANTIATE_TEST_SUITE_P(KeyHeader, StoredHeader, ::testing::ValuesIn(kStoredHeaders), CaseName());

// What is not a key file at all: nothing there, a folder, and a pipe, which is never waited on.
TEST_F(KeyHeaderTest, ReadKeyHeaderRefusesWhatIsNoFile) {
    TypKeyHeader header;
    EXPECT_EQ(veldoran::ReadKeyHeader(KeyPath("Nobody.126").c_str(), &header), kFNFErr);
    EXPECT_EQ(veldoran::ReadKeyHeader(KeyDir().c_str(), &header), kOtherErr);
    ASSERT_EQ(mkfifo(KeyPath("Pipe.126").c_str(), 0600), 0);
    EXPECT_EQ(veldoran::ReadKeyHeader(KeyPath("Pipe.126").c_str(), &header), kOtherErr);
}

struct CommentCase {
    const char* what;
    int32_t version;
    int32_t year;
    const char* name;
    int32_t nameLen;  // -1: the name's length
    int32_t useCount;
    int32_t expectedResult;
    const char* expected;
};

void PrintTo(const CommentCase& row, std::ostream* os) {
    *os << row.what;
}

const CommentCase kComments[] = {
    // The example of a version-1 key named Dupont for 2026 with 17 encryptions.
    {"usual", 1, 2026, "Dupont", -1, 17, kNoErr, "$VELDORAN initial, clef v1 Dupont.126 MID 17\n"},
    // The year since 1900 in plain decimal, no two-digit rule.
    {"year 1999", 1, 1999, "Master", -1, 0, kNoErr, "$VELDORAN initial, clef v1 Master.99 MID 0\n"},
    // The version is printed as read.
    {"version 7", 7, 2026, "Dupont", -1, 2, kNoErr,
     "$VELDORAN initial, clef v7 Dupont.126 MID 2\n"},
    // Only the first 40 name bytes.
    {"long name", 1, 2026, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", 55, 1, kNoErr,
     "$VELDORAN initial, clef v1 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd.126 MID 1\n"},
    // No name: the error text with result 0.
    {"no name", 1, 2026, "Dupont", 0, 1, kNoErr, "Erreur Clef\n"},
    {"negative name length", 1, 2026, "Dupont", -9, 1, kNoErr, "Erreur Clef\n"},
};

class KeyComment : public KeyFolderFixture, public ::testing::WithParamInterface<CommentCase> {};

TEST_P(KeyComment, Text) {
    const CommentCase& c = GetParam();
    KeyFileContents contents = DupontKey(CountingMaterial(10), 0, c.useCount);
    contents.version = c.version;
    contents.year = c.year;
    contents.name = c.name;
    contents.nameLen = c.nameLen;
    ASSERT_TRUE(WriteKeyFile(KeyPath("Key"), contents));
    char comment[256];
    EXPECT_EQ(crypto.GetKeyComment(comment, Ref(KeyPath("Key")).get()), c.expectedResult);
    EXPECT_STREQ(comment, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cipher, KeyComment, ::testing::ValuesIn(kComments), CaseName());

// The error comment for an unreadable key file, and the longest comment there can be.
TEST_F(KeyHeaderTest, KeyCommentFailuresAndLongestText) {
    char comment[256];
    EXPECT_EQ(crypto.GetKeyComment(comment, Ref(KeyPath("Nobody.126")).get()), kOtherErr);
    EXPECT_STREQ(comment, "Erreur Clef\n");
    ASSERT_TRUE(WriteWholeFile(KeyPath("Short"), Bytes(100, 0)));
    EXPECT_EQ(crypto.GetKeyComment(comment, Ref(KeyPath("Short")).get()), kOtherErr);
    EXPECT_STREQ(comment, "Erreur Clef\n");

    // Every number at its widest: the comment fills exactly 107 bytes with its NUL.
    KeyFileContents contents = DupontKey(CountingMaterial(10), 0, INT32_MIN);
    contents.version = INT32_MIN;
    contents.year = INT32_MIN + 1900;
    contents.name = std::string(40, 'N');
    ASSERT_TRUE(WriteKeyFile(KeyPath("Wide"), contents));
    std::vector<char> exact(107, '#');
    EXPECT_EQ(crypto.GetKeyComment(exact.data(), Ref(KeyPath("Wide")).get()), kNoErr);
    EXPECT_EQ(std::string(exact.data()), "$VELDORAN initial, clef v-2147483648 " +
                                             std::string(40, 'N') +
                                             ".-2147483648 MID -2147483648\n");
    EXPECT_EQ(exact[106], '\0');
}

struct NamingCase {
    const char* what;
    int32_t version;
    int32_t year;
    int32_t nameLen;
    const char* expectedFile;  // nullptr: no reference
};

void PrintTo(const NamingCase& row, std::ostream* os) {
    *os << row.what;
}

// GetKeyFileRef: <name>.<year - 1900> under <key folder>Clefs/.
const NamingCase kNamings[] = {
    {"usual", 1, 2026, 6, "Dupont.126"},   {"year 1999", 1, 1999, 6, "Dupont.99"},
    {"year 1900", 1, 1900, 6, "Dupont.0"}, {"version 2", 2, 2026, 6, nullptr},
    {"empty name", 1, 2026, 0, ".126"},    {"negative name length", 1, 2026, -4, ".126"},
};

class KeyNaming : public KeyFolderFixture, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(KeyNaming, FileRefPath) {
    const NamingCase& c = GetParam();
    TypKeyHeader header = HostHeader(c.version, c.year, "Dupont", c.nameLen);
    TypFileRef* fileRef = utils.GetKeyFileRef(&header);
    if (c.expectedFile == nullptr) {
        EXPECT_EQ(fileRef, nullptr);
        return;
    }
    ASSERT_NE(fileRef, nullptr);
    auto* unixRef = dynamic_cast<TypFileRefUnix*>(fileRef);
    ASSERT_NE(unixRef, nullptr);
    EXPECT_EQ(std::string(unixRef->path), KeyPath(c.expectedFile));
    EXPECT_EQ(header.nameLen, c.nameLen);
    fileRef->Kill();
    delete fileRef;

    char name[64];
    utils.GetKeyNameFromKeyHeader(&header, name);
    const std::string file(c.expectedFile);
    EXPECT_EQ(std::string(name), file.substr(0, file.find('.')));
}

INSTANTIATE_TEST_SUITE_P(Cipher, KeyNaming, ::testing::ValuesIn(kNamings), CaseName());

// Oversized lengths: GetKeyFileRef lowers them in the caller's record and takes 63 bytes from
// the name field on; GetKeyNameFromKeyHeader takes the same 63 bytes and changes nothing.
TEST_F(KeyHeaderTest, OversizedLengthsAreBounded) {
    TypKeyHeader header = HostHeader(1, 2026, "Dupont-Durand-Martin-Lefebvre-Moreau-Sim", 70);
    header.idLen = 50;
    // Bytes 48 to 110 of the record: the 40-byte name field and the 23 bytes after it, made
    // printable here so that the whole run shows in the file name.
    auto* record = reinterpret_cast<unsigned char*>(&header);
    memcpy(record + 88, "0123456789abcdefghijklmnopq", 23);
    const std::string expected63(reinterpret_cast<const char*>(record + 48), 63);
    const TypKeyHeader before = header;

    char name[64];
    memset(name, 'x', sizeof name);
    utils.GetKeyNameFromKeyHeader(&header, name);
    EXPECT_EQ(std::string(name, 63), expected63);
    EXPECT_EQ(name[63], '\0');
    EXPECT_EQ(memcmp(&header, &before, sizeof header), 0);

    TypFileRef* fileRef = utils.GetKeyFileRef(&header);
    ASSERT_NE(fileRef, nullptr);
    EXPECT_EQ(header.idLen, 32);
    EXPECT_EQ(header.nameLen, 63);
    const std::string path = dynamic_cast<TypFileRefUnix*>(fileRef)->path;
    EXPECT_EQ(path, KeyDir() + expected63 + ".126");
    fileRef->Kill();
    delete fileRef;

    // A version other than 1 names nothing.
    header.version = 3;
    memset(name, 'x', sizeof name);
    utils.GetKeyNameFromKeyHeader(&header, name);
    EXPECT_STREQ(name, "");
}

}  // namespace
}  // namespace cryptotest
