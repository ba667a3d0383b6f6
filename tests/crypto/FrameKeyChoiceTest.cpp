// Which file a frame may make a decryption read as key material: only <key folder>Clefs/<name>.
// <year> for a name that a key could be made with, and only when that file holds the header of
// the frame's own key. A frame comes from a stranger, so both are refused with -5 (the key is
// not found) before any key material is read, and a bad name before any file is even named.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CryptoFixture.h"
#include "support/KeyFileWriter.h"

namespace {

using cryptotest::CaseName;
using cryptotest::CountingMaterial;
using testsupport::EncodeKeyHeader;
using testsupport::KeyFileContents;
using testsupport::WriteKeyFile;
using Bytes = std::vector<unsigned char>;

// Counts the key file references asked for: a refused name must never reach one.
class NamingUtils : public TypUtilsUnix {
  public:
    TypFileRef* GetFileRefForKeyName(const char* name) override {
        ++named;
        return TypUtilsUnix::GetFileRefForKeyName(name);
    }
    int named = 0;
};

using FrameKeyChoice = cryptotest::KeyFolderFixtureT<NamingUtils>;

// Decrypts a frame of six zero bytes under header and returns UnCrypt's result; on 0 *data
// holds the key material used.
int32_t UnCryptZeros(TypCryptoUnix* crypto, TypUtils* utils, const KeyFileContents& header,
                     Bytes* data) {
    Bytes frame = EncodeKeyHeader(header);
    frame.resize(frame.size() + 6, 0);
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    const int32_t result =
        crypto->UnCrypt(frame.data(), static_cast<uint32_t>(frame.size()), &out, &outLength);
    data->assign(out, out + outLength);
    utils->MyDisposeptr(&out, outLength);
    return result;
}

struct NameCase {
    const char* what;
    std::string name;     // the frame header's name bytes
    int32_t nameLen;      // -1: the name's length
    std::string planted;  // where, under the key folder, the file the name leads to is put
};

void PrintTo(const NameCase& row, std::ostream* os) {
    *os << row.what;
}

// Each name leads to a file (planted there, with the frame's own header) that a decryption
// must not read: out of Clefs/, into a sub-folder, to a hidden file, or past the name field.
const NameCase kRefusedNames[] = {
    {"up out of the key folder", "../outside/e", -1, "outside/e.126"},
    {"empty", "", -1, "Clefs/.126"},
    {"a sub-folder", "sub/e", -1, "Clefs/sub/e.126"},
    {"a leading full stop", ".e", -1, "Clefs/.e.126"},
    {"a control character", "e\x1b[2J", -1, "Clefs/e\x1b[2J.126"},
    {"DEL", "e\x7f", -1, "Clefs/e\x7f.126"},
    // The file name ends at the NUL.
    {"a NUL", std::string("e\0x", 3), -1, "Clefs/e.126"},
    // 41 bytes run into keyLen, whose first byte (0) ends the file name after 40.
    {"longer than the name field", std::string(40, 'e'), 41,
     "Clefs/" + std::string(40, 'e') + ".126"},
};

class RefusedNames : public FrameKeyChoice, public ::testing::WithParamInterface<NameCase> {};

TEST_P(RefusedNames, RefusedBeforeAnyFileIsNamed) {
    const NameCase& c = GetParam();
    KeyFileContents key = DupontKey(CountingMaterial(64), 0);
    key.name = c.name;
    key.nameLen = c.nameLen;
    const std::string planted = tmp.path() + c.planted;
    std::filesystem::create_directories(std::filesystem::path(planted).parent_path());
    ASSERT_TRUE(WriteKeyFile(planted, key));
    const Bytes plantedBefore = testsupport::ReadWholeFile(planted);

    Bytes data;
    EXPECT_EQ(UnCryptZeros(&crypto, &utils, key, &data), KeyNotFoundErr);
    EXPECT_EQ(data, Bytes(6, ' '));
    EXPECT_EQ(utils.named, 0);
    EXPECT_EQ(testsupport::ReadWholeFile(planted), plantedBefore);
}

INSTANTIATE_TEST_SUITE_P(FrameKeyChoice, RefusedNames, ::testing::ValuesIn(kRefusedNames),
                         CaseName());

struct IdentityCase {
    const char* what;
    void (*change)(KeyFileContents* fileHeader);  // what the file at Dupont.126 holds instead
    int32_t expected;
};

void PrintTo(const IdentityCase& row, std::ostream* os) {
    *os << row.what;
}

const IdentityCase kIdentityCases[] = {
    {"another id", [](KeyFileContents* k) { k->id = "other-ke"; }, KeyNotFoundErr},
    {"a longer id", [](KeyFileContents* k) { k->id += "x"; }, KeyNotFoundErr},
    {"another name", [](KeyFileContents* k) { k->name = "Durand"; }, KeyNotFoundErr},
    {"the name in other case", [](KeyFileContents* k) { k->name = "DUPONT"; }, KeyNotFoundErr},
    {"another year", [](KeyFileContents* k) { k->year = 2025; }, KeyNotFoundErr},
    {"version 2", [](KeyFileContents* k) { k->version = 2; }, KeyNotFoundErr},
    // What every encryption rewrites is no part of a key's identity.
    {"only the position and count differ",
     [](KeyFileContents* k) {
         k->keyOffset = 50;
         k->useCount = 9;
     },
     kNoErr},
};

class KeyIdentity : public FrameKeyChoice, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(KeyIdentity, OnlyTheFramesOwnKeyIsUsed) {
    const IdentityCase& c = GetParam();
    const KeyFileContents frameKey = DupontKey(CountingMaterial(64), 3);
    KeyFileContents fileKey = frameKey;
    c.change(&fileKey);
    ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), fileKey));

    Bytes data;
    EXPECT_EQ(UnCryptZeros(&crypto, &utils, frameKey, &data), c.expected);
    const Bytes expected = c.expected == kNoErr ? Bytes{3, 4, 5, 6, 7, 8} : Bytes(6, ' ');
    EXPECT_EQ(data, expected);
}

INSTANTIATE_TEST_SUITE_P(FrameKeyChoice, KeyIdentity, ::testing::ValuesIn(kIdentityCases),
                         CaseName());

// The rule key new makes keys by, and decryption takes names by.
TEST(KeyNameRule, Faults) {
    using veldoran::KeyNameFault;
    const struct {
        std::string name;
        KeyNameFault expected;
    } cases[] = {
        {"dupont", KeyNameFault::kNone},
        {"a.b-c_d e", KeyNameFault::kNone},
        {"\xc3\xa9lodie", KeyNameFault::kNone},  // UTF-8 bytes are not control characters
        {std::string(40, 'x'), KeyNameFault::kNone},
        {std::string(41, 'x'), KeyNameFault::kLength},
        {"", KeyNameFault::kLength},
        {".", KeyNameFault::kLeadingDot},
        {"..", KeyNameFault::kLeadingDot},
        {"a/b", KeyNameFault::kCharacter},
        {"/", KeyNameFault::kCharacter},
        {"a\tb", KeyNameFault::kCharacter},
        {"a\x7f", KeyNameFault::kCharacter},
        {std::string("a\0b", 3), KeyNameFault::kCharacter},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(veldoran::CheckKeyName(reinterpret_cast<const unsigned char*>(c.name.data()),
                                         c.name.size()),
                  c.expected);
    }
}

}  // namespace
