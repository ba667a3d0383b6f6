// Hostile and damaged container blocks, and memory running out: the reader stops at the first
// thing wrong with the documented code, keeps every entry loaded before it whole, never reads
// outside the block (the sanitizer build watches) and leaks nothing; the writer's operations
// refuse what they cannot hold and leave the container and the caller's block as they were.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContainerFixture.h"

namespace containertest {
namespace {

using MalformedBlock = ContainerTest;

const std::vector<Bytes>& SampleFiles() {
    static const std::vector<Bytes> files = {B("alpha"), TextLike(2000, 4), B("")};
    return files;
}

BlockContents SampleContents(int32_t format) {
    BlockContents contents{format, "expediteur", "dest", {}};
    for (size_t k = 0; k < SampleFiles().size(); ++k) {
        const Bytes& file = SampleFiles()[k];
        contents.entries.push_back(
            {DistinctInfo(int(k)), std::string(1, char('a' + k)),
             format == kformatLZOcompresse ? LzoCompressDirect(file) : file});
    }
    return contents;
}

// Offsets in the sample block: where entry k starts, and where it ends.
constexpr size_t kCountAt = 84;  // after the four-byte recipient text
std::vector<size_t> EntryStarts(const BlockContents& contents) {
    std::vector<size_t> starts;
    size_t at = kCountAt + 4;
    for (const Entry& entry : contents.entries) {
        starts.push_back(at);
        at += 52 + entry.name.size() + entry.stored.size();
    }
    starts.push_back(at);
    return starts;
}

// Cut anywhere: blocks of 72 bytes or fewer load nothing; otherwise every entry that lies
// wholly inside the cut loads, and a cut anywhere but just after the last entry is reported.
TEST_F(MalformedBlock, CutAnywhere) {
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}}) {
        const BlockContents contents = SampleContents(format);
        const Bytes block = ReferenceBlock(contents);
        const std::vector<size_t> starts = EntryStarts(contents);
        for (size_t cut = 0; cut < block.size(); ++cut) {
            // An exact-size copy, so the sanitizer sees any read past the cut.
            const Bytes part(block.begin(), block.begin() + long(cut));
            int32_t result = -99;
            TypPieceJointe* loaded = Loaded(part, &result);
            size_t whole = 0;
            while (whole < contents.entries.size() && starts[whole + 1] <= cut) {
                ++whole;
            }
            const bool complete = whole == contents.entries.size();
            const int32_t expected = cut <= 72 || complete ? kNoErr : kFrameTooShort;
            EXPECT_EQ(result, expected) << "format " << format << " cut at " << cut;
            ASSERT_EQ(loaded->GetNbFiles(), cut <= 72 ? 0 : int32_t(whole)) << cut;
            for (size_t k = 0; k < size_t(loaded->GetNbFiles()); ++k) {
                EXPECT_EQ(Data(loaded, int32_t(k)), SampleFiles()[k]) << cut;
            }
        }
    }
}

struct Corruption {
    const char* what;
    // Offset of the big-endian field to replace: the recipient length, the count, or a field of
    // entry `entry` (its name length or storedSize).
    enum Field { kRecipientLength, kCount, kNameLength, kStoredSize } field;
    size_t entry;
    uint32_t value;
    int32_t code;
    int32_t loaded;
};

// clang-format off
const Corruption kCorruptions[] = {
    {"negative recipient length",  Corruption::kRecipientLength, 0, 0xFFFFFFFF, kNonVeldoranedAttachement, 0},
    {"recipient length 10000",     Corruption::kRecipientLength, 0, 10000,      kNonVeldoranedAttachement, 0},
    {"recipient length INT32_MAX", Corruption::kRecipientLength, 0, 0x7FFFFFFF, kNonVeldoranedAttachement, 0},
    {"recipient past the end",     Corruption::kRecipientLength, 0, 9999,       kFrameTooShort,            0},
    {"negative file count",        Corruption::kCount,           0, 0xFFFFFFFF, kNonVeldoranedAttachement, 0},
    {"file count 1001",            Corruption::kCount,           0, 1001,       kNonVeldoranedAttachement, 0},
    {"file count INT32_MIN",       Corruption::kCount,           0, 0x80000000, kNonVeldoranedAttachement, 0},
    {"more files than present",    Corruption::kCount,           0, 1000,       kFrameTooShort,            3},
    {"fewer files than present",   Corruption::kCount,           0, 2,          kNoErr,                    2},
    {"negative name length",       Corruption::kNameLength,      1, 0xFFFFFFFF, kNonVeldoranedAttachement, 1},
    {"name length INT32_MAX",      Corruption::kNameLength,      1, 0x7FFFFFFF, kFrameTooShort,            1},
    {"name past the end",          Corruption::kNameLength,      2, 60,         kFrameTooShort,            2},
    {"negative storedSize",        Corruption::kStoredSize,      0, 0xFFFFFFFF, kNonVeldoranedAttachement, 0},
    {"storedSize INT32_MIN",       Corruption::kStoredSize,      1, 0x80000000, kNonVeldoranedAttachement, 1},
    {"storedSize INT32_MAX",       Corruption::kStoredSize,      1, 0x7FFFFFFF, kFrameTooShort,            1},
    {"storedSize past the end",    Corruption::kStoredSize,      2, 5,          kFrameTooShort,            2},
};
// clang-format on

