// Property: for any bytes at all, ASCIIToBin reads nothing outside them, leaks nothing, returns
// only kNoErr, kCRCErr or kPbErr, hands over a block exactly when it returns kNoErr or kCRCErr,
// never produces more bytes than the text holds characters, and a block it accepts (kNoErr)
// armours again into a text that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/FuzzTarget.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Fail;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);

    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    const int32_t result = armour.ASCIIToBin(data, static_cast<uint32_t>(size), &out, &outLength);
    if (result != kNoErr && result != kCRCErr && result != kPbErr) {
        Fail();
    }
    if ((out != nullptr) != (result != kPbErr)) {
        Fail();
    }
    if (out == nullptr) {
        return 0;
    }
    if (outLength > size) {
        Fail();
    }
    if (result == kNoErr) {
        std::vector<unsigned char> decoded(out, out + outLength);
        unsigned char* text = nullptr;
        uint32_t textLength = 0;
        unsigned char* again = nullptr;
        uint32_t againLength = 0;
        if (armour.BinToASCII(decoded.data(), outLength, &text, &textLength) != kNoErr ||
            armour.ASCIIToBin(text, textLength, &again, &againLength) != kNoErr ||
            againLength != outLength ||
            (outLength != 0 && memcmp(again, decoded.data(), outLength) != 0)) {
            Fail();
        }
        utils.MyDisposeptr(&text, textLength);
        utils.MyDisposeptr(&again, againLength);
    }
    utils.MyDisposeptr(&out, outLength);
    armour.Kill();
    return 0;
}
