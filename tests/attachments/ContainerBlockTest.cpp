// The container block byte for byte: the empty block, entries in every format against blocks
// written from the format's description, the record form, texts cut at their fields, and the
// reader's rules for where a block starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContainerFixture.h"

namespace containertest {
namespace {

using ContainerBlock = ContainerTest;

TEST_F(ContainerBlock, EmptyContainerWritesThe88ByteBlock) {
    // Expected bytes spelled out: magic, format 1, sender field, L = 0, N = 0, end marker.
    Bytes expected = B("VELD-200");
    const Bytes rest = {0, 0, 0, 1};
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected.insert(expected.end(), 64, 0);
    expected.insert(expected.end(), 12, 0);
    EXPECT_EQ(Write(container.get()), expected);
    EXPECT_EQ(expected.size(), size_t{TypPieceJointe::kEmptyBlockSize});
}

struct BlockCase {
    const char* what;
    int32_t format;
    bool compressedInBlock;
};

// GoogleTest prints a row when it registers the cases; without a printer it would dump the
// struct's bytes, padding included, which the memory checker reports as uninitialised.
void PrintTo(const BlockCase& row, std::ostream* os) {
    *os << row.what;
}

class ContainerBlockFormats : public ContainerTest,
                              public ::testing::WithParamInterface<BlockCase> {};

// Three entries (an empty one, a short text, a 300-byte name over random bytes) written in the
// case's format; the block must equal the one written from the format's description, with
// streams from a direct lzo1x_1_compress call where the format compresses.
TEST_P(ContainerBlockFormats, EntriesMatchTheDescribedBlock) {
    const BlockCase& c = GetParam();
    TypPieceJointe* built = Fresh(c.format);
    built->SetExpediteur("dupont");
    built->SetDestinataire("a@x.fr,b@y.fr");
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"", Bytes()},
        {"lettre.txt", B("Bonjour,\rci-joint le document.\r")},
        {std::string(300, 'n'), testsupport::RandomBytes(5000, 7)},
    };
    BlockContents expected{c.format, "dupont", "a@x.fr,b@y.fr", {}};
    for (size_t k = 0; k < files.size(); ++k) {
        TypInfo info = DistinctInfo(static_cast<int>(k));
        ASSERT_EQ(Add(built, files[k].second, files[k].first, info), kNoErr) << c.what;
        const Bytes stored =
            c.compressedInBlock ? LzoCompressDirect(files[k].second) : files[k].second;
        expected.entries.push_back({info, files[k].first, stored});
    }
    const Bytes block = Write(built);
    EXPECT_EQ(block, ReferenceBlock(expected)) << c.what;
    // The 300-byte name's length field, 00 00 01 2C, on every host.
    const size_t third = block.size() - 4 - expected.entries[2].stored.size() - 300 - 52;
    EXPECT_EQ(GetBE32(block, third + 48), 300u);
    EXPECT_EQ(block[third + 48 + 2], 0x01);
    EXPECT_EQ(block[third + 48 + 3], 0x2C);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ContainerBlockFormats,
    ::testing::Values(BlockCase{"format 1 stores data as is", kformatnoncompresse, false},
                      BlockCase{"format 2 stores LZO1X-1 streams", kformatLZOcompresse, true},
                      BlockCase{"format 7 is carried and stores data as is", 7, false},
                      BlockCase{"format -1 likewise", -1, false}));

// Write, load into a fresh object, write again: the same bytes, the same entries.
TEST_F(ContainerBlock, WriteLoadWriteGivesTheSameBytes) {
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{7}}) {
        TypPieceJointe* built = Fresh(format);
        built->SetExpediteur("Jeanne d'Arc");
        built->SetDestinataire("orleans");
        const Bytes first = B("premier fichier"), second = testsupport::RandomBytes(777, 3);
        ASSERT_EQ(Add(built, first, "un", DistinctInfo(4)), kNoErr);
        ASSERT_EQ(Add(built, second, "deux", DistinctInfo(5)), kNoErr);
        const Bytes block = Write(built);

        int32_t result = -99;
        TypPieceJointe* loaded = Loaded(block, &result);
        ASSERT_EQ(result, kNoErr) << format;
        ASSERT_EQ(loaded->GetNbFiles(), 2);
        EXPECT_EQ(Data(loaded, 0), first);
        EXPECT_EQ(Data(loaded, 1), second);
        char sender[200];
        loaded->GetExpediteur(sender);
        EXPECT_STREQ(sender, "Jeanne d'Arc");
        EXPECT_EQ(Write(loaded), block) << format;
    }
}

