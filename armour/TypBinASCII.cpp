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

#include "armour/BinASCIIKernels.h"
#include "armour/ByteTranslate.h"
#include "platform/ResultCodes.h"

namespace {

using veldoran::ByteTable;
using veldoran::TableRows;

constexpr char kStartMarker[] = "#BINASCII1#";
constexpr char kEndMarker[] = "#ENDBINASCII1#";
constexpr size_t kStartMarkerLength = sizeof kStartMarker - 1;
constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;

constexpr size_t kCharsPerLine = 60;
constexpr uint32_t kFieldChars = 8;  // one hexadecimal number field
constexpr uint32_t kChecksumSeed = 0xFFFFFFFFU;

// Digit value to character; only the first 64 entries are used.
constexpr ByteTable MakeDigitToChar() {
    ByteTable table = veldoran::IdentityTable();
    for (size_t digit = 0; digit < 64; ++digit) {
        table[digit] = static_cast<unsigned char>(kSafe[digit]);
    }
    return table;
}
constexpr ByteTable kDigitToChar = MakeDigitToChar();
constexpr TableRows kDigitToCharRows = veldoran::MakeRows(kDigitToChar);

// Character to digit value; only alphabet characters are ever looked up.
constexpr ByteTable MakeCharToDigit() {
    ByteTable table = veldoran::IdentityTable();
    for (size_t digit = 0; digit < 64; ++digit) {
        table[static_cast<unsigned char>(kSafe[digit])] = static_cast<unsigned char>(digit);
    }
    return table;
}
constexpr ByteTable kCharToDigit = MakeCharToDigit();
constexpr TableRows kCharToDigitRows = veldoran::MakeRows(kCharToDigit);

// 1 for the 64 alphabet characters, 0 for every other byte.
constexpr std::array<unsigned char, 256> MakeIsAlphabet() {
    std::array<unsigned char, 256> table{};
    for (size_t digit = 0; digit < 64; ++digit) {
        table[static_cast<unsigned char>(kSafe[digit])] = 1;
    }
    return table;
}
constexpr std::array<unsigned char, 256> kIsAlphabet = MakeIsAlphabet();

// The exclusive or of all the bytes, eight at a time.
uint32_t ChecksumOf(const unsigned char* data, size_t length) {
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        memcpy(&word, data + i, sizeof word);
        wide ^= word;
    }
    for (; i < length; ++i) {
        wide ^= data[i];
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    return kChecksumSeed ^ static_cast<uint32_t>(wide & 0xFF);
}

// The four digit values of a group, lowest six bits first.
inline void SplitGroup(uint32_t group, unsigned char* digits) {
    digits[0] = static_cast<unsigned char>(group & 63);
    digits[1] = static_cast<unsigned char>((group >> 6) & 63);
    digits[2] = static_cast<unsigned char>((group >> 12) & 63);
    digits[3] = static_cast<unsigned char>(group >> 18);
}

inline void EncodeGroup(uint32_t group, unsigned char* chars) {
    unsigned char digits[4];
    SplitGroup(group, digits);
    for (int k = 0; k < 4; ++k) {
        chars[k] = kDigitToChar[digits[k]];
    }
}

// Four characters for each of groups full groups of three bytes; readable (at least
// 3 * groups) bytes may be read from data.
void EncodeGroups(const unsigned char* data, size_t groups, size_t readable, unsigned char* chars,
                  bool wide) {
    size_t g =
        wide ? veldoran::EncodeGroupsWide(data, groups, readable, chars, kDigitToCharRows) : 0;
    for (; g < groups; ++g) {
        const unsigned char* in = data + 3 * g;
        EncodeGroup((uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2], chars + 4 * g);
    }
}

// Writes the encoded text as lines, putting the line end in front of a character only when
// the current line is full, so the text never ends with a line end.
class LineWriter {
  public:
    LineWriter(unsigned char* cursor, const char* eol, size_t eolLength)
        : cursor_(cursor), eol_(eol), eolLength_(eolLength) {}

    unsigned char* cursor() const { return cursor_; }

    void PutChars(const unsigned char* chars, size_t count) {
        while (count > 0) {
            if (onLine_ == kCharsPerLine) {
                memcpy(cursor_, eol_, eolLength_);
                cursor_ += eolLength_;
                onLine_ = 0;
            }
            const size_t take = count < kCharsPerLine - onLine_ ? count : kCharsPerLine - onLine_;
            memcpy(cursor_, chars, take);
            cursor_ += take;
            chars += take;
            onLine_ += take;
            count -= take;
        }
    }

  private:
    unsigned char* cursor_;
    const char* eol_;
    size_t eolLength_;
    size_t onLine_ = 0;
};

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
    const size_t eolLength = strlen(eol);
    const uint64_t armouredLength = veldoran::ArmouredLength(length, eolLength);
    if (armouredLength > UINT32_MAX) {
        return kMemErr;
    }
    unsigned char* block = utils->MyNewPtr(static_cast<uint32_t>(armouredLength));
    if (block == nullptr) {
        return kMemErr;
    }

    unsigned char* cursor = block;
    utils->MyBlockMove(kStartMarker, cursor, kStartMarkerLength);
    cursor += kStartMarkerLength;
    memcpy(cursor, eol, eolLength);
    cursor += eolLength;

    unsigned char field[2 * kFieldChars];
    unsigned char* fieldCursor = field;
    utils->PushLongHexaAtAddress(length, &fieldCursor);
    utils->PushLongHexaAtAddress(ChecksumOf(data, length), &fieldCursor);

    LineWriter writer(cursor, eol, eolLength);
    writer.PutChars(field, kFieldChars);
    // Groups are encoded a run at a time into a buffer that stays in the first-level cache.
    const bool wide = veldoran::HasWideBytes();
    constexpr size_t kRunGroups = 240;
    unsigned char chars[4 * kRunGroups];
    const size_t fullGroups = length / 3;
    for (size_t done = 0; done < fullGroups;) {
        const size_t run = fullGroups - done < kRunGroups ? fullGroups - done : kRunGroups;
        EncodeGroups(data + 3 * done, run, length - 3 * done, chars, wide);
        writer.PutChars(chars, 4 * run);
        done += run;
    }
    const uint32_t remaining = length % 3;
    if (remaining != 0) {
        // A short last group sits at the top of the 24-bit value, zero below.
        const unsigned char* tail = data + (length - remaining);
        uint32_t group = uint32_t{tail[0]} << 16;
        if (remaining == 2) {
            group |= uint32_t{tail[1]} << 8;
        }
        EncodeGroup(group, chars);
        writer.PutChars(chars, 4);
    }
    writer.PutChars(field + kFieldChars, kFieldChars);

    cursor = writer.cursor();
    memcpy(cursor, eol, eolLength);
    cursor += eolLength;
    utils->MyBlockMove(kEndMarker, cursor, kEndMarkerLength);
    cursor += kEndMarkerLength;
    memcpy(cursor, eol, eolLength);
    cursor += eolLength;
    assert(cursor == block + armouredLength);

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
    return ChecksumOf(block, dataLength) == expected ? kNoErr : kCRCErr;
}
