// The text encryption streams its document in chunks; these tests hold it to the whole-block
// encryption (the two key layers made in one block and armoured whole, through the library's
// EncryptWithBothKeys and BinToASCII) byte for byte, on lengths at and around the chunk edges,
// and check that a run that fails midway spends no key and leaves the old target and no
// temporary file. A small chunk keeps the documents small.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "pipelines/MessageFixture.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TextEncryptionCore.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypUtilsUnix.h"
#include "support/FullDisk.h"
#include "support/KeyFileWriter.h"

namespace {

using messagetest::Bytes;
using messagetest::ToBytes;
using testsupport::gWritesLeft;
using testsupport::ReadWholeFile;
using testsupport::WriteThenFail;
using testsupport::WriteWholeFile;

// The smallest chunk the pipelines take: 10 armour lines of input.
constexpr size_t kChunk = 450;

class StreamingEncryption : public messagetest::MessageTest {
  protected:
    // The message file of the whole-block path for document, with the key files as they stand;
    // the key files are put back afterwards, and their state after the run is kept in
    // *masterAfter and *userAfter.
    std::string BlockReference(const Bytes& document, Bytes* masterAfter, Bytes* userAfter) {
        SnapshotKeys();
        const std::string text = MakeMessage(
            WithRecipients(messagetest::Interchange(document), "to@a", "cc@b", "bcc@c"));
        *masterAfter = ReadWholeFile(KeyPath("Master"));
        *userAfter = ReadWholeFile(KeyPath("dupont"));
        RestoreKeys();
        return text;
    }

    int32_t Stream(const std::string& source, const std::string& target,
                   const veldoran::TargetWriterCalls* calls = nullptr, size_t chunk = kChunk) {
        veldoran::StreamOptions options;
        options.chunkSize = static_cast<uint32_t>(chunk);
        TypUtilsUnix utils;
        return EncryptTextFile(&utils, calls, source.c_str(), target.c_str(), "dupont",
                               keyFolder_.c_str(), "to@a", "cc@b", "bcc@c", 0, &options);
    }
};

TEST_F(StreamingEncryption, MatchesTheWholeBlockPathAtEveryChunkEdge) {
    // The message is the document plus a 35-byte recipient block, and the armour takes the
    // outer frame 448 bytes further on: the lengths put both the document's and the frame's
    // ends on, before and after the chunk edges.
    const std::vector<size_t> lengths = {0,
                                         1,
                                         44,
                                         45,
                                         46,
                                         kChunk - 1,
                                         kChunk,
                                         kChunk + 1,
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
        {"keys shorter than a chunk and than the document", 61, 97},
        {"keys longer than a chunk, shorter than long documents", 1000, 1500},
        {"keys longer than every document", 20000, 30000},
    };
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    for (const Keys& key : keys) {
        UseKeys(key.master, key.user, 31);
        for (const size_t length : lengths) {
            SCOPED_TRACE(std::string(key.label) + ", length " + std::to_string(length));
            // Line feeds and accented letters, so the conversion shows too.
            Bytes document = testsupport::RandomBytes(length, static_cast<uint32_t>(length));
            for (size_t i = 0; i < document.size(); i += 17) {
                document[i] = i % 2 == 0 ? '\n' : 0xE9;
            }
            ASSERT_TRUE(WriteWholeFile(source, document));
            Bytes masterAfter;
            Bytes userAfter;
            const std::string expected = BlockReference(document, &masterAfter, &userAfter);
            ASSERT_EQ(Stream(source, target), kNoErr);
            EXPECT_EQ(messagetest::ToString(ReadWholeFile(target)), expected);
            EXPECT_EQ(ReadWholeFile(KeyPath("Master")), masterAfter);
            EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userAfter);
            SnapshotKeys();
        }
    }
}

TEST_F(StreamingEncryption, RefusesAMarkerWhereverItStraddlesAChunkEdge) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(target, ToBytes("previous message\n")));
    const std::string marker = "#DESTBEGIN#";
    // The marker starting just before an edge, across it, on it, and in the third chunk.
    for (const size_t at : {kChunk - marker.size(), kChunk - 5, kChunk - 1, size_t{kChunk},
                            2 * kChunk - 3, size_t{0}}) {
        SCOPED_TRACE("marker at " + std::to_string(at));
        Bytes document(3 * kChunk + 10, 'a');
        std::copy(marker.begin(), marker.end(), document.begin() + static_cast<long>(at));
        ASSERT_TRUE(WriteWholeFile(source, document));
        EXPECT_EQ(Stream(source, target), kFormatNonDisponible);
        EXPECT_TRUE(KeysUntouched());
        EXPECT_EQ(ReadWholeFile(target), ToBytes("previous message\n"));
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "letter.msg", "letter.txt"}));
    }
    // A marker cut in two by a byte the conversion leaves alone is no marker.
    Bytes document(2 * kChunk, 'a');
    const std::string split = "#DESTBE\nGIN#";
    std::copy(split.begin(), split.end(), document.begin() + kChunk - 6);
    ASSERT_TRUE(WriteWholeFile(source, document));
    EXPECT_EQ(Stream(source, target), kNoErr);
}

