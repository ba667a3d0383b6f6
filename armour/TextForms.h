// Internal: the text filter applied to a piece of text, for the streaming text pipelines. The
// way back serves the streaming decryption, and FiltrerTexteInverse makes its new block with
// the same function; the way in is FiltrerTexte's own, so that the two can never differ.
#ifndef VELDORAN_ARMOUR_TEXTFORMS_H
#define VELDORAN_ARMOUR_TEXTFORMS_H

#include <cstddef>

namespace veldoran {

// destination[i] = the local form of interchange byte source[i], a CR becoming lineEnd (a
// one-character line end). source and destination may be the same.
void ToLocalForm(const unsigned char* source, unsigned char* destination, size_t count,
                 unsigned char lineEnd);

// text[i] = the interchange form of text[i], as FiltrerTexte makes it. Returns the position of
// the first converted byte equal to sought, or count when there is none: the encryption looks
// for the recipient marker only from there, in the same pass over the chunk.
size_t ToInterchangeForm(unsigned char* text, size_t count, unsigned char sought);

// How a local byte fares through the interchange form and back to LF line ends.
enum class LocalByteTravel {
    kItself,    // it comes back as itself
    kByDesign,  // it comes back changed, as the form means it to: ’ as an apostrophe, a CR as
                // a line end
    kAnother,   // it holds the interchange value of an accented letter and comes back as that
                // letter: the form cannot carry it
};
LocalByteTravel HowLocalByteTravels(unsigned char local);

// The local byte that local comes back as.
unsigned char LocalByteAfterTravel(unsigned char local);

}  // namespace veldoran

#endif
