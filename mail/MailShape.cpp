// A mail starts with a header field, a mailbox with its first "From " separator line.
#include "mail/MailShape.h"

#include <cstring>

namespace {

// A header field name: printable characters but the colon, then the colon.
bool StartsWithField(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && i < 77 && text[i] > ' ' && text[i] < 127 && text[i] != ':') {
        ++i;
    }
    return i > 0 && i < length && text[i] == ':';
}

}  // namespace

bool veldoran::IsMailbox(const char* text, size_t length) {
    return length >= 5 && memcmp(text, "From ", 5) == 0;
}

bool veldoran::IsMail(const char* text, size_t length) {
    return StartsWithField(text, length);
}
