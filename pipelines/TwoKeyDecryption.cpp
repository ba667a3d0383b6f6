// The armour, the user key layer, then the master key layer, over one message text.
#include "pipelines/TwoKeyDecryption.h"

#include <cstdio>
#include <new>

#include "armour/TypBinASCII.h"
#include "crypto/TypCryptoUnix.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

namespace {

int32_t Dearmour(TypUtilsUnix* utils, const unsigned char* text, uint32_t length,
                 OwnedBlock* outer) {
    Owned<TypBinASCII> binASCII;
    int32_t result = Create(&binASCII, utils);
    if (result == kNoErr) {
        result = binASCII->ASCIIToBin(text, length, outer->Pointer(), outer->Length());
    }
    if (result != kNoErr) {
        // A wrong checksum still hands the decoded bytes over; they are of no use.
        outer->Dispose();
    }
    return result;
}

// One layer off: frame into data, frame's owner (when there is one) disposed of at once. The
// data block that a failed UnCrypt may hand over holds nothing and is disposed of too.
int32_t RemoveLayer(TypCrypto* crypto, const unsigned char* frame, uint32_t length,
                    OwnedBlock* frameOwner, OwnedBlock* data) {
    const int32_t result = crypto->UnCrypt(frame, length, data->Pointer(), data->Length());
    if (frameOwner != nullptr) {
        frameOwner->Dispose();
    }
    if (result != kNoErr) {
        data->Dispose();
    }
    return result;
}

}  // namespace

int32_t DecryptArmouredMessage(TypUtilsUnix* utils, const unsigned char* text, uint32_t length,
                               OwnedBlock* textOwner, int32_t trace, OwnedBlock* message) {
    message->Dispose();
    OwnedBlock outer(utils);
    int32_t result = Dearmour(utils, text, length, &outer);
    if (textOwner != nullptr) {
        textOwner->Dispose();
    }
    if (result != kNoErr) {
        return result;
    }

    return RemoveBothLayers(utils, outer.data(), outer.length(), &outer, trace, message);
}

int32_t RemoveBothLayers(TypUtils* utils, const unsigned char* frame, uint32_t length,
                         OwnedBlock* frameOwner, int32_t trace, OwnedBlock* message) {
    message->Dispose();
    Owned<TypCryptoUnix> crypto;
    int32_t result = Create(&crypto, utils);
    if (result != kNoErr) {
        return result;
    }
    OwnedBlock inner(utils);
    result = RemoveLayer(crypto.get(), frame, length, frameOwner, &inner);
    if (result != kNoErr) {
        return result;
    }
    if (trace != 0) {
        printf("UnCrypt datalen2: %d\n", static_cast<int>(inner.length()));
    }
    result = RemoveLayer(crypto.get(), inner.data(), inner.length(), &inner, message);
    if (result == kNoErr && trace != 0) {
        printf("UnCrypt datalen: %d\n", static_cast<int>(message->length()));
    }
    return result;
}

int32_t ToLocalDocument(TypUtilsUnix* utils, OwnedBlock* message, uint32_t* documentLength) {
    *documentLength = 0;
    if (utils->FiltrerTexteInverse(message->Pointer(), message->Length()) != kNoErr) {
        return kMemErr;
    }
    // The tail is short (recipients and parameters); its length tells where the document ends
    // without copying the document.
    OwnedBlock tail(utils);
    if (utils->GetAllParamFromMessage(message->data(), message->length(), tail.Pointer(),
                                      tail.Length()) != kNoErr) {
        return kMemErr;
    }
    *documentLength = message->length() - tail.length();
    return kNoErr;
}

}  // namespace veldoran
