// Steps run on threads of their own, joined before the result is known.
#include "platform/Together.h"

#include <pthread.h>

#include <cassert>

#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"

namespace {

struct Started {
    const std::function<int32_t()>* step = nullptr;
    int32_t result = kNoErr;
    pthread_t thread{};
    bool running = false;
    // What the step's own thread recorded of a failure, for the thread whose run it is.
    VeldoranFailure failure{};
};

void* RunStep(void* argument) {
    auto* started = static_cast<Started*>(argument);
    started->result = (*started->step) ? (*started->step)() : kNoErr;
    return nullptr;
}

void* RunStepOnItsThread(void* argument) {
    RunStep(argument);
    auto* started = static_cast<Started*>(argument);
    if (started->result != kNoErr) {
        started->failure = veldoran::CarryFailure();
    }
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
                pthread_create(&started[i].thread, nullptr, RunStepOnItsThread, &started[i]) == 0;
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
            veldoran::AdoptFailure(step.failure);
            return step.result;
        }
    }
    return kNoErr;
}
