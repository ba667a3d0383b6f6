// The layout of a message before encryption: the document, then the recipient block
// "#DESTBEGIN#" to "," cc "," bcc "#DESTEND#", then any parameter text. Decryption cuts the
// document at the first block start, so a document may not hold one itself.
#ifndef VELDORAN_ARMOUR_MESSAGELAYOUT_H
#define VELDORAN_ARMOUR_MESSAGELAYOUT_H

#include <stdint.h>

namespace veldoran {

inline constexpr char kRecipientBlockStart[] = "#DESTBEGIN#";
inline constexpr char kRecipientBlockEnd[] = "#DESTEND#";

// Bytes of the recipient block for these recipient texts (a null text counts as empty).
uint64_t RecipientBlockLength(const char* to, const char* cc, const char* bcc);

}  // namespace veldoran

#endif