TEST_F(ContainerBlock, RecordFormIsBigEndianWithZeroReservedPairs) {
    const TypInfo info = DistinctInfo(9);
    TypInfo stored = info;
    container->SwapInfoBlock(&stored);
    unsigned char form[48];
    memset(form, 0xEE, sizeof form);
    container->InternalFillBufferFromInfo(&stored, form);
    EXPECT_EQ(Bytes(form, form + 48), RecordForm(info, info.storedSize));

    // Reading ignores the reserved pairs and gives back every field.
    form[6] = form[7] = form[18] = form[19] = 0xFF;
    TypInfo back;
    container->InternalFillInfoFromBuffer(form, &back);
    container->SwapInfoBlock(&back);
    EXPECT_EQ(RecordForm(back, back.storedSize), RecordForm(info, info.storedSize));
}

TEST_F(ContainerBlock, TextsAreCutAtTheirFields) {
    char sender[200];
    container->GetExpediteur(sender);
    EXPECT_STREQ(sender, "");

    const std::string sender63(63, 's');
    container->SetExpediteur(sender63.c_str());
    container->GetExpediteur(sender);
    EXPECT_EQ(std::string(sender), sender63);

    container->SetExpediteur(std::string(500, 't').c_str());
    container->GetExpediteur(sender);
    EXPECT_EQ(std::string(sender), std::string(63, 't'));

    // A shorter sender leaves no trace of the longer one in the field.
    container->SetExpediteur("bref");
    container->SetDestinataire(std::string(20000, 'r').c_str());
    EXPECT_EQ(Write(container.get()), ReferenceBlock({1, "bref", std::string(9999, 'r'), {}}));

    container->SetDestinataire(std::string(9999, 'q').c_str());
    EXPECT_EQ(Write(container.get()), ReferenceBlock({1, "bref", std::string(9999, 'q'), {}}));
}

TEST_F(ContainerBlock, GetDataNLendsTheEntryWithinBounds) {
    const Bytes bytes = B("donnees");
    unsigned char* given = Owned(bytes);
    TypInfo info = DistinctInfo(1);
    ASSERT_EQ(container->AddBlock(&info, given, 7, "f"), kNoErr);
    EXPECT_EQ(info.storedSize, 7);

    unsigned char* out = nullptr;
    int32_t length = 0;
    ASSERT_EQ(container->GetDataN(0, &out, &length), kNoErr);
    EXPECT_EQ(out, given) << "format 1 holds the caller's very block";
    EXPECT_EQ(length, 7);
    for (int32_t index : {-1, 1, INT32_MIN, INT32_MAX}) {
        unsigned char* untouched = given;
        int32_t untouchedLength = 123;
        EXPECT_EQ(container->GetDataN(index, &untouched, &untouchedLength), kOtherErr) << index;
        EXPECT_EQ(untouched, given);
        EXPECT_EQ(untouchedLength, 123);
    }
}

Bytes SampleBlock() {
    BlockContents contents{1, "expediteur", "dest", {}};
    contents.entries.push_back({DistinctInfo(0), "a", B("alpha")});
    contents.entries.push_back({DistinctInfo(1), "b", B("beta")});
    return ReferenceBlock(contents);
}

TEST_F(ContainerBlock, MagicMayFollowUpTo64BytesOfOtherContent) {
    const Bytes block = SampleBlock();
    for (size_t prefix : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{200}}) {
        Bytes shifted(prefix, 'x');
        shifted.insert(shifted.end(), block.begin(), block.end());
        int32_t result = -99;
        TypPieceJointe* loaded = Loaded(shifted, &result);
        EXPECT_EQ(result, kNoErr) << prefix;
        EXPECT_EQ(loaded->GetNbFiles(), prefix <= 64 ? 2 : 0) << prefix;
        if (prefix <= 64) {
            EXPECT_EQ(Write(loaded), block) << prefix;
        } else {
            EXPECT_EQ(Write(loaded), ReferenceBlock({})) << "a block not found changes nothing";
        }
    }
}

