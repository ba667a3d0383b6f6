// The words that name a letter's sender above it when a mail holds several: the key that
// decrypted it, taken from its frame, and the key comment line above the armour only where that
// line names the same key. The comment line is the mail's text, which anyone can edit; the frame
// names the key file whose material took the letter apart.
#ifndef VELDORAN_SHELL_TOOL_TOOLSENDERLINE_H
#define VELDORAN_SHELL_TOOL_TOOLSENDERLINE_H

#include <stddef.h>

#include <string>

namespace tool {

// For the armour text of a letter that decrypted (length bytes at armour), and the key comment
// line found above it ("" for none): the comment line itself when it names the frame's key; else
// "key <key file name>" and, in brackets, what the comment line says or that there is none. Escaped
// for a terminal.
std::string SenderWords(const char* armour, size_t length, const std::string& comment);

}  // namespace tool

#endif
