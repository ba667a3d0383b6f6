// What a load may cost: a small compressed block loads within little memory, a block whose
// entries together would take more than the load bound is refused before anything is
// allocated, and LoadIndex with ReadEntryN serve a reader that takes one entry at a time out of
// a block it keeps. Also names that hold a zero byte, which travel whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContainerFixture.h"
#include "support/ChildProcess.h"
#include "support/Valgrind.h"

namespace containertest {
namespace {

using ContainerBound = ContainerTest;

// The stream of the largest entry a reader decompresses, all zeros: about 125 KB.
const Bytes& LargestZeroStream() {
    static const Bytes stream = LzoCompressDirect(Bytes(size_t{kLZOMacDataSize}, 0));
    return stream;
}

// A format-2 block of count entries of kLZOMacDataSize zeros, named z0, z1...
Bytes ZeroBlock(int count) {
    BlockContents contents{kformatLZOcompresse, "dupont", "helene", {}};
    for (int k = 0; k < count; ++k) {
        contents.entries.push_back({DistinctInfo(k), "z" + std::to_string(k), LargestZeroStream()});
    }
    return ReferenceBlock(contents);
}

// The reader used to decompress every entry through a work buffer of the largest size any entry
// may have; a load now costs what the block's entries hold.
TEST_F(ContainerBound, SmallCompressedBlockLoadsWithinLittleMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own mappings do not fit a capped address space";
#endif
    if (testsupport::RunningOnValgrind()) {
        GTEST_SKIP() << "valgrind's heap does not fit a capped address space";
    }
    BlockContents contents{kformatLZOcompresse, "", "", {}};
    const std::vector<Bytes> files = {TextLike(3000, 1), TextLike(20000, 2), Bytes()};
    for (size_t k = 0; k < files.size(); ++k) {
        contents.entries.push_back({DistinctInfo(int(k)), "f", LzoCompressDirect(files[k])});
    }
    const Bytes block = ReferenceBlock(contents);
    const int status = testsupport::RunInChild([&]() {
        TypUtilsUnix childUtils;
        childUtils.InitCreate(nullptr);
        TypPieceJointe* loaded = new TypPieceJointe;
        loaded->InitCreate(&childUtils);
        if (!testsupport::LimitAddressSpace(rlim_t{16} << 20)) {
            return 10;
        }
        if (loaded->LoadStruct(block.data(), int32_t(block.size())) != kNoErr) {
            return 11;
        }
        for (int32_t k = 0; k < int32_t(files.size()); ++k) {
            unsigned char* data = nullptr;
            int32_t length = 0;
            loaded->GetDataN(k, &data, &length);
            if (Bytes(data, data + length) != files[size_t(k)]) {
                return 12;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// The bound counts the data every entry would hold (decompressed, or stored when its stream is
// damaged or the format stores data as is); a block beyond it is refused before any allocation,
// with the format code, sender and recipient loaded and no entry.
TEST_F(ContainerBound, BlocksBeyondTheBoundAreRefusedBeforeAllocating) {
    const Bytes damaged = B("\x07 not an LZO stream");
    BlockContents mixed{kformatLZOcompresse, "dupont", "helene", {}};
    mixed.entries.push_back({DistinctInfo(0), "a", LzoCompressDirect(Bytes(4000000, 0))});
    mixed.entries.push_back({DistinctInfo(1), "b", damaged});
    mixed.entries.push_back({DistinctInfo(2), "c", LzoCompressDirect(TextLike(1000, 3))});
    const int64_t mixedTotal = 4000000 + int64_t(damaged.size()) + 1000;
    BlockContents plain{kformatnoncompresse, "dupont", "helene", {}};
    plain.entries.push_back({DistinctInfo(0), "p", TextLike(5000, 4)});
    plain.entries.push_back({DistinctInfo(1), "q", TextLike(7000, 5)});

    struct Case {
        const char* what;
        Bytes block;
        int64_t bound;  // 0: the default
        int32_t result;
        int32_t files;
    };
    const std::vector<Case> cases = {
        {"one byte over", ReferenceBlock(mixed), mixedTotal - 1, kAttachmentToBig, 0},
        {"exactly the bound", ReferenceBlock(mixed), mixedTotal, kErrLZOCompress, 3},
        {"stored entries count too", ReferenceBlock(plain), 11999, kAttachmentToBig, 0},
        {"stored entries at the bound", ReferenceBlock(plain), 12000, kNoErr, 2},
        // 34 x 32 000 000 bytes is just over 1 GiB, from a block of about 4 MB.
        {"the default bound", ZeroBlock(34), 0, kAttachmentToBig, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CountingUtils counting;
        ContainerPtr loaded(new TypPieceJointe);
        loaded->InitCreate(&counting);
        EXPECT_EQ(loaded->GetLoadBound(), int64_t{1} << 30);
        if (c.bound != 0) {
            loaded->SetLoadBound(c.bound);
        }
        EXPECT_EQ(loaded->LoadStruct(c.block.data(), int32_t(c.block.size())), c.result);
        EXPECT_EQ(loaded->GetNbFiles(), c.files);
        char sender[200];
        loaded->GetExpediteur(sender);
        EXPECT_STREQ(sender, "dupont");
        if (c.result == kAttachmentToBig) {
            EXPECT_EQ(counting.calls(), 0);
            EXPECT_EQ(loaded->GetFormat(), int32_t(GetBE32(c.block, 8)));
        } else {
            EXPECT_GE(counting.bytesAsked, uint64_t(c.bound));
        }
        loaded.reset();
        EXPECT_EQ(counting.liveBlocks(), 0);
    }
}

// LoadIndex reads the names and lengths of a block whose entries would take gigabytes without
// allocating for their data; ReadEntryN then gives any entry byte for byte into one buffer.
TEST_F(ContainerBound, IndexThenOneEntryAtATime) {
    const Bytes block = ZeroBlock(40);
    CountingUtils counting;
    ContainerPtr indexed(new TypPieceJointe);
    indexed->InitCreate(&counting);
    ASSERT_EQ(indexed->LoadIndex(block.data(), int32_t(block.size())), kNoErr);
    ASSERT_EQ(indexed->GetNbFiles(), 40);
    EXPECT_LT(counting.bytesAsked, 1000u) << "names only";
    for (int32_t k = 0; k < 40; k += 13) {
        int32_t length = -1;
        ASSERT_EQ(indexed->GetLengthN(k, &length), kNoErr);
        EXPECT_EQ(length, kLZOMacDataSize);
        const char* name = nullptr;
        int32_t nameLength = -1;
        TypInfo info;
        ASSERT_EQ(indexed->GetNameN(k, &name, &nameLength, &info), kNoErr);
        EXPECT_EQ(std::string(name, size_t(nameLength)), "z" + std::to_string(k));
        EXPECT_EQ(info.long7, DistinctInfo(k).long7);
        unsigned char* data = reinterpret_cast<unsigned char*>(1);
        ASSERT_EQ(indexed->GetDataN(k, &data, &length), kNoErr);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(length, 0);
    }
    Bytes buffer(size_t{kLZOMacDataSize}, 0xEE);
    int32_t produced = -1;
    ASSERT_EQ(indexed->ReadEntryN(block.data(), int32_t(block.size()), 39, buffer.data(),
                                  kLZOMacDataSize, &produced),
              kNoErr);
    EXPECT_EQ(produced, kLZOMacDataSize);
    EXPECT_EQ(buffer, Bytes(size_t{kLZOMacDataSize}, 0));
    EXPECT_EQ(indexed->GetLengthN(40, &produced), kOtherErr);
    indexed.reset();
    EXPECT_EQ(counting.liveBlocks(), 0);
}

// Every entry of every kind through the index gives what LoadStruct gives; what ReadEntryN
// refuses, it refuses without writing.
TEST_F(ContainerBound, ReadEntryNGivesWhatLoadStructHolds) {
    const std::vector<Bytes> files = {TextLike(70000, 6), Bytes(), testsupport::RandomBytes(900, 7),
                                      B("x")};
    for (int32_t format : {int32_t{kformatnoncompresse}, int32_t{kformatLZOcompresse}, 7}) {
        SCOPED_TRACE(format);
        BlockContents contents{format, "", "", {}};
        for (size_t k = 0; k < files.size(); ++k) {
            contents.entries.push_back(
                {DistinctInfo(int(k)), "e" + std::to_string(k),
                 format == kformatLZOcompresse ? LzoCompressDirect(files[k]) : files[k]});
        }
        if (format == kformatLZOcompresse) {
            contents.entries.push_back({DistinctInfo(9), "damaged", B("\x07 damaged")});
        }
        const Bytes block = ReferenceBlock(contents);
        int32_t result = -99;
        TypPieceJointe* whole = Loaded(block, &result);
        TypPieceJointe* indexed = Fresh();
        EXPECT_EQ(indexed->LoadIndex(block.data(), int32_t(block.size())), result);
        ASSERT_EQ(indexed->GetNbFiles(), whole->GetNbFiles());
        Bytes buffer(80000, 0xEE);
        for (int32_t k = 0; k < whole->GetNbFiles(); ++k) {
            const Bytes held = Data(whole, k);
            int32_t length = -1;
            ASSERT_EQ(indexed->GetLengthN(k, &length), kNoErr);
            EXPECT_EQ(length, int32_t(held.size())) << k;
            int32_t produced = -1;
            const int32_t read = indexed->ReadEntryN(block.data(), int32_t(block.size()), k,
                                                     buffer.data(), 80000, &produced);
            if (k == 4) {
                EXPECT_EQ(read, kErrLZOCompress);
                continue;
            }
            ASSERT_EQ(read, kNoErr) << k;
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + produced), files[size_t(k)]) << k;
            // Stored entries are lent where they stand in the block; compressed ones only read.
            const unsigned char* stored = nullptr;
            int32_t storedLength = -1;
            const int32_t lent = indexed->StoredEntryN(block.data(), int32_t(block.size()), k,
                                                       &stored, &storedLength);
            if (format == kformatLZOcompresse) {
                EXPECT_EQ(lent, kOtherErr);
                EXPECT_EQ(storedLength, -1);
                continue;
            }
            ASSERT_EQ(lent, kNoErr) << k;
            EXPECT_EQ(storedLength, int32_t(files[size_t(k)].size()));
            if (storedLength > 0) {
                EXPECT_GE(stored, block.data());
                EXPECT_LE(stored + storedLength, block.data() + block.size());
                EXPECT_EQ(Bytes(stored, stored + storedLength), files[size_t(k)]) << k;
            }
        }
        const unsigned char* stored = nullptr;
        int32_t storedLength = -1;
        EXPECT_EQ(indexed->StoredEntryN(block.data(), int32_t(block.size()) - 1, 0, &stored,
                                        &storedLength),
                  kOtherErr)
            << "not the block indexed";
        EXPECT_EQ(indexed->StoredEntryN(block.data(), int32_t(block.size()),
                                        int32_t(files.size()) + 1, &stored, &storedLength),
                  kOtherErr);
        EXPECT_EQ(storedLength, -1);
        int32_t produced = -1;
        EXPECT_EQ(indexed->ReadEntryN(block.data(), int32_t(block.size()), 0, buffer.data(), 69999,
                                      &produced),
                  kOtherErr)
            << "a buffer too small";
        EXPECT_EQ(indexed->ReadEntryN(block.data(), int32_t(block.size()) - 1, 0, buffer.data(),
                                      80000, &produced),
                  kOtherErr)
            << "not the block indexed";
        EXPECT_EQ(indexed->ReadEntryN(block.data(), int32_t(block.size()),
                                      int32_t(files.size()) + 1, buffer.data(), 80000, &produced),
                  kOtherErr);
        EXPECT_EQ(produced, -1);
    }
}

// A name is its K bytes, zero bytes and all: a reader sees all of them, and a loaded entry is
// written back byte for byte.
TEST_F(ContainerBound, NamesWithAZeroByteTravelWhole) {
    const std::string hostile("ok\0../../x", 10);
    BlockContents contents{kformatnoncompresse, "", "", {}};
    contents.entries.push_back({DistinctInfo(0), hostile, B("data")});
    contents.entries.push_back({DistinctInfo(1), "plain", B("more")});
    const Bytes block = ReferenceBlock(contents);
    for (const bool index : {false, true}) {
        TypPieceJointe* loaded = Fresh();
        ASSERT_EQ(index ? loaded->LoadIndex(block.data(), int32_t(block.size()))
                        : loaded->LoadStruct(block.data(), int32_t(block.size())),
                  kNoErr);
        const char* name = nullptr;
        int32_t nameLength = -1;
        ASSERT_EQ(loaded->GetNameN(0, &name, &nameLength, nullptr), kNoErr);
        EXPECT_EQ(std::string(name, size_t(nameLength)), hostile);
        ASSERT_EQ(loaded->GetNameN(1, &name, &nameLength, nullptr), kNoErr);
        EXPECT_EQ(std::string(name, size_t(nameLength)), "plain");
        if (!index) {
            EXPECT_EQ(Write(loaded), block);
        }
    }
}

}  // namespace
}  // namespace containertest
