// The binary pipelines: source, master key layer, user key layer, target, and the way back.
// Each stage runs only when every earlier one succeeded; the first failure's code is the
// result and every entered stage still cleans up. Each form of the data is disposed of as soon
// as the next one exists.
#include "pipelines/BinaryPipelines.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crypto/TypCryptoUnix.h"
#include "pipelines/BinaryPipelinesCore.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TypPipelineUtils.h"
#include "pipelines/TypTargetWriter.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

using veldoran::OwnedBlock;

namespace {

// One read call of hundreds of MiB is markedly slower than the same bytes in moderate pieces.
constexpr uint32_t kReadChunk = 4u << 20;

// Every length must stay below 2^31, the outer frame's included.
uint32_t LargestPlainLength() {
    return static_cast<uint32_t>(INT32_MAX) - veldoran::TwoLayerOverhead();
}

// Whether both key file paths fit a file reference; found out before either is opened.
bool KeyPathsFit(const char* keyFolder, const char* user, const char* yearText) {
    const size_t folderLength = strlen(keyFolder);
    const size_t yearLength = strlen(yearText);
    return folderLength + strlen("Clefs/Master.") + yearLength <= kMaxPathLength &&
           folderLength + strlen("Clefs/") + strlen(user) + 1 + yearLength <= kMaxPathLength;
}

// Reads the file at path whole into a new block handed to source. The file is only read. A
// file longer than longest is refused with kFrameTooLong before any memory is taken. The
// length line is printed with its label whatever the length query returned.
int32_t ReadOpenSource(TypUtils* utils, TypFileRefUnix* sourceRef, uint32_t longest,
                       const char* lengthLabel, int32_t trace, OwnedBlock* source) {
    if (sourceRef->Exists() != kNoErr) {
        return kOtherErr;
    }
    int32_t result = sourceRef->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    int32_t sourceLength = 0;
    result = sourceRef->GetLength(&sourceLength);
    if (trace != 0) {
        printf("%s%d\n", lengthLabel, sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    if (sourceLength < 0 || static_cast<uint32_t>(sourceLength) > longest) {
        return kFrameTooLong;
    }
    const auto length = static_cast<uint32_t>(sourceLength);
    *source->Length() = length;
    *source->Pointer() = utils->MyNewPtr(length);
    if (source->data() == nullptr) {
        *source->Length() = 0;
        return kMemErr;
    }
    sourceRef->SetFilePos(0);
    for (uint32_t done = 0; result == kNoErr && done < length; done += kReadChunk) {
        result = sourceRef->Read(source->data() + done, std::min(kReadChunk, length - done));
    }
    if (result != kNoErr) {
        source->Dispose();
    }
    return result;
}

int32_t ReadSource(TypUtils* utils, const char* path, uint32_t longest, const char* lengthLabel,
                   int32_t trace, OwnedBlock* source) {
    veldoran::Owned<TypFileRefUnix> sourceRef;
    int32_t result = veldoran::Create(&sourceRef, utils);
    if (result == kNoErr) {
        result = sourceRef->SetPath(path);
    }
    if (result == kNoErr) {
        result = ReadOpenSource(utils, sourceRef.get(), longest, lengthLabel, trace, source);
    }
    if (sourceRef) {
        sourceRef->CloseDF();
    }
    return result;
}

// Removes the user key layer and then the master key layer from an outer frame. frameBlock,
// when given, holds the frame and is disposed of as soon as the inner frame exists, so that
// the data can take its memory. *data, *dataLength receive the data; after a failure they hold
// whatever the cipher handed over, which the caller disposes of.
int32_t RemoveBothLayers(TypUtils* utils, const unsigned char* frame, uint32_t frameLength,
                         OwnedBlock* frameBlock, unsigned char** data, uint32_t* dataLength,
                         int32_t trace) {
    veldoran::Owned<TypCryptoUnix> crypto;
    int32_t result = veldoran::Create(&crypto, utils);
    OwnedBlock inner(utils);
    if (result == kNoErr) {
        result = crypto->UnCrypt(frame, frameLength, inner.Pointer(), inner.Length());
        if (result == kNoErr && trace != 0) {
            printf("UnCrypt datalen2: %d\n", static_cast<int>(inner.length()));
        }
    }
    if (frameBlock != nullptr) {
        frameBlock->Dispose();
    }
    if (result == kNoErr) {
        result = crypto->UnCrypt(inner.data(), inner.length(), data, dataLength);
        if (result == kNoErr && trace != 0) {
            printf("UnCrypt datalen: %d\n", static_cast<int>(*dataLength));
        }
    }
    return result;
}

// The decrypted file's path: the source's less its last four characters (the ".vlb" that
// crypterbinaire adds), or the source's own when it has no more. target holds
// kMaxPathLength + 1 bytes; source is no longer than kMaxPathLength.
void DecryptedPath(const char* source, char* target) {
    const size_t length = strlen(source);
    const size_t kept = length > 4 ? length - 4 : length;
    memcpy(target, source, kept);
    target[kept] = '\0';
}

veldoran::TwoKeyRequest Request(const char* keyFolder, const char* user, const char* yearText,
                                int32_t trace) {
    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder;
    request.user = user;
    request.yearText = yearText;
    request.trace = trace;
    return request;
}

}  // namespace

int32_t EncryptBinaryFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls,
                          const char* source, const char* target, const char* user,
                          const char* keyFolder, int32_t trace) {
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (trace != 0) {
        printf("Year-1900: %s\n", yearText);
    }
    const bool pathsFit = strlen(source) <= kMaxPathLength && strlen(target) <= kMaxPathLength &&
                          KeyPathsFit(keyFolder, user, yearText);
    int32_t result = pathsFit ? kNoErr : kOtherErr;
    const veldoran::TwoKeyRequest request = Request(keyFolder, user, yearText, trace);
    // A key file as target would be destroyed by the frame written over it.
    if (result == kNoErr && veldoran::NamesAKeyFile(request, target)) {
        result = kOtherErr;
    }

    OwnedBlock plain(utils);
    if (result == kNoErr) {
        result = ReadSource(utils, source, LargestPlainLength(), "Source length: ", trace, &plain);
    }

    TypTargetWriter writer;
    writer.InitCreate(calls);
    OwnedBlock outer(utils);
    if (result == kNoErr) {
        // The temporary file beside the target and the disk space for the frame are obtained
        // once both keys are known to be usable and before either is spent: a run that could
        // not write its result consumes no key material.
        const veldoran::PrepareOutput prepare = [&writer, target](uint32_t outerLength) {
            const int32_t opened = writer.Open(target);
            return opened == kNoErr ? writer.Reserve(outerLength) : opened;
        };
        char masterComment[veldoran::kKeyCommentSize] = {};
        char userComment[veldoran::kKeyCommentSize] = {};
        result = veldoran::EncryptWithBothKeys(utils, request, plain.data(), plain.length(),
                                               prepare, outer.Pointer(), outer.Length(),
                                               masterComment, userComment);
    }
    plain.Dispose();
    if (trace != 0) {
        printf("End of encoding process\n");
    }

    if (result == kNoErr) {
        if (trace != 0) {
            printf("TargetFile: %s\n", target);
            printf("TargetFile Len: %d\n", static_cast<int>(outer.length()));
        }
        result = writer.Write(outer.data(), outer.length());
        if (result == kNoErr) {
            result = writer.Commit();
        }
    }
    writer.Kill();
    return result;
}

int32_t DecryptBinaryFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls,
                          const char* source, const char* keyFolder, int32_t trace) {
    utils->InitCreate(nullptr);
    int32_t result = utils->SetKeyFolderPath(keyFolder) == kNoErr ? kNoErr : kOtherErr;
    if (trace != 0) {
        printf("VELDORAN DECRYPTAGE - v1.02 - ZELMOR\n");
    }
    char target[kMaxPathLength + 1] = {};
    if (result == kNoErr && strlen(source) > kMaxPathLength) {
        result = kOtherErr;
    }
    if (result == kNoErr) {
        DecryptedPath(source, target);
    }

    OwnedBlock outer(utils);
    if (result == kNoErr) {
        result = ReadSource(utils, source, static_cast<uint32_t>(INT32_MAX),
                            "Source Length: ", trace, &outer);
    }

    // The target is prepared before the work, so that a target that cannot be written is
    // found out first. The old target, the source itself when they are one file, stays as it
    // was until the new content is complete.
    TypTargetWriter writer;
    writer.InitCreate(calls);
    if (result == kNoErr) {
        result = writer.Open(target);
    }
    if (result == kNoErr) {
        const uint32_t overhead = veldoran::TwoLayerOverhead();
        result = writer.Reserve(outer.length() > overhead ? outer.length() - overhead : 0);
    }

    OwnedBlock plain(utils);
    if (result == kNoErr) {
        result = RemoveBothLayers(utils, outer.data(), outer.length(), &outer, plain.Pointer(),
                                  plain.Length(), trace);
    }
    outer.Dispose();

    if (result == kNoErr) {
        if (trace != 0) {
            printf("TargetFile: %s\n", target);
            printf("TargetFile Lenght: %d\n", static_cast<int>(plain.length()));
        }
        result = writer.Write(plain.data(), plain.length());
        if (result == kNoErr) {
            result = writer.Commit();
        }
    }
    writer.Kill();
    return result;
}

