// The conversion between local text (Windows-1252, LF) and interchange text (Mac OS Roman, CR).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "BytePaths.h"
#include "armour/TextForms.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A block from the utility object holding bytes, as FiltrerTexteInverse expects.
unsigned char* NewBlock(TypUtils& utils, const Bytes& bytes) {
    unsigned char* block = utils.MyNewPtr(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) {
        memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

Bytes Filter(TypUtils& utils, Bytes text) {
    unsigned char* pointer = text.data();
    auto length = static_cast<uint32_t>(text.size());
    EXPECT_EQ(utils.FiltrerTexte(&pointer, &length), kNoErr);
    EXPECT_EQ(pointer, text.data());
    EXPECT_EQ(length, text.size());
    return text;
}

Bytes FilterBack(TypUtils& utils, const Bytes& text) {
    unsigned char* block = NewBlock(utils, text);
    auto length = static_cast<uint32_t>(text.size());
    EXPECT_EQ(utils.FiltrerTexteInverse(&block, &length), kNoErr);
    Bytes result(block, block + length);
    utils.MyDisposeptr(&block, length);
    return result;
}

// The character table of the interchange form: local byte, interchange byte, and what the
// interchange byte turns back into.
struct TableRow {
    unsigned char local;
    unsigned char interchange;
    unsigned char back;
};
// clang-format off
const TableRow kTable[] = {
    {0x0A, 0x0D, 0x0A},  // line feed -> CR -> the line end "\n"
    {0x8C, 0xCE, 0x8C},  // Œ
    {0x92, 0x27, 0x27},  // ’ -> apostrophe, stays an apostrophe
    {0x9C, 0xCF, 0x9C},  // œ
    {0xB0, 0xA1, 0xB0},  // °
    {0xE0, 0x88, 0xE0},  // à
    {0xE2, 0x89, 0xE2},  // â
    {0xE7, 0x8D, 0xE7},  // ç
    {0xE8, 0x8F, 0xE8},  // è
    {0xE9, 0x8E, 0xE9},  // é
    {0xEA, 0x90, 0xEA},  // ê
    {0xEB, 0x91, 0xEB},  // ë
    {0xEE, 0x94, 0xEE},  // î
    {0xEF, 0x95, 0xEF},  // ï
    {0xF4, 0x99, 0xF4},  // ô
    {0xF9, 0x9D, 0xF9},  // ù
    {0xFB, 0x9F, 0xFB},  // û (0x9F, not 0x9E)
};
// clang-format on

// The table tests run on each byte path.
using TextFilterOnPath = testsupport::OnBytePath<>;
INSTANTIATE_TEST_SUITE_P(BytePaths, TextFilterOnPath, testsupport::EachBytePath(),
                         testsupport::BytePathName);

TEST_P(TextFilterOnPath, EveryByteValueFollowsTheCharacterTable) {
    TypUtilsUnix utils;
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
    }
    Bytes expectedIn = all;
    Bytes expectedBack = all;
    for (const TableRow& row : kTable) {
        expectedIn[row.local] = row.interchange;
    }
    // The way back maps the fifteen letters and CR only; every other byte passes unchanged.
    for (const TableRow& row : kTable) {
        if (row.interchange != 0x27) {
            expectedBack[row.interchange] = row.back;
        }
    }
    EXPECT_EQ(Filter(utils, all), expectedIn);
    EXPECT_EQ(FilterBack(utils, all), expectedBack);
}

// Long texts go through the wide path 32 bytes at a time and finish byte by byte: every
// length around those boundaries must give the table's bytes in both directions.
TEST_P(TextFilterOnPath, LongTextsOfEveryLengthFollowTheTable) {
    Bytes toInterchange(256);
    Bytes toLocal(256);
    for (int i = 0; i < 256; ++i) {
        toInterchange[i] = toLocal[i] = static_cast<unsigned char>(i);
    }
    for (const TableRow& row : kTable) {
        toInterchange[row.local] = row.interchange;
        if (row.interchange != 0x27) {
            toLocal[row.interchange] = row.back;
        }
    }
    const unsigned seed = 314;
    std::printf("filter seed %u\n", seed);
    std::mt19937 random(seed);
    TypUtilsUnix utils;
    for (size_t size = 0; size <= 300; ++size) {
        Bytes text(size);
        for (auto& b : text) {
            b = static_cast<unsigned char>(random());
        }
        Bytes expectedIn = text;
        Bytes expectedBack = text;
        for (size_t i = 0; i < size; ++i) {
            expectedIn[i] = toInterchange[text[i]];
            expectedBack[i] = toLocal[text[i]];
        }
        ASSERT_EQ(Filter(utils, text), expectedIn) << size;
        ASSERT_EQ(FilterBack(utils, text), expectedBack) << size;
    }
}

struct FilterCase {
    const char* name;
    Bytes local;
    Bytes interchange;
    Bytes back;
};

TEST(TextFilter, KnownTexts) {
    // Each row from the edge cases of the interchange form.
    const std::vector<FilterCase> cases = {
        {"empty", {}, {}, {}},
        {"eleve", B("\xE9l\xE8ve\n"), B("\x8El\x8Fve\r"), B("\xE9l\xE8ve\n")},
        {"crlf", B("a\r\nb"), B("a\r\rb"), B("a\n\nb")},
        {"lone cr", B("a\rb"), B("a\rb"), B("a\nb")},
        {"right quote", B("l\x92\xE9t\xE9"), B("l'\x8Et\x8E"), B("l'\xE9t\xE9")},
        {"interchange byte in local text", B("\xCE\x88"), B("\xCE\x88"), B("\x8C\xE0")},
        {"letters outside the table", B("\xC9\xC0\xC7\xE4\xF6\xFC"), B("\xC9\xC0\xC7\xE4\xF6\xFC"),
         B("\xC9\xC0\xC7\xE4\xF6\xFC")},
        {"nul passes", B(std::string("a\0b", 3)), B(std::string("a\0b", 3)),
         B(std::string("a\0b", 3))},
    };
    TypUtilsUnix utils;
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes interchange = Filter(utils, c.local);
        EXPECT_EQ(interchange, c.interchange);
        EXPECT_EQ(FilterBack(utils, interchange), c.back);
    }
}

