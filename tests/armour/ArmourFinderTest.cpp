// Finding the armour in a message file read in pieces: the text around it passed over, the
// markers found across any piece edge, the armour's faults reported only once its end is seen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "armour/ArmourFinder.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Found {
    Bytes data;
    bool ended;
    bool found;
    int32_t result;
    uint32_t dataLength;
};

class ArmourFinderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(binascii.InitCreate(&utils), kNoErr); }
    void TearDown() override {
        EXPECT_EQ(binascii.Kill(), kNoErr);
        EXPECT_EQ(utils.liveBlocks(), 0);
    }

    // The armour of data as the library writes it.
    std::string Armoured(const Bytes& data) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        EXPECT_EQ(
            binascii.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &out, &outLength),
            kNoErr);
        std::string text(reinterpret_cast<char*>(out), outLength);
        utils.MyDisposeptr(&out, outLength);
        return text;
    }

    // file fed in pieces of piece bytes, each piece in a block of exactly its size.
    Found Find(const std::string& file, size_t piece) {
        veldoran::ArmourFinder finder(&utils);
        Found found{};
        for (size_t at = 0; at < file.size() && !finder.Ended(); at += piece) {
            const Bytes text(
                file.begin() + static_cast<std::ptrdiff_t>(at),
                file.begin() + static_cast<std::ptrdiff_t>(std::min(file.size(), at + piece)));
            Bytes out(veldoran::ArmourFinder::MaxFeedLength(text.size()));
            const size_t stored = finder.Feed(text.data(), text.size(), out.data());
            found.data.insert(found.data.end(), out.begin(),
                              out.begin() + static_cast<std::ptrdiff_t>(stored));
        }
        found.ended = finder.Ended();
        found.found = finder.Found();
        found.result = finder.Finish();
        found.dataLength = finder.DataLength();
        return found;
    }

    testsupport::FailingUtils utils;
    TypBinASCII binascii;
};

const size_t kPieces[] = {1, 2, 7, 13, 14, 15, 45, 61, 450, 100000};

TEST_F(ArmourFinderTest, DecodesTheArmourAmongOtherTextAtAnyPieceSize) {
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    // Text in front that nearly is a marker, a second armour behind that is never read.
    const std::string file = "Master comment\n#BINASCII#\n#ENDBINASCII\n\n" + Armoured(data) +
                             "-- \nsignature\n" + Armoured(Bytes{1, 2, 3});
    for (const size_t piece : kPieces) {
        SCOPED_TRACE(piece);
        const Found found = Find(file, piece);
        EXPECT_TRUE(found.ended);
        EXPECT_TRUE(found.found);
        EXPECT_EQ(found.result, kNoErr);
        EXPECT_EQ(found.dataLength, data.size());
        EXPECT_EQ(found.data, data);
    }
}

TEST_F(ArmourFinderTest, ReportsWhatIsWrongWithTheArmour) {
    const std::string good = Armoured(Bytes(90, 0x5A));
    std::string changed = good;
    changed[good.find('\n') + 20] = changed[good.find('\n') + 20] == 'A' ? 'B' : 'A';
    const std::string noEnd = good.substr(0, good.find("#ENDBINASCII1#"));
    struct Case {
        const char* name;
        std::string file;
        bool ended;
        int32_t result;
    };
    const Case cases[] = {
        {"no armour", "just a letter\n", false, kPbErr},
        {"start marker only", noEnd, false, kPbErr},
        {"end marker first", "#ENDBINASCII1#\n" + good, true, kPbErr},
        {"end marker inside the start marker's line", "#BINASCII1#ENDBINASCII1#\n", true, kPbErr},
        {"a changed character", changed, true, kCRCErr},
        {"markers with nothing between", "#BINASCII1#\n#ENDBINASCII1#\n", true, kPbErr},
    };
    for (const Case& c : cases) {
        for (const size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.name) + " / " + std::to_string(piece));
            const Found found = Find(c.file, piece);
            EXPECT_EQ(found.ended, c.ended);
            EXPECT_EQ(found.result, c.result);
        }
    }
}

TEST_F(ArmourFinderTest, AnEndMarkerBeforeTheStartStoresNothing) {
    const std::string file = "#ENDBINASCII1#\n" + Armoured(Bytes(30, 1));
    veldoran::ArmourFinder finder(&utils);
    Bytes out(veldoran::ArmourFinder::MaxFeedLength(file.size()));
    EXPECT_EQ(
        finder.Feed(reinterpret_cast<const unsigned char*>(file.data()), file.size(), out.data()),
        0u);
    EXPECT_TRUE(finder.Ended());
    EXPECT_FALSE(finder.Found());
    EXPECT_FALSE(finder.LengthKnown());
}

}  // namespace
