// Internal: the armour's bulk steps 32 bytes at a time with AVX2. Each kernel does what it can
// in whole steps and returns how far it got; the caller finishes byte by byte. Where AVX2 code
// cannot be built they do nothing and return 0, so callers need no conditional code. Call them
// only when HasWideBytes() answers true.
#ifndef VELDORAN_ARMOUR_BINASCIIKERNELS_H
#define VELDORAN_ARMOUR_BINASCIIKERNELS_H

#include <cstddef>

#include "armour/ByteTranslate.h"

namespace veldoran {

// Encodes eight groups of three bytes per step into 32 characters of alphabet (its 64
// characters in digit order); stops before a load would pass data + readable. Returns the
// number of groups done.
size_t EncodeGroupsWide(const unsigned char* data, size_t groups, size_t readable,
                        unsigned char* chars, const unsigned char* alphabet);

// Encodes lines whole armour lines of 45 bytes each (60 characters of alphabet), each behind
// the line end eol (eolLength characters), into out, which takes eolLength + 60 characters a
// line; reads no byte past data + 45 * lines. Stores in *fold the exclusive or of every byte of
// those lines. Returns the number of lines done (all, or none).
size_t EncodeLinesWide(const unsigned char* data, size_t lines, const char* eol, size_t eolLength,
                       unsigned char* out, const unsigned char* alphabet, unsigned char* fold);

// Copies the bytes of text[0, count) that isAlphabet (256 entries, 1 or 0) marks to out, which
// has room for count bytes, as long as 32 bytes can be read. Returns the number of characters
// written and stores in *consumed how much of the text it went through.
size_t GatherAlphabetWide(const unsigned char* text, size_t count, unsigned char* out,
                          size_t* consumed, const unsigned char* isAlphabet);

// Packs eight groups of four digit values per step into 24 bytes (32 stored, so 8 bytes of room
// must follow within room). Returns the number of groups done.
size_t PackGroupsWide(const unsigned char* digits, size_t groups, unsigned char* output,
                      size_t room);

}  // namespace veldoran

#endif
