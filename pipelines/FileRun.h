// Internal: the one run of the streaming file pipelines. A source hands the message over chunk
// by chunk, both key layers cover each chunk, and a sink takes it; for an encryption the run
// also keeps the order in which a key is spent: both keys locked and checked, the target open
// with its space set aside and every block obtained before either header is rewritten, and
// the headers rewritten before a device or pipe target is given a byte (it cannot take back
// what it was given), else only once the whole result waits in the temporary file.
#ifndef VELDORAN_PIPELINES_FILERUN_H
#define VELDORAN_PIPELINES_FILERUN_H

#include <stdint.h>

#include <functional>

#include "pipelines/SourceRef.h"
#include "pipelines/StreamOptions.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/OwnedBlock.h"
#include "platform/TargetSink.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"

namespace veldoran {

// Where a run's message comes from.
class ChunkSource {
  public:
    virtual ~ChunkSource() = default;
    // The next count bytes of the message into buffer. 0 or the failure's code.
    virtual int32_t Next(unsigned char* buffer, uint32_t count) = 0;
};

// Where the message goes once both layers cover it.
class ChunkSink {
  public:
    virtual ~ChunkSink() = default;
    // The frame headers in front of the message (for an encryption): the user key's, then the
    // master key's under the user stream. 0 or the failure's code.
    virtual int32_t Begin(const unsigned char* headers, uint32_t count) = 0;
    // The next count bytes of the message; data may be changed. 0 or the failure's code.
    virtual int32_t Put(unsigned char* data, uint32_t count) = 0;
    // After the last chunk. 0 or the failure's code.
    virtual int32_t Finish() = 0;
};

// A source file's bytes as they stand.
class FileSource : public ChunkSource {
  public:
    explicit FileSource(TypFileRefUnix* file) : file_(file) {}
    int32_t Next(unsigned char* buffer, uint32_t count) override {
        return ReadSource(file_, buffer, count);
    }

  private:
    TypFileRefUnix* file_;
};

// The target's bytes as they come.
class RawSink : public ChunkSink {
  public:
    explicit RawSink(TargetSink* writer) : writer_(writer) {}
    int32_t Begin(const unsigned char* headers, uint32_t count) override {
        return writer_->Write(headers, count);
    }
    int32_t Put(unsigned char* data, uint32_t count) override {
        return writer_->Write(data, count);
    }
    int32_t Finish() override { return 0; }

  private:
    TargetSink* writer_;
};

// Moves length bytes from source to sink through buffer, chunk by chunk, both layers put over
// each (the same XOR both ways; position counts from the message's first byte), reporting
// progress after each chunk. The first failure's code, or 0.
int32_t StreamLayers(ChunkSource* source, uint64_t length, TwoKeyStream* layers,
                     const OwnedBlock& buffer, ChunkSink* sink, const StreamOptions& options);

// Opens writer on target: 0, or the writer's code with the failure recorded as the target's
// (with the errno it left, where the writer did not record one itself).
int32_t OpenTarget(TargetWriter* writer, const char* target);

// What one encryption brings to the run; every pointer is the caller's.
struct EncryptionRun {
    HeldKeys* keys = nullptr;  // open: both keys locked and checked
    TargetSink* writer = nullptr;
    // The run's own writer (the same as writer), opened here on target; null for a sink the
    // caller opened.
    TargetWriter* opening = nullptr;
    const char* target = nullptr;
    uint64_t targetLength = 0;  // the space set aside
    uint32_t messageLength = 0;
    const OwnedBlock* buffer = nullptr;  // one chunk
    ChunkSource* source = nullptr;
    ChunkSink* sink = nullptr;
    const StreamOptions* options = nullptr;
    // Runs before the keys are spent for a target written in place, while nothing is written
    // yet (empty for nothing). 0 or the code that ends the run.
    std::function<int32_t()> beforeEarlyCommit;
    // Runs once the keys are spent (empty for nothing).
    std::function<void()> spent;
};

// Opens the target and sets its space aside, then spends the keys and writes the outer frame
// in the order above. 0 once the frame waits whole in the target (not yet committed) and the
// keys are spent, else the first failure's code; *spentEarly tells whether the keys were spent
// before anything was written.
int32_t RunEncryption(const EncryptionRun& run, bool* spentEarly);

}  // namespace veldoran

#endif
