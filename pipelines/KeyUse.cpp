// The calling thread's key use hook, asked by the one place that holds both key files.
#include "pipelines/KeyUse.h"

#include "pipelines/ThreadHook.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/ResultCodes.h"

namespace {

thread_local veldoran::ThreadHook<VeldoranKeyUseHook> threadHook;
// The layer the running hook refused by name.
thread_local const VeldoranKeyLayer* refusedLayer = nullptr;

}  // namespace

void veldoranSetKeyUseHook(VeldoranKeyUseHook hook, void* context) {
    threadHook.Set(hook, context);
}

int32_t veldoranRefuseKeyUse(const VeldoranKeyLayer* layer) {
    refusedLayer = layer;
    return kKeyUseRefused;
}

namespace veldoran {

int32_t AskKeyUse(const VeldoranKeyLayer* layers, uint32_t count,
                  const VeldoranKeyLayer** refused) {
    refusedLayer = nullptr;
    const int32_t result =
        threadHook.hook != nullptr ? threadHook.hook(threadHook.context, layers, count) : kNoErr;
    *refused = result != kNoErr ? refusedLayer : nullptr;
    refusedLayer = nullptr;
    return result;
}

}  // namespace veldoran
