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

}  // namespace veldoran

#endif
