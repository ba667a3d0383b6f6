// What every fuzz target shares: the entry point that libFuzzer or the replay program calls once
// per input, and the one way a target reports a broken property (abort, which both of them and
// the sanitizers report with the input that caused it).
#ifndef VELDORAN_FUZZ_COMMON_FUZZTARGET_H
#define VELDORAN_FUZZ_COMMON_FUZZTARGET_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

// Runs one input; returns 0 (libFuzzer reserves other values).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzzsupport {

[[noreturn]] inline void Fail() {
    abort();
}

// Aborts unless holds: a property of the code under test.
inline void Check(bool holds) {
    if (!holds) {
        Fail();
    }
}

inline bool IsResult(int32_t result, std::initializer_list<int32_t> allowed) {
    for (const int32_t code : allowed) {
        if (result == code) {
            return true;
        }
    }
    return false;
}

}  // namespace fuzzsupport

#endif
