// The whole-block encryptions that hand their result to a writer before the keys are spent
// (EncryptTextToWriter, EncryptBytesToWriter): the writer sees the very bytes crypterMem3 and
// crypterbinaireMem2 hand back, sees them while both key files are unchanged, and a writer that
// fails leaves both key files byte for byte as they were.
#include <cstdlib>
#include <string>

#include "MessageFixture.h"
#include "pipelines/BinaryPipelines.h"
#include "pipelines/TextMemory.h"

namespace {

using messagetest::Bytes;

class WriterEncryption : public messagetest::MessageTest {
  protected:
    // Both key files' bytes as they stand.
    Bytes KeysNow() const {
        Bytes both = testsupport::ReadWholeFile(KeyPath("Master"));
        const Bytes user = testsupport::ReadWholeFile(KeyPath("dupont"));
        both.insert(both.end(), user.begin(), user.end());
        return both;
    }
};

const char kDocument[] = "Dear Helene,\nthe figures.\n";

TEST_F(WriterEncryption, TextGoesToTheWriterBeforeTheKeysAreSpent) {
    std::string written;
    bool keysUntouchedWhileWriting = false;
    const veldoran::MessageWriter write = [&](const char* message, size_t length) {
        keysUntouchedWhileWriting = KeysUntouched();
        written.assign(message, length);
        EXPECT_EQ(message[length], '\0');
        return static_cast<int32_t>(kNoErr);
    };
    ASSERT_EQ(veldoran::EncryptTextToWriter(kDocument, write, "dupont", keyFolder_.c_str(), "a",
                                            "b", "c", "ref=1"),
              kNoErr);
    EXPECT_TRUE(keysUntouchedWhileWriting);
    const Bytes keysAfter = KeysNow();

    // The same run through crypterMem3 from the same keys: the same bytes, the same headers.
    RestoreKeys();
    char* message = nullptr;
    ASSERT_EQ(
        crypterMem3(kDocument, &message, "dupont", keyFolder_.c_str(), "a", "b", "c", "ref=1"),
        kNoErr);
    EXPECT_EQ(written, std::string(message));
    free(message);
    EXPECT_EQ(KeysNow(), keysAfter);
}

TEST_F(WriterEncryption, BytesGoToTheWriterBeforeTheKeysAreSpent) {
    const Bytes data = testsupport::RandomBytes(1000, 9);
    Bytes written;
    bool keysUntouchedWhileWriting = false;
    const veldoran::FrameWriter write = [&](const unsigned char* frame, uint32_t length) {
        keysUntouchedWhileWriting = KeysUntouched();
        written.assign(frame, frame + length);
        return static_cast<int32_t>(kNoErr);
    };
    ASSERT_EQ(veldoran::EncryptBytesToWriter(data.data(), static_cast<uint32_t>(data.size()), write,
                                             "dupont", keyFolder_.c_str(), 0),
              kNoErr);
    EXPECT_TRUE(keysUntouchedWhileWriting);
    const Bytes keysAfter = KeysNow();

    RestoreKeys();
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()), &frame,
                                 &frameLength, "dupont", keyFolder_.c_str(), 0),
              kNoErr);
    EXPECT_EQ(written, Bytes(frame, frame + frameLength));
    free(frame);
    EXPECT_EQ(KeysNow(), keysAfter);
}

// The writer's own code comes back and nothing is spent, for either kind of output.
TEST_F(WriterEncryption, AWriterThatFailsSpendsNothing) {
    const veldoran::MessageWriter failingText = [](const char*, size_t) {
        return static_cast<int32_t>(kOtherErr);
    };
    EXPECT_EQ(veldoran::EncryptTextToWriter(kDocument, failingText, "dupont", keyFolder_.c_str(),
                                            "", "", "", ""),
              kOtherErr);
    EXPECT_TRUE(KeysUntouched());

    const veldoran::FrameWriter failingBytes = [](const unsigned char*, uint32_t) {
        return static_cast<int32_t>(kMemErr);
    };
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(veldoran::EncryptBytesToWriter(data, sizeof data, failingBytes, "dupont",
                                             keyFolder_.c_str(), 0),
              kMemErr);
    EXPECT_TRUE(KeysUntouched());

    // No writer at all is a caller's mistake, refused before any key file is opened.
    EXPECT_EQ(veldoran::EncryptTextToWriter(kDocument, nullptr, "dupont", keyFolder_.c_str(), "",
                                            "", "", ""),
              kOtherErr);
    EXPECT_TRUE(KeysUntouched());
}

}  // namespace