int32_t EncryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* user,
                            const char* keyFolder, int32_t trace) {
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (!KeyPathsFit(keyFolder, user, yearText)) {
        return kOtherErr;
    }
    if (length > LargestPlainLength()) {
        return kFrameTooLong;
    }
    static const unsigned char kNoData = 0;
    // Set once both key files are held and checked and every block is allocated.
    bool cleared = false;
    const veldoran::PrepareOutput prepare = [&cleared](uint32_t) {
        cleared = true;
        return static_cast<int32_t>(kNoErr);
    };
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    const int32_t result = veldoran::EncryptWithBothKeys(
        utils, Request(keyFolder, user, yearText, trace), data != nullptr ? data : &kNoData, length,
        prepare, out, outLength, masterComment, userComment);
    if (result != kNoErr) {
        // The caller owns whatever *out holds: a failed run hands back no frame at all, since
        // a frame that did not complete may hold the data or key stream in the clear.
        utils->MyDisposeptr(out, *outLength);
        *out = nullptr;
        *outLength = 0;
        // Both key files were found usable before the run was cleared; a failure after that
        // comes from reading the key streams or rewriting the headers, the master's first.
        if (trace != 0 && cleared && result != kFNFErr) {
            printf("VELDORAN ERR - Crypt (Master) failed \n\r");
        }
    }
    return result;
}

