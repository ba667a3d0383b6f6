// Internal: finds the armour in a message file that arrives in pieces and decodes it on the
// way. The armour is the text between the first start marker line and the first end marker
// behind it; anything around it (the key comment lines, a mail's headers and quoting) is
// passed over. The bytes that may still be the beginning of the end marker are held back until
// the next piece shows what they are, so no text of a marker ever reaches the decoder.
#ifndef VELDORAN_ARMOUR_ARMOURFINDER_H
#define VELDORAN_ARMOUR_ARMOURFINDER_H

#include <cstddef>
#include <cstdint>

#include "armour/ArmourDecoder.h"
#include "armour/ArmourFormat.h"
#include "armour/StreamSearch.h"

class TypUtils;

namespace veldoran {

class ArmourFinder {
  public:
    // Bytes of the text that may still be the beginning of the end marker.
    static constexpr size_t kHeldText = armour::kEndMarkerLength - 1;

    // Room Feed needs in its output for count bytes of text.
    static size_t MaxFeedLength(size_t count) {
        return ArmourDecoder::MaxPutLength(kHeldText) + ArmourDecoder::MaxPutLength(count);
    }

    // utils (not owned) reads the armour's number fields.
    explicit ArmourFinder(TypUtils* utils) : decoder_(utils) {}

    // Looks at the next count bytes of the file and decodes what of them is armour into out
    // (room for MaxFeedLength(count) bytes); returns how many bytes it stored. Once Ended(),
    // the rest of the file is not looked at and nothing more is stored.
    size_t Feed(const unsigned char* text, size_t count, unsigned char* out);

    // Whether the reader may stop: an end marker was seen, behind a start marker or not.
    bool Ended() const { return ended_; }
    // Whether that end marker closes an armour, with a start marker in front of it.
    bool Found() const { return found_; }
    // Whether the armour's length field has been read, and its value.
    bool LengthKnown() const { return decoder_.LengthKnown(); }
    uint32_t DataLength() const { return decoder_.DataLength(); }
    // Stream positions of the first start marker and of the first end marker, -1 until seen:
    // where a reader that looks for more than one armour goes on.
    int64_t StartMarkerAt() const { return start_.found(); }
    int64_t EndMarkerAt() const { return end_.found(); }
    // After the file: 0 when a whole armour was found and is sound; -3 (kCRCErr) when its
    // checksum differs from its content; -4 (kPbErr) when no start marker comes before the
    // first end marker, either is missing, or the armour falls short of its length field.
    int32_t Finish() const;

  private:
    ArmourDecoder decoder_;
    StreamSearch start_{armour::kStartMarker};
    StreamSearch end_{armour::kEndMarker};
    // The last kHeldText bytes before position_ (fewer at the file's first bytes).
    unsigned char held_[kHeldText] = {};
    uint64_t position_ = 0;
    // Stream position up to which the armour's text went to the decoder.
    uint64_t bodyDone_ = 0;
    bool ended_ = false;
    bool found_ = false;
};

}  // namespace veldoran

#endif
