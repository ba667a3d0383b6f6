// The calling thread's progress hook, handed to the streaming pipelines it runs.
#include "pipelines/Progress.h"

#include "pipelines/StreamOptions.h"
#include "pipelines/ThreadHook.h"

namespace {

thread_local veldoran::ThreadHook<VeldoranProgressHook> threadHook;

}  // namespace

void veldoranSetProgress(VeldoranProgressHook hook, void* context) {
    threadHook.Set(hook, context);
}

namespace veldoran {

StreamOptions CallersStreamOptions() {
    StreamOptions options;
    options.progress = threadHook.hook;
    options.progressContext = threadHook.context;
    return options;
}

}  // namespace veldoran
