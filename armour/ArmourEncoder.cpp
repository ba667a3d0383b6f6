// The armour's writer: groups encoded a run at a time into a buffer that stays in the
// first-level cache, then copied out as 60-character lines.
#include "armour/ArmourEncoder.h"

#include <cstring>

#include "armour/ArmourFormat.h"
#include "armour/BinASCIIKernels.h"
#include "platform/TypUtils.h"

namespace veldoran {

namespace {

using namespace armour;

constexpr size_t kRunGroups = 240;
constexpr size_t kLineGroups = kCharsPerLine / kGroupChars;

inline void EncodeGroup(uint32_t group, unsigned char* chars) {
    // Lowest six bits first.
    chars[0] = kDigitToChar[group & 63];
    chars[1] = kDigitToChar[(group >> 6) & 63];
    chars[2] = kDigitToChar[(group >> 12) & 63];
    chars[3] = kDigitToChar[group >> 18];
}

// Four characters for each of groups full groups of three bytes; readable (at least
// 3 * groups) bytes may be read from data.
void EncodeGroups(const unsigned char* data, size_t groups, size_t readable, unsigned char* chars,
                  bool wide) {
    size_t g = wide ? EncodeGroupsWide(data, groups, readable, chars, kDigitToChar.data()) : 0;
    for (; g < groups; ++g) {
        const unsigned char* in = data + kGroupBytes * g;
        EncodeGroup((uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2],
                    chars + kGroupChars * g);
    }
}

}  // namespace

ArmourEncoder::ArmourEncoder(TypUtils* utils, const char* eol)
    : utils_(utils), eol_(eol), eolLength_(strlen(eol)), wide_(HasWideBytes()) {}

size_t ArmourEncoder::MaxPutLength(size_t count) const {
    const size_t chars = kGroupChars * ((count + 2) / kGroupBytes);
    return chars + eolLength_ * (chars / kCharsPerLine + 1);
}

size_t ArmourEncoder::MaxEdgeLength() const {
    return kStartMarkerLength + kEndMarkerLength + kGroupChars + 2 * kFieldChars + 6 * eolLength_;
}

size_t ArmourEncoder::PutChars(const unsigned char* chars, size_t count, unsigned char* out) {
    // The line end goes in front of a character only when the line is full, so the text never
    // ends with one.
    unsigned char* cursor = out;
    while (count > 0) {
        if (onLine_ == kCharsPerLine) {
            memcpy(cursor, eol_, eolLength_);
            cursor += eolLength_;
            onLine_ = 0;
        }
        const size_t take = count < kCharsPerLine - onLine_ ? count : kCharsPerLine - onLine_;
        memcpy(cursor, chars, take);
        cursor += take;
        chars += take;
        onLine_ += take;
        count -= take;
    }
    return static_cast<size_t>(cursor - out);
}

size_t ArmourEncoder::Begin(uint32_t dataLength, unsigned char* out) {
    onLine_ = 0;
    checksum_ = 0;
    carried_ = 0;
    unsigned char* cursor = out;
    memcpy(cursor, kStartMarker, kStartMarkerLength);
    cursor += kStartMarkerLength;
    memcpy(cursor, eol_, eolLength_);
    cursor += eolLength_;
    unsigned char field[kFieldChars];
    unsigned char* fieldCursor = field;
    utils_->PushLongHexaAtAddress(dataLength, &fieldCursor);
    cursor += PutChars(field, kFieldChars, cursor);
    return static_cast<size_t>(cursor - out);
}

size_t ArmourEncoder::PutGroups(const unsigned char* data, size_t groups, size_t readable,
                                unsigned char* out) {
    unsigned char chars[kGroupChars * kRunGroups];
    unsigned char* cursor = out;
    for (size_t done = 0; done < groups;) {
        const size_t run = groups - done < kRunGroups ? groups - done : kRunGroups;
        EncodeGroups(data + kGroupBytes * done, run, readable - kGroupBytes * done, chars, wide_);
        cursor += PutChars(chars, kGroupChars * run, cursor);
        done += run;
    }
    return static_cast<size_t>(cursor - out);
}

size_t ArmourEncoder::Put(const unsigned char* data, size_t count, unsigned char* out) {
    unsigned char* cursor = out;
    const unsigned char* const first = data;
    // A group begun by the last call is completed first.
    while (carried_ > 0 && carried_ < kGroupBytes && count > 0) {
        carry_[carried_++] = *data++;
        --count;
        if (carried_ == kGroupBytes) {
            unsigned char chars[kGroupChars];
            EncodeGroup((uint32_t{carry_[0]} << 16) | (uint32_t{carry_[1]} << 8) | carry_[2],
                        chars);
            cursor += PutChars(chars, kGroupChars, cursor);
            carried_ = 0;
        }
    }
    checksum_ = FoldChecksum(checksum_, first, static_cast<size_t>(data - first));
    if (carried_ > 0) {
        // All of data went into the begun group.
        return static_cast<size_t>(cursor - out);
    }
    const size_t groups = count / kGroupBytes;
    size_t done = 0;
    // The current line is filled through the small buffer, then whole lines are encoded
    // straight into out, the checksum taken on the way; what is left goes the first way again.
    const size_t toLineEnd = (kCharsPerLine - onLine_) / kGroupChars;
    if (wide_ && groups >= toLineEnd + kLineGroups) {
        cursor += PutGroups(data, toLineEnd, count, cursor);
        checksum_ = FoldChecksum(checksum_, data, kGroupBytes * toLineEnd);
        done = toLineEnd;
        unsigned char fold = 0;
        const size_t lines =
            EncodeLinesWide(data + kGroupBytes * done, (groups - done) / kLineGroups, eol_,
                            eolLength_, cursor, kDigitToChar.data(), &fold);
        checksum_ ^= fold;
        cursor += lines * (eolLength_ + kCharsPerLine);
        done += lines * kLineGroups;
    }
    checksum_ = FoldChecksum(checksum_, data + kGroupBytes * done, count - kGroupBytes * done);
    cursor +=
        PutGroups(data + kGroupBytes * done, groups - done, count - kGroupBytes * done, cursor);
    carried_ = count - kGroupBytes * groups;
    if (carried_ > 0) {
        memcpy(carry_, data + kGroupBytes * groups, carried_);
    }
    return static_cast<size_t>(cursor - out);
}

size_t ArmourEncoder::Finish(unsigned char* out) {
    unsigned char* cursor = out;
    if (carried_ > 0) {
        // A short last group sits at the top of the 24-bit value, zero below.
        uint32_t group = uint32_t{carry_[0]} << 16;
        if (carried_ == 2) {
            group |= uint32_t{carry_[1]} << 8;
        }
        unsigned char chars[kGroupChars];
        EncodeGroup(group, chars);
        cursor += PutChars(chars, kGroupChars, cursor);
        carried_ = 0;
    }
    unsigned char field[kFieldChars];
    unsigned char* fieldCursor = field;
    utils_->PushLongHexaAtAddress(FinalChecksum(checksum_), &fieldCursor);
    cursor += PutChars(field, kFieldChars, cursor);
    memcpy(cursor, eol_, eolLength_);
    cursor += eolLength_;
    memcpy(cursor, kEndMarker, kEndMarkerLength);
    cursor += kEndMarkerLength;
    memcpy(cursor, eol_, eolLength_);
    cursor += eolLength_;
    return static_cast<size_t>(cursor - out);
}

}  // namespace veldoran
