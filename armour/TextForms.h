// Internal: the text filter's way back applied to a piece of text, for the streaming text
// decryption; FiltrerTexteInverse makes its new block with the same function, so that the two
// can never differ.
#ifndef VELDORAN_ARMOUR_TEXTFORMS_H
#define VELDORAN_ARMOUR_TEXTFORMS_H

#include <cstddef>

namespace veldoran {

// destination[i] = the local form of interchange byte source[i], a CR becoming lineEnd (a
// one-character line end). source and destination may be the same.
void ToLocalForm(const unsigned char* source, unsigned char* destination, size_t count,
                 unsigned char lineEnd);

}  // namespace veldoran

#endif
