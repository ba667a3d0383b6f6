// The utility object: byte order, memory blocks, the block helpers, numbers and years as text,
// and key file references under a key folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "support/Valgrind.h"
#include "veldoran.h"

// The huge-allocation checks need a null result, not a sanitizer report, when memory is short.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using testsupport::GetBigEndian32;

class UtilsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(utils.InitCreate(nullptr), kNoErr); }

    TypUtilsUnix utils;
};

// ---- Byte order ----------------------------------------------------------------------------

TEST_F(UtilsTest, ShouldSwapBytesMatchesTheHost) {
    const bool littleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    EXPECT_EQ(utils.ShouldSwapBytes(), littleEndian ? 1 : 0);
}

// Stored (big-endian) bytes and the number they stand for, decoded by hand.
struct StoredLong {
    std::array<unsigned char, 4> bytes;
    uint32_t value;
};

TEST_F(UtilsTest, SwapLongTurnsStoredBytesIntoTheNumber) {
    const StoredLong cases[] = {
        {{0x01, 0x02, 0x03, 0x04}, 0x01020304u},  // the example of a little-endian reversal
        {{0x00, 0x00, 0x00, 0xE0}, 224u},         // a key header length as stored
        {{0x80, 0x00, 0x00, 0x00}, 0x80000000u},  // sign bit only
        {{0xFF, 0xFF, 0xFF, 0xD5}, 0xFFFFFFD5u},  // -43
        {{0x00, 0x00, 0x00, 0x00}, 0u},
    };
    for (const StoredLong& row : cases) {
        SCOPED_TRACE(row.value);
        ASSERT_EQ(GetBigEndian32(row.bytes.data()), row.value);  // the table itself

        int32_t signedValue;
        memcpy(&signedValue, row.bytes.data(), 4);
        utils.swaplong(&signedValue);
        EXPECT_EQ(static_cast<uint32_t>(signedValue), row.value);
        utils.swaplong(&signedValue);  // the same call converts back
        EXPECT_EQ(memcmp(&signedValue, row.bytes.data(), 4), 0);

        uint32_t unsignedValue;
        memcpy(&unsignedValue, row.bytes.data(), 4);
        utils.swapUnsignedlong(&unsignedValue);
        EXPECT_EQ(unsignedValue, row.value);
        utils.swapUnsignedlong(&unsignedValue);
        EXPECT_EQ(memcmp(&unsignedValue, row.bytes.data(), 4), 0);
    }
}