// A document that ends with the start of the marker would meet the recipient block's own
// marker in one: decryption finds the marker there and would hand the document back cut, so it
// is refused as one holding the marker. One character less is no marker.
TEST_F(StreamingEncryption, RefusesADocumentEndingWithTheStartOfTheMarker) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    struct Case {
        const char* ending;
        size_t length;
        int32_t result;
    };
    const Case cases[] = {
        {"#DESTBEGIN", 3 * kChunk + 10, kFormatNonDisponible},
        {"#DESTBEGIN", kChunk, kFormatNonDisponible},  // ends on a chunk edge
        {"#DESTBEGIN", 10, kFormatNonDisponible},      // the whole document
        {"#DESTBEGI", kChunk, kNoErr},
    };
    for (const Case& testCase : cases) {
        const std::string ending = testCase.ending;
        SCOPED_TRACE(ending + " at the end of " + std::to_string(testCase.length) + " bytes");
        Bytes document(testCase.length, 'a');
        std::copy(ending.begin(), ending.end(), document.end() - static_cast<long>(ending.size()));
        ASSERT_TRUE(WriteWholeFile(source, document));
        EXPECT_EQ(Stream(source, target), testCase.result);
        if (testCase.result != kNoErr) {
            EXPECT_TRUE(KeysUntouched());
            EXPECT_FALSE(std::filesystem::exists(target));
        }
        SnapshotKeys();
    }
}

TEST_F(StreamingEncryption, AWriteFailingMidwaySpendsNoKeyAndKeepsTheOldTarget) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    ASSERT_TRUE(WriteWholeFile(source, Bytes(5 * kChunk, 'z')));
    ASSERT_TRUE(WriteWholeFile(target, ToBytes("previous message\n")));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = WriteThenFail;
    for (const int writes : {0, 1, 3, 6}) {
        SCOPED_TRACE("failing after " + std::to_string(writes) + " writes");
        gWritesLeft = writes;
        EXPECT_EQ(Stream(source, target, &calls), kOtherErr);
        EXPECT_TRUE(KeysUntouched());
        EXPECT_EQ(ReadWholeFile(target), ToBytes("previous message\n"));
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "letter.msg", "letter.txt"}));
    }
}

// What the target's sync finds: the key files as they stand on disk at that moment, and
// whether the target already had the new message under its name.
struct AtTargetSync {
    std::string masterPath;
    std::string userPath;
    std::string target;
    Bytes master;
    Bytes user;
    Bytes targetThen;
    int failWith = 0;
};
AtTargetSync gAtSync;

int RecordingFsync(int fd) {
    gAtSync.master = ReadWholeFile(gAtSync.masterPath);
    gAtSync.user = ReadWholeFile(gAtSync.userPath);
    gAtSync.targetThen = ReadWholeFile(gAtSync.target);
    if (gAtSync.failWith != 0) {
        errno = gAtSync.failWith;
        return -1;
    }
    return fsync(fd);
}

// The message's own sync runs beside the key headers' syncs, never ahead of their rewrites, and
// the message gets its name only after all of them: when it fails the keys count as spent (their
// headers rewritten) and the old target stays, with no temporary file.
TEST_F(StreamingEncryption, TheMessageIsNamedOnlyOnceItAndBothKeyHeadersAreSynced) {
    const std::string source = folder_.File("letter.txt");
    const std::string target = folder_.File("letter.msg");
    const Bytes old = ToBytes("previous message\n");
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.fsync = RecordingFsync;
    for (const int failWith : {0, EIO}) {
        SCOPED_TRACE(failWith == 0 ? "the sync succeeds" : "the sync fails");
        ASSERT_TRUE(WriteWholeFile(source, ToBytes("Cher ami,\nà bientôt.\n")));
        ASSERT_TRUE(WriteWholeFile(target, old));
        Bytes masterAfter;
        Bytes userAfter;
        const std::string expected =
            BlockReference(ReadWholeFile(source), &masterAfter, &userAfter);
        gAtSync = AtTargetSync{};
        gAtSync.masterPath = KeyPath("Master");
        gAtSync.userPath = KeyPath("dupont");
        gAtSync.target = target;
        gAtSync.failWith = failWith;
        EXPECT_EQ(Stream(source, target, &calls), failWith == 0 ? kNoErr : kOtherErr);
        EXPECT_EQ(gAtSync.master, masterAfter);
        EXPECT_EQ(gAtSync.user, userAfter);
        EXPECT_EQ(gAtSync.targetThen, old);
        EXPECT_EQ(ReadWholeFile(KeyPath("Master")), masterAfter);
        EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userAfter);
        EXPECT_EQ(messagetest::ToString(ReadWholeFile(target)),
                  failWith == 0 ? expected : messagetest::ToString(old));
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "letter.msg", "letter.txt"}));
        SnapshotKeys();
    }
}

