// The armour's reader: alphabet characters gathered a cache-sized piece at a time, turned into
// digit values and packed into bytes, with the two number fields taken off its ends.
#include "armour/ArmourDecoder.h"

#include <cstring>

#include "armour/ArmourFormat.h"
#include "armour/BinASCIIKernels.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

namespace veldoran {

namespace {

using namespace armour;

constexpr size_t kPiece = 4096;

// Copies the alphabet characters of text[0, count) to out; returns how many.
size_t GatherAlphabet(const unsigned char* text, size_t count, unsigned char* out, bool wide) {
    size_t i = 0;
    size_t j = wide ? GatherAlphabetWide(text, count, out, &i, kIsAlphabet.data()) : 0;
    for (; i < count; ++i) {
        const unsigned char c = text[i];
        out[j] = c;
        j += kIsAlphabet[c];
    }
    return j;
}

// Packs complete groups of digit values into output, storing at most limit bytes. Returns the
// number of bytes stored.
size_t PackGroups(const unsigned char* digits, size_t groups, unsigned char* output, size_t limit,
                  bool wide) {
    size_t g = wide ? PackGroupsWide(digits, groups, output, limit) : 0;
    size_t stored = kGroupBytes * g;
    for (; g < groups && stored < limit; ++g) {
        const unsigned char* d = digits + kGroupChars * g;
        const uint32_t group = uint32_t{d[0]} | (uint32_t{d[1]} << 6) | (uint32_t{d[2]} << 12) |
                               (uint32_t{d[3]} << 18);
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        // Only the bytes the length field asks for are kept from the last group.
        const size_t keep = limit - stored < kGroupBytes ? limit - stored : kGroupBytes;
        memcpy(output + stored, bytes, keep);
        stored += keep;
    }
    return stored;
}

// The value of a number field from its eight characters.
uint32_t FieldValue(TypUtils* utils, const unsigned char* chars) {
    const unsigned char* cursor = chars;
    return utils->PopHexaFromAddress(&cursor);
}

}  // namespace

ArmourDecoder::ArmourDecoder(TypUtils* utils) : utils_(utils), wide_(HasWideBytes()) {}

size_t ArmourDecoder::Put(const unsigned char* text, size_t count, unsigned char* out) {
    // Room for what is pending in front of a gathered piece.
    unsigned char chars[kPiece + sizeof pending_];
    size_t storedHere = 0;
    for (size_t done = 0; done < count;) {
        const size_t take = count - done < kPiece ? count - done : kPiece;
        memcpy(chars, pending_, pendingCount_);
        const size_t gathered = GatherAlphabet(text + done, take, chars + pendingCount_, wide_);
        done += take;
        alphabetChars_ += gathered;
        size_t have = pendingCount_ + gathered;
        size_t first = 0;
        if (!lengthKnown_ && have >= kFieldChars) {
            // The length field is read as characters, the groups as digit values.
            dataLength_ = FieldValue(utils_, chars);
            lengthKnown_ = true;
            first = kFieldChars;
        }
        if (lengthKnown_ && have - first > kFieldChars) {
            const size_t groups = (have - first - kFieldChars) / kGroupChars;
            unsigned char* digits = chars + first;
            TranslateBytes(kCharToDigit, kCharToDigitRows, digits, digits, groups * kGroupChars);
            const uint64_t limit = dataLength_ - stored_;
            const size_t stored = PackGroups(
                digits, groups, out + storedHere,
                limit < groups * kGroupBytes ? static_cast<size_t>(limit) : groups * kGroupBytes,
                wide_);
            checksum_ = FoldChecksum(checksum_, out + storedHere, stored);
            storedHere += stored;
            stored_ += stored;
            first += groups * kGroupChars;
        }
        pendingCount_ = have - first;
        memcpy(pending_, chars + first, pendingCount_);
    }
    return storedHere;
}

int32_t ArmourDecoder::Finish() const {
    if (alphabetChars_ < 2 * kFieldChars) {
        return kPbErr;
    }
    // The groups must supply every byte the length field announces.
    const uint64_t dataChars = alphabetChars_ - 2 * kFieldChars;
    if (dataLength_ > kGroupBytes * (dataChars / kGroupChars)) {
        return kPbErr;
    }
    const uint32_t expected = FieldValue(utils_, pending_ + pendingCount_ - kFieldChars);
    return FinalChecksum(checksum_) == expected ? kNoErr : kCRCErr;
}

}  // namespace veldoran
