// Internal: the armour's writer, fed in pieces of any size. The whole-block BinToASCII and the
// streaming file pipelines both write through it, so the two can never differ by a byte.
#ifndef VELDORAN_ARMOUR_ARMOURENCODER_H
#define VELDORAN_ARMOUR_ARMOURENCODER_H

#include <cstddef>
#include <cstdint>

class TypUtils;

namespace veldoran {

class ArmourEncoder {
  public:
    // utils (not owned) writes the number fields; eol (not owned, one or two characters) ends
    // the lines.
    ArmourEncoder(TypUtils* utils, const char* eol);

    // Most characters Put writes for count data bytes, and Begin and Finish at most.
    size_t MaxPutLength(size_t count) const;
    size_t MaxEdgeLength() const;

    // Starts an armour of dataLength bytes: writes the start line and the length field to out
    // and returns how many characters it wrote.
    size_t Begin(uint32_t dataLength, unsigned char* out);
    // Encodes the next count data bytes (up to two are kept for the next call); returns the
    // characters written to out, at most MaxPutLength(count).
    size_t Put(const unsigned char* data, size_t count, unsigned char* out);
    // Ends the armour: the last short group, the checksum field and the end lines.
    size_t Finish(unsigned char* out);

  private:
    size_t PutChars(const unsigned char* chars, size_t count, unsigned char* out);
    // Encodes groups full groups of data (readable bytes of it may be read) through a small
    // buffer into out; returns the characters written. The checksum is left to the caller.
    size_t PutGroups(const unsigned char* data, size_t groups, size_t readable, unsigned char* out);

    TypUtils* utils_;
    const char* eol_;
    size_t eolLength_;
    bool wide_;
    size_t onLine_ = 0;
    unsigned char checksum_ = 0;
    unsigned char carry_[3] = {};
    size_t carried_ = 0;
};

}  // namespace veldoran

#endif
