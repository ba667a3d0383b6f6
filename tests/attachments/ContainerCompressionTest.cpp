// Format 2: entries compressed with LZO1X-1 when added, checked by decoding them with the LZO
// library directly; decompressed when loaded, within the reader's 32 000 000-byte limit; failures
// counted and reported as the container promises; two threads compressing at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ContainerFixture.h"
#include "attachments/LzoCodec.h"

namespace containertest {
namespace {

using ContainerCompression = ContainerTest;

TEST_F(ContainerCompression, AddBlockStoresAStreamThatLzoDecodes) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    const Bytes same(10000, 'A');
    TypInfo info = DistinctInfo(2);
    ASSERT_EQ(built->AddBlock(&info, Owned(same), 10000, "a.txt"), kNoErr);
    unsigned char* stream = nullptr;
    int32_t length = 0;
    ASSERT_EQ(built->GetDataN(0, &stream, &length), kNoErr);
    EXPECT_EQ(length, info.storedSize);
    EXPECT_LT(length, 200);
    Bytes decoded;
    ASSERT_TRUE(LzoDecompressDirect(stream, size_t(length), 20000, &decoded));
    EXPECT_EQ(decoded, same);
    // The caller's block was released: only the name and the stream are left.
    EXPECT_EQ(utils.liveBlocks(), 2);
}

TEST_F(ContainerCompression, EmptyDataGivesAShortStream) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    TypInfo info = DistinctInfo(0);
    ASSERT_EQ(built->AddBlock(&info, nullptr, 0, ""), kNoErr);
    const Bytes stream = Data(built, 0);
    EXPECT_FALSE(stream.empty());
    EXPECT_EQ(info.storedSize, int32_t(stream.size()));
    Bytes decoded{1};
    ASSERT_TRUE(LzoDecompressDirect(stream.data(), stream.size(), 16, &decoded));
    EXPECT_TRUE(decoded.empty());
}

// A format-2 block loads to the plain entries; written again it carries format code 1 and the
// plain data, so it loads back to the same entries.
TEST_F(ContainerCompression, LoadedEntriesArePlainAndWriteBackAsFormat1) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    built->SetExpediteur("dupont");
    const std::vector<Bytes> files = {Bytes(), TextLike(100000, 1),
                                      testsupport::RandomBytes(70000, 2), Bytes(1, 'x')};
    BlockContents plain{kformatnoncompresse, "dupont", "", {}};
    for (size_t k = 0; k < files.size(); ++k) {
        ASSERT_EQ(Add(built, files[k], "f" + std::to_string(k), DistinctInfo(int(k))), kNoErr);
        plain.entries.push_back({DistinctInfo(int(k)), "f" + std::to_string(k), files[k]});
    }
    int32_t result = -99;
    TypPieceJointe* loaded = Loaded(Write(built), &result);
    ASSERT_EQ(result, kNoErr);
    ASSERT_EQ(loaded->GetNbFiles(), int32_t(files.size()));
    for (size_t k = 0; k < files.size(); ++k) {
        EXPECT_EQ(Data(loaded, int32_t(k)), files[k]) << k;
    }
    const Bytes rewritten = Write(loaded);
    EXPECT_EQ(rewritten, ReferenceBlock(plain));
    TypPieceJointe* again = Loaded(rewritten, &result);
    ASSERT_EQ(result, kNoErr);
    EXPECT_EQ(Write(again), rewritten);

    // An entry added to the loaded container joins the plain ones.
    ASSERT_EQ(Add(loaded, B("encore"), "g"), kNoErr);
    plain.entries.push_back({DistinctInfo(0), "g", B("encore")});
    EXPECT_EQ(Write(loaded), ReferenceBlock(plain));
}

