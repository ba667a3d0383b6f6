// The binary file pipelines stream their data in chunks; these tests hold them to the memory
// functions, which keep the whole-block path, byte for byte (frames, data, codes, key files) on
// lengths around the chunk edges and on frames cut anywhere, check that a run failing midway
// spends no key and leaves the old target and no temporary file, and that a decryption never
// writes over a key file it reads. A small chunk keeps the files small.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pipelines/BinaryPipelines.h"
#include "pipelines/BinaryPipelinesCore.h"
#include "pipelines/MessageFixture.h"
#include "pipelines/Progress.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TextDecryption.h"
#include "pipelines/TextEncryption.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypUtilsUnix.h"
#include "support/FullDisk.h"
#include "support/KeyFileWriter.h"

namespace {

using messagetest::Bytes;
using messagetest::Entries;
using messagetest::ToBytes;
using testsupport::gWritesLeft;
using testsupport::ReadWholeFile;
using testsupport::WriteThenFail;
using testsupport::WriteWholeFile;

// The smallest chunk the pipelines take.
constexpr size_t kChunk = 450;
// Both frame headers in front of the data.
constexpr size_t kHeaders = 448;

// Truncates a file to a given length after the first chunk: a file cut while it is read.
struct Cut {
    std::string path;
    off_t length = 0;
    bool done = false;
};

void CutAfterFirstChunk(void* context, uint64_t, uint64_t) {
    auto* cut = static_cast<Cut*>(context);
    if (!cut->done) {
        cut->done = true;
        EXPECT_EQ(truncate(cut->path.c_str(), cut->length), 0);
    }
}

struct BlockResult {
    int32_t result = kNoErr;
    Bytes bytes;
};

class StreamingBinary : public messagetest::MessageTest {
  protected:
    // The whole-block frame for data with the key files as they stand; the key files are put
    // back afterwards, and their state after the run is kept in *masterAfter and *userAfter.
    Bytes BlockFrame(const Bytes& data, Bytes* masterAfter, Bytes* userAfter) {
        SnapshotKeys();
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        EXPECT_EQ(crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()), &out,
                                     &outLength, "dupont", keyFolder_.c_str(), 0),
                  kNoErr);
        Bytes frame(out, out + outLength);
        free(out);
        *masterAfter = ReadWholeFile(KeyPath("Master"));
        *userAfter = ReadWholeFile(KeyPath("dupont"));
        RestoreKeys();
        return frame;
    }

    // The whole-block decryption of frame: its code and data.
    BlockResult BlockData(const Bytes& frame) const {
        BlockResult block;
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        block.result = decrypterbinaireMem2(frame.data(), static_cast<uint32_t>(frame.size()), &out,
                                            &outLength, keyFolder_.c_str(), 0);
        block.bytes.assign(out, out + outLength);
        free(out);
        return block;
    }

    static veldoran::StreamOptions Options(Cut* cut = nullptr) {
        veldoran::StreamOptions options;
        options.chunkSize = static_cast<uint32_t>(kChunk);
        if (cut != nullptr) {
            options.progress = CutAfterFirstChunk;
            options.progressContext = cut;
        }
        return options;
    }

    int32_t Encrypt(const std::string& source, const std::string& target,
                    const veldoran::TargetWriterCalls* calls = nullptr, Cut* cut = nullptr) {
        const veldoran::StreamOptions options = Options(cut);
        TypUtilsUnix utils;
        return EncryptBinaryFile(&utils, calls, source.c_str(), target.c_str(), "dupont",
                                 keyFolder_.c_str(), 0, &options);
    }

    int32_t Decrypt(const std::string& source, const veldoran::TargetWriterCalls* calls = nullptr,
                    Cut* cut = nullptr) {
        const veldoran::StreamOptions options = Options(cut);
        TypUtilsUnix utils;
        return DecryptBinaryFile(&utils, calls, source.c_str(), keyFolder_.c_str(), 0, &options);
    }
};

