// The binary pipelines: source, master key layer, user key layer, target, and the way back.
// Each stage runs only when every earlier one succeeded; the first failure's code is the
// result and every entered stage still cleans up. The files stream through one chunk buffer
// and the key stream windows, whatever their size, on the file run of pipelines/FileRun with a
// raw file as source and raw bytes as sink; the buffers keep whole blocks.
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
#include "pipelines/FileRun.h"
#include "pipelines/FrameReader.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TwoKeyDecryption.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/Lifetime.h"
#include "platform/OwnedBlock.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

using veldoran::OwnedBlock;

namespace veldoran {

// Where a binary file run writes.
struct BinaryTarget {
    // The target's path, or the name a sink the caller opened is known by (for the check that
    // it is none of the run's key files, and for the trace); null for a decryption's name
    // derived from its source.
    const char* name = nullptr;
    // A sink the caller opened (nothing written yet), or null for a writer the run opens on
    // name.
    TargetSink* opened = nullptr;
};

}  // namespace veldoran

namespace {

// Every length must stay below 2^31, the outer frame's included.
uint32_t LargestPlainLength() {
    return static_cast<uint32_t>(INT32_MAX) - veldoran::TwoLayerOverhead();
}

// The decrypted file's path: the source's less its last four characters (the ".vlb" that
// crypterbinaire adds), or the source's own when it has no more. target holds
// kMaxPathLength + 1 bytes; source is no longer than kMaxPathLength.
void DecryptedPath(const char* source, char* target) {
    const size_t length = strlen(source);
    constexpr size_t kSuffixLength = sizeof veldoran::kBinarySuffix - 1;
    const size_t kept = length > kSuffixLength ? length - kSuffixLength : length;
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

// The binary file run up to the outer frame waiting whole in the target and both keys spent,
// with the keys and the target of the caller, who releases the one and commits the other.
int32_t WriteBinaryFrame(TypUtilsUnix* utils, const veldoran::TwoKeyRequest& request,
                         const char* source, const veldoran::BinaryTarget& where,
                         const veldoran::StreamOptions& options, veldoran::HeldKeys* keys,
                         veldoran::TargetWriter* ownWriter, char* masterComment, char* userComment,
                         uint32_t* length) {
    int32_t result = veldoran::CheckFilePaths(request, source, where.name);
    if (result != kNoErr) {
        return result;
    }
    veldoran::Owned<TypFileRefUnix> sourceRef;
    veldoran::SourceRules rules;
    rules.lengthLabel = "Source length: ";
    result = veldoran::OpenSourceFile(utils, source, rules, request.trace, &sourceRef, length);
    if (result != kNoErr) {
        return result;
    }
    if (*length > LargestPlainLength()) {
        return kFrameTooLong;
    }
    result = keys->Open(request, *length);
    if (result != kNoErr) {
        return result;
    }
    OwnedBlock buffer(utils);
    result = buffer.Allocate(options.ChunkFor(*length));
    if (result != kNoErr) {
        return result;
    }
    keys->Comments(*length, masterComment, userComment);
    veldoran::TargetSink* writer = where.opened != nullptr ? where.opened : ownWriter;
    veldoran::FileSource message(sourceRef.get());
    veldoran::RawSink frame(writer);
    veldoran::EncryptionRun run;
    run.keys = keys;
    run.writer = writer;
    run.opening = where.opened != nullptr ? nullptr : ownWriter;
    run.target = where.name;
    run.targetLength = uint64_t{*length} + veldoran::TwoLayerOverhead();
    run.messageLength = *length;
    run.buffer = &buffer;
    run.source = &message;
    run.sink = &frame;
    run.options = &options;
    bool spentEarly = false;
    return veldoran::RunEncryption(run, &spentEarly);
}

int32_t EncryptBinaryTo(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const veldoran::BinaryTarget& where, const char* user,
                        const char* keyFolder, int32_t trace,
                        const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions settings = veldoran::GivenOrCallersOptions(options);
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (trace != 0) {
        printf("Year-1900: %s\n", yearText);
    }
    veldoran::HeldKeys keys(utils);
    veldoran::TargetWriter ownWriter;
    ownWriter.InitCreate(calls);
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    uint32_t length = 0;
    int32_t result =
        WriteBinaryFrame(utils, Request(keyFolder, user, yearText, trace), source, where, settings,
                         &keys, &ownWriter, masterComment, userComment, &length);
    const int32_t closed = keys.Close();
    if (result == kNoErr) {
        result = closed;
    }
    keys.Trace(result == kNoErr, length, masterComment, userComment);
    if (trace != 0) {
        printf("End of encoding process\n");
    }
    if (result != kNoErr) {
        return result;
    }
    if (trace != 0) {
        printf("TargetFile: %s\n", where.name);
        printf("TargetFile Len: %d\n", static_cast<int>(length + veldoran::TwoLayerOverhead()));
    }
    return where.opened != nullptr ? where.opened->Commit() : ownWriter.Commit();
}

int32_t DecryptBinaryTo(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const veldoran::BinaryTarget& where,
                        const char* keyFolder, int32_t trace,
                        const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions settings = veldoran::GivenOrCallersOptions(options);
    int32_t result =
        veldoran::StartDecryption(utils, keyFolder, trace, "VELDORAN DECRYPTAGE - v1.02 - ZELMOR");
    if (result != kNoErr) {
        return result;
    }
    if (strlen(source) > kMaxPathLength ||
        (where.name != nullptr && strlen(where.name) > kMaxPathLength)) {
        return kOtherErr;
    }
    char target[kMaxPathLength + 1] = {};
    if (where.name != nullptr) {
        memcpy(target, where.name, strlen(where.name) + 1);
    } else {
        DecryptedPath(source, target);
    }
    veldoran::Owned<TypFileRefUnix> sourceRef;
    uint32_t outerLength = 0;
    result = veldoran::OpenSourceFile(utils, source, veldoran::SourceRules(), trace, &sourceRef,
                                      &outerLength);
    if (result != kNoErr) {
        return result;
    }
    OwnedBlock buffer(utils);
    result = buffer.Allocate(settings.ChunkFor(outerLength));
    if (result != kNoErr) {
        return result;
    }
    // The target is prepared before the work, so that a target that cannot be written is
    // found out first. The old target, the source itself when they are one file, stays as it
    // was until the new content is complete.
    const uint32_t overhead = veldoran::TwoLayerOverhead();
    const uint32_t length = outerLength > overhead ? outerLength - overhead : 0;
    veldoran::TargetWriter ownWriter;
    ownWriter.InitCreate(calls);
    veldoran::TargetSink* writer = where.opened != nullptr ? where.opened : &ownWriter;
    result = where.opened != nullptr ? kNoErr : veldoran::OpenTarget(&ownWriter, target);
    if (result == kNoErr) {
        result = writer->Reserve(length);
    }
    if (result != kNoErr) {
        return result;
    }
    veldoran::Owned<TypCryptoUnix> crypto;
    result = veldoran::Create(&crypto, utils);
    if (result != kNoErr) {
        return result;
    }
    // Both frame headers first (each names its key file), then the data in chunks.
    veldoran::RawSink data(writer);
    veldoran::FrameReader frame(utils, crypto.get(), target, buffer.length(), &data);
    unsigned char headers[veldoran::FrameReader::kFrameHeaders] = {};
    result = veldoran::ReadSource(sourceRef.get(), headers,
                                  std::min<uint32_t>(outerLength, sizeof headers));
    if (result != kNoErr) {
        return result;
    }
    frame.Take(outerLength, headers, std::min<uint32_t>(outerLength, sizeof headers));
    for (uint32_t done = 0; result == kNoErr && !frame.Failed() && done < length;) {
        const uint32_t count = std::min(buffer.length(), length - done);
        result = veldoran::ReadSource(sourceRef.get(), buffer.data(), count);
        if (result == kNoErr) {
            frame.Take(outerLength, buffer.data(), count);
        }
        done += count;
        settings.Report(done, length);
    }
    const int32_t keysResult = frame.Finish(trace);
    if (keysResult != kNoErr) {
        // This run traces the data's length before it looks at the target.
        if (trace != 0 && frame.RefusedTarget()) {
            printf("UnCrypt datalen: %d\n", static_cast<int>(length));
        }
        return keysResult;
    }
    if (trace != 0) {
        printf("TargetFile: %s\n", target);
        printf("TargetFile Lenght: %d\n", static_cast<int>(length));
    }
    if (result == kNoErr) {
        result = frame.writeResult();
    }
    return result == kNoErr ? writer->Commit() : result;
}

}  // namespace

int32_t EncryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* target, const char* user,
                          const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options) {
    veldoran::BinaryTarget named;
    named.name = target;
    return EncryptBinaryTo(utils, calls, source, named, user, keyFolder, trace, options);
}

