// The scope guard of the object lifecycle: Kill then delete on every way out of a scope.
#include <gtest/gtest.h>

#include <string>

#include "platform/Lifetime.h"

namespace {

// Records the calls the lifecycle makes, in order.
std::string calls;

class Probe {
  public:
    ~Probe() { calls += "delete;"; }
    int32_t InitCreate(int32_t result) {
        calls += "init;";
        return result;
    }
    int32_t Kill() {
        calls += "kill;";
        return kNoErr;
    }
};

TEST(Lifetime, KillThenDeleteWhenTheScopeEnds) {
    for (const int32_t initResult : {kNoErr, kOtherErr}) {
        calls.clear();
        {
            veldoran::Owned<Probe> probe;
            EXPECT_EQ(veldoran::Create(&probe, initResult), initResult);
            // A failed InitCreate still leaves the object to be killed.
            EXPECT_NE(probe, nullptr);
        }
        EXPECT_EQ(calls, "init;kill;delete;");
    }
}

TEST(Lifetime, EmptyGuardDoesNothing) {
    calls.clear();
    { veldoran::Owned<Probe> probe; }
    EXPECT_EQ(calls, "");
}

}  // namespace
