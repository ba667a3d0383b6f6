// The file reference a pipeline reads its source through, made and given its path in one step.
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

}  // namespace veldoran

#endif
