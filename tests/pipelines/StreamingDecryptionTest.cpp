// The text decryption streams its message in chunks; these tests hold it to the whole-block
// decryption (DecryptArmouredMessage and ToLocalDocument, the path the memory functions keep)
// byte for byte on lengths around the chunk edges, with the armour and the recipient marker
// straddling chunk edges and mail-mangled lines, and check that a changed or cut message, or a
// write failing midway, leaves the old target and no temporary file. A small chunk keeps the
// messages small.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "pipelines/MessageFixture.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TextDecryptionCore.h"
#include "pipelines/TwoKeyDecryption.h"
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

constexpr size_t kChunk = 450;

class StreamingDecryption : public messagetest::MessageTest {
  protected:
    // The whole-block path's document for a message text, or its code.
    int32_t BlockReference(const std::string& text, Bytes* document) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        utils.SetKeyFolderPath(keyFolder_.c_str());
        veldoran::OwnedBlock message(&utils);
        int32_t result = veldoran::DecryptArmouredMessage(
            &utils, reinterpret_cast<const unsigned char*>(text.data()),
            static_cast<uint32_t>(text.size()), nullptr, 0, &message);
        uint32_t length = 0;
        if (result == kNoErr) {
            result = veldoran::ToLocalDocument(&utils, &message, &length);
        }
        if (result == kNoErr) {
            document->assign(message.data(), message.data() + length);
        }
        return result;
    }

    int32_t Stream(const std::string& source, const veldoran::TargetWriterCalls* calls = nullptr) {
        veldoran::StreamOptions options;
        options.chunkSize = static_cast<uint32_t>(kChunk);
        TypUtilsUnix utils;
        return DecryptTextFile(&utils, calls, source.c_str(), keyFolder_.c_str(), 0, &options);
    }

    // Streams the message text and expects what the block path gives: the same code, and on
    // success the same document; a failure leaves the old target and no temporary file.
    void ExpectSameAsBlock(const std::string& text) {
        const std::string source = folder_.File("m.vlx");
        const std::string target = source + ".txt";
        ASSERT_TRUE(WriteWholeFile(source, ToBytes(text)));
        ASSERT_TRUE(WriteWholeFile(target, ToBytes("old document")));
        Bytes expected;
        const int32_t expectedResult = BlockReference(text, &expected);
        EXPECT_EQ(Stream(source), expectedResult);
        EXPECT_EQ(ReadWholeFile(target),
                  expectedResult == kNoErr ? expected : ToBytes("old document"));
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "m.vlx", "m.vlx.txt"}));
        EXPECT_TRUE(KeysUntouched());
    }

    std::string MessageFor(const Bytes& document) {
        const std::string text = MakeMessage(WithRecipients(document, "to", "", ""));
        SnapshotKeys();
        return text;
    }
};

TEST_F(StreamingDecryption, MatchesTheWholeBlockPathAtEveryChunkEdge) {
    for (const size_t length :
         {size_t{0}, size_t{1}, size_t{44}, size_t{45}, size_t{46}, kChunk - 1, kChunk, kChunk + 1,
          3 * kChunk - 1, 3 * kChunk, 3 * kChunk + 1, size_t{5000}}) {
        SCOPED_TRACE("document length " + std::to_string(length));
        Bytes document = testsupport::RandomBytes(length, static_cast<uint32_t>(length) + 7);
        for (size_t i = 0; i < document.size(); i += 13) {
            document[i] = 0x0D;
        }
        ExpectSameAsBlock(MessageFor(document));
    }
}

TEST_F(StreamingDecryption, FindsTheArmourAndTheMarkersAcrossChunkEdges) {
    const std::string message = MessageFor(ToBytes("Bonjour\rà demain"));
    const size_t armourAt = message.find("#BINASCII1#");
    // Text in front of the armour moving its start marker over the first and later chunk edges.
    for (const size_t shift : {kChunk - armourAt - 5, kChunk - armourAt - 11, kChunk - armourAt,
                               2 * kChunk - armourAt - 3, 5 * kChunk}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        ExpectSameAsBlock(std::string(shift, '>') + message + "\n-- \nsignature\n");
    }
    // The end marker straddling an edge: the armour's lines re-indented so its place moves.
    for (const size_t indent : {size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
        SCOPED_TRACE("indent " + std::to_string(indent));
        std::string mangled;
        for (const char c : message) {
            mangled += c;
            if (c == '\n') {
                mangled += std::string(indent, ' ');
            }
        }
        ExpectSameAsBlock(mangled);
    }
}

TEST_F(StreamingDecryption, CutsTheDocumentAtARecipientMarkerOnAnyChunkEdge) {
    // The document holds the marker itself (made here without the encryption's refusal), at
    // places around the edges of the decoded stream's chunks.
    for (const size_t at :
         {size_t{100}, size_t{330}, size_t{331}, size_t{340}, size_t{660}, size_t{1000}}) {
        SCOPED_TRACE("marker at " + std::to_string(at));
        Bytes document(1200, 'd');
        const std::string marker = "#DESTBEGIN#";
        std::copy(marker.begin(), marker.end(), document.begin() + static_cast<long>(at));
        ExpectSameAsBlock(MessageFor(document));
    }
}

TEST_F(StreamingDecryption, AChangedOrCutMessageLeavesNothingBehind) {
    const std::string message = MessageFor(Bytes(3 * kChunk, 'x'));
    const size_t end = message.find("#ENDBINASCII1#");
    struct Case {
        const char* label;
        std::string text;
    };
    std::string lastLine = message;
    // One character of the checksum field, in the last line.
    lastLine[end - 2] = lastLine[end - 2] == '0' ? '1' : '0';
    std::string dataChanged = message;
    dataChanged[end - 30] = dataChanged[end - 30] == 'A' ? 'B' : 'A';
    const Case cases[] = {
        {"checksum error in the last line", lastLine},
        {"data changed in the last line", dataChanged},
        {"cut in the middle of a chunk", message.substr(0, kChunk + kChunk / 2)},
        {"cut before the end marker", message.substr(0, end)},
        {"lines cut out of the middle",
         message.substr(0, 2 * kChunk) + message.substr(2 * kChunk + 122)},
        {"end marker before the start marker", "#ENDBINASCII1#\n" + message},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        ExpectSameAsBlock(testCase.text);
    }
}

TEST_F(StreamingDecryption, AWriteFailingMidwayKeepsTheOldTarget) {
    const std::string source = folder_.File("m.vlx");
    const std::string target = source + ".txt";
    ASSERT_TRUE(WriteWholeFile(source, ToBytes(MessageFor(Bytes(6 * kChunk, 'w')))));
    ASSERT_TRUE(WriteWholeFile(target, ToBytes("old document")));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = WriteThenFail;
    for (const int writes : {0, 1, 3}) {
        SCOPED_TRACE("failing after " + std::to_string(writes) + " writes");
        gWritesLeft = writes;
        EXPECT_EQ(Stream(source, &calls), kOtherErr);
        EXPECT_EQ(ReadWholeFile(target), ToBytes("old document"));
        EXPECT_EQ(messagetest::Entries(folder_.path()),
                  (std::set<std::string>{"keys", "m.vlx", "m.vlx.txt"}));
        EXPECT_TRUE(KeysUntouched());
    }
}

}  // namespace
