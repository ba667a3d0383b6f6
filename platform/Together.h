// Steps that wait on the disk, run at the same time: each step on a thread of its own, so that
// several syncs cost the time of the slowest rather than of all of them added up.
#ifndef VELDORAN_PLATFORM_TOGETHER_H
#define VELDORAN_PLATFORM_TOGETHER_H

#include <stddef.h>
#include <stdint.h>

#include <functional>

namespace veldoran {

// The most steps one call runs.
constexpr size_t kMostTogether = 8;

// Runs the count steps (at most kMostTogether) (an empty one does nothing and gives 0) and returns
// once every one has ended. The last step runs on the calling thread and the others each on a
// thread of its own; a step whose thread cannot be started runs on the calling thread instead, so
// the steps always all run, only not always at once. The result is the first non-zero result in
// step order, or 0. The steps must not depend on one another's order.
int32_t RunTogether(const std::function<int32_t()>* steps, size_t count);

}  // namespace veldoran

#endif