TEST_F(MalformedBlock, CorruptedFieldsStopTheLoad) {
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}}) {
        const BlockContents contents = SampleContents(format);
        const std::vector<size_t> starts = EntryStarts(contents);
        for (const Corruption& c : kCorruptions) {
            Bytes block = ReferenceBlock(contents);
            size_t at = 0;
            switch (c.field) {
                case Corruption::kRecipientLength:
                    at = 76;
                    break;
                case Corruption::kCount:
                    at = kCountAt;
                    break;
                case Corruption::kNameLength:
                    at = starts[c.entry] + 48;
                    break;
                case Corruption::kStoredSize:
                    at = starts[c.entry] + 40;
                    break;
            }
            SetBE32(&block, at, c.value);
            if (std::string(c.what).find("past the end") != std::string::npos) {
                block.resize(block.size() - 4);  // no end marker to run into
            }
            int32_t result = -99;
            TypPieceJointe* loaded = Loaded(block, &result);
            EXPECT_EQ(result, c.code) << c.what << ", format " << format;
            ASSERT_EQ(loaded->GetNbFiles(), c.loaded) << c.what;
            for (int32_t k = 0; k < c.loaded; ++k) {
                EXPECT_EQ(Data(loaded, k), SampleFiles()[size_t(k)]) << c.what;
            }
            char sender[200];
            loaded->GetExpediteur(sender);
            EXPECT_STREQ(sender, "expediteur") << "the sender comes before every corruption";
        }
    }
}

// Every allocation of a load failing in turn: kMemErr, the entries before it whole, no leak.
TEST_F(MalformedBlock, AllocationFailuresWhileLoading) {
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}}) {
        const Bytes block = ReferenceBlock(SampleContents(format));
        for (int call = 1; call <= 6; ++call) {
            TypPieceJointe* loaded = Fresh();
            utils.FailCall(call);
            EXPECT_EQ(loaded->LoadStruct(block.data(), int32_t(block.size())), kMemErr) << call;
            utils.FailCall(0);
            const int32_t whole = (call - 1) / 2;
            ASSERT_EQ(loaded->GetNbFiles(), whole) << call;
            for (int32_t k = 0; k < whole; ++k) {
                EXPECT_EQ(Data(loaded, k), SampleFiles()[size_t(k)]) << call;
            }
        }
    }
}

TEST_F(MalformedBlock, AllocationFailuresWhileAdding) {
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}}) {
        const int lastCall = format == kformatLZOcompresse ? 2 : 1;  // name, then stream
        for (int call = 1; call <= lastCall; ++call) {
            TypPieceJointe* built = Fresh(format);
            unsigned char* given = Owned(B("contenu"));
            TypInfo info = DistinctInfo(1);
            utils.FailCall(call);
            EXPECT_EQ(built->AddBlock(&info, given, 7, "nom"), kMemErr) << call;
            utils.FailCall(0);
            EXPECT_EQ(built->GetNbFiles(), 0);
            EXPECT_EQ(info.storedSize, DistinctInfo(1).storedSize);
            EXPECT_EQ(Bytes(given, given + 7), B("contenu"));
            utils.MyDisposeptr(&given, 7);
            EXPECT_EQ(Write(built), ReferenceBlock({format, "", "", {}}));
        }
    }
    unsigned char* block = reinterpret_cast<unsigned char*>(1);
    int32_t length = 55;
    utils.FailCall(1);
    EXPECT_EQ(container->GetStruct(&block, &length), kMemErr);
    utils.FailCall(0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(length, 0);
}

TEST_F(MalformedBlock, AddBlockRefusesWhatItCannotHold) {
    unsigned char* given = Owned(B("x"));
    TypInfo info = DistinctInfo(0);
    EXPECT_EQ(container->AddBlock(&info, given, -1, "neg"), kOtherErr);
    EXPECT_EQ(container->AddBlock(&info, nullptr, 5, "null"), kOtherErr);
    EXPECT_EQ(container->GetNbFiles(), 0);

    BlockContents full{1, "", "", {}};
    for (int k = 0; k < knbmaxpj; ++k) {
        ASSERT_EQ(Add(container.get(), B("d"), "f"), kNoErr);
        full.entries.push_back({DistinctInfo(0), "f", B("d")});
    }
    EXPECT_EQ(container->AddBlock(&info, given, 1, "one too many"), kOtherErr);
    EXPECT_EQ(container->GetNbFiles(), knbmaxpj);
    EXPECT_EQ(info.storedSize, DistinctInfo(0).storedSize);
    EXPECT_EQ(given[0], 'x');
    utils.MyDisposeptr(&given, 1);

    const Bytes block = Write(container.get());
    EXPECT_EQ(block, ReferenceBlock(full));
    int32_t result = -99;
    EXPECT_EQ(Loaded(block, &result)->GetNbFiles(), knbmaxpj);
    EXPECT_EQ(result, kNoErr);
}

// Outside the life cycle but harmless: a second Kill, writing after Kill, loading twice.
TEST_F(MalformedBlock, RepeatedKillAndReloadAreHarmless) {
    ASSERT_EQ(Add(container.get(), B("abc"), "n"), kNoErr);
    EXPECT_EQ(container->Kill(), kNoErr);
    EXPECT_EQ(container->Kill(), kNoErr);
    BlockContents emptied{1, "", "", {}};
    emptied.entries.push_back({DistinctInfo(0), "", Bytes()});
    EXPECT_EQ(Write(container.get()), ReferenceBlock(emptied));

    const Bytes block = ReferenceBlock(SampleContents(kformatnoncompresse));
    TypPieceJointe* twice = Fresh();
    ASSERT_EQ(twice->LoadStruct(block.data(), int32_t(block.size())), kNoErr);
    ASSERT_EQ(twice->LoadStruct(block.data(), int32_t(block.size())), kNoErr);
    EXPECT_EQ(twice->GetNbFiles(), 3);
    EXPECT_EQ(Write(twice), block);
}

}  // namespace
}  // namespace containertest
