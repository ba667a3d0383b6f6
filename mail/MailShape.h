// Tells a received text's shape from its first bytes: a mailbox, a whole mail, or neither (a
// bare message). Needs no MIME library, so that the tool can decide before it loads one.
#ifndef VELDORAN_MAIL_MAILSHAPE_H
#define VELDORAN_MAIL_MAILSHAPE_H

#include <stddef.h>

namespace veldoran {

// How much of a text its shape is judged from: a header block still going on this far is
// taken as a mail's, however long it is.
constexpr size_t kShapeLook = size_t{64} << 10;

// Where a saved mail or mailbox begins in text: past a byte order mark and empty lines, which
// some clients and editors put in front of what they save.
size_t MailStart(const char* text, size_t length);

// Whether text (from its first byte) begins as a mailbox ("From " line) or as a mail rather
// than as a bare message. A mail is judged by its header block as a whole: every line up to the
// first empty one (or up to kShapeLook) a header field or the folded rest of one, so that a bare
// message under a line such as "Re: figures" is not taken for a mail.
bool IsMailbox(const char* text, size_t length);
bool IsMail(const char* text, size_t length);

// Whether a received text is a mail or a mailbox, past what MailStart passes over.
bool IsReceivedMail(const char* text, size_t length);

}  // namespace veldoran

#endif
