// Whether the test runs under valgrind, for the few cases that cannot run there (an address-space
// cap valgrind's own heap cannot live within) or would only repeat, many times slower, the
// memory paths that other cases already take there (hundreds of processes started and killed).
#ifndef VELDORAN_TESTS_SUPPORT_VALGRIND_H
#define VELDORAN_TESTS_SUPPORT_VALGRIND_H

// Valgrind ships its client-request header with the tool itself; without it, no run is one.
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace testsupport {

inline bool RunningOnValgrind() {
#ifdef RUNNING_ON_VALGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

}  // namespace testsupport

#endif
