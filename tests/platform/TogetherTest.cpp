// Steps run together: all of them at once where threads can be had, every one of them always,
// and the first failure in step order as the result.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/ResultCodes.h"
#include "platform/Together.h"

namespace {

// Each step arrives, then waits for all the others: steps run one after the other would each
// wait in vain (the bound only keeps a broken run from hanging) and fail.
TEST(Together, EveryStepRunsWhileTheOthersDo) {
    for (const size_t count : {size_t{2}, size_t{3}, veldoran::kMostTogether}) {
        SCOPED_TRACE(std::to_string(count) + " steps");
        std::atomic<size_t> arrived{0};
        std::vector<std::function<int32_t()>> steps(count, [&arrived, count]() {
            ++arrived;
            const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (arrived.load() < count && std::chrono::steady_clock::now() < bound) {
                std::this_thread::yield();
            }
            return arrived.load() == count ? kNoErr : kOtherErr;
        });
        EXPECT_EQ(veldoran::RunTogether(steps.data(), steps.size()), kNoErr);
    }
}

TEST(Together, TheFirstFailureInStepOrderWinsAndEveryStepStillRuns) {
    struct Case {
        const char* label;
        std::vector<int32_t> results;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"all succeed", {kNoErr, kNoErr, kNoErr}, kNoErr},
        {"only the step on the calling thread fails", {kNoErr, kNoErr, kMemErr}, kMemErr},
        {"an earlier step's failure outranks a later one", {kNoErr, kOtherErr, kMemErr}, kOtherErr},
        {"a single step", {kFileClosed}, kFileClosed},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        std::vector<std::atomic<int>> ran(testCase.results.size());
        std::vector<std::function<int32_t()>> steps;
        for (size_t i = 0; i < testCase.results.size(); ++i) {
            steps.emplace_back([&ran, &testCase, i]() {
                ++ran[i];
                return testCase.results[i];
            });
        }
        EXPECT_EQ(veldoran::RunTogether(steps.data(), steps.size()), testCase.expected);
        for (const std::atomic<int>& times : ran) {
            EXPECT_EQ(times.load(), 1);
        }
    }
    // An empty step is nothing to do, and no steps at all are no failure.
    const std::function<int32_t()> empty[2] = {};
    EXPECT_EQ(veldoran::RunTogether(empty, 2), kNoErr);
    EXPECT_EQ(veldoran::RunTogether(nullptr, 0), kNoErr);
}

}  // namespace
