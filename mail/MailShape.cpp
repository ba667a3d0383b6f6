// A mailbox starts with its first "From " separator line, a mail with a block of header fields.
#include "mail/MailShape.h"

#include <cstring>

namespace {

// Whether line (without its line end) is a header field: a name of printable characters but
// the colon, then the colon.
bool IsFieldLine(const char* line, size_t length) {
    size_t i = 0;
    while (i < length && line[i] > ' ' && line[i] < 127 && line[i] != ':') {
        ++i;
    }
    return i > 0 && i < length && line[i] == ':';
}

}  // namespace

size_t veldoran::MailStart(const char* text, size_t length) {
    static const char kByteOrderMark[] = "\xEF\xBB\xBF";
    size_t at = length >= 3 && memcmp(text, kByteOrderMark, 3) == 0 ? 3 : 0;
    for (;;) {
        if (at < length && text[at] == '\n') {
            at += 1;
        } else if (at + 1 < length && text[at] == '\r' && text[at + 1] == '\n') {
            at += 2;
        } else {
            return at;
        }
    }
}

bool veldoran::IsMailbox(const char* text, size_t length) {
    return length >= 5 && memcmp(text, "From ", 5) == 0;
}

bool veldoran::IsMail(const char* text, size_t length) {
    const size_t look = length < kShapeLook ? length : kShapeLook;
    size_t fields = 0;
    size_t at = 0;
    while (at < look) {
        const auto* newline = static_cast<const char*>(memchr(text + at, '\n', look - at));
        if (newline == nullptr && look < length) {
            break;  // a line cut by the look is not judged
        }
        size_t end = newline == nullptr ? look : static_cast<size_t>(newline - text);
        const size_t next = end + 1;
        end = end > at && text[end - 1] == '\r' ? end - 1 : end;
        if (end == at) {
            break;  // the empty line that ends the header block
        }
        const bool folded = text[at] == ' ' || text[at] == '\t';
        if (folded ? fields == 0 : !IsFieldLine(text + at, end - at)) {
            return false;
        }
        fields += folded ? 0 : 1;
        at = next;
    }
    return fields > 0;
}

bool veldoran::IsReceivedMail(const char* text, size_t length) {
    const size_t start = MailStart(text, length);
    return IsMailbox(text + start, length - start) || IsMail(text + start, length - start);
}
