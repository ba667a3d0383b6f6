// Encrypted frames worked out by the tests themselves, independently of the library's cipher:
// what a key gives for some data, to compare the library's frames with byte for byte.
#ifndef VELDORAN_TESTS_SUPPORT_EXPECTEDFRAME_H
#define VELDORAN_TESTS_SUPPORT_EXPECTEDFRAME_H

#include <cstdint>
#include <vector>

#include "support/KeyFileWriter.h"

namespace testsupport {

// The key header as the frame records it (position start, use count useCount, every other
// field as key describes it), then data XOR the key material read cyclically from start.
std::vector<unsigned char> ExpectedFrame(const KeyFileContents& key, int32_t start,
                                         int32_t useCount, const std::vector<unsigned char>& data);

// The frame a key file gives for data, from the key file's own bytes: its header as stored but
// with the use count raised by this encryption, then data XOR the key material read cyclically
// from the stored position on.
std::vector<unsigned char> ExpectedFrameFromKeyFile(const std::vector<unsigned char>& keyFile,
                                                    const std::vector<unsigned char>& data);

}  // namespace testsupport

#endif
