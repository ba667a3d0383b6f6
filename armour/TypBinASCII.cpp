// The printable armour. Both directions make a single pass over the bulk of the data with
// table lookups: the writer emits whole 60-character lines (15 groups of three bytes) straight
// into the final block, the reader drops non-alphabet characters into a small cache-resident
// buffer and decodes it group by group, without a full-size intermediate copy.
#include "armour/TypBinASCII.h"

#include <array>
#include <cassert>
#include <cstring>

#include "platform/ResultCodes.h"

namespace {

constexpr char kStartMarker[] = "#BINASCII1#";
constexpr char kEndMarker[] = "#ENDBINASCII1#";
constexpr size_t kStartMarkerLength = sizeof kStartMarker - 1;
constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;

constexpr uint32_t kGroupsPerLine = 15;  // 60 characters
constexpr uint32_t kCharsPerLine = 4 * kGroupsPerLine;
constexpr uint32_t kFieldChars = 8;  // one hexadecimal number field
constexpr uint32_t kChecksumSeed = 0xFFFFFFFFU;

// Two alphabet characters for each 12-bit value, lowest six bits first.
using CharPair = std::array<unsigned char, 2>;
constexpr std::array<CharPair, 4096> MakePairs() {
    std::array<CharPair, 4096> pairs{};
    for (size_t value = 0; value < pairs.size(); ++value) {
        pairs[value][0] = static_cast<unsigned char>(kSafe[value & 63]);
        pairs[value][1] = static_cast<unsigned char>(kSafe[value >> 6]);
    }
    return pairs;
}
constexpr std::array<CharPair, 4096> kPairs = MakePairs();

// 1 for the 64 alphabet characters, 0 for every other byte.
constexpr std::array<unsigned char, 256> MakeIsAlphabet() {
    std::array<unsigned char, 256> table{};
    for (size_t digit = 0; digit < 64; ++digit) {
        table[static_cast<unsigned char>(kSafe[digit])] = 1;
    }
    return table;
}
constexpr std::array<unsigned char, 256> kIsAlphabet = MakeIsAlphabet();

// The digit value of each alphabet character already shifted to its place in a group:
// kPlaced[k][c] = value(c) << (6 * k). Only alphabet characters are ever looked up.
using PlacedTable = std::array<std::array<uint32_t, 256>, 4>;
constexpr PlacedTable MakePlaced() {
    PlacedTable table{};
    for (uint32_t digit = 0; digit < 64; ++digit) {
        const auto c = static_cast<unsigned char>(kSafe[digit]);
        for (uint32_t place = 0; place < 4; ++place) {
            table[place][c] = digit << (6 * place);
        }
    }
    return table;
}
constexpr PlacedTable kPlaced = MakePlaced();

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

inline void PutGroup(uint32_t group, unsigned char* destination) {
    memcpy(destination, kPairs[group & 4095].data(), 2);
    memcpy(destination + 2, kPairs[group >> 12].data(), 2);
}

// Writes the encoded text as lines, inserting the line end before a unit of four characters
// only when the current line is full, so the text never ends with a line end.
class LineWriter {
  public:
    LineWriter(unsigned char* cursor, const char* eol, size_t eolLength)
        : cursor_(cursor), eol_(eol), eolLength_(eolLength) {}

    unsigned char* cursor() const { return cursor_; }

    // Four characters as one unit (a data group or half a number field).
    void PutUnit(const unsigned char* chars) {
        BreakIfFull();
        memcpy(cursor_, chars, 4);
        cursor_ += 4;
        ++unitsOnLine_;
    }

    // count full groups of three bytes, filling lines of 15 groups.
    void PutGroups(const unsigned char* data, size_t count) {
        while (count > 0) {
            BreakIfFull();
            const size_t room = kGroupsPerLine - unitsOnLine_;
            const size_t take = count < room ? count : room;
            for (size_t g = 0; g < take; ++g) {
                const unsigned char* in = data + 3 * g;
                const uint32_t group = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
                PutGroup(group, cursor_ + 4 * g);
            }
            data += 3 * take;
            cursor_ += 4 * take;
            unitsOnLine_ += static_cast<uint32_t>(take);
            count -= take;
        }
    }

