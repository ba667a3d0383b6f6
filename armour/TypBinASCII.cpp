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

#include "armour/ArmourDecoder.h"
#include "armour/ArmourEncoder.h"
#include "armour/ArmourFormat.h"
#include "armour/BinASCIIKernels.h"
#include "armour/ByteTranslate.h"
#include "platform/ResultCodes.h"
#include "platform/UnfilledBlock.h"

namespace {

using namespace veldoran::armour;

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
    unsigned char* block = veldoran::NewUnfilledBlock(utils, static_cast<uint32_t>(armouredLength));
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
    const unsigned char* dataEnd = last;
    for (uint32_t found = 0; found < kFieldChars;) {
        if (dataEnd == dataBegin) {
            return kPbErr;
        }
        --dataEnd;
        found += kIsAlphabet[*dataEnd];
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
    unsigned char* block = veldoran::NewUnfilledBlock(utils, dataLength);
    if (block == nullptr) {
        return kMemErr;
    }

    // The decoder reads the fields again itself; the span between the markers goes through
    // it whole.
    veldoran::ArmourDecoder decoder(utils);
    const size_t stored = decoder.Put(first, static_cast<size_t>(last - first), block);
    const int32_t result = decoder.Finish();
    if (result == kPbErr) {
        utils->MyDisposeptr(&block, dataLength);
        return kPbErr;
    }
    assert(stored == dataLength);
    static_cast<void>(stored);
    *out = block;
    return result;
}
