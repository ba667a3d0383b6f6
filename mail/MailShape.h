// Tells a received text's shape from its first bytes: a mailbox, a whole mail, or neither (a
// bare message). Needs no MIME library, so that the tool can decide before it loads one.
#ifndef VELDORAN_MAIL_MAILSHAPE_H
#define VELDORAN_MAIL_MAILSHAPE_H

#include <stddef.h>

namespace veldoran {

// Whether text begins as a mailbox ("From " line) or as a mail (a header field line) rather
// than as a bare message, whose first line is a key comment or the armour.
bool IsMailbox(const char* text, size_t length);
bool IsMail(const char* text, size_t length);

}  // namespace veldoran

#endif
