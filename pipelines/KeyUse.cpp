// The calling thread's key use hook, asked by the one place that holds both key files.
#include "pipelines/KeyUse.h"

#include "pipelines/ThreadHook.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/ResultCodes.h"

namespace {

thread_local veldoran::ThreadHook<VeldoranKeyUseHook> threadHook;

}  // namespace

void veldoranSetKeyUseHook(VeldoranKeyUseHook hook, void* context) {
    threadHook.Set(hook, context);
}

namespace veldoran {

int32_t AskKeyUse(const VeldoranKeyLayer* layers, uint32_t count) {
    return threadHook.hook != nullptr ? threadHook.hook(threadHook.context, layers, count) : kNoErr;
}

}  // namespace veldoran
