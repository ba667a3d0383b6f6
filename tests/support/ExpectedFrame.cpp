// Encrypted frames worked out from key descriptions and key file bytes, for the tests.
#include "support/ExpectedFrame.h"

namespace testsupport {

namespace {

// Where the key header keeps the fields a frame changes (the stored layout).
constexpr size_t kKeyOffsetAt = 92;
constexpr size_t kUseCountAt = 96;

}  // namespace

std::vector<unsigned char> ExpectedFrame(const KeyFileContents& key, int32_t start,
                                         int32_t useCount, const std::vector<unsigned char>& data) {
    KeyFileContents recorded = key;
    recorded.keyOffset = start;
    recorded.useCount = useCount;
    std::vector<unsigned char> frame = EncodeKeyHeader(recorded);
    const size_t keyLen = key.material.size();
    frame.reserve(frame.size() + data.size());
    for (size_t j = 0; j < data.size(); ++j) {
        frame.push_back(data[j] ^ key.material[(static_cast<size_t>(start) + j) % keyLen]);
    }
    return frame;
}

std::vector<unsigned char> ExpectedFrameFromKeyFile(const std::vector<unsigned char>& keyFile,
                                                    const std::vector<unsigned char>& data) {
    std::vector<unsigned char> frame(keyFile.begin(), keyFile.begin() + kKeyHeaderBytes);
    PutBigEndian32(&frame[kUseCountAt], GetBigEndian32(&keyFile[kUseCountAt]) + 1);
    const size_t start = GetBigEndian32(&keyFile[kKeyOffsetAt]);
    const size_t keyLen = keyFile.size() - kKeyHeaderBytes;
    frame.reserve(frame.size() + data.size());
    for (size_t j = 0; j < data.size(); ++j) {
        frame.push_back(data[j] ^ keyFile[kKeyHeaderBytes + (start + j) % keyLen]);
    }
    return frame;
}

}  // namespace testsupport
