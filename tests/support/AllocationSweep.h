// The allocation-failure sweep: a run repeated once for every allocation a successful run
// takes, each time with that one allocation refused, so that every out-of-memory path of a
// component is taken once and checked by the caller.
#ifndef VELDORAN_TESTS_SUPPORT_ALLOCATIONSWEEP_H
#define VELDORAN_TESTS_SUPPORT_ALLOCATIONSWEEP_H

#include <gtest/gtest.h>

#include <string>

#include "support/FailingUtils.h"

namespace testsupport {

// calls: the allocations a successful run took (counted by the caller with a FailingUtils).
// run(utils, failing) gets a fresh utility object that refuses allocation number failing; each
// failure it reports names that allocation.
template <class Utils = FailingUtils, class Run>
void SweepAllocationFailures(int calls, Run&& run) {
    for (int failing = 1; failing <= calls; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " of " + std::to_string(calls));
        Utils utils;
        utils.FailCall(failing);
        run(utils, failing);
    }
}

}  // namespace testsupport

#endif