TEST_F(StreamingBinary, BothWaysMatchTheWholeBlockPathAtEveryChunkEdge) {
    const std::vector<size_t> lengths = {0,
                                         1,
                                         kChunk - 1,
                                         kChunk,
                                         kChunk + 1,
                                         2 * kChunk,
                                         3 * kChunk - 1,
                                         3 * kChunk,
                                         3 * kChunk + 1,
                                         7777};
    struct Keys {
        const char* label;
        size_t master;
        size_t user;
    };
    const Keys keys[] = {
        {"keys shorter than a chunk and than the data", 61, 97},
        {"keys longer than a chunk, shorter than long data", 1000, 1500},
        {"keys longer than all data", 20000, 30000},
    };
    const std::string source = folder_.File("data.bin");
    const std::string frameFile = source + ".vlb";
    for (const Keys& key : keys) {
        UseKeys(key.master, key.user, 41);
        for (const size_t length : lengths) {
            SCOPED_TRACE(std::string(key.label) + ", length " + std::to_string(length));
            const Bytes data = testsupport::RandomBytes(length, static_cast<uint32_t>(length));
            ASSERT_TRUE(WriteWholeFile(source, data));
            Bytes masterAfter;
            Bytes userAfter;
            const Bytes expected = BlockFrame(data, &masterAfter, &userAfter);
            ASSERT_EQ(Encrypt(source, frameFile), kNoErr);
            EXPECT_TRUE(ReadWholeFile(frameFile) == expected);
            EXPECT_EQ(ReadWholeFile(KeyPath("Master")), masterAfter);
            EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userAfter);
            SnapshotKeys();

            ASSERT_TRUE(WriteWholeFile(source, ToBytes("older data")));
            ASSERT_EQ(Decrypt(frameFile), kNoErr);
            EXPECT_TRUE(ReadWholeFile(source) == BlockData(expected).bytes);
            EXPECT_TRUE(ReadWholeFile(source) == data);
            EXPECT_TRUE(KeysUntouched());
            EXPECT_EQ(Entries(folder_.path()),
                      (std::set<std::string>{"data.bin", "data.bin.vlb", "keys"}));
        }
    }
}

// A frame cut anywhere, in its headers or in its data on and around chunk edges, decrypts as
// the whole-block path decrypts it: the same code, and the same data when there is a result.
TEST_F(StreamingBinary, AFrameCutAnywhereDecryptsAsTheWholeBlockPathDoes) {
    const Bytes data = testsupport::RandomBytes(4 * kChunk, 51);
    Bytes masterAfter;
    Bytes userAfter;
    const Bytes frame = BlockFrame(data, &masterAfter, &userAfter);
    const std::string source = folder_.File("cut.vlb");
    const std::string target = folder_.File("cut");
    for (const size_t length :
         {size_t{0}, size_t{1}, size_t{223}, size_t{224}, size_t{225}, size_t{300}, kHeaders - 1,
          kHeaders, kHeaders + 1, kHeaders + kChunk - 1, kHeaders + kChunk, kHeaders + kChunk + 1,
          kHeaders + 2 * kChunk + kChunk / 2}) {
        SCOPED_TRACE("frame cut to " + std::to_string(length));
        const Bytes cut(frame.begin(), frame.begin() + static_cast<long>(length));
        ASSERT_TRUE(WriteWholeFile(source, cut));
        ASSERT_TRUE(WriteWholeFile(target, ToBytes("older data")));
        const BlockResult block = BlockData(cut);
        EXPECT_EQ(Decrypt(source), block.result);
        EXPECT_TRUE(ReadWholeFile(target) ==
                    (block.result == kNoErr ? block.bytes : ToBytes("older data")));
        EXPECT_EQ(Entries(folder_.path()), (std::set<std::string>{"cut", "cut.vlb", "keys"}));
        EXPECT_TRUE(KeysUntouched());
    }
}

// A run that fails midway, because a write fails or the file it reads is cut while it reads
// it: -1, the old target as it was, no temporary file, and no key spent.
TEST_F(StreamingBinary, AFailureMidwaySpendsNoKeyAndKeepsTheOldTarget) {
    // Longer than the source stream's read-ahead buffer, so that the cut is met.
    const Bytes data = testsupport::RandomBytes(40 * kChunk + 17, 52);
    const std::string source = folder_.File("data.bin");
    const std::string frameFile = source + ".vlb";
    ASSERT_TRUE(WriteWholeFile(source, data));
    Bytes masterAfter;
    Bytes userAfter;
    const Bytes frame = BlockFrame(data, &masterAfter, &userAfter);
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = WriteThenFail;
    const std::set<std::string> entries = {"data.bin", "data.bin.vlb", "keys"};

    for (const int writes : {0, 1, 3, 6}) {
        SCOPED_TRACE("writes failing after " + std::to_string(writes));
        ASSERT_TRUE(WriteWholeFile(frameFile, ToBytes("older frame")));
        gWritesLeft = writes;
        EXPECT_EQ(Encrypt(source, frameFile, &calls), kOtherErr);
        EXPECT_EQ(ReadWholeFile(frameFile), ToBytes("older frame"));
        EXPECT_EQ(Entries(folder_.path()), entries);
        EXPECT_TRUE(KeysUntouched());

        ASSERT_TRUE(WriteWholeFile(frameFile, frame));
        ASSERT_TRUE(WriteWholeFile(source, ToBytes("older data")));
        gWritesLeft = writes;
        EXPECT_EQ(Decrypt(frameFile, &calls), kOtherErr);
        EXPECT_EQ(ReadWholeFile(source), ToBytes("older data"));
        EXPECT_EQ(Entries(folder_.path()), entries);
        EXPECT_TRUE(KeysUntouched());
        ASSERT_TRUE(WriteWholeFile(source, data));
    }

    {
        SCOPED_TRACE("source cut in the middle of a chunk while it is encrypted");
        ASSERT_TRUE(WriteWholeFile(frameFile, ToBytes("older frame")));
        Cut cut{source, static_cast<off_t>(2 * kChunk + kChunk / 2)};
        EXPECT_EQ(Encrypt(source, frameFile, nullptr, &cut), kOtherErr);
        EXPECT_TRUE(cut.done);
        EXPECT_EQ(ReadWholeFile(frameFile), ToBytes("older frame"));
        EXPECT_EQ(Entries(folder_.path()), entries);
        EXPECT_TRUE(KeysUntouched());
    }
    {
        SCOPED_TRACE("frame cut in the middle of a chunk while it is decrypted");
        ASSERT_TRUE(WriteWholeFile(frameFile, frame));
        ASSERT_TRUE(WriteWholeFile(source, ToBytes("older data")));
        Cut cut{frameFile, static_cast<off_t>(kHeaders + 2 * kChunk + kChunk / 2)};
        EXPECT_EQ(Decrypt(frameFile, nullptr, &cut), kOtherErr);
        EXPECT_TRUE(cut.done);
        EXPECT_EQ(ReadWholeFile(source), ToBytes("older data"));
        EXPECT_EQ(Entries(folder_.path()), entries);
        EXPECT_TRUE(KeysUntouched());
    }
}

