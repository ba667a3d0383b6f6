// The calling thread's progress hook, handed to the streaming pipelines it runs.
#include "pipelines/Progress.h"

#include "pipelines/StreamOptions.h"

namespace {

thread_local VeldoranProgressHook threadHook = nullptr;
thread_local void* threadContext = nullptr;

}  // namespace

void veldoranSetProgress(VeldoranProgressHook hook, void* context) {
    threadHook = hook;
    threadContext = hook != nullptr ? context : nullptr;
}

namespace veldoran {

StreamOptions CallersStreamOptions() {
    StreamOptions options;
    options.progress = threadHook;
    options.progressContext = threadContext;
    return options;
}

}  // namespace veldoran