TEST_F(ContainerCompression, OtherFormatCodesNeitherCompressNorDecompress) {
    const Bytes stream = LzoCompressDirect(Bytes(5000, 'z'));
    BlockContents contents{7, "", "", {}};
    contents.entries.push_back({DistinctInfo(0), "s", stream});
    int32_t result = -99;
    TypPieceJointe* loaded = Loaded(ReferenceBlock(contents), &result);
    EXPECT_EQ(result, kNoErr);
    EXPECT_EQ(Data(loaded, 0), stream);

    TypPieceJointe* built = Fresh(7);
    unsigned char* given = Owned(B("tel quel"));
    TypInfo info;
    ASSERT_EQ(built->AddBlock(&info, given, 8, "t"), kNoErr);
    unsigned char* held = nullptr;
    int32_t length = 0;
    ASSERT_EQ(built->GetDataN(0, &held, &length), kNoErr);
    EXPECT_EQ(held, given);
    EXPECT_EQ(length, 8);
}

// The largest entry any reader decompresses goes in and comes back; one byte more is refused
// before anything changes.
TEST_F(ContainerCompression, DataBeyondTheReadersLimitIsRefused) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    const auto limit = size_t{kLZOMacDataSize};
    Bytes big(limit + 1, 0);
    big[12345] = 1;

    unsigned char* given = Owned(big);
    TypInfo info = DistinctInfo(3);
    EXPECT_EQ(built->AddBlock(&info, given, int32_t(limit + 1), "trop"), kAttachmentToBig);
    EXPECT_EQ(built->GetNbFiles(), 0);
    EXPECT_EQ(info.storedSize, DistinctInfo(3).storedSize);
    EXPECT_EQ(given[12345], 1) << "the caller's block stays the caller's";
    utils.MyDisposeptr(&given, uint32_t(limit + 1));

    big.pop_back();
    ASSERT_EQ(Add(built, big, "juste"), kNoErr);
    int32_t result = -99;
    TypPieceJointe* loaded = Loaded(Write(built), &result);
    ASSERT_EQ(result, kNoErr);
    EXPECT_EQ(Data(loaded, 0), big);
}

// Entries whose stream does not decode keep their stored bytes; the load goes on and reports
// the first failure even when later entries succeed.
TEST_F(ContainerCompression, FirstDecompressionFailureIsReported) {
    const Bytes good = TextLike(3000, 5);
    const Bytes tooLarge = LzoCompressDirect(Bytes(size_t{kLZOMacDataSize} + 1, 0));
    const Bytes damaged = B("\x07 not an LZO stream");
    Bytes cut = LzoCompressDirect(good);
    cut.resize(cut.size() / 2);

    struct Case {
        const char* what;
        Bytes bad;
    };
    for (const Case& c :
         {Case{"decodes past 32 000 000 bytes", tooLarge}, Case{"damaged stream", damaged},
          Case{"stream cut short", cut}, Case{"empty stream", Bytes()}}) {
        BlockContents contents{kformatLZOcompresse, "", "", {}};
        contents.entries.push_back({DistinctInfo(0), "bad", c.bad});
        contents.entries.push_back({DistinctInfo(1), "good", LzoCompressDirect(good)});
        int32_t result = -99;
        TypPieceJointe* loaded = Loaded(ReferenceBlock(contents), &result);
        EXPECT_EQ(result, kErrLZOCompress) << c.what;
        ASSERT_EQ(loaded->GetNbFiles(), 2) << c.what;
        EXPECT_EQ(Data(loaded, 0), c.bad) << c.what;
        EXPECT_EQ(Data(loaded, 1), good) << c.what;

        // As the last entry too.
        std::swap(contents.entries[0], contents.entries[1]);
        loaded = Loaded(ReferenceBlock(contents), &result);
        EXPECT_EQ(result, kErrLZOCompress) << c.what;
        EXPECT_EQ(Data(loaded, 0), good) << c.what;
        EXPECT_EQ(Data(loaded, 1), c.bad) << c.what;
    }
}

int FailingCompressor(const unsigned char*, unsigned long, unsigned char*, unsigned long*, void*) {
    return LZO_E_ERROR;
}