  private:
    void BreakIfFull() {
        if (unitsOnLine_ == kGroupsPerLine) {
            memcpy(cursor_, eol_, eolLength_);
            cursor_ += eolLength_;
            unitsOnLine_ = 0;
        }
    }

    unsigned char* cursor_;
    const char* eol_;
    size_t eolLength_;
    uint32_t unitsOnLine_ = 0;
};

// Decodes complete groups of alphabet characters into output, storing at most limit bytes.
// Returns the number of bytes stored.
size_t DecodeGroups(const unsigned char* chars, size_t groups, unsigned char* output,
                    size_t limit) {
    size_t stored = 0;
    size_t g = 0;
    for (; g < groups && stored + 3 <= limit; ++g, stored += 3) {
        const unsigned char* c = chars + 4 * g;
        const uint32_t group =
            kPlaced[0][c[0]] | kPlaced[1][c[1]] | kPlaced[2][c[2]] | kPlaced[3][c[3]];
        output[stored] = static_cast<unsigned char>(group >> 16);
        output[stored + 1] = static_cast<unsigned char>(group >> 8);
        output[stored + 2] = static_cast<unsigned char>(group);
    }
    if (g < groups && stored < limit) {
        // The last group: only the bytes the length field asks for are kept.
        const unsigned char* c = chars + 4 * g;
        const uint32_t group =
            kPlaced[0][c[0]] | kPlaced[1][c[1]] | kPlaced[2][c[2]] | kPlaced[3][c[3]];
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        const size_t keep = limit - stored;
        memcpy(output + stored, bytes, keep);
        stored += keep;
    }
    return stored;
}

}  // namespace

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
    const uint64_t encodedLength = 2 * kFieldChars + 4 * ((uint64_t{length} + 2) / 3);
    const uint64_t armouredLength = kStartMarkerLength + kEndMarkerLength + 3 * eolLength +
                                    encodedLength +
                                    eolLength * ((encodedLength - 1) / kCharsPerLine);
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
    writer.PutUnit(field);
    writer.PutUnit(field + 4);
    writer.PutGroups(data, length / 3);
    const uint32_t remaining = length % 3;
    if (remaining != 0) {
        // A short last group sits at the top of the 24-bit value, zero below.
        const unsigned char* tail = data + (length - remaining);
        uint32_t group = uint32_t{tail[0]} << 16;
        if (remaining == 2) {
            group |= uint32_t{tail[1]} << 8;
        }
        unsigned char chars[4];
        PutGroup(group, chars);
        writer.PutUnit(chars);
    }
    writer.PutUnit(field + kFieldChars);
    writer.PutUnit(field + kFieldChars + 4);

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

    // Alphabet characters are gathered chunk by chunk; up to three left over from one chunk
    // begin the next.
    constexpr size_t kChunk = 4096;
    unsigned char chars[kChunk + 4];
    size_t carried = 0;
    size_t stored = 0;
    uint64_t dataChars = 0;
    for (const unsigned char* p = dataBegin; p < dataEnd;) {
        const size_t take =
            static_cast<size_t>(dataEnd - p) < kChunk ? static_cast<size_t>(dataEnd - p) : kChunk;
        size_t have = carried;
        for (size_t i = 0; i < take; ++i) {
            const unsigned char c = p[i];
            chars[have] = c;
            have += kIsAlphabet[c];
        }
        p += take;
        dataChars += have - carried;
        const size_t groups = have / 4;
        stored += DecodeGroups(chars, groups, block + stored, dataLength - stored);
        carried = have - 4 * groups;
        memmove(chars, chars + 4 * groups, carried);
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
