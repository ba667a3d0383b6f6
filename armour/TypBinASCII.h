// The printable armour: any byte block as lines of 60 characters from a 64-character alphabet,
// with the data length and a checksum inside, between "#BINASCII1#" and "#ENDBINASCII1#" lines.
// Reading is lenient about what a mail system adds (any character outside the alphabet is
// dropped) and strict about the content (length and checksum must agree).
#ifndef VELDORAN_ARMOUR_TYPBINASCII_H
#define VELDORAN_ARMOUR_TYPBINASCII_H

#include <stddef.h>
#include <stdint.h>

#include "platform/TypUtils.h"

// The armour alphabet, digit values 0 to 63 in order. Its first sixteen characters are the
// digits of the hexadecimal number fields. Not Base64: no O, W, g, n or o, and seven symbols.
inline constexpr char kSafe[] = "0123456789ABCDEFGHIJKLMNPQRSTUVXYZabcdefhijklmpqrstuvwxyz$*+-()!";

namespace veldoran {
namespace armour {

// The lines an armour starts and ends with, each followed by a line end.
inline constexpr char kStartMarker[] = "#BINASCII1#";
inline constexpr char kEndMarker[] = "#ENDBINASCII1#";

}  // namespace armour

// Characters BinToASCII writes for dataLength bytes when a line end has eolLength characters:
// both marker lines, the length and checksum fields, four characters per three bytes and a
// line end after every 60 characters.
uint64_t ArmouredLength(uint64_t dataLength, size_t eolLength);

}  // namespace veldoran

class TypBinASCII {
  public:
    TypBinASCII() = default;
    TypBinASCII(const TypBinASCII&) = delete;
    TypBinASCII& operator=(const TypBinASCII&) = delete;

    // The virtual slot order is part of the design: do not reorder.

    // Keeps the utility object (not owned) through which every block is allocated; kNoErr.
    virtual int32_t InitCreate(TypUtils* theUtils);
    // Armours length bytes of data into a new block handed to the caller (*out, *outLength),
    // who releases it with MyDisposeptr. kNoErr, or kMemErr with *out null and nothing
    // allocated when the block cannot be had (or the text would exceed 4 GiB).
    virtual int32_t BinToASCII(const unsigned char* data, uint32_t length, unsigned char** out,
                               uint32_t* outLength);
    // Decodes the first armour found anywhere in text[0, length); never reads outside it.
    // *out is null on every failure except kCRCErr.
    //   kNoErr   the decoded block is in *out / *outLength, owned by the caller;
    //   kCRCErr  the checksum differs: the decoded block is still handed over (caller frees);
    //   kPbErr   a marker is missing or misplaced, fewer than 16 alphabet characters stand
    //            between them, or the length field asks for more bytes than the data groups
    //            hold (then *outLength holds the length field);
    //   kMemErr  a block cannot be allocated; nothing is left allocated.
    virtual int32_t ASCIIToBin(const unsigned char* text, uint32_t length, unsigned char** out,
                               uint32_t* outLength);
    // Does nothing; kNoErr.
    virtual int32_t Kill();

    virtual ~TypBinASCII() = default;

  private:
    TypUtils* utils = nullptr;
};

#endif
