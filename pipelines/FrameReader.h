// Internal: the decryption side of the file run. An outer frame is taken apart as it arrives,
// from a raw file or from an armour being read: its two headers name and open the key files
// (the inner one only once the user stream uncovers it), and the message behind them, both
// layers taken off, goes to a sink. The frame is hashed as it passes and both its headers are
// kept, so that the read is noted in the key journal when the frame is done, without reading it
// again. Failures are kept, not acted on, until the caller has read what it must: a changed or
// cut armour reports its own code first, as when it was decoded whole.
#ifndef VELDORAN_PIPELINES_FRAMEREADER_H
#define VELDORAN_PIPELINES_FRAMEREADER_H

#include <stddef.h>
#include <stdint.h>

#include "crypto/TypKeyHeader.h"
#include "pipelines/FileRun.h"
#include "pipelines/KeyJournalCore.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/ResultCodes.h"

class TypCrypto;
class TypUtils;
class TypUtilsUnix;

namespace veldoran {

class FrameReader {
  public:
    static constexpr size_t kFrameHeaders = 2 * kKeyHeaderSize;

    // target: the path the message goes to, which must not be a key file of the frame;
    // window: the most bytes one Take hands over; sink (not owned) takes the message.
    FrameReader(TypUtils* utils, TypCrypto* crypto, const char* target, uint32_t window,
                ChunkSink* sink)
        : utils_(utils), crypto_(crypto), target_(target), window_(window), sink_(sink) {}

    // The next count bytes of an outer frame of outerLength bytes, at most window_ of them
    // behind the headers; data may be changed (and the sink may use room in front of it).
    void Take(uint32_t outerLength, unsigned char* data, size_t count);
    // Whether a key or the sink has failed, so that nothing more is taken.
    bool Failed() const { return keyResult_ != kNoErr || writeResult_ != kNoErr; }

    // After the whole frame was read: the codes of the layers in the order the whole-block
    // decryption met them, with their trace lines; once both layers are sound, the read noted
    // in the key journal (pipelines/KeyJournalCore.h) and the sink finished.
    int32_t Finish(int32_t trace);
    // Whether the run failed because the target names a key file of the frame.
    bool RefusedTarget() const { return refusedTarget_; }
    // The sink's first failure, or 0.
    int32_t writeResult() const { return writeResult_; }
    // The message length a whole-block decryption would hold once the master layer was tried:
    // the inner frame less its header, also after a key failure for which the cipher hands
    // back a block of that length (a missing key file, a position outside the key material, a
    // key read); 0 when decryption did not get that far or the failure hands back nothing.
    uint32_t MessageLengthHandedBack() const;

  private:
    void OpenUser();
    void OpenMaster();

    TypUtils* utils_;
    TypCrypto* crypto_;
    const char* target_;
    uint32_t window_;
    ChunkSink* sink_;
    uint32_t outerLength_ = 0;
    uint64_t decoded_ = 0;
    // Both frame headers in stored order; the inner one uncovered once the user layer is open.
    unsigned char headers_[kFrameHeaders] = {};
    ReadNote note_;
    FrameKey user_;
    FrameKey master_;
    TwoKeyStream layers_;
    bool userOpen_ = false;
    bool masterOpen_ = false;
    bool masterTried_ = false;
    bool refusedTarget_ = false;
    int32_t keyResult_ = kNoErr;
    int32_t writeResult_ = kNoErr;
};

// The start of a decrypting file run: utils (not yet initialised) set up and told the folder
// the key files are found under, and the run's banner line traced. 0, or kOtherErr when the
// folder does not fit.
int32_t StartDecryption(TypUtilsUnix* utils, const char* keyFolder, int32_t trace,
                        const char* banner);

}  // namespace veldoran

#endif
