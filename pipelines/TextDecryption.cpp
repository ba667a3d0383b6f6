// The text decryption pipeline: source, armour, user key layer, master key layer, local text
// form, target. Each stage runs only when every earlier one succeeded; the first failure's code
// is the result and every entered stage still cleans up. Each form of the message is disposed
// of as soon as the next one exists, so at most two forms live at once, and the document is
// written straight from the decrypted message without a copy of its own.
#include "pipelines/TextDecryption.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "pipelines/OwnedBlock.h"
#include "pipelines/TextDecryptionCore.h"
#include "pipelines/TwoKeyDecryption.h"
#include "pipelines/TypPipelineUtils.h"
#include "pipelines/TypTargetWriter.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

constexpr char kTargetSuffix[] = ".txt";
// In moderate pieces: one read call of hundreds of MiB is markedly slower.
constexpr uint32_t kReadChunk = 4u << 20;

// Reads the whole source into source; opened for reading only.
int32_t ReadWhole(TypUtilsUnix* utils, TypFileRefUnix* sourceRef, int32_t trace,
                  OwnedBlock* source) {
    if (sourceRef->Exists() != kNoErr) {
        return kOtherErr;
    }
    int32_t result = sourceRef->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    int32_t length = 0;
    result = sourceRef->GetLength(&length);
    if (trace != 0) {
        printf("Source Length: %d\n", length);
    }
    if (result != kNoErr) {
        return result;
    }
    const auto sourceLength = static_cast<uint32_t>(length);
    *source->Length() = sourceLength;
    *source->Pointer() = utils->MyNewPtr(sourceLength);
    if (source->data() == nullptr) {
        *source->Length() = 0;
        return kMemErr;
    }
    sourceRef->SetFilePos(0);
    for (uint32_t done = 0; result == kNoErr && done < sourceLength; done += kReadChunk) {
        result = sourceRef->Read(source->data() + done, std::min(kReadChunk, sourceLength - done));
    }
    if (result != kNoErr) {
        source->Dispose();
    }
    return result;
}

int32_t SourceStage(TypUtilsUnix* utils, const char* path, int32_t trace, OwnedBlock* source) {
    auto* sourceRef = new (std::nothrow) TypFileRefUnix;
    if (sourceRef == nullptr) {
        return kMemErr;
    }
    int32_t result = kOtherErr;
    if (sourceRef->InitCreate(utils) == kNoErr && sourceRef->SetPath(path) == kNoErr) {
        result = ReadWhole(utils, sourceRef, trace, source);
    }
    sourceRef->CloseDF();
    sourceRef->Kill();
    delete sourceRef;
    return result;
}

// The local document in front of the recipient block, into a new target file that replaces
// the old one only once it is complete.
int32_t OutputStage(TypUtilsUnix* utils, const TypTargetWriterCalls* calls, const char* target,
                    OwnedBlock* message) {
    TypTargetWriter writer;
    writer.InitCreate(calls);
    int32_t result = writer.Open(target);
    uint32_t documentLength = 0;
    if (result == kNoErr) {
        result = veldoran::ToLocalDocument(utils, message, &documentLength);
    }
    if (result == kNoErr) {
        // A full disk is found out before anything is written.
        result = writer.Reserve(documentLength);
    }
    if (result == kNoErr) {
        result = writer.Write(message->data(), documentLength);
    }
    if (result == kNoErr) {
        result = writer.Commit();
    }
    writer.Kill();
    return result;
}

}  // namespace

int32_t DecryptTextFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls, const char* source,
                        const char* keyFolder, int32_t trace) {
    utils->InitCreate(nullptr);
    int32_t result = utils->SetKeyFolderPath(keyFolder) == kNoErr ? kNoErr : kOtherErr;
    if (trace != 0) {
        printf("VELDORAN DECRYPTAGE - v1.01 - ZELMOR\n");
    }

    // The target's path must fit a file reference like any other; found out before any file
    // is opened.
    const size_t sourceLength = strlen(source);
    char target[kMaxPathLength + 1] = {};
    if (sourceLength + strlen(kTargetSuffix) <= kMaxPathLength) {
        memcpy(target, source, sourceLength);
        memcpy(target + sourceLength, kTargetSuffix, sizeof kTargetSuffix);
    } else if (result == kNoErr) {
        result = kOtherErr;
    }

    OwnedBlock sourceBlock(utils);
    if (result == kNoErr) {
        result = SourceStage(utils, source, trace, &sourceBlock);
    }
    OwnedBlock message(utils);
    if (result == kNoErr) {
        result = veldoran::DecryptArmouredMessage(utils, sourceBlock.data(), sourceBlock.length(),
                                                  &sourceBlock, trace, &message);
    }
    if (trace != 0) {
        printf("Target File: %s%s\n", source, kTargetSuffix);
        printf("Target File Length: %d\n", static_cast<int>(message.length()));
    }
    if (result == kNoErr) {
        result = OutputStage(utils, calls, target, &message);
    }
    return result;
}

extern "C" int32_t decrypter2(const char* source, const char* keyFolder, int32_t trace) {
    if (source == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils == nullptr) {
        return kOtherErr;
    }
    int32_t result;
    try {
        result = DecryptTextFile(utils, nullptr, source, keyFolder, trace);
    } catch (...) {
        // Only the target writer's path texts can throw (memory short); nothing may cross C
        // linkage.
        result = kMemErr;
    }
    delete utils;
    return result;
}

extern "C" int32_t decrypter(const char* source) {
    return decrypter2(source, "", 0);
}
