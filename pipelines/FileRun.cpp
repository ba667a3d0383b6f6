// The streaming file pipelines' one run, and the order of spending keys held in one place.
#include "pipelines/FileRun.h"

#include <cerrno>

#include "crypto/TypKeyHeader.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"

int32_t veldoran::OpenTarget(TargetWriter* writer, const char* target) {
    errno = 0;
    const int32_t result = writer->Open(target);
    if (result != kNoErr) {
        CorrectFailureStep(kVeldoranRoleTarget, kVeldoranStepOpen);
    }
    return RecordFailure(kVeldoranRoleTarget, result, target, kVeldoranStepOpen, errno);
}

int32_t veldoran::StreamLayers(ChunkSource* source, uint64_t length, TwoKeyStream* layers,
                               const OwnedBlock& buffer, ChunkSink* sink,
                               const StreamOptions& options) {
    int32_t result = kNoErr;
    for (uint64_t done = 0; result == kNoErr && done < length;) {
        const auto count = static_cast<uint32_t>(length - done < buffer.length() ? length - done
                                                                                 : buffer.length());
        result = source->Next(buffer.data(), count);
        if (result == kNoErr) {
            result = layers->Layer(buffer.data(), count, done);
        }
        if (result == kNoErr) {
            result = sink->Put(buffer.data(), count);
        }
        done += count;
        options.Report(done, length);
    }
    return result;
}

namespace {

// The outer frame: the user key's header, the master key's header under the user stream, then
// the message under both streams.
int32_t WriteFrame(const veldoran::EncryptionRun& run) {
    veldoran::TwoKeyStream layers;
    int32_t result = layers.Open(veldoran::SpentStream(run.keys->master()),
                                 veldoran::SpentStream(run.keys->user()), run.messageLength,
                                 run.buffer->length());
    if (result != kNoErr) {
        return result;
    }
    unsigned char headers[2 * kKeyHeaderSize];
    run.keys->FrameHeaders(headers);
    result = layers.CoverInnerHeader(headers + kKeyHeaderSize);
    if (result == kNoErr) {
        result = run.sink->Begin(headers, sizeof headers);
    }
    if (result == kNoErr) {
        result = veldoran::StreamLayers(run.source, run.messageLength, &layers, *run.buffer,
                                        run.sink, *run.options);
    }
    return result == kNoErr ? run.sink->Finish() : result;
}

// Both headers rewritten and, for a target that is not written in place, put on stable
// storage together with the frame waiting in the temporary file; the caller's Commit then only
// gives the frame its name.
int32_t Spend(const veldoran::EncryptionRun& run) {
    veldoran::TargetSink* writer = run.writer;
    const int32_t result =
        writer->InPlace()
            ? run.keys->Commit(run.messageLength)
            : run.keys->Commit(run.messageLength, [writer]() { return writer->SyncContent(); });
    if (result == kNoErr && run.spent) {
        run.spent();
    }
    return result;
}

}  // namespace

int32_t veldoran::RunEncryption(const EncryptionRun& run, bool* spentEarly) {
    *spentEarly = false;
    int32_t result = run.opening != nullptr ? OpenTarget(run.opening, run.target) : kNoErr;
    if (result == kNoErr) {
        result = run.writer->Reserve(run.targetLength);
    }
    if (result == kNoErr && run.writer->InPlace()) {
        if (run.beforeEarlyCommit) {
            result = run.beforeEarlyCommit();
        }
        if (result == kNoErr) {
            *spentEarly = true;
            result = Spend(run);
        }
    }
    if (result == kNoErr) {
        result = WriteFrame(run);
    }
    if (result == kNoErr && !*spentEarly) {
        result = Spend(run);
    }
    return result;
}
