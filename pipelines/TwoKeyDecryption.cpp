// The armour, the user key layer, then the master key layer, over one message text.
#include "pipelines/TwoKeyDecryption.h"

#include <cstdio>
#include <new>

#include "armour/TypBinASCII.h"
#include "crypto/TypCryptoUnix.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

namespace {

int32_t Dearmour(TypUtilsUnix* utils, const unsigned char* text, uint32_t length,
                 OwnedBlock* outer) {
    auto* binASCII = new (std::nothrow) TypBinASCII;
    if (binASCII == nullptr) {
        return kMemErr;
    }
    int32_t result = kOtherErr;
    if (binASCII->InitCreate(utils) == kNoErr) {
        result = binASCII->ASCIIToBin(text, length, outer->Pointer(), outer->Length());
    }
    if (result != kNoErr) {
        // A wrong checksum still hands the decoded bytes over; they are of no use.
        outer->Dispose();
    }
    binASCII->Kill();
    delete binASCII;
    return result;
}

// One layer off: frame into data, the frame disposed of at once. The data block that a failed
// UnCrypt may hand over holds nothing and is disposed of too.
int32_t RemoveLayer(TypCrypto* crypto, OwnedBlock* frame, OwnedBlock* data) {
    const int32_t result =
        crypto->UnCrypt(frame->data(), frame->length(), data->Pointer(), data->Length());
    frame->Dispose();
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

    auto* crypto = new (std::nothrow) TypCryptoUnix;
    if (crypto == nullptr) {
        return kOtherErr;
    }
    if (crypto->InitCreate(utils) != kNoErr) {
        delete crypto;
        return kOtherErr;
    }
    OwnedBlock inner(utils);
    result = RemoveLayer(crypto, &outer, &inner);
    if (result == kNoErr) {
        if (trace != 0) {
            printf("UnCrypt datalen2: %d\n", static_cast<int>(inner.length()));
        }
        result = RemoveLayer(crypto, &inner, message);
        if (result == kNoErr && trace != 0) {
            printf("UnCrypt datalen: %d\n", static_cast<int>(message->length()));
        }
    }
    crypto->Kill();
    delete crypto;
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
