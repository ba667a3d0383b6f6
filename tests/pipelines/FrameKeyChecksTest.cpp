// Every way into decryption (the streaming text and binary file pipelines, which read their
// key files in windows, and the in-memory ones, which go through UnCrypt) takes a frame's key
// file only under the key folder's Clefs/ and only when it holds the frame's own key: a frame
// whose header leads elsewhere, or a file of the right name that holds another key, ends the
// run with -5 and nothing written.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "MessageFixture.h"

namespace {

using messagetest::Bytes;
using messagetest::ToBytes;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

class FrameKeyChecks : public messagetest::MessageTest {
  protected:
    struct Way {
        const char* label;
        std::function<int32_t(const Bytes& frame)> decrypt;
    };

    // The four ways, each given the outer frame; file targets go in a folder of their own, which
    // must stay empty on a failure.
    std::vector<Way> Ways() {
        std::filesystem::create_directories(folder_.File("out"));
        return {
            {"decrypter2",
             [this](const Bytes& frame) {
                 const std::string source = folder_.File("out/letter.msg");
                 WriteWholeFile(source, ToBytes(Armoured(frame)));
                 const int32_t result = decrypter2(source.c_str(), keyFolder_.c_str(), 0);
                 std::filesystem::remove(source);
                 return result;
             }},
            {"decrypterMem2",
             [this](const Bytes& frame) {
                 char* document = nullptr;
                 const int32_t result =
                     decrypterMem2(Armoured(frame).c_str(), &document, keyFolder_.c_str());
                 free(document);
                 return result;
             }},
            {"decrypterbinaire",
             [this](const Bytes& frame) {
                 const std::string source = folder_.File("out/data.vlb");
                 WriteWholeFile(source, frame);
                 const int32_t result = decrypterbinaire(source.c_str(), keyFolder_.c_str(), 0);
                 std::filesystem::remove(source);
                 return result;
             }},
            {"decrypterbinaireMem2",
             [this](const Bytes& frame) {
                 unsigned char* data = nullptr;
                 uint32_t length = 0;
                 const int32_t result =
                     decrypterbinaireMem2(frame.data(), static_cast<uint32_t>(frame.size()), &data,
                                          &length, keyFolder_.c_str(), 0);
                 free(data);
                 return result;
             }},
        };
    }

    // Names the outer frame's key (its header is in the clear) name instead.
    static void Rename(Bytes* frame, const std::string& name) {
        testsupport::PutBigEndian32(frame->data() + 44, static_cast<uint32_t>(name.size()));
        std::copy(name.begin(), name.end(), frame->begin() + 48);
    }
};

TEST_F(FrameKeyChecks, OnlyTheFramesOwnKeyUnderClefs) {
    const Bytes frame = OuterFrame(MakeMessage(WithRecipients(ToBytes("secret"), "a", "", "")));
    for (const Way& way : Ways()) {
        SCOPED_TRACE(way.label);
        ASSERT_EQ(way.decrypt(frame), kNoErr);
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder_.File("out"))) {
        std::filesystem::remove(entry.path());
    }

    // A copy of the sender's key outside Clefs/, whose header names it as the frame does.
    const std::string away = "../elsewhere/dupont";
    Bytes leadingAway = frame;
    Rename(&leadingAway, away);
    testsupport::KeyFileContents awayKey = user_;
    awayKey.name = away;
    const std::string awayPath = keyFolder_ + "elsewhere/dupont." + messagetest::YearText(0);
    std::filesystem::create_directories(keyFolder_ + "elsewhere");
    ASSERT_TRUE(testsupport::WriteKeyFile(awayPath, awayKey));
    const Bytes awayBefore = ReadWholeFile(awayPath);
    for (const Way& way : Ways()) {
        SCOPED_TRACE(std::string(way.label) + ": a name leading out of Clefs/");
        EXPECT_EQ(way.decrypt(leadingAway), KeyNotFoundErr);
        EXPECT_TRUE(std::filesystem::is_empty(folder_.File("out")));
    }
    EXPECT_EQ(ReadWholeFile(awayPath), awayBefore);

    // The sender's key file holding the same material under another key's id.
    testsupport::KeyFileContents otherKey = user_;
    otherKey.id = "dupont-ie";
    ASSERT_TRUE(testsupport::WriteKeyFile(KeyPath("dupont"), otherKey));
    for (const Way& way : Ways()) {
        SCOPED_TRACE(std::string(way.label) + ": another key under the right name");
        EXPECT_EQ(way.decrypt(frame), KeyNotFoundErr);
        EXPECT_TRUE(std::filesystem::is_empty(folder_.File("out")));
    }
}

}  // namespace
