// The armour, the user key layer, then the master key layer, over one message text.
#include "pipelines/TwoKeyDecryption.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "armour/TypBinASCII.h"
#include "crypto/KeyStreamWindow.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/KeyJournalCore.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
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
    // The user layer comes off the whole inner frame, the message straight into its own block,
    // before the inner header is read for the master key: the codes come in the order of two
    // UnCrypt calls, without a block for the inner frame.
    if (length < kKeyHeaderSize) {
        return kFrameTooShort;
    }
    FrameKey userKey;
    result = userKey.Open(utils, crypto.get(), frame);
    if (result != kNoErr) {
        return result;
    }
    // Both headers, the inner one uncovered below, and the frame's digest, for the key journal's
    // note of this read: the frame goes before the note is made.
    ReadNote note;
    note.Add(frame, length);
    unsigned char headers[2 * kKeyHeaderSize];
    memcpy(headers, frame, kKeyHeaderSize);
    unsigned char* innerHeader = headers + kKeyHeaderSize;
    const uint32_t innerLength = length - kKeyHeaderSize;
    const uint32_t messageLength = innerLength > kKeyHeaderSize ? innerLength - kKeyHeaderSize : 0;
    TwoKeyStream layers;
    result = layers.OpenUserFrame(userKey.source(), innerLength, BlockWindow(innerLength));
    if (result == kNoErr) {
        result =
            layers.UserLayerInto(innerHeader, frame + kKeyHeaderSize,
                                 innerLength < kKeyHeaderSize ? innerLength : kKeyHeaderSize, 0);
    }
    OwnedBlock data(utils);
    if (result == kNoErr && innerLength >= kKeyHeaderSize) {
        result = data.AllocateUnfilled(messageLength);
    }
    if (result == kNoErr && data.data() != nullptr) {
        result = layers.UserLayerInto(data.data(), frame + TwoLayerOverhead(), messageLength,
                                      kKeyHeaderSize);
    }
    if (frameOwner != nullptr) {
        frameOwner->Dispose();
    }
    if (result != kNoErr) {
        return result;
    }
    if (trace != 0) {
        printf("UnCrypt datalen2: %d\n", static_cast<int>(innerLength));
    }

    if (innerLength < kKeyHeaderSize) {
        return kFrameTooShort;
    }
    FrameKey masterKey;
    result = masterKey.Open(utils, crypto.get(), innerHeader);
    if (result == kNoErr) {
        result = layers.OpenMaster(masterKey.source(), messageLength, BlockWindow(messageLength));
    }
    if (result == kNoErr) {
        result = layers.MasterLayer(data.data(), messageLength, 0);
    }
    if (result != kNoErr) {
        return result;
    }
    if (trace != 0) {
        printf("UnCrypt datalen: %d\n", static_cast<int>(messageLength));
    }
    note.Note(utils, headers, userKey, masterKey, length);
    *message->Pointer() = data.Release();
    *message->Length() = messageLength;
    return kNoErr;
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
