// The master key layer, then the user key layer, over one message.
#include "pipelines/TwoKeyEncryption.h"

#include <cstdio>
#include <new>

#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

namespace {

// One encryption layer: input into output with the key file <keyFolder>Clefs/<name>.<year>,
// whose comment line goes to comment. -43 when the key file is missing. The labels begin the
// trace lines of the key's path and of the frame's length.
int32_t EncryptLayer(TypUtilsUnix* utils, TypCrypto* crypto, const TwoKeyRequest& request,
                     const char* name, const unsigned char* input, uint32_t inputLength,
                     unsigned char** output, uint32_t* outputLength, char* comment,
                     const char* pathLabel, const char* lengthLabel) {
    auto* keyRef = new (std::nothrow) TypFileRefUnix;
    if (keyRef == nullptr) {
        return kMemErr;
    }
    int32_t result = kNoErr;
    if (keyRef->InitCreate(utils) != kNoErr) {
        result = kOtherErr;
    } else if (keyRef->SetPath(request.keyFolder) != kNoErr ||
               keyRef->AppendPath("Clefs/") != kNoErr || keyRef->AppendPath(name) != kNoErr ||
               keyRef->AppendPath(".") != kNoErr ||
               keyRef->AppendPath(request.yearText) != kNoErr) {
        result = kOtherErr;
    } else {
        if (request.trace != 0) {
            printf("%s%s\n", pathLabel, keyRef->path);
        }
        if (keyRef->Exists() != kNoErr) {
            result = kFNFErr;
        } else {
            result = crypto->Crypt(input, inputLength, output, outputLength, keyRef);
            if (result == kNoErr) {
                if (request.trace != 0) {
                    printf("%s%d\n", lengthLabel, static_cast<int>(*outputLength));
                }
                crypto->GetKeyComment(comment, keyRef);
                comment[kKeyCommentSize - 1] = '\0';
                if (request.trace != 0) {
                    printf("GetKeyComment: %s\n", comment);
                }
            } else {
                utils->MyDisposeptr(output, *outputLength);
                *outputLength = 0;
            }
        }
    }
    keyRef->Kill();
    delete keyRef;
    return result;
}

}  // namespace

uint32_t TwoLayerOverhead() {
    return 2 * kKeyHeaderSize;
}

int32_t EncryptWithBothKeys(TypUtilsUnix* utils, const TwoKeyRequest& request,
                            const unsigned char* message, uint32_t messageLength,
                            const PrepareOutput& prepare, unsigned char** outer,
                            uint32_t* outerLength, char* masterComment, char* userComment) {
    *outer = nullptr;
    *outerLength = 0;
    masterComment[0] = '\0';
    userComment[0] = '\0';
    if (messageLength > UINT32_MAX - TwoLayerOverhead()) {
        return kFrameTooLong;
    }
    int32_t result = prepare ? prepare(messageLength + TwoLayerOverhead()) : kNoErr;
    if (result != kNoErr) {
        return result;
    }
    auto* crypto = new (std::nothrow) TypCryptoUnix;
    if (crypto == nullptr) {
        return kMemErr;
    }
    if (crypto->InitCreate(utils) != kNoErr) {
        delete crypto;
        return kOtherErr;
    }
    unsigned char* inner = nullptr;
    uint32_t innerLength = 0;
    result = EncryptLayer(utils, crypto, request, "Master", message, messageLength, &inner,
                          &innerLength, masterComment, "Master Key: ", "Crypt datalen2: ");
    if (result == kNoErr) {
        result = EncryptLayer(utils, crypto, request, request.user, inner, innerLength, outer,
                              outerLength, userComment, "User Key: ", "Crypt datalen: ");
    }
    utils->MyDisposeptr(&inner, innerLength);
    crypto->Kill();
    delete crypto;
    return result;
}

}  // namespace veldoran