int32_t DecryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options) {
    return DecryptBinaryTo(utils, calls, source, veldoran::BinaryTarget(), keyFolder, trace,
                           options);
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
        OwnedBlock unsent(utils);
        unsent.Adopt(out, outLength);
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

namespace {

// An encryption's first trace lines: its arguments.
void TraceArguments(const char* source, const char* user, int32_t trace) {
    if (trace != 0) {
        printf("Veldoran Shell - version 1.01 - ZELMOR\n");
        printf("Source filename: %s\n", source);
        printf("Username       : %s\n", user);
    }
}

}  // namespace

extern "C" int32_t crypterbinaire2(const char* source, const char* target, const char* user,
                                   const char* keyFolder, int32_t trace) {
    if (source == nullptr || target == nullptr || user == nullptr || keyFolder == nullptr) {
        return veldoran::RefuseCall();
    }
    TraceArguments(source, user, trace);
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptBinaryFile(utils, nullptr, source, target, user, keyFolder, trace, nullptr);
    });
}

extern "C" int32_t crypterbinaire(const char* source, const char* user, const char* keyFolder,
                                  int32_t trace) {
    return veldoran::RunWithSuffixedTarget(
        source, veldoran::kBinarySuffix, [&](const char* target) {
            return crypterbinaire2(source, target, user, keyFolder, trace);
        });
}

