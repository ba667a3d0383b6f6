// Conversion between the local text form (Windows-1252, the platform's line ends) and the
// interchange form (CR line ends, Mac OS Roman accented letters). Both directions are defined by
// a 256-entry table. Scalar code looks every byte up in it; where the processor has AVX2 the
// same table, cut into rows of sixteen by high nibble, is applied 32 bytes at a time.
#include <array>
#include <cstring>

#include "armour/ByteTranslate.h"
#include "armour/TextForms.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"
#include "platform/UnfilledBlock.h"

namespace {

using veldoran::ByteTable;
using veldoran::MakeRows;
using veldoran::TableRows;

struct Accent {
    unsigned char local;
    unsigned char interchange;
};

// Letters that travel both ways: Windows-1252 on the left, Mac OS Roman on the right.
// clang-format off
constexpr Accent kAccents[] = {
    {0x8C, 0xCE},  // Œ
    {0x9C, 0xCF},  // œ
    {0xB0, 0xA1},  // °
    {0xE0, 0x88},  // à
    {0xE2, 0x89},  // â
    {0xE7, 0x8D},  // ç
    {0xE8, 0x8F},  // è
    {0xE9, 0x8E},  // é
    {0xEA, 0x90},  // ê
    {0xEB, 0x91},  // ë
    {0xEE, 0x94},  // î
    {0xEF, 0x95},  // ï
    {0xF4, 0x99},  // ô
    {0xF9, 0x9D},  // ù
    {0xFB, 0x9F},  // û
};
// clang-format on

constexpr unsigned char kLineFeed = 0x0A;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kRightQuote = 0x92;  // ’ in Windows-1252
constexpr unsigned char kApostrophe = 0x27;

constexpr ByteTable MakeToInterchange() {
    ByteTable table = veldoran::IdentityTable();
    for (const Accent& accent : kAccents) {
        table[accent.local] = accent.interchange;
    }
    // One-way entries: the quotation mark is not restored, and CR stays CR on the way in.
    table[kLineFeed] = kCarriageReturn;
    table[kRightQuote] = kApostrophe;
    return table;
}

constexpr ByteTable MakeToLocal() {
    ByteTable table = veldoran::IdentityTable();
    for (const Accent& accent : kAccents) {
        table[accent.interchange] = accent.local;
    }
    return table;
}

constexpr ByteTable kToInterchange = MakeToInterchange();
constexpr ByteTable kToLocal = MakeToLocal();

constexpr TableRows kToInterchangeRows = MakeRows(kToInterchange);

}  // namespace

void veldoran::ToLocalForm(const unsigned char* source, unsigned char* destination, size_t count,
                           unsigned char lineEnd) {
    ByteTable table = kToLocal;
    table[kCarriageReturn] = lineEnd;
    veldoran::TranslateBytes(table, MakeRows(table), source, destination, count);
}

size_t veldoran::ToInterchangeForm(unsigned char* text, size_t count, unsigned char sought) {
    return veldoran::TranslateBytesFinding(kToInterchange, kToInterchangeRows, text, text, count,
                                           sought);
}

unsigned char veldoran::LocalByteAfterTravel(unsigned char local) {
    unsigned char back = 0;
    veldoran::ToLocalForm(&kToInterchange[local], &back, 1, kLineFeed);
    return back;
}

veldoran::LocalByteTravel veldoran::HowLocalByteTravels(unsigned char local) {
    if (LocalByteAfterTravel(local) == local) {
        return LocalByteTravel::kItself;
    }
    // The table's one-way entries change a byte on the way in; a CR is changed by the way back,
    // which makes every CR a line end.
    if (kToInterchange[local] != local || local == kCarriageReturn) {
        return LocalByteTravel::kByDesign;
    }
    return LocalByteTravel::kAnother;
}

int32_t TypUtils::FiltrerTexte(unsigned char** text, uint32_t* length) {
    veldoran::TranslateBytes(kToInterchange, kToInterchangeRows, *text, *text, *length);
    return kNoErr;
}

int32_t TypUtils::FiltrerTexteInverse(unsigned char** text, uint32_t* length) {
    const unsigned char* source = *text;
    const uint32_t oldLength = *length;
    const char* eol = GetEOLCar();
    const size_t eolLength = strlen(eol);

    // The old block is only read until the new one exists, so a failed allocation leaves the
    // caller's block, its bytes and both variables exactly as they were.
    uint64_t newLength = oldLength;
    if (eolLength != 1) {
        uint64_t lineEnds = 0;
        for (uint32_t i = 0; i < oldLength; ++i) {
            lineEnds += source[i] == kCarriageReturn ? 1U : 0U;
        }
        newLength = oldLength - lineEnds + lineEnds * eolLength;
        if (newLength > UINT32_MAX) {
            return kMemErr;
        }
    }
    unsigned char* block = veldoran::NewUnfilledBlock(this, static_cast<uint32_t>(newLength));
    if (block == nullptr) {
        return kMemErr;
    }

    if (eolLength == 1) {
        veldoran::ToLocalForm(source, block, oldLength, static_cast<unsigned char>(eol[0]));
    } else {
        unsigned char* cursor = block;
        for (uint32_t i = 0; i < oldLength; ++i) {
            if (source[i] == kCarriageReturn) {
                memcpy(cursor, eol, eolLength);
                cursor += eolLength;
            } else {
                *cursor++ = kToLocal[source[i]];
            }
        }
    }

    MyDisposeptr(text, oldLength);
    *text = block;
    *length = static_cast<uint32_t>(newLength);
    return kNoErr;
}
