// The current year as key files carry it: the text in their file names (years since 1900, the
// library's own rule) and the full year in their headers.
#ifndef VELDORAN_TESTS_SUPPORT_CURRENTYEAR_H
#define VELDORAN_TESTS_SUPPORT_CURRENTYEAR_H

#include <cstdint>
#include <ctime>
#include <string>

#include "veldoran.h"

namespace testsupport {

inline std::string CurrentYearText() {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    char text[16] = {};
    utils.GetYearAsText(text);
    return text;
}

inline int32_t CurrentFullYear() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

}  // namespace testsupport

#endif
