// Property: for any text, the two conversions between the local and the interchange form follow
// the character table written out below, byte for byte, and agree on the byte-by-byte and the
// wide (AVX2) paths:
// - FiltrerTexte returns kNoErr, keeps the pointer and the length, and rewrites every byte
//   through the table (LF to CR, ’ to an apostrophe, the fifteen accented letters to their
//   Mac OS Roman bytes, everything else unchanged).
// - FiltrerTexteInverse returns kNoErr, releases the caller's block and hands over a new one of
//   the same length (the line end here is one LF) in which every CR is an LF and the fifteen
//   Mac OS Roman bytes are their local letters; short of memory it returns kMemErr and leaves
//   the caller's block, its bytes and the length as they were.
// - Round trips: the inverse of the filtered text is the text with CR as LF, ’ as an
//   apostrophe and the fifteen interchange bytes as their local letters; filtering the inverse
//   gives the interchange text back where it holds no LF, no ’ and no local accented letter.
// No block is leaked.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "armour/ByteTranslate.h"
#include "common/FuzzTarget.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using Bytes = std::vector<unsigned char>;

struct Accent {
    unsigned char local;
    unsigned char interchange;
};
// The accented letters: Windows-1252 on the left, Mac OS Roman on the right.
// clang-format off
constexpr Accent kAccents[] = {
    {0x8C, 0xCE}, {0x9C, 0xCF}, {0xB0, 0xA1}, {0xE0, 0x88}, {0xE2, 0x89},
    {0xE7, 0x8D}, {0xE8, 0x8F}, {0xE9, 0x8E}, {0xEA, 0x90}, {0xEB, 0x91},
    {0xEE, 0x94}, {0xEF, 0x95}, {0xF4, 0x99}, {0xF9, 0x9D}, {0xFB, 0x9F},
};
// clang-format on
constexpr unsigned char kLineFeed = 0x0A;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kRightQuote = 0x92;
constexpr unsigned char kApostrophe = 0x27;

struct Tables {
    std::array<unsigned char, 256> toInterchange{};
    std::array<unsigned char, 256> toLocal{};
    std::array<bool, 256> isLocalAccent{};
};

Tables MakeTables() {
    Tables tables;
    for (int i = 0; i < 256; ++i) {
        tables.toInterchange[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
        tables.toLocal[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    }
    for (const Accent& accent : kAccents) {
        tables.toInterchange[accent.local] = accent.interchange;
        tables.toLocal[accent.interchange] = accent.local;
        tables.isLocalAccent[accent.local] = true;
    }
    tables.toInterchange[kLineFeed] = kCarriageReturn;
    tables.toInterchange[kRightQuote] = kApostrophe;
    tables.toLocal[kCarriageReturn] = kLineFeed;
    return tables;
}

const Tables& TheTables() {
    static const Tables tables = MakeTables();
    return tables;
}

Bytes Through(const std::array<unsigned char, 256>& table, const Bytes& text) {
    Bytes result(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        result[i] = table[text[i]];
    }
    return result;
}

// A block from the utility object holding the bytes.
unsigned char* NewBlock(TypUtils& utils, const Bytes& bytes) {
    unsigned char* block = utils.MyNewPtr(static_cast<uint32_t>(bytes.size()));
    Check(block != nullptr);
    if (!bytes.empty()) {
        memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

Bytes Filter(testsupport::FailingUtils& utils, const Bytes& text) {
    unsigned char* block = NewBlock(utils, text);
    unsigned char* const original = block;
    auto length = static_cast<uint32_t>(text.size());
    Check(utils.FiltrerTexte(&block, &length) == kNoErr);
    Check(block == original && length == text.size());
    Bytes result(block, block + length);
    utils.MyDisposeptr(&block, length);
    return result;
}

Bytes FilterBack(testsupport::FailingUtils& utils, const Bytes& text) {
    unsigned char* block = NewBlock(utils, text);
    auto length = static_cast<uint32_t>(text.size());

    // Short of memory first: nothing moves.
    unsigned char* const original = block;
    utils.FailCall(1);
    Check(utils.FiltrerTexteInverse(&block, &length) == kMemErr);
    Check(block == original && length == text.size());
    Check(text.empty() || memcmp(block, text.data(), text.size()) == 0);
    utils.FailCall(0);

    const int livePieces = utils.liveBlocks();
    Check(utils.FiltrerTexteInverse(&block, &length) == kNoErr);
    Check(block != nullptr && length == text.size());
    // The old block went back when the new one came: as many live blocks as before.
    Check(utils.liveBlocks() == livePieces);
    Bytes result(block, block + length);
    utils.MyDisposeptr(&block, length);
    return result;
}

struct Results {
    Bytes filtered;
    Bytes back;
    Bytes filteredBack;
    Bytes backFiltered;
};

Results RunAll(const Bytes& text) {
    testsupport::FailingUtils utils;
    utils.InitCreate(nullptr);
    Results results;
    results.filtered = Filter(utils, text);
    results.back = FilterBack(utils, text);
    results.filteredBack = FilterBack(utils, results.filtered);
    results.backFiltered = Filter(utils, results.back);
    Check(utils.liveBlocks() == 0);
    return results;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const Tables& tables = TheTables();
    const Bytes text(data, data + size);

    veldoran::SetWideBytesForTesting(true);
    const Results wide = RunAll(text);
    veldoran::SetWideBytesForTesting(false);
    const Results scalar = RunAll(text);
    veldoran::SetWideBytesForTesting(true);
    Check(wide.filtered == scalar.filtered && wide.back == scalar.back &&
          wide.filteredBack == scalar.filteredBack && wide.backFiltered == scalar.backFiltered);

    Check(wide.filtered == Through(tables.toInterchange, text));
    Check(wide.back == Through(tables.toLocal, text));
    Check(wide.filteredBack == Through(tables.toLocal, Through(tables.toInterchange, text)));

    bool comesBack = true;
    for (const unsigned char byte : text) {
        comesBack =
            comesBack && byte != kLineFeed && byte != kRightQuote && !tables.isLocalAccent[byte];
    }
    if (comesBack) {
        Check(wide.backFiltered == text);
    }
    return 0;
}
