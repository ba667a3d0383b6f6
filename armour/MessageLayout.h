// The layout of a message before encryption: the document, then the recipient block
// "#DESTBEGIN#" to "," cc "," bcc "#DESTEND#", then any parameter text. Decryption cuts the
// document at the first block start, so a document may not hold one itself. The block escapes
// nothing: a reader takes its lists up to the first end marker behind the start, and Cc and Bcc
// as the last two comma-separated fields among them, so that only To may hold a comma.
#ifndef VELDORAN_ARMOUR_MESSAGELAYOUT_H
#define VELDORAN_ARMOUR_MESSAGELAYOUT_H

#include <stdint.h>

#include <string>

namespace veldoran {

inline constexpr char kRecipientBlockStart[] = "#DESTBEGIN#";
inline constexpr char kRecipientBlockEnd[] = "#DESTEND#";

// Bytes of the recipient block for these recipient texts (a null text counts as empty).
uint64_t RecipientBlockLength(const char* to, const char* cc, const char* bcc);

// A message tail as a reader takes it: the three lists and the parameter text behind the block.
struct RecipientLists {
    std::string to, cc, bcc;
    std::string parameters;
};

enum class RecipientBlockShape {
    kNone,        // the tail does not begin with a block that ends
    kOneList,     // fewer than two commas: the whole text between the markers is in to
    kThreeLists,  // to, cc and bcc
};

// Reads a message tail (as decryption hands it over, from the block's start on) into *lists.
RecipientBlockShape ReadRecipientBlock(const std::string& tail, RecipientLists* lists);

// Which list a recipient block could not carry, and why.
struct RecipientListFault {
    const char* list = "";  // "to", "cc" or "bcc"; "" when the three read back as written
    std::string why;
};

// Whether to, cc and bcc, written into a block, read back as they were written; when not, the
// first list at fault: one holding (or making with the marker beside it) the end marker, or a
// comma in cc or bcc.
RecipientListFault CheckRecipientLists(const std::string& to, const std::string& cc,
                                       const std::string& bcc);

}  // namespace veldoran

#endif
