// The source a file pipeline reads: a file reference made, given its path and opened for
// reading in one step, the same way for every pipeline.
#ifndef VELDORAN_PIPELINES_SOURCEREF_H
#define VELDORAN_PIPELINES_SOURCEREF_H

#include <stdint.h>

#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtils.h"

namespace veldoran {

// A reference to path in *ref, not yet opened. kMemErr when it cannot be allocated; kOtherErr
// when it cannot be initialised or the path does not fit.
inline int32_t MakeSourceRef(TypUtils* utils, const char* path, Owned<TypFileRefUnix>* ref) {
    const int32_t result = Create(ref, utils);
    if (result != kNoErr) {
        return result == kMemErr ? kMemErr : kOtherErr;
    }
    return (*ref)->SetPath(path) == kNoErr ? kNoErr : kOtherErr;
}

// How a pipeline takes its source.
struct SourceRules {
    // The length trace line's label, printed with the length whatever its query returned.
    const char* lengthLabel = "Source Length: ";
    // Refuse (kOtherErr) what is not a plain file: a device has no document of known length.
    bool regularOnly = false;
};

// The source file at path in *ref, opened for reading only (a source the user may read but not
// write is still taken) at its first byte, its length in *length. kOtherErr when it is
// missing; else the reference's, the open's or the length query's code. A failure is recorded
// as the source's.
int32_t OpenSourceFile(TypUtils* utils, const char* path, const SourceRules& rules, int32_t trace,
                       Owned<TypFileRefUnix>* ref, uint32_t* length);

// The next count bytes of the open source: 0, or its read's code, recorded as the source's
// failure.
int32_t ReadSource(TypFileRefUnix* source, unsigned char* buffer, uint32_t count);

}  // namespace veldoran

#endif
