// Bytes as lowercase hexadecimal text, so that a digest or a record is compared with an
// expectation written the way its source publishes it.
#ifndef VELDORAN_TESTS_SUPPORT_HEXTEXT_H
#define VELDORAN_TESTS_SUPPORT_HEXTEXT_H

#include <stddef.h>

#include <string>

namespace testsupport {

inline std::string Hex(const unsigned char* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t k = 0; k < count; ++k) {
        text += kDigits[bytes[k] >> 4];
        text += kDigits[bytes[k] & 15];
    }
    return text;
}

}  // namespace testsupport

#endif