TEST_F(UtilsTest, SwapLongReversesBytesOnLittleEndianHostsOnly) {
    const unsigned char stored[4] = {0x01, 0x02, 0x03, 0x04};
    int32_t value;
    memcpy(&value, stored, 4);
    utils.swaplong(&value);
    unsigned char after[4];
    memcpy(after, &value, 4);
    const std::vector<unsigned char> expected =
        utils.ShouldSwapBytes() == 1 ? std::vector<unsigned char>{0x04, 0x03, 0x02, 0x01}
                                     : std::vector<unsigned char>{0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(std::vector<unsigned char>(after, after + 4), expected);
}

TEST_F(UtilsTest, SwapShortTurnsStoredBytesIntoTheNumber) {
    // {stored bytes, value}: big-endian by hand.
    const struct {
        unsigned char bytes[2];
        uint16_t value;
    } cases[] = {{{0x01, 0x02}, 0x0102}, {{0xFF, 0xD5}, 0xFFD5}, {{0x80, 0x00}, 0x8000}};
    for (const auto& row : cases) {
        int16_t value;
        memcpy(&value, row.bytes, 2);
        utils.swapshort(&value);
        EXPECT_EQ(static_cast<uint16_t>(value), row.value);
        utils.swapshort(&value);
        EXPECT_EQ(memcmp(&value, row.bytes, 2), 0);
    }
}

// ---- Memory blocks -------------------------------------------------------------------------

TEST_F(UtilsTest, NewBlocksAreFilledWithSpaces) {
    for (uint32_t size : {1u, 5u, 4096u, 1u << 20}) {
        unsigned char* block = utils.MyNewPtr(size);
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(std::vector<unsigned char>(block, block + size),
                  std::vector<unsigned char>(size, 0x20))
            << size;
        utils.MyDisposeptr(&block, size);
    }
}

TEST_F(UtilsTest, NewBlockOfSizeZeroIsValid) {
    unsigned char* block = utils.MyNewPtr(0);
    EXPECT_NE(block, nullptr);
    utils.MyDisposeptr(&block, 0);
    EXPECT_EQ(block, nullptr);
}

TEST_F(UtilsTest, NewBlockTooLargeForMemoryIsNull) {
    // Address space limited in a child, so that the refusal does not depend on the machine.
    const int status = testsupport::RunInChild([]() {
        TypUtilsUnix childUtils;
        childUtils.InitCreate(nullptr);
        if (!testsupport::LimitAddressSpace(rlim_t{512} << 20)) {
            return 10;
        }
        if (childUtils.MyNewPtr(UINT32_MAX) != nullptr) {
            return 11;
        }
        if (childUtils.MyNewPtr(1u << 30) != nullptr) {
            return 12;
        }
        // A refused request leaves the allocator usable.
        unsigned char* small = childUtils.MyNewPtr(16);
        if (small == nullptr || small[15] != 0x20) {
            return 13;
        }
        childUtils.MyDisposeptr(&small, 16);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(UtilsTest, DisposeClearsTheVariableAndToleratesRepeats) {
    unsigned char* block = utils.MyNewPtr(32);
    ASSERT_NE(block, nullptr);
    utils.MyDisposeptr(&block, 32);
    EXPECT_EQ(block, nullptr);
    // Disposing through the cleared variable again is harmless (a double free would abort the
    // sanitizer build).
    utils.MyDisposeptr(&block, 32);
    EXPECT_EQ(block, nullptr);
    utils.MyDisposeptr(nullptr, 0);
}

TEST_F(UtilsTest, DisposedBlocksGoBackToTheHeap) {
    // 48 blocks of 32 MiB, one at a time, under a limit of 768 MiB more than the child maps at
    // the start: this only holds when each disposed block is really freed.
    constexpr uint32_t kBlockSize = 32u << 20;
    const int status = testsupport::RunInChild([]() {
        TypUtilsUnix childUtils;
        childUtils.InitCreate(nullptr);
        if (!testsupport::LimitAddressSpace(rlim_t{768} << 20)) {
            return 10;
        }
        for (int round = 0; round < 48; ++round) {
            unsigned char* block = childUtils.MyNewPtr(kBlockSize);
            if (block == nullptr) {
                return 11;
            }
            if (block[0] != 0x20 || block[kBlockSize - 1] != 0x20) {
                return 12;
            }
            childUtils.MyDisposeptr(&block, kBlockSize);
            if (block != nullptr) {
                return 13;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(UtilsTest, BlockMoveCopiesExactlyCountBytes) {
    const unsigned char source[] = "abcdefgh";
    unsigned char destination[8];
    memset(destination, '.', sizeof destination);
    utils.MyBlockMove(source, destination, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(destination), 8), "abcde...");
    utils.MyBlockMove(nullptr, nullptr, 0);
    // Overlapping ranges still come out as a move would.
    unsigned char overlap[] = "0123456789";
    utils.MyBlockMove(overlap, overlap + 2, 6);
    EXPECT_STREQ(reinterpret_cast<char*>(overlap), "0101234589");
}

// ---- MyExtractFromPtr ----------------------------------------------------------------------

struct ExtractCase {
    const char* what;
    int32_t sourceLength;
    int32_t position;
    int32_t count;
    bool toNull;         // null destination: skip bytes
    bool expectAdvance;  // otherwise nothing at all happens
};

TEST_F(UtilsTest, ExtractCopiesWithinBoundsAndOtherwiseDoesNothing) {
    std::vector<unsigned char> source(64);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<unsigned char>(i);
    }
    const ExtractCase cases[] = {
        {"last eight bytes", 64, 56, 8, false, true},
        {"eight bytes from 60 of 64", 64, 60, 8, false, false},
        {"from the start", 64, 0, 10, false, true},
        {"whole source", 64, 0, 64, false, true},
        {"zero bytes at the end", 64, 64, 0, false, true},
        {"zero bytes past the end", 64, 65, 0, false, false},
        {"skip with null destination", 64, 3, 7, true, true},
        {"skip past the end", 64, 60, 8, true, false},
        {"negative count", 64, 10, -4, false, false},
        {"negative position", 64, -4, 8, false, false},
        {"position + count wraps 32 bits", 64, INT32_MAX - 2, 8, false, false},
        {"negative source length", -1, 0, 0, false, false},
    };
    for (const ExtractCase& row : cases) {
        SCOPED_TRACE(row.what);
        std::vector<unsigned char> destination(80, 0xEE);
        int32_t position = row.position;
        utils.MyExtractFromPtr(source.data(), row.sourceLength,
                               row.toNull ? nullptr : destination.data(), row.count, &position);
        std::vector<unsigned char> expected(80, 0xEE);
        if (row.expectAdvance) {
            EXPECT_EQ(position, row.position + row.count);
            if (!row.toNull) {
                std::copy(source.begin() + row.position, source.begin() + row.position + row.count,
                          expected.begin());
            }
        } else {
            EXPECT_EQ(position, row.position);
        }
        EXPECT_EQ(destination, expected);
    }
}

// ---- MyAppendToPtr -------------------------------------------------------------------------

struct AppendCase {
    const char* what;
    int32_t position;
    int32_t count;
    int32_t copySwitch;
    bool nullDestination;
    bool expectAdvance;
    bool expectCopy;
};

TEST_F(UtilsTest, AppendAdvancesAndCopiesOnlyWithSwitchOne) {
    const unsigned char source[] = "ABCDEFGH";
    const AppendCase cases[] = {
        {"copy at the start", 0, 4, 1, false, true, true},
        {"copy further on", 5, 8, 1, false, true, true},
        {"measure only", 3, 8, 0, false, true, false},
        {"measure with no destination", 3, 8, 0, true, true, false},
        {"switch 2 only measures", 3, 8, 2, false, true, false},
        {"zero bytes", 7, 0, 1, false, true, false},
        {"copy into no destination", 0, 4, 1, true, false, false},
        {"negative count", 10, -3, 1, false, false, false},
        {"negative position", -1, 4, 0, false, false, false},
        {"position passes INT32_MAX", INT32_MAX - 3, 8, 0, false, false, false},
    };
    for (const AppendCase& row : cases) {
        SCOPED_TRACE(row.what);
        std::vector<unsigned char> destination(16, '.');
        int32_t position = row.position;
        utils.MyAppendToPtr(source, row.count, row.nullDestination ? nullptr : destination.data(),
                            &position, row.copySwitch);
        EXPECT_EQ(position, row.expectAdvance ? row.position + row.count : row.position);
        std::vector<unsigned char> expected(16, '.');
        if (row.expectCopy) {
            std::copy(source, source + row.count, expected.begin() + row.position);
        }
        EXPECT_EQ(destination, expected);
    }
}

TEST_F(UtilsTest, AppendBuildsARecordInTwoPasses) {
    const unsigned char name[] = {'N', 'o', 't', 'e'};
    const unsigned char body[] = {0x00, 0x01, 0x02};
    int32_t length = 0;
    utils.MyAppendToPtr(name, 4, nullptr, &length, 0);
    utils.MyAppendToPtr(body, 3, nullptr, &length, 0);
    ASSERT_EQ(length, 7);
    unsigned char* record = utils.MyNewPtr(static_cast<uint32_t>(length));
    ASSERT_NE(record, nullptr);
    int32_t position = 0;
    utils.MyAppendToPtr(name, 4, record, &position, 1);
    utils.MyAppendToPtr(body, 3, record, &position, 1);
    EXPECT_EQ(position, length);
    EXPECT_EQ(std::vector<unsigned char>(record, record + 7),
              (std::vector<unsigned char>{'N', 'o', 't', 'e', 0x00, 0x01, 0x02}));
    utils.MyDisposeptr(&record, 7);
}

// ---- Numbers and years as text -------------------------------------------------------------

TEST_F(UtilsTest, NumToStringIsSignedDecimal) {
    const struct {
        int32_t number;
        const char* text;
    } cases[] = {{0, "0"},
                 {-43, "-43"},
                 {126, "126"},
                 {INT32_MAX, "2147483647"},
                 {INT32_MIN, "-2147483648"}};
    for (const auto& row : cases) {
        char text[16];
        memset(text, 'x', sizeof text);
        utils.MyNumToString(row.number, text);
        EXPECT_STREQ(text, row.text);
        EXPECT_EQ(text[strlen(row.text) + 1], 'x') << "wrote past the terminator";
    }
}

TEST(YearText, FollowsTheKeyFileRule) {
    // {calendar year, text}: years since 1900, plus 100 up to 89.
    const struct {
        int32_t year;
        const char* text;
    } cases[] = {
        {1900, "100"}, {1985, "185"}, {1989, "189"}, {1990, "90"},  {1999, "99"},
        {2000, "100"}, {2026, "126"}, {2089, "189"}, {2090, "190"}, {2899, "999"},
    };
    for (const auto& row : cases) {
        char text[16] = {};
        TypUtilsUnix::FormatYearText(row.year - 1900, text);
        EXPECT_STREQ(text, row.text) << row.year;
    }
}

TEST(YearText, CurrentYearComesFromLocalTime) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        char text[16] = {};
        utils.GetYearAsText(text);
        const time_t after = time(nullptr);
        struct tm localBefore {};
        struct tm localAfter {};
        localtime_r(&before, &localBefore);
        localtime_r(&after, &localAfter);
        if (localBefore.tm_year != localAfter.tm_year) {
            continue;  // the year turned during the call
        }
        const int since1900 = localBefore.tm_year;
        const int expected = since1900 <= 89 ? since1900 + 100 : since1900;
        EXPECT_EQ(std::string(text), std::to_string(expected));
        return;
    }
    FAIL() << "the year kept changing";
}

// ---- Key file references -------------------------------------------------------------------

std::string RefPath(TypFileRef* ref) {
    return static_cast<TypFileRefUnix*>(ref)->path;
}

TEST_F(UtilsTest, KeyFileRefIsUnderClefsOfTheKeyFolder) {
    const struct {
        const char* folder;
        const char* name;
        const char* path;
    } cases[] = {
        {"", "Dupont.126", "Clefs/Dupont.126"},
        {"/home/dupont/keys/", "Master.126", "/home/dupont/keys/Clefs/Master.126"},
        {"../k/", "a.99", "../k/Clefs/a.99"},
    };
    for (const auto& row : cases) {
        ASSERT_EQ(utils.SetKeyFolderPath(row.folder), kNoErr);
        std::unique_ptr<TypFileRef> ref(utils.GetFileRefForKeyName(row.name));
        ASSERT_NE(ref, nullptr) << row.path;
        EXPECT_EQ(RefPath(ref.get()), row.path);
        EXPECT_EQ(ref->utils, &utils);
        EXPECT_EQ(ref->IsOpend(), kFileClosed);  // initialised, not open
        EXPECT_EQ(ref->Kill(), kNoErr);
    }
}

TEST_F(UtilsTest, KeyFileRefOpensTheKeyFile) {
    testsupport::TempDir keys;
    ASSERT_EQ(mkdir((keys.path() + "Clefs").c_str(), 0700), 0);
    const std::vector<unsigned char> content = testsupport::RandomBytes(300, 7);
    ASSERT_TRUE(testsupport::WriteWholeFile(keys.File("Clefs/Master.126"), content));
    ASSERT_EQ(utils.SetKeyFolderPath(keys.path().c_str()), kNoErr);

    std::unique_ptr<TypFileRef> ref(utils.GetFileRefForKeyName("Master.126"));
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->Exists(), kNoErr);
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    std::vector<unsigned char> read(300);
    EXPECT_EQ(ref->Read(read.data(), 300), kNoErr);
    EXPECT_EQ(read, content);
    EXPECT_EQ(ref->CloseDF(), kNoErr);

    std::unique_ptr<TypFileRef> missing(utils.GetFileRefForKeyName("Dupont.126"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->Exists(), kOtherErr);
}

TEST_F(UtilsTest, KeyFileRefIsNullWhenThePathDoesNotFit) {
    // The folder plus "Clefs/" plus the name must fit 255 characters.
    const std::string folder(200, 'k');
    ASSERT_EQ(utils.SetKeyFolderPath(folder.c_str()), kNoErr);
    const std::string fits(255 - 200 - 6, 'n');
    std::unique_ptr<TypFileRef> ref(utils.GetFileRefForKeyName(fits.c_str()));
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(RefPath(ref.get()).size(), 255u);
    EXPECT_EQ(utils.GetFileRefForKeyName((fits + "n").c_str()), nullptr);
    EXPECT_EQ(utils.GetFileRefForKeyName(std::string(1000, 'n').c_str()), nullptr);
    EXPECT_EQ(utils.GetFileRefForKeyName(nullptr), nullptr);

    const std::string longest(255, 'k');
    ASSERT_EQ(utils.SetKeyFolderPath(longest.c_str()), kNoErr);
    EXPECT_EQ(utils.GetFileRefForKeyName(""), nullptr);  // no room left for "Clefs/"
}

TEST_F(UtilsTest, KeyFileRefIsNullWhenMemoryIsShort) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's own bookkeeping dies when the heap runs dry; the plain build checks this.
    GTEST_SKIP() << "not under AddressSanitizer";
#endif
    if (testsupport::RunningOnValgrind()) {
        // Valgrind's own heap cannot live within the capped address space either.
        GTEST_SKIP() << "not under valgrind";
    }
    const int status = testsupport::RunInChild([]() {
        TypUtilsUnix childUtils;
        childUtils.InitCreate(nullptr);
        if (childUtils.SetKeyFolderPath("/k/") != kNoErr ||
            !testsupport::LimitAddressSpace(rlim_t{64} << 20)) {
            return 10;
        }
        // Use up the heap, down to its smallest pieces, then every size that the allocator
        // keeps freed blocks of apart (earlier tests freed some); the blocks stay with the child.
        for (uint32_t size = 1u << 20; size >= 16; size /= 2) {
            while (childUtils.MyNewPtr(size) != nullptr) {
            }
        }
        for (uint32_t size = 1040; size >= 8; size -= 8) {
            while (childUtils.MyNewPtr(size) != nullptr) {
            }
        }
        if (childUtils.GetFileRefForKeyName("Master.126") != nullptr) {
            return 11;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(UtilsTest, SetKeyFolderPathRefusesWhatDoesNotFit) {
    EXPECT_STREQ(utils.keyFolderPath, "");  // after InitCreate
    ASSERT_EQ(utils.SetKeyFolderPath("/k/"), kNoErr);
    EXPECT_EQ(utils.SetKeyFolderPath(std::string(256, 'x').c_str()), kOtherErr);
    EXPECT_STREQ(utils.keyFolderPath, "/k/");  // kept
    EXPECT_EQ(utils.SetKeyFolderPath(nullptr), kOtherErr);
    EXPECT_STREQ(utils.keyFolderPath, "/k/");
    const std::string longest(255, 'x');
    EXPECT_EQ(utils.SetKeyFolderPath(longest.c_str()), kNoErr);
    EXPECT_EQ(std::string(utils.keyFolderPath), longest);
    EXPECT_EQ(utils.InitCreate(nullptr), kNoErr);
    EXPECT_STREQ(utils.keyFolderPath, "");
}

}  // namespace
