// The two text forms of a mail body that a MIME library leaves as they are and that hide an
// armour's lines from the reader: a format=flowed body (RFC 3676), whose long lines the sender
// broke and space-stuffed, and an HTML body, whose armour lines sit between tags made of armour
// letters. Both give the plain text a person would read.
#ifndef VELDORAN_MAIL_MAILTEXT_H
#define VELDORAN_MAIL_MAILTEXT_H

#include <string>

namespace veldoran {

// A format=flowed body as fixed lines, each ending with "\n": a line ending with a space is
// joined with the next one of the same quote depth (its trailing space dropped too when delSp),
// the stuffing space behind the quote marks is removed, and the signature separator "-- "
// stays a line of its own. Quote marks are kept as ">" runs followed by one space.
std::string UnflowText(const std::string& text, bool delSp);

// The text of an HTML body: tags dropped, <br>, <p>, <div>, <tr>, <li> and headings ending a
// line, comments and the content of <script> and <style> dropped, character references (named
// ones of the markup's own letters and spaces, decimal and hexadecimal ones) decoded to UTF-8.
std::string HtmlToText(const std::string& html);

// Letters are encrypted in the text form the system's documents have, Windows-1252; mails
// carry UTF-8. A UTF-8 letter in Windows-1252, its CR LF and LF line ends kept: true, or false
// with *refused the first character that Windows-1252 lacks (as "U+XXXX"). A text that is not
// UTF-8 is taken to be Windows-1252 already and stays as it is.
bool Utf8ToWindows1252(const std::string& text, std::string* out, std::string* refused);

// A decrypted document for a UTF-8 reader: valid UTF-8 stays as it is (a document written in
// UTF-8, or plain ASCII), anything else is read as Windows-1252 and converted.
std::string DocumentForReading(const std::string& document);

// Whether text is well-formed UTF-8 (no overlong form, no surrogate, nothing past U+10FFFF).
bool IsUtf8(const std::string& text);

}  // namespace veldoran

#endif
