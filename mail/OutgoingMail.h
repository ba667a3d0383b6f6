// A mail as a client hands it to its sendmail, taken apart for encryption and written again
// around what the encryption made, with GMime's parser and writer. The letter is the text/plain
// body; every other part is a file to send along, but the other renderings of that body (the
// text/html of a multipart/alternative), which are dropped. A mail that cannot leave with
// nothing in clear is refused, with the reason in one line.
#ifndef VELDORAN_MAIL_OUTGOINGMAIL_H
#define VELDORAN_MAIL_OUTGOINGMAIL_H

#include <memory>
#include <string>
#include <vector>

namespace veldoran {

// A file sent along, decoded from its transfer encoding, under the name its sender gave it
// ("" for none).
struct OutgoingFile {
    std::string name;
    std::string type;  // the media type in lower case
    std::string content;
};

class OutgoingMail {
  public:
    OutgoingMail() = default;
    virtual ~OutgoingMail() = default;
    OutgoingMail(const OutgoingMail&) = delete;
    OutgoingMail& operator=(const OutgoingMail&) = delete;

    // Reads the mail in *bytes (released here, so that the mail is held once). Empty when the
    // mail can be sent encrypted, else why not.
    virtual std::string Read(std::string* bytes) = 0;

    // The letter as UTF-8 text with "\n" line ends, format=flowed lines joined; "" for a mail
    // without a text body.
    const std::string& Letter() const { return letter_; }
    std::vector<OutgoingFile>& Files() { return files_; }
    // The addresses of To and of Cc, each list joined by "; " (a comma would split the
    // recipient block's fields).
    const std::string& To() const { return to_; }
    const std::string& Cc() const { return cc_; }
    // The Subject decoded to UTF-8 ("" for none).
    const std::string& Subject() const { return subject_; }

    // The mail as it leaves: every header field as it came but Bcc and Resent-Bcc, in any case
    // (kept only when keepBcc, for a sendmail that reads the recipients from the header and
    // drops them itself) and the content fields; the body the armour as text/plain, and, when vlb
    // is not empty, the encrypted attachments beside it as "attachments.vlb" in base64. hideSubject
    // writes the Subject as
    // "...". Lines end with "\n", as a sendmail command takes them.
    virtual std::string Write(const std::string& armour, const std::string& vlb, bool hideSubject,
                              bool keepBcc) = 0;

  protected:
    std::string letter_;
    std::vector<OutgoingFile> files_;
    std::string to_, cc_, subject_;
};

// The one on GMime's parser and writer.
std::unique_ptr<OutgoingMail> NewOutgoingMail();

}  // namespace veldoran

#endif