TEST_F(StreamingEncryption, AMarkerLaterInTheDocumentOutranksAnEarlierFailure) {
    // The whole-block path read and checked the document before anything else could fail.
    const std::string source = folder_.File("letter.txt");
    Bytes document(4 * kChunk, 'a');
    const std::string marker = "#DESTBEGIN#";
    std::copy(marker.begin(), marker.end(), document.end() - 20);
    ASSERT_TRUE(WriteWholeFile(source, document));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = WriteThenFail;
    gWritesLeft = 2;
    EXPECT_EQ(Stream(source, folder_.File("letter.msg"), &calls), kFormatNonDisponible);
    std::filesystem::remove(KeyPath("dupont"));
    EXPECT_EQ(Stream(source, folder_.File("letter.msg")), kFormatNonDisponible);
    EXPECT_TRUE(testsupport::ReadWholeFile(KeyPath("Master")) == masterBefore_);
}

// A utility object that notes the largest block asked for.
class LargestBlock : public TypUtilsUnix {
  public:
    unsigned char* MyNewPtr(uint32_t size) override {
        largest = size > largest ? size : largest;
        return TypUtilsUnix::MyNewPtr(size);
    }
    uint32_t largest = 0;
};

// A letter costs blocks of about its own size, not of the 1 MiB chunk a long document is read
// in: every block is filled and wiped, which for a letter cost more than its encryption.
TEST_F(StreamingEncryption, ALetterTakesBlocksOfItsOwnSize) {
    struct Case {
        const char* label;
        size_t length;
        uint32_t most;
    };
    const std::vector<Case> cases = {
        {"an empty letter", 0, 8 << 10},
        {"a short letter", 3000, 16 << 10},
        {"a document past one chunk", 3 << 20, 4 << 20},
    };
    const std::string source = folder_.File("letter.txt");
    UseKeys(1 << 20, 1 << 20, 5);
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ASSERT_TRUE(WriteWholeFile(source, Bytes(testCase.length, 'l')));
        LargestBlock utils;
        ASSERT_EQ(
            EncryptTextFile(&utils, nullptr, source.c_str(), folder_.File("l.msg").c_str(),
                            "dupont", keyFolder_.c_str(), "to@a", "cc@b", "bcc@c", 0, nullptr),
            kNoErr);
        EXPECT_LE(utils.largest, testCase.most);
    }
}

TEST(StreamOptions, AChunkIsNoLargerThanTheDocumentsWholeLines) {
    struct Case {
        uint32_t chunkSize;
        uint64_t length;
        uint32_t chunk;
    };
    const std::vector<Case> cases = {
        {veldoran::kDefaultChunkSize, 0, 450},      // never below ten lines
        {veldoran::kDefaultChunkSize, 451, 495},    // whole lines around the document
        {veldoran::kDefaultChunkSize, 4500, 4500},  // exactly whole lines
        {veldoran::kDefaultChunkSize, uint64_t{1} << 40, veldoran::kDefaultChunkSize},
        {900, 1000, 900},  // the chunk asked for stays the most
        {100, 10, 450},    // and is itself never below ten lines
    };
    for (const Case& testCase : cases) {
        veldoran::StreamOptions options;
        options.chunkSize = testCase.chunkSize;
        EXPECT_EQ(options.ChunkFor(testCase.length), testCase.chunk)
            << testCase.chunkSize << " " << testCase.length;
    }
}

void CountProgress(void* context, uint64_t done, uint64_t total) {
    auto* seen = static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(context);
    seen->emplace_back(done, total);
}

TEST_F(StreamingEncryption, ReportsProgressChunkByChunkUpToTheWholeMessage) {
    const std::string source = folder_.File("letter.txt");
    ASSERT_TRUE(WriteWholeFile(source, Bytes(2 * kChunk, 'p')));
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    veldoran::StreamOptions options;
    options.chunkSize = static_cast<uint32_t>(kChunk);
    options.progress = CountProgress;
    options.progressContext = &seen;
    TypUtilsUnix utils;
    ASSERT_EQ(EncryptTextFile(&utils, nullptr, source.c_str(), folder_.File("p.msg").c_str(),
                              "dupont", keyFolder_.c_str(), "to@a", "cc@b", "bcc@c", 0, &options),
              kNoErr);
    // 900 document bytes and the recipient block "#DESTBEGIN#to@a,cc@b,bcc@c#DESTEND#" (35):
    // three chunks.
    const uint64_t total = 2 * kChunk + 35;
    EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, uint64_t>>{
                        {kChunk, total}, {2 * kChunk, total}, {total, total}}));
}

}  // namespace