// A compression failure still appends the entry, counted, with its name and record but without
// data; the caller keeps its block and its record.
TEST_F(ContainerCompression, FailedCompressionIsCountedWithoutData) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    unsigned char* given = Owned(B("gardee"));
    TypInfo info = DistinctInfo(6);
    veldoran::SetLzoCompressorForTesting(FailingCompressor);
    const int32_t result = built->AddBlock(&info, given, 6, "rate");
    veldoran::SetLzoCompressorForTesting(nullptr);
    EXPECT_EQ(result, kErrLZOCompress);
    EXPECT_EQ(built->GetNbFiles(), 1);
    EXPECT_EQ(info.storedSize, DistinctInfo(6).storedSize);
    unsigned char* held = given;
    int32_t length = -1;
    ASSERT_EQ(built->GetDataN(0, &held, &length), kNoErr);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Bytes(given, given + 6), B("gardee"));
    utils.MyDisposeptr(&given, 6);

    BlockContents expected{kformatLZOcompresse, "", "", {}};
    expected.entries.push_back({DistinctInfo(6), "rate", Bytes()});
    EXPECT_EQ(Write(built), ReferenceBlock(expected));
}

// Each thread compresses into its own container at the same time as the others; every stream
// must decode to its own thread's data.
TEST_F(ContainerCompression, ThreadsCompressAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 8;
    std::vector<Bytes> inputs;
    for (int t = 0; t < kThreads; ++t) {
        inputs.push_back(TextLike(300000, uint32_t(t + 10)));
    }
    std::vector<Bytes> streams(kThreads * kRounds);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            TypUtilsUnix own;
            own.InitCreate(nullptr);
            for (int round = 0; round < kRounds; ++round) {
                TypPieceJointe built;
                built.InitCreate2(&own, kformatLZOcompresse);
                const Bytes& input = inputs[size_t(t)];
                unsigned char* copy = own.MyNewPtr(uint32_t(input.size()));
                memcpy(copy, input.data(), input.size());
                TypInfo info;
                if (built.AddBlock(&info, copy, int32_t(input.size()), "t") == kNoErr) {
                    unsigned char* stream = nullptr;
                    int32_t length = 0;
                    built.GetDataN(0, &stream, &length);
                    streams[size_t(t * kRounds + round)].assign(stream, stream + length);
                }
                built.Kill();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int round = 0; round < kRounds; ++round) {
            const Bytes& stream = streams[size_t(t * kRounds + round)];
            Bytes decoded;
            ASSERT_TRUE(LzoDecompressDirect(stream.data(), stream.size(), 400000, &decoded));
            EXPECT_EQ(decoded, inputs[size_t(t)]) << "thread " << t << " round " << round;
        }
    }
}

// 1000 small compressed entries: one name and one data block each, nothing the size of the
// decompression limit.
TEST_F(ContainerCompression, ManySmallEntriesLoadWithoutLargeAllocations) {
    TypPieceJointe* built = Fresh(kformatLZOcompresse);
    std::vector<Bytes> files;
    for (int k = 0; k < knbmaxpj; ++k) {
        files.push_back(TextLike(1024, uint32_t(k)));
        ASSERT_EQ(Add(built, files.back(), "n" + std::to_string(k)), kNoErr);
    }
    const Bytes block = Write(built);

    CountingUtils counting;
    ContainerPtr loaded(new TypPieceJointe);
    loaded->InitCreate(&counting);
    counting.FailCall(0);
    ASSERT_EQ(loaded->LoadStruct(block.data(), int32_t(block.size())), kNoErr);
    ASSERT_EQ(loaded->GetNbFiles(), knbmaxpj);
    EXPECT_EQ(counting.calls(), 2 * knbmaxpj);
    EXPECT_LT(counting.bytesAsked, uint64_t{knbmaxpj} * (1024 + 16));
    for (int k = 0; k < knbmaxpj; k += 97) {
        EXPECT_EQ(Data(loaded.get(), k), files[size_t(k)]) << k;
    }
    loaded.reset();
    EXPECT_EQ(counting.liveBlocks(), 0);
}

}  // namespace
}  // namespace containertest
