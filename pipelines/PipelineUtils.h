// The utility object the pipelines create: TypUtilsUnix tuned for whole documents. A document
// passes through several blocks of about its own size, one form after the other, and faulting
// fresh memory in for each costs more than the encryption itself. So the last large block given
// back is kept and handed out again for the next large request it can hold (each large block
// is made with room for the later forms of the document), and large blocks ask for huge pages
// only up to the size where those still paid off when measured. Blocks are filled with spaces
// and given back by MyDisposeptr as with any utility object; at most one spare block is kept,
// and it is wiped and released before a larger block is allocated and when the object is
// deleted.
#ifndef VELDORAN_PIPELINES_PIPELINEUTILS_H
#define VELDORAN_PIPELINES_PIPELINEUTILS_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pipelines/KeyJournalCore.h"
#include "platform/FailureRecord.h"
#include "platform/Lifetime.h"
#include "platform/OwnedBlock.h"
#include "platform/TargetSink.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

class PipelineUtils : public TypUtilsUnix {
  public:
    PipelineUtils() = default;
    ~PipelineUtils() override;

    unsigned char* MyNewPtr(uint32_t size) override;
    void MyDisposeptr(unsigned char** block, uint32_t length) override;

  private:
    unsigned char* spare_ = nullptr;
    size_t spareCapacity_ = 0;
    // Bytes of the spare block its last user held, wiped when it goes back to the heap.
    size_t spareUsed_ = 0;
};

// Runs one entry function's work, run(utils), with a utility object of its own that is finished
// on every way out, and with the thread's failure report (and key journal findings) started
// afresh, the report finished with the
// run's result. kMemErr when the object cannot be made, and when the work throws: only a
// failed allocation of the standard library can, and nothing may cross C linkage.
template <class Utils = PipelineUtils, class Work>
int32_t RunWithUtils(Work&& run) {
    StartFailureReport();
    StartJournalFindings();
    Owned<Utils> utils;
    if (Create(&utils, nullptr) != kNoErr) {
        return FinishFailureReport(kMemErr);
    }
    try {
        return FinishFailureReport(run(utils.get()));
    } catch (...) {
        return FinishFailureReport(kMemErr);
    }
}

// RunWithUtils for an entry function that writes into a sink its caller opened: a run that fails
// abandons the sink, so that the caller is left with nothing half made.
template <class Work>
int32_t RunIntoSink(TargetSink* sink, Work&& run) {
    const int32_t result = RunWithUtils(run);
    if (result != kNoErr) {
        sink->Kill();
    }
    return result;
}

// What an entry function refused for a null argument returns: kOtherErr, its report started and
// finished like any run's, with no file to blame.
inline int32_t RefuseCall() {
    StartFailureReport();
    StartJournalFindings();
    return FinishFailureReport(kOtherErr);
}

// Runs run(target) for the target an entry function derives from its source: source followed
// by suffix. kOtherErr for a null source, kMemErr when the name cannot be allocated.
template <class Work>
int32_t RunWithSuffixedTarget(const char* source, const char* suffix, Work&& run) {
    if (source == nullptr) {
        return RefuseCall();
    }
    const size_t sourceLength = strlen(source);
    const size_t suffixLength = strlen(suffix);
    OwnedBlock target;
    if (sourceLength >= UINT32_MAX - suffixLength ||
        target.AllocateUnfilled(static_cast<uint32_t>(sourceLength + suffixLength + 1)) != kNoErr) {
        return kMemErr;
    }
    memcpy(target.data(), source, sourceLength);
    memcpy(target.data() + sourceLength, suffix, suffixLength + 1);
    return run(reinterpret_cast<const char*>(target.data()));
}

}  // namespace veldoran

#endif
