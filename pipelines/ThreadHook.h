// A host's hook and its context as the calling thread set them, for the runs that thread makes
// later: each hook the library offers is kept in one of these, thread_local.
#ifndef VELDORAN_PIPELINES_THREADHOOK_H
#define VELDORAN_PIPELINES_THREADHOOK_H

namespace veldoran {

template <class Hook>
struct ThreadHook {
    Hook hook = nullptr;
    void* context = nullptr;

    // A null hook takes its context with it, so that no stale context outlives its hook.
    void Set(Hook newHook, void* newContext) {
        hook = newHook;
        context = newHook != nullptr ? newContext : nullptr;
    }
};

}  // namespace veldoran

#endif