// Decrypting a file whose target is a key file the frames name (by its path, by another path,
// or through a link) is refused before anything is written: the key file stays as it was.
TEST_F(StreamingBinary, DecryptionNeverWritesOverAKeyFile) {
    const Bytes data = ToBytes("would replace the key");
    Bytes masterAfter;
    Bytes userAfter;
    const Bytes frame = BlockFrame(data, &masterAfter, &userAfter);
    const Bytes message = ToBytes(MakeMessage(WithRecipients(data, "to", "", "")));
    SnapshotKeys();
    const std::string year = messagetest::YearText(0);
    std::filesystem::create_directory(folder_.File("links"));
    std::filesystem::create_symlink(KeyPath("Master"), folder_.File("links/master"));
    std::filesystem::create_hard_link(KeyPath("dupont"), folder_.File("links/dupont"));
    std::filesystem::create_symlink(KeyPath("dupont"), folder_.File("links/m.vlx.txt"));
    std::filesystem::create_hard_link(KeyPath("Master"), folder_.File("links/n.vlx.txt"));
    struct Case {
        const char* label;
        std::string source;
        bool text;  // decrypter2 (target source + ".txt") rather than decrypterbinaire
    };
    const std::vector<Case> cases = {
        {"the master key's own path", KeyPath("Master") + ".vlb", false},
        {"the user key's own path", KeyPath("dupont") + ".vlb", false},
        {"the user key by another path", keyFolder_ + "Clefs/../Clefs/dupont." + year + ".vlb",
         false},
        {"a symbolic link to the master key", folder_.File("links/master.vlb"), false},
        {"a hard link to the user key", folder_.File("links/dupont.vlb"), false},
        {"a text target linked to the user key", folder_.File("links/m.vlx"), true},
        {"a text target hard-linked to the master key", folder_.File("links/n.vlx"), true},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(testCase.source, testCase.text ? message : frame));
        const std::set<std::string> clefs = Entries(keyFolder_ + "Clefs");
        const std::set<std::string> links = Entries(folder_.File("links"));
        if (testCase.text) {
            EXPECT_EQ(decrypter2(testCase.source.c_str(), keyFolder_.c_str(), 0), kOtherErr);
        } else {
            EXPECT_EQ(Decrypt(testCase.source), kOtherErr);
        }
        EXPECT_TRUE(KeysUntouched());
        EXPECT_EQ(Entries(keyFolder_ + "Clefs"), clefs);
        EXPECT_EQ(Entries(folder_.File("links")), links);
        std::filesystem::remove(testCase.source);
    }
    // The public function refuses it too, and the same frame decrypts anywhere else.
    const std::string beside = KeyPath("Master") + ".vlb";
    ASSERT_TRUE(WriteWholeFile(beside, frame));
    EXPECT_EQ(decrypterbinaire(beside.c_str(), keyFolder_.c_str(), 0), kOtherErr);
    EXPECT_TRUE(KeysUntouched());
    std::filesystem::remove(beside);
    ASSERT_TRUE(WriteWholeFile(folder_.File("elsewhere.vlb"), frame));
    EXPECT_EQ(Decrypt(folder_.File("elsewhere.vlb")), kNoErr);
    EXPECT_EQ(ReadWholeFile(folder_.File("elsewhere")), data);
}