extern "C" int32_t crypterbinaireMem2(const unsigned char* data, uint32_t length,
                                      unsigned char** out, uint32_t* outLength, const char* user,
                                      const char* keyFolder, int32_t trace) {
    if (out == nullptr || outLength == nullptr) {
        return veldoran::RefuseCall();
    }
    *out = nullptr;
    *outLength = 0;
    if ((data == nullptr && length != 0) || user == nullptr || keyFolder == nullptr) {
        return veldoran::RefuseCall();
    }
    const int32_t result = veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptBinaryBuffer(utils, data, length, out, outLength, user, keyFolder, trace);
    });
    if (result != kNoErr && *out != nullptr) {
        // Only a run cut short by an exception could leave a block here; it is a C heap block.
        OwnedBlock leftOver;
        leftOver.Adopt(out, outLength);
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
        return RefuseCall();
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
        return veldoran::RefuseCall();
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptBinaryFile(utils, nullptr, source, keyFolder, trace, nullptr);
    });
}

extern "C" int32_t decrypterbinaireMem2(const unsigned char* data, uint32_t length,
                                        unsigned char** out, uint32_t* outLength,
                                        const char* keyFolder, int32_t trace) {
    if (out == nullptr || outLength == nullptr) {
        return veldoran::RefuseCall();
    }
    *out = nullptr;
    *outLength = 0;
    if ((data == nullptr && length != 0) || keyFolder == nullptr) {
        return veldoran::RefuseCall();
    }
    static const unsigned char kNoData = 0;
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptBinaryBuffer(utils, data != nullptr ? data : &kNoData, length, out, outLength,
                                   keyFolder, trace);
    });
}

int32_t veldoran::EncryptBinaryFileInto(const char* source, TargetSink* writer,
                                        const char* targetName, const char* user,
                                        const char* keyFolder, int32_t trace) {
    if (source == nullptr || writer == nullptr || targetName == nullptr || user == nullptr ||
        keyFolder == nullptr) {
        return RefuseCall();
    }
    BinaryTarget where;
    where.name = targetName;
    where.opened = writer;
    TraceArguments(source, user, trace);
    return RunIntoSink(writer, [&](PipelineUtils* utils) {
        return EncryptBinaryTo(utils, nullptr, source, where, user, keyFolder, trace, nullptr);
    });
}

int32_t veldoran::DecryptBinaryFileInto(const char* source, TargetSink* writer,
                                        const char* targetName, const char* keyFolder,
                                        int32_t trace) {
    if (source == nullptr || writer == nullptr || targetName == nullptr || keyFolder == nullptr) {
        return RefuseCall();
    }
    BinaryTarget where;
    where.name = targetName;
    where.opened = writer;
    return RunIntoSink(writer, [&](PipelineUtils* utils) {
        return DecryptBinaryTo(utils, nullptr, source, where, keyFolder, trace, nullptr);
    });
}
