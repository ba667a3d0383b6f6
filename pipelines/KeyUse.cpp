// The calling thread's key use hook, asked by the one place that holds both key files.
#include "pipelines/KeyUse.h"

#include "pipelines/TwoKeyEncryption.h"
#include "platform/ResultCodes.h"

namespace {

thread_local VeldoranKeyUseHook threadHook = nullptr;
thread_local void* threadContext = nullptr;

}  // namespace

void veldoranSetKeyUseHook(VeldoranKeyUseHook hook, void* context) {
    threadHook = hook;
    threadContext = hook != nullptr ? context : nullptr;
}

namespace veldoran {

int32_t AskKeyUse(const VeldoranKeyLayer* layers, uint32_t count) {
    return threadHook != nullptr ? threadHook(threadContext, layers, count) : kNoErr;
}

}  // namespace veldoran