// A platform whose line end has two characters: CRs must grow into it.
class CrLfUtils : public TypUtilsUnix {
  public:
    char* GetEOLCar() override {
        strcpy(eolField, "\r\n");
        return eolField;
    }
};

TEST(TextFilter, TwoCharacterLineEndExpandsEveryCr) {
    CrLfUtils utils;
    EXPECT_EQ(FilterBack(utils, B("\r\x8El\x8Fve\r\r")), B("\r\n\xE9l\xE8ve\r\n\r\n"));
    EXPECT_EQ(FilterBack(utils, B("")), B(""));
}

TEST(TextFilter, FailedAllocationLeavesTheCallersBlockAlone) {
    testsupport::FailingUtils utils;
    const Bytes original = B("\x8El\x8Fve\r");
    unsigned char* block = NewBlock(utils, original);
    unsigned char* const before = block;
    auto length = static_cast<uint32_t>(original.size());

    utils.FailCall(1);
    EXPECT_EQ(utils.FiltrerTexteInverse(&block, &length), kMemErr);
    EXPECT_EQ(block, before);
    EXPECT_EQ(length, original.size());
    EXPECT_EQ(Bytes(block, block + length), original);
    EXPECT_EQ(utils.liveBlocks(), 1);

    utils.FailCall(0);
    EXPECT_EQ(utils.FiltrerTexteInverse(&block, &length), kNoErr);
    EXPECT_EQ(Bytes(block, block + length), B("\xE9l\xE8ve\n"));
    EXPECT_EQ(utils.liveBlocks(), 1);  // the old block was given back
    utils.MyDisposeptr(&block, length);
    EXPECT_EQ(utils.liveBlocks(), 0);
}

TEST(TextFilter, LineEndIsLineFeed) {
    TypUtilsUnix utils;
    EXPECT_STREQ(utils.GetEOLCar(), "\n");
    EXPECT_EQ(utils.GetEOLCar(), utils.eolField);
}

// What each local byte comes back as after FiltrerTexte and FiltrerTexteInverse, and which of
// those that change are the form's own rule (’ and a lone CR) rather than a byte the form cannot
// carry: the fifteen bytes that hold an accented letter's interchange value.
TEST(TextFilter, HowEveryLocalByteTravels) {
    const Bytes another = {0x88, 0x89, 0x8D, 0x8E, 0x8F, 0x90, 0x91, 0x94,
                           0x95, 0x99, 0x9D, 0x9F, 0xA1, 0xCE, 0xCF};
    const Bytes byDesign = {0x0D, 0x92};
    TypUtilsUnix utils;
    ASSERT_EQ(utils.InitCreate(nullptr), kNoErr);
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        const Bytes back = FilterBack(utils, Filter(utils, Bytes{byte}));
        ASSERT_EQ(back.size(), 1U);
        EXPECT_EQ(veldoran::LocalByteAfterTravel(byte), back[0]) << std::hex << value;
        auto expected = veldoran::LocalByteTravel::kItself;
        if (std::find(another.begin(), another.end(), byte) != another.end()) {
            expected = veldoran::LocalByteTravel::kAnother;
        } else if (std::find(byDesign.begin(), byDesign.end(), byte) != byDesign.end()) {
            expected = veldoran::LocalByteTravel::kByDesign;
        }
        EXPECT_EQ(veldoran::HowLocalByteTravels(byte), expected) << std::hex << value;
    }
}

}  // namespace
