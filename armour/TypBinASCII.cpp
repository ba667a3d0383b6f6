// The printable armour. Both directions make a single pass over the bulk of the data: the
// writer encodes runs of groups into a small buffer and copies them out as 60-character lines
// straight into the final block; the reader gathers the alphabet characters, chunk by chunk,
// into a small buffer, turns them into digit values and packs them into bytes, without a
// full-size intermediate copy. Every step is a table lookup; where the processor has AVX2 the
// steps run 32 characters at a time.
#include "armour/TypBinASCII.h"

#include <array>
#include <cassert>
#include <cstring>

#include "armour/ArmourEncoder.h"
#include "armour/ArmourFormat.h"
#include "armour/BinASCIIKernels.h"
#include "armour/ByteTranslate.h"
#include "platform/ResultCodes.h"

namespace {

using namespace veldoran::armour;

// Copies the alphabet characters of text[0, count) to out; returns how many.
size_t GatherAlphabet(const unsigned char* text, size_t count, unsigned char* out, bool wide) {
    size_t i = 0;
    size_t j = wide ? veldoran::GatherAlphabetWide(text, count, out, &i, kIsAlphabet.data()) : 0;
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
    size_t g = wide ? veldoran::PackGroupsWide(digits, groups, output, limit) : 0;
    size_t stored = 3 * g;
    for (; g < groups && stored < limit; ++g) {
        const unsigned char* d = digits + 4 * g;
        const uint32_t group = uint32_t{d[0]} | (uint32_t{d[1]} << 6) | (uint32_t{d[2]} << 12) |
                               (uint32_t{d[3]} << 18);
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        // Only the bytes the length field asks for are kept from the last group.
        const size_t keep = limit - stored < 3 ? limit - stored : 3;
        memcpy(output + stored, bytes, keep);
        stored += keep;
    }
    return stored;
}

}  // namespace

uint64_t veldoran::ArmouredLength(uint64_t dataLength, size_t eolLength) {
    const uint64_t encodedLength = 2 * kFieldChars + 4 * ((dataLength + 2) / 3);
    return kStartMarkerLength + kEndMarkerLength + 3 * eolLength + encodedLength +
           eolLength * ((encodedLength - 1) / kCharsPerLine);
}

int32_t TypBinASCII::InitCreate(TypUtils* theUtils) {
    utils = theUtils;
    return kNoErr;
}

int32_t TypBinASCII::Kill() {
    return kNoErr;
}

int32_t TypBinASCII::BinToASCII(const unsigned char* data, uint32_t length, unsigned char** out,
                                uint32_t* outLength) {
    assert(utils != nullptr && "TypBinASCII used before InitCreate");
    *out = nullptr;

    const char* eol = utils->GetEOLCar();
    const uint64_t armouredLength = veldoran::ArmouredLength(length, strlen(eol));
    if (armouredLength > UINT32_MAX) {
        return kMemErr;
    }
    unsigned char* block = utils->MyNewPtr(static_cast<uint32_t>(armouredLength));
    if (block == nullptr) {
        return kMemErr;
    }
    veldoran::ArmourEncoder encoder(utils, eol);
    unsigned char* cursor = block;
    cursor += encoder.Begin(length, cursor);
    cursor += encoder.Put(data, length, cursor);
    cursor += encoder.Finish(cursor);
    assert(cursor == block + armouredLength);
    static_cast<void>(cursor);

    *out = block;
    *outLength = static_cast<uint32_t>(armouredLength);
    return kNoErr;
}

int32_t TypBinASCII::ASCIIToBin(const unsigned char* text, uint32_t length, unsigned char** out,
                                uint32_t* outLength) {
    assert(utils != nullptr && "TypBinASCII used before InitCreate");
    *out = nullptr;

    const int32_t start = utils->FindSubString(text, length, kStartMarker);
    const int32_t end = utils->FindSubString(text, length, kEndMarker);
    if (start < 0 || end < 0 || int64_t{end} < int64_t{start} + int64_t{kStartMarkerLength}) {
        return kPbErr;
    }
    const unsigned char* first = text + start + kStartMarkerLength;
    const unsigned char* last = text + end;

    // The length field is made of the first eight alphabet characters, the checksum field of
    // the last eight; the data groups lie between. Fewer than sixteen characters in all show
    // as the two searches meeting.
    unsigned char lengthField[kFieldChars];
    const unsigned char* dataBegin = first;
    for (uint32_t found = 0; found < kFieldChars; ++dataBegin) {
        if (dataBegin == last) {
            return kPbErr;
        }
        if (kIsAlphabet[*dataBegin] != 0) {
            lengthField[found++] = *dataBegin;
        }
    }
    unsigned char checksumField[kFieldChars];
    const unsigned char* dataEnd = last;
    for (uint32_t found = 0; found < kFieldChars;) {
        if (dataEnd == dataBegin) {
            return kPbErr;
        }
        --dataEnd;
        if (kIsAlphabet[*dataEnd] != 0) {
            checksumField[kFieldChars - 1 - found++] = *dataEnd;
        }
    }

    const unsigned char* fieldCursor = lengthField;
    const uint32_t dataLength = utils->PopHexaFromAddress(&fieldCursor);
    *outLength = dataLength;
    // A first bound from the raw span keeps a forged length field from asking for more memory
    // than the text could ever fill; the exact test follows once the characters are counted.
    const uint64_t span = static_cast<uint64_t>(dataEnd - dataBegin);
    if (dataLength > 3 * (span / 4)) {
        return kPbErr;
    }
    unsigned char* block = utils->MyNewPtr(dataLength);
    if (block == nullptr) {
        return kMemErr;
    }

    // Alphabet characters are gathered chunk by chunk and turned into digit values in place;
    // up to three values left over from one chunk begin the next.
    const bool wide = veldoran::HasWideBytes();
    constexpr size_t kChunk = 4096;
    unsigned char digits[kChunk + 4];
    size_t carried = 0;
    size_t stored = 0;
    uint64_t dataChars = 0;
    for (const unsigned char* p = dataBegin; p < dataEnd;) {
        const size_t take =
            static_cast<size_t>(dataEnd - p) < kChunk ? static_cast<size_t>(dataEnd - p) : kChunk;
        const size_t gathered = GatherAlphabet(p, take, digits + carried, wide);
        p += take;
        veldoran::TranslateBytes(kCharToDigit, kCharToDigitRows, digits + carried, digits + carried,
                                 gathered);
        dataChars += gathered;
        const size_t have = carried + gathered;
        const size_t groups = have / 4;
        stored += PackGroups(digits, groups, block + stored, dataLength - stored, wide);
        carried = have - 4 * groups;
        memmove(digits, digits + 4 * groups, carried);
    }

    // The data groups must supply every byte the length field announces.
    if (dataLength > 3 * (dataChars / 4)) {
        utils->MyDisposeptr(&block, dataLength);
        return kPbErr;
    }
    assert(stored == dataLength);

    fieldCursor = checksumField;
    const uint32_t expected = utils->PopHexaFromAddress(&fieldCursor);
    *out = block;
    return FinalChecksum(FoldChecksum(0, block, dataLength)) == expected ? kNoErr : kCRCErr;
}
