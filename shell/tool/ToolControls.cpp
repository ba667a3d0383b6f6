// Which bytes of a charset are C1 controls is asked of iconv once per charset: each byte above
// 0x7F alone is converted to a code point, and a byte that comes out in U+0080 to U+009F, or
// that the charset does not assign, is a control. A lead byte of a multi-byte charset converts
// to nothing yet and is text.
#include "shell/tool/ToolControls.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <strings.h>

#include "veldoran.h"

namespace tool {

namespace {

constexpr unsigned char kUtf8C1Lead = 0xc2;

bool IsUtf8(const std::string& charset) {
    return strcasecmp(charset.c_str(), "UTF-8") == 0 || strcasecmp(charset.c_str(), "UTF8") == 0;
}

bool IsC1(uint32_t code) {
    return code >= 0x80 && code <= 0x9f;
}

// Whether byte alone, in the charset convert reads, is a C1 control or stands for nothing.
bool IsControlByte(iconv_t convert, unsigned char byte) {
    iconv(convert, nullptr, nullptr, nullptr, nullptr);
    char in[1] = {static_cast<char>(byte)};
    unsigned char out[8] = {};
    char* inAt = in;
    char* outAt = reinterpret_cast<char*>(out);
    size_t inLeft = sizeof in;
    size_t outLeft = sizeof out;
    if (iconv(convert, &inAt, &inLeft, &outAt, &outLeft) == static_cast<size_t>(-1)) {
        return errno == EILSEQ;
    }
    if (sizeof out - outLeft < 4) {
        return false;
    }
    const uint32_t code = (static_cast<uint32_t>(out[0]) << 24) |
                          (static_cast<uint32_t>(out[1]) << 16) |
                          (static_cast<uint32_t>(out[2]) << 8) | out[3];
    return IsC1(code);
}

}  // namespace

TerminalControls::TerminalControls(const std::string& charset) : utf8_(IsUtf8(charset)) {
    for (unsigned byte = 0; byte < 0x20; ++byte) {
        control_[byte] = true;
    }
    control_[0x7f] = true;
    if (utf8_) {
        return;
    }
    const iconv_t convert = iconv_open("UTF-32BE", charset.c_str());
    if (convert == reinterpret_cast<iconv_t>(-1)) {
        return;
    }
    for (unsigned byte = 0x80; byte < 0x100; ++byte) {
        control_[byte] = IsControlByte(convert, static_cast<unsigned char>(byte));
    }
    iconv_close(convert);
}

size_t TerminalControls::At(const unsigned char* data, size_t count) const {
    if (control_[*data]) {
        return 1;
    }
    if (!utf8_ || *data != kUtf8C1Lead) {
        return 0;
    }
    if (count < 2) {
        return kCut;
    }
    return IsC1(data[1]) ? 2 : 0;
}

bool TerminalControls::AnyIn(const std::string& text) const {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t length = At(data + i, text.size() - i);
        if (length != 0 && length != kCut) {
            return true;
        }
    }
    return false;
}

const TerminalControls& LocaleControls() {
    static const TerminalControls controls(veldoran::LocaleCharset());
    return controls;
}

}  // namespace tool
