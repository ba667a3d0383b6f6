// The binary pipelines: source, master key layer, user key layer, target, and the way back.
// Each stage runs only when every earlier one succeeded; the first failure's code is the
// result and every entered stage still cleans up. The files stream through one chunk buffer
// and the key stream windows, whatever their size; the buffers keep whole blocks.
#include "pipelines/BinaryPipelines.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crypto/LockedKeyFile.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/BinaryPipelinesCore.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TargetWriter.h"
#include "pipelines/TwoKeyDecryption.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

using veldoran::OwnedBlock;

namespace {

// Every length must stay below 2^31, the outer frame's included.
uint32_t LargestPlainLength() {
    return static_cast<uint32_t>(INT32_MAX) - veldoran::TwoLayerOverhead();
}

// The source file at path opened for reading (only read) at its first byte, its length in
// *length. A file longer than longest is refused with kFrameTooLong. The length line is
// printed with its label whatever the length query returned.
int32_t OpenSource(TypUtils* utils, const char* path, uint32_t longest, const char* lengthLabel,
                   int32_t trace, veldoran::Owned<TypFileRefUnix>* sourceRef, uint32_t* length) {
    int32_t result = veldoran::MakeSourceRef(utils, path, sourceRef);
    if (result != kNoErr) {
        return result;
    }
    if ((*sourceRef)->Exists() != kNoErr) {
        return kOtherErr;
    }
    result = (*sourceRef)->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    int32_t sourceLength = 0;
    result = (*sourceRef)->GetLength(&sourceLength);
    if (trace != 0) {
        printf("%s%d\n", lengthLabel, sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    if (sourceLength < 0 || static_cast<uint32_t>(sourceLength) > longest) {
        return kFrameTooLong;
    }
    *length = static_cast<uint32_t>(sourceLength);
    return (*sourceRef)->SetFilePos(0);
}

// The one chunk buffer of a streaming run, obtained once and reused for every chunk.
int32_t AllocateChunk(TypUtils* utils, uint32_t chunk, OwnedBlock* buffer) {
    *buffer->Length() = chunk;
    *buffer->Pointer() = utils->MyNewPtr(chunk);
    if (buffer->data() == nullptr) {
        *buffer->Length() = 0;
        return kMemErr;
    }
    return kNoErr;
}

// Reads the source's next length bytes in chunks through buffer, puts both key layers over
// each chunk (the same XOR both ways; position counts from the message's first byte) and
// appends it to the target.
int32_t StreamLayers(TypFileRefUnix* sourceRef, uint32_t length, veldoran::TwoKeyStream* layers,
                     OwnedBlock* buffer, veldoran::TargetWriter* writer,
                     const veldoran::StreamOptions& options) {
    int32_t result = kNoErr;
    for (uint32_t done = 0; result == kNoErr && done < length;) {
        const uint32_t count = std::min(buffer->length(), length - done);
        result = sourceRef->Read(buffer->data(), count);
        if (result == kNoErr) {
            result = layers->Layer(buffer->data(), count, done);
        }
        if (result == kNoErr) {
            result = writer->Write(buffer->data(), count);
        }
        done += count;
        options.Report(done, length);
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

int32_t EncryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* target, const char* user,
                          const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions defaults = veldoran::CallersStreamOptions();
    if (options == nullptr) {
        options = &defaults;
    }
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (trace != 0) {
        printf("Year-1900: %s\n", yearText);
    }
    const veldoran::TwoKeyRequest request = Request(keyFolder, user, yearText, trace);
    int32_t result = veldoran::CheckFilePaths(request, source, target);

    veldoran::Owned<TypFileRefUnix> sourceRef;
    uint32_t length = 0;
    if (result == kNoErr) {
        result = OpenSource(utils, source, LargestPlainLength(), "Source length: ", trace,
                            &sourceRef, &length);
    }
    const uint32_t outerLength = length + veldoran::TwoLayerOverhead();

    // Both keys are held and checked, the buffer obtained and the target's temporary file and
    // space set aside before either key is spent: a run that could not write its result
    // consumes no key material.
    veldoran::HeldKeys keys(utils);
    if (result == kNoErr) {
        result = keys.Open(request, length);
    }
    OwnedBlock buffer(utils);
    if (result == kNoErr) {
        result = AllocateChunk(utils, options->Chunk(), &buffer);
    }
    veldoran::TargetWriter writer;
    writer.InitCreate(calls);
    if (result == kNoErr) {
        result = writer.Open(target);
    }
    if (result == kNoErr) {
        result = writer.Reserve(outerLength);
    }
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    if (result == kNoErr) {
        keys.Comments(length, masterComment, userComment);
    }
    // A device or a pipe cannot take back what it was given: the keys are spent before
    // anything is written, as when the frame was made whole.
    bool committed = false;
    if (result == kNoErr && writer.InPlace()) {
        result = keys.Commit(length);
        committed = true;
    }

    // The outer frame: the user key's header, the master key's header under the user stream,
    // then the data under both streams.
    veldoran::TwoKeyStream layers;
    if (result == kNoErr) {
        veldoran::LockedKeyFile& master = keys.master();
        veldoran::LockedKeyFile& userKey = keys.user();
        result = layers.Open(
            {master.KeyFile(), static_cast<uint32_t>(master.Header().keyLen), master.StreamStart()},
            {userKey.KeyFile(), static_cast<uint32_t>(userKey.Header().keyLen),
             userKey.StreamStart()},
            length, buffer.length());
    }
    if (result == kNoErr) {
        unsigned char headers[2 * kKeyHeaderSize];
        keys.FrameHeaders(headers);
        result = layers.CoverInnerHeader(headers + kKeyHeaderSize);
        if (result == kNoErr) {
            result = writer.Write(headers, sizeof headers);
        }
    }
    if (result == kNoErr) {
        result = StreamLayers(sourceRef.get(), length, &layers, &buffer, &writer, *options);
    }
    // The keys are spent only once the whole frame waits in the temporary file; and the
    // target appears only once they are.
    if (result == kNoErr && !committed) {
        result = keys.Commit(length);
    }
    const int32_t closed = keys.Close();
    if (result == kNoErr) {
        result = closed;
    }
    keys.Trace(result == kNoErr, length, masterComment, userComment);
    buffer.Dispose();
    if (trace != 0) {
        printf("End of encoding process\n");
    }

    if (result == kNoErr) {
        if (trace != 0) {
            printf("TargetFile: %s\n", target);
            printf("TargetFile Len: %d\n", static_cast<int>(outerLength));
        }
        result = writer.Commit();
    }
    writer.Kill();
    if (sourceRef) {
        sourceRef->CloseDF();
    }
    return result;
}

int32_t DecryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions defaults = veldoran::CallersStreamOptions();
    if (options == nullptr) {
        options = &defaults;
    }
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

    veldoran::Owned<TypFileRefUnix> sourceRef;
    uint32_t outerLength = 0;
    if (result == kNoErr) {
        result = OpenSource(utils, source, static_cast<uint32_t>(INT32_MAX),
                            "Source Length: ", trace, &sourceRef, &outerLength);
    }
    OwnedBlock buffer(utils);
    if (result == kNoErr) {
        result = AllocateChunk(utils, options->Chunk(), &buffer);
    }

    // The target is prepared before the work, so that a target that cannot be written is
    // found out first. The old target, the source itself when they are one file, stays as it
    // was until the new content is complete.
    const uint32_t overhead = veldoran::TwoLayerOverhead();
    const uint32_t length = outerLength > overhead ? outerLength - overhead : 0;
    veldoran::TargetWriter writer;
    writer.InitCreate(calls);
    if (result == kNoErr) {
        result = writer.Open(target);
    }
    if (result == kNoErr) {
        result = writer.Reserve(length);
    }
    veldoran::Owned<TypCryptoUnix> crypto;
    if (result == kNoErr) {
        result = veldoran::Create(&crypto, utils);
    }

    // Both frame headers, the inner one still under the user stream; each names its key file.
    unsigned char headers[2 * kKeyHeaderSize] = {};
    if (result == kNoErr) {
        result = sourceRef->Read(headers, std::min<uint32_t>(outerLength, sizeof headers));
    }
    veldoran::FrameKey userKey;
    veldoran::FrameKey masterKey;
    veldoran::TwoKeyStream layers;
    if (result == kNoErr) {
        result = outerLength < kKeyHeaderSize ? kFrameTooShort
                                              : userKey.Open(utils, crypto.get(), headers);
    }
    if (result == kNoErr && trace != 0) {
        printf("UnCrypt datalen2: %d\n", static_cast<int>(outerLength - kKeyHeaderSize));
    }
    if (result == kNoErr) {
        result = outerLength < overhead
                     ? kFrameTooShort
                     : layers.OpenUser(userKey.source(), length, buffer.length());
    }
    if (result == kNoErr) {
        result = layers.CoverInnerHeader(headers + kKeyHeaderSize);
    }
    if (result == kNoErr) {
        result = masterKey.Open(utils, crypto.get(), headers + kKeyHeaderSize);
    }
    if (result == kNoErr) {
        result = layers.OpenMaster(masterKey.source(), length, buffer.length());
    }
    if (result == kNoErr && trace != 0) {
        printf("UnCrypt datalen: %d\n", static_cast<int>(length));
    }
    // Writing the data over a key file the frames name would destroy that key.
    if (result == kNoErr && (userKey.Names(target) || masterKey.Names(target))) {
        result = kOtherErr;
    }

    if (result == kNoErr) {
        if (trace != 0) {
            printf("TargetFile: %s\n", target);
            printf("TargetFile Lenght: %d\n", static_cast<int>(length));
        }
        result = StreamLayers(sourceRef.get(), length, &layers, &buffer, &writer, *options);
    }
    if (result == kNoErr) {
        result = writer.Commit();
    }
    writer.Kill();
    if (sourceRef) {
        sourceRef->CloseDF();
    }
    return result;
}

int32_t EncryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* user,
                            const char* keyFolder, int32_t trace,
                            const veldoran::FrameWriter* write) {
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (!veldoran::KeyPathsFit(Request(keyFolder, user, yearText, trace))) {
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
    veldoran::FrameReady ready;
    if (write != nullptr) {
        ready = [write](const unsigned char* frame, uint32_t frameLength, const char*,
                        const char*) { return (*write)(frame, frameLength); };
    }
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    const int32_t result = veldoran::EncryptWithBothKeys(
        utils, Request(keyFolder, user, yearText, trace), data != nullptr ? data : &kNoData, length,
        prepare, out, outLength, masterComment, userComment, ready);
    if (result != kNoErr || write != nullptr) {
        // The caller owns whatever *out holds: a failed run hands back no frame at all, since
        // a frame that did not complete may hold the data or key stream in the clear; a written
        // frame is not handed back either.
        utils->MyDisposeptr(out, *outLength);
        *out = nullptr;
        *outLength = 0;
    }
    if (result != kNoErr) {
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
    if (result != kNoErr) {
        return result;
    }
    // Empty after a failure: the caller gets nothing.
    OwnedBlock message(utils);
    result = veldoran::RemoveBothLayers(utils, data, length, nullptr, trace, &message);
    *outLength = message.length();
    *out = message.Release();
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
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptBinaryFile(utils, nullptr, source, target, user, keyFolder, trace, nullptr);
    });
}

extern "C" int32_t crypterbinaire(const char* source, const char* user, const char* keyFolder,
                                  int32_t trace) {
    return veldoran::RunWithSuffixedTarget(source, ".vlb", [&](const char* target) {
        return crypterbinaire2(source, target, user, keyFolder, trace);
    });
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
    const int32_t result = veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptBinaryBuffer(utils, data, length, out, outLength, user, keyFolder, trace);
    });
    if (result != kNoErr && *out != nullptr) {
        // Only a run cut short by an exception could leave a block here; it is a C heap block.
        free(*out);
        *out = nullptr;
        *outLength = 0;
    }
    if (trace != 0) {
        printf("End of encoding process\n");
    }
    return result;
}

int32_t veldoran::EncryptBytesToWriter(const unsigned char* data, uint32_t length,
                                       const FrameWriter& write, const char* user,
                                       const char* keyFolder, int32_t trace) {
    if ((data == nullptr && length != 0) || !write || user == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    unsigned char* none = nullptr;
    uint32_t noneLength = 0;
    const int32_t result = veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptBinaryBuffer(utils, data, length, &none, &noneLength, user, keyFolder, trace,
                                   &write);
    });
    if (trace != 0) {
        printf("End of encoding process\n");
    }
    return result;
}

extern "C" int32_t decrypterbinaire(const char* source, const char* keyFolder, int32_t trace) {
    if (source == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptBinaryFile(utils, nullptr, source, keyFolder, trace, nullptr);
    });
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
    static const unsigned char kNoData = 0;
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptBinaryBuffer(utils, data != nullptr ? data : &kNoData, length, out, outLength,
                                   keyFolder, trace);
    });
}