TEST_F(ContainerBlock, ReadersShowWhatALoadedBlockHolds) {
    const Bytes block = SampleBlock();
    int32_t result = -99;
    TypPieceJointe* loaded = Loaded(block, &result);
    ASSERT_EQ(result, kNoErr);
    EXPECT_EQ(loaded->GetFormat(), 1);
    std::vector<char> recipients(klenmaxdest, 'z');
    loaded->GetDestinataire(recipients.data());
    EXPECT_STREQ(recipients.data(), "dest");
    const struct {
        const char* name;
        int32_t storedSize;
    } expected[] = {{"a", 5}, {"b", 4}};
    for (int32_t index = 0; index < 2; ++index) {
        const char* name = nullptr;
        TypInfo info{};
        ASSERT_EQ(loaded->GetNameN(index, &name, &info), kNoErr);
        EXPECT_STREQ(name, expected[index].name);
        EXPECT_EQ(info.long1, DistinctInfo(index).long1);
        EXPECT_EQ(info.long7, DistinctInfo(index).long7);
        EXPECT_EQ(info.storedSize, expected[index].storedSize);
    }
    for (int32_t index : {-1, 2, INT32_MIN, INT32_MAX}) {
        const char* untouched = "kept";
        EXPECT_EQ(loaded->GetNameN(index, &untouched, nullptr), kOtherErr) << index;
        EXPECT_STREQ(untouched, "kept");
    }
    // HoldsContainer answers exactly as LoadStruct finds a block.
    for (size_t prefix : {size_t{0}, size_t{64}, size_t{65}}) {
        Bytes shifted(prefix, 'x');
        shifted.insert(shifted.end(), block.begin(), block.end());
        EXPECT_EQ(container->HoldsContainer(shifted.data(), static_cast<int32_t>(shifted.size())),
                  prefix <= 64)
            << prefix;
    }
    EXPECT_FALSE(container->HoldsContainer(block.data(), 72));
    EXPECT_TRUE(container->HoldsContainer(block.data(), 73));
    EXPECT_FALSE(container->HoldsContainer(nullptr, 0));
}

TEST_F(ContainerBlock, BlocksOf72BytesOrFewerNeverLoad) {
    Bytes block = ReferenceBlock({7, "abc", "", {}});
    // 72 bytes: the magic and the format code are there, yet nothing is read.
    int32_t result = -99;
    TypPieceJointe* at72 = Loaded(Bytes(block.begin(), block.begin() + 72), &result);
    EXPECT_EQ(result, kNoErr);
    EXPECT_EQ(Write(at72), ReferenceBlock({})) << "format code must not have been read";
    // 73 bytes are searched and read, and found cut short inside the sender field.
    TypPieceJointe* at73 = Loaded(Bytes(block.begin(), block.begin() + 73), &result);
    EXPECT_EQ(result, kFrameTooShort);
    EXPECT_EQ(Write(at73), ReferenceBlock({7, "", "", {}}));
}

TEST_F(ContainerBlock, RecipientLengthOf9999LoadsAnd10000Stops) {
    const Bytes longest = ReferenceBlock({1, "moi", std::string(9999, 'd'), {}});
    int32_t result = -99;
    EXPECT_EQ(Write(Loaded(longest, &result)), longest);
    EXPECT_EQ(result, kNoErr);

    // 10000 declared: the format code and the sender are taken, nothing after them.
    BlockContents contents{7, "moi", std::string(10000, 'd'), {}};
    contents.entries.push_back({DistinctInfo(0), "a", B("alpha")});
    TypPieceJointe* stopped = Loaded(ReferenceBlock(contents), &result);
    EXPECT_EQ(result, kNonVeldoranedAttachement);
    EXPECT_EQ(stopped->GetNbFiles(), 0);
    EXPECT_EQ(Write(stopped), ReferenceBlock({7, "moi", "", {}}));
}

TEST_F(ContainerBlock, EndMarkerIsNotNeededAndTrailingBytesAreIgnored) {
    const Bytes block = SampleBlock();
    Bytes withoutMarker(block.begin(), block.end() - 4);
    Bytes withTrailer = block;
    withTrailer.insert(withTrailer.end(), 100, 0xAB);
    for (const Bytes* variant : {&withoutMarker, &withTrailer}) {
        int32_t result = -99;
        TypPieceJointe* loaded = Loaded(*variant, &result);
        EXPECT_EQ(result, kNoErr);
        EXPECT_EQ(Write(loaded), block);
    }
}

TEST_F(ContainerBlock, SenderFieldWithoutZeroByteIsCutAt63Bytes) {
    Bytes block = ReferenceBlock({1, "", "", {}});
    memset(block.data() + 12, 'z', 64);
    int32_t result = -99;
    TypPieceJointe* loaded = Loaded(block, &result);
    EXPECT_EQ(result, kNoErr);
    char sender[200];
    loaded->GetExpediteur(sender);
    EXPECT_EQ(std::string(sender), std::string(63, 'z'));
}

}  // namespace
}  // namespace containertest