// A device cannot take back what it was given: both file encryptions spend the keys before its
// first byte, so a device that takes no byte still costs key material, while a document that
// is refused whatever the target costs none (the text run looks through it first).
TEST_F(StreamingBinary, ADeviceTargetIsPaidForBeforeItsFirstByte) {
    const std::string letter = folder_.File("letter.txt");
    const std::string marked = folder_.File("marked.txt");
    ASSERT_TRUE(WriteWholeFile(letter, ToBytes("Dear friend,\nall is well.\n")));
    ASSERT_TRUE(WriteWholeFile(marked, ToBytes("Dear friend,\n#DESTBEGIN# is mine.\n")));
    struct Case {
        const char* label;
        bool text;  // crypter3 rather than crypterbinaire2
        std::string source;
        const char* target;
        int32_t result;
        bool spent;
    };
    const std::vector<Case> cases = {
        {"bytes to a device that takes them", false, letter, "/dev/null", kNoErr, true},
        {"bytes to a full device", false, letter, "/dev/full", kOtherErr, true},
        {"a text to a device that takes it", true, letter, "/dev/null", kNoErr, true},
        {"a text to a full device", true, letter, "/dev/full", kOtherErr, true},
        {"a text holding the recipient marker", true, marked, "/dev/null", kFormatNonDisponible,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes masterBefore = ReadWholeFile(KeyPath("Master"));
        const Bytes userBefore = ReadWholeFile(KeyPath("dupont"));
        const int32_t result =
            c.text
                ? crypter3(c.source.c_str(), c.target, "dupont", keyFolder_.c_str(), "a", "", "", 0)
                : crypterbinaire2(c.source.c_str(), c.target, "dupont", keyFolder_.c_str(), 0);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ReadWholeFile(KeyPath("Master")) != masterBefore, c.spent);
        EXPECT_EQ(ReadWholeFile(KeyPath("dupont")) != userBefore, c.spent);
    }
}

void Record(void* context, uint64_t done, uint64_t total) {
    static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(context)->emplace_back(done, total);
}

TEST_F(StreamingBinary, ReportsProgressChunkByChunkUpToTheWholeData) {
    const std::string source = folder_.File("data.bin");
    ASSERT_TRUE(WriteWholeFile(source, Bytes(2 * kChunk + 5, 'p')));
    const uint64_t total = 2 * kChunk + 5;
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {kChunk, total}, {2 * kChunk, total}, {total, total}};
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    veldoran::StreamOptions options = Options();
    options.progress = Record;
    options.progressContext = &seen;
    TypUtilsUnix encrypting;
    ASSERT_EQ(EncryptBinaryFile(&encrypting, nullptr, source.c_str(), (source + ".vlb").c_str(),
                                "dupont", keyFolder_.c_str(), 0, &options),
              kNoErr);
    EXPECT_EQ(seen, expected);
    seen.clear();
    TypUtilsUnix decrypting;
    ASSERT_EQ(DecryptBinaryFile(&decrypting, nullptr, (source + ".vlb").c_str(), keyFolder_.c_str(),
                                0, &options),
              kNoErr);
    EXPECT_EQ(seen, expected);
}

TEST_F(StreamingBinary, EntryFunctionsReportToTheCallingThreadsHookOnly) {
    const std::string source = folder_.File("large.bin");
    const uint64_t total = 2 * veldoran::kDefaultChunkSize + 7;
    ASSERT_TRUE(WriteWholeFile(source, Bytes(total, 'h')));
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {veldoran::kDefaultChunkSize, total},
        {2 * veldoran::kDefaultChunkSize, total},
        {total, total}};
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    veldoranSetProgress(Record, &seen);

    // Another thread's run is not this thread's progress.
    std::thread other([&] {
        EXPECT_EQ(crypterbinaire2(source.c_str(), (source + ".other").c_str(), "dupont",
                                  keyFolder_.c_str(), 0),
                  kNoErr);
    });
    other.join();
    EXPECT_TRUE(seen.empty());

    ASSERT_EQ(
        crypterbinaire2(source.c_str(), (source + ".vlb").c_str(), "dupont", keyFolder_.c_str(), 0),
        kNoErr);
    EXPECT_EQ(seen, expected);
    seen.clear();
    ASSERT_EQ(decrypterbinaire((source + ".vlb").c_str(), keyFolder_.c_str(), 0), kNoErr);
    EXPECT_EQ(seen, expected);

    seen.clear();
    veldoranSetProgress(nullptr, &seen);
    ASSERT_EQ(decrypterbinaire((source + ".vlb").c_str(), keyFolder_.c_str(), 0), kNoErr);
    EXPECT_TRUE(seen.empty()) << "a null hook switches progress off";
}

}  // namespace
