// Received mails read with GMime: a whole RFC 5322 mail of any MIME structure, or a mailbox of
// them ("From " separated), taken apart into its leaf parts, each decoded from its transfer
// encoding and, for text, from its charset to UTF-8. Mails come from strangers: whatever the
// input, the reader hands over what it could make out and says what it passed over.
#ifndef VELDORAN_MAIL_MAILREADER_H
#define VELDORAN_MAIL_MAILREADER_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

namespace veldoran {

// One leaf part of a mail, decoded.
struct MailPart {
    std::string content;      // the decoded bytes; a text part's as the text a reader sees
    std::string type;         // the media type in lower case, such as "text/plain"
    std::string name;         // the attachment's file name as the sender gave it ("" for none)
    bool attachment = false;  // a file sent along, not a body to read
    size_t letter = 0;        // the mail's number in a mailbox, from 1; 1 for a single mail
};

using MailPartSink = std::function<void(MailPart& part)>;
// One line on what was passed over (a part nested too deep, an unknown charset).
using MailNoticeSink = std::function<void(const std::string& notice)>;

// The parts deeper than this many nested multiparts and attached messages are passed over.
constexpr int kDeepestPart = 128;

// Reads the mail or mailbox in *bytes (taken over and released here, so that the input is held
// once) and hands each leaf part to sink, in the order of the mail: a text/html part only where
// no text/plain part stands beside it in a multipart/alternative. Flowed text is unflowed and
// HTML reduced to its text. Returns the number of mails read (0 when nothing could be made of
// the input).
size_t ReadMail(std::string* bytes, const MailPartSink& sink, const MailNoticeSink& notice);

// The same for the regular file open at fd (taken over and closed here): it is mapped, so that
// its bytes are read from the file cache and never copied whole.
size_t ReadMailFile(int fd, const MailPartSink& sink, const MailNoticeSink& notice);

}  // namespace veldoran

#endif