int32_t DecryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* keyFolder,
                            int32_t trace) {
    utils->InitCreate(nullptr);
    int32_t result = utils->SetKeyFolderPath(keyFolder) == kNoErr ? kNoErr : kOtherErr;
    if (trace != 0) {
        printf("VELDORAN DECRYPTAGE - v1.01 - ZELMOR\n");
    }
    if (result == kNoErr) {
        result = RemoveBothLayers(utils, data, length, nullptr, out, outLength, trace);
    }
    if (result != kNoErr) {
        // What the cipher hands over on a failure holds no data: the caller gets nothing.
        utils->MyDisposeptr(out, *outLength);
        *out = nullptr;
        *outLength = 0;
    }
    return result;
}

extern "C" int32_t crypterbinaire2(const char* source, const char* target, const char* user,
                                   const char* keyFolder, int32_t trace) {
    if (source == nullptr || target == nullptr || user == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    if (trace != 0) {
        printf("Veldoran Shell - version 1.01 - ZELMOR\n");
        printf("Source filename: %s\n", source);
        printf("Username       : %s\n", user);
    }
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils == nullptr) {
        return kOtherErr;
    }
    int32_t result;
    try {
        result = EncryptBinaryFile(utils, nullptr, source, target, user, keyFolder, trace);
    } catch (...) {
        // Only the target's path texts can throw (memory short); nothing may cross C linkage.
        result = kMemErr;
    }
    delete utils;
    return result;
}

extern "C" int32_t crypterbinaire(const char* source, const char* user, const char* keyFolder,
                                  int32_t trace) {
    if (source == nullptr) {
        return kOtherErr;
    }
    const size_t sourceLength = strlen(source);
    auto* target = static_cast<char*>(malloc(sourceLength + 5));
    if (target == nullptr) {
        return kMemErr;
    }
    memcpy(target, source, sourceLength);
    memcpy(target + sourceLength, ".vlb", 5);
    const int32_t result = crypterbinaire2(source, target, user, keyFolder, trace);
    free(target);
    return result;
}

extern "C" int32_t crypterbinaireMem2(const unsigned char* data, uint32_t length,
                                      unsigned char** out, uint32_t* outLength, const char* user,
                                      const char* keyFolder, int32_t trace) {
    if (out == nullptr || outLength == nullptr) {
        return kOtherErr;
    }
    *out = nullptr;
    *outLength = 0;
    if ((data == nullptr && length != 0) || user == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    int32_t result = kOtherErr;
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils != nullptr) {
        try {
            result =
                EncryptBinaryBuffer(utils, data, length, out, outLength, user, keyFolder, trace);
        } catch (...) {
            // Only the preparation's function object could throw; nothing may cross C linkage.
            utils->MyDisposeptr(out, *outLength);
            *outLength = 0;
            result = kMemErr;
        }
        delete utils;
    }
    if (trace != 0) {
        printf("End of encoding process\n");
    }
    return result;
}

extern "C" int32_t decrypterbinaire(const char* source, const char* keyFolder, int32_t trace) {
    if (source == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils == nullptr) {
        return kOtherErr;
    }
    int32_t result;
    try {
        result = DecryptBinaryFile(utils, nullptr, source, keyFolder, trace);
    } catch (...) {
        // Only the target's path texts can throw (memory short); nothing may cross C linkage.
        result = kMemErr;
    }
    delete utils;
    return result;
}

extern "C" int32_t decrypterbinaireMem2(const unsigned char* data, uint32_t length,
                                        unsigned char** out, uint32_t* outLength,
                                        const char* keyFolder, int32_t trace) {
    if (out == nullptr || outLength == nullptr) {
        return kOtherErr;
    }
    *out = nullptr;
    *outLength = 0;
    if ((data == nullptr && length != 0) || keyFolder == nullptr) {
        return kOtherErr;
    }
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils == nullptr) {
        return kOtherErr;
    }
    static const unsigned char kNoData = 0;
    const int32_t result = DecryptBinaryBuffer(utils, data != nullptr ? data : &kNoData, length,
                                               out, outLength, keyFolder, trace);
    delete utils;
    return result;
}
