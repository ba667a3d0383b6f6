// Steps run on threads of their own, joined before the result is known.
#include "platform/Together.h"

#include <pthread.h>

#include <cassert>

#include "platform/ResultCodes.h"

namespace {

struct Started {
    const std::function<int32_t()>* step = nullptr;
    int32_t result = kNoErr;
    pthread_t thread{};
    bool running = false;
};

void* RunStep(void* argument) {
    auto* started = static_cast<Started*>(argument);
    started->result = (*started->step) ? (*started->step)() : kNoErr;
    return nullptr;
}

}  // namespace

int32_t veldoran::RunTogether(const std::function<int32_t()>* steps, size_t count) {
    if (count == 0) {
        return kNoErr;
    }
    // Plain pthreads: starting a thread may fail, and that failure is only a slower path here,
    // never an exception.
    assert(count <= kMostTogether);
    Started started[kMostTogether];
    for (size_t i = 0; i + 1 < count; ++i) {
        started[i].step = &steps[i];
        if (steps[i]) {
            started[i].running =
                pthread_create(&started[i].thread, nullptr, RunStep, &started[i]) == 0;
        }
    }
    started[count - 1].step = &steps[count - 1];
    RunStep(&started[count - 1]);
    for (size_t i = 0; i + 1 < count; ++i) {
        if (started[i].running) {
            pthread_join(started[i].thread, nullptr);
        } else {
            RunStep(&started[i]);
        }
    }
    for (const Started& step : started) {
        if (step.result != kNoErr) {
            return step.result;
        }
    }
    return kNoErr;
}
