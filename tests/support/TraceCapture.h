// What a piece of a test prints on the standard output: the trace lines the library writes when
// asked, and the proof that it writes none otherwise.
#ifndef VELDORAN_TESTS_SUPPORT_TRACECAPTURE_H
#define VELDORAN_TESTS_SUPPORT_TRACECAPTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/CurrentYear.h"

namespace testsupport {

inline std::string Captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// The comment line a key of the current year gives a message after its useCount-th use.
inline std::string KeyComment(const std::string& name, int32_t useCount) {
    return "$VELDORAN initial, clef v1 " + name + "." + CurrentYearText() + " MID " +
           std::to_string(useCount) + "\n";
}

}  // namespace testsupport

#endif
