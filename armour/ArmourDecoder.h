// Internal: the armour's reader, fed the text between the two marker lines in pieces of any
// size. Characters outside the alphabet are dropped (line ends, indents, what a mail system
// adds); the first eight alphabet characters are the length field, the last eight the
// checksum field, the rest four-character groups. The whole-block ASCIIToBin and the streaming
// file pipelines both read through it, so the two can never differ.
#ifndef VELDORAN_ARMOUR_ARMOURDECODER_H
#define VELDORAN_ARMOUR_ARMOURDECODER_H

#include <cstddef>
#include <cstdint>

class TypUtils;

namespace veldoran {

class ArmourDecoder {
  public:
    // Room Put needs in front of its output for count text bytes.
    static size_t MaxPutLength(size_t count) { return count / 4 * 3 + 12; }

    // utils (not owned) reads the number fields.
    explicit ArmourDecoder(TypUtils* utils);

    // Decodes the next count bytes of the text into out (room for MaxPutLength(count) bytes,
    // or for what the length field still asks for when that is less); returns how many bytes
    // it stored. The last eight alphabet characters seen are
    // held back (they may be the checksum field), and no more bytes are stored in all than
    // the length field asks for.
    size_t Put(const unsigned char* text, size_t count, unsigned char* out);
    // Whether the length field has been read, and its value.
    bool LengthKnown() const { return lengthKnown_; }
    uint32_t DataLength() const { return dataLength_; }
    // Bytes stored so far.
    uint64_t Stored() const { return stored_; }
    // After the whole text: 0 when the groups gave every byte the length field asks for and
    // their checksum matches the checksum field; -3 (kCRCErr) when it does not match; -4
    // (kPbErr) when fewer than 16 alphabet characters were seen or the groups fall short.
    int32_t Finish() const;

  private:
    TypUtils* utils_;
    // Digit values not yet decoded: the held-back characters and an incomplete group.
    unsigned char pending_[16] = {};
    size_t pendingCount_ = 0;
    bool lengthKnown_ = false;
    uint32_t dataLength_ = 0;
    uint64_t alphabetChars_ = 0;
    uint64_t stored_ = 0;
    unsigned char checksum_ = 0;
    bool wide_;
};

}  // namespace veldoran

#endif
