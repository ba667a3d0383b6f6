// The current year as key files carry it: the text in their file names (years since 1900, the
// library's own rule) and the full year in their headers.
#ifndef VELDORAN_TESTS_SUPPORT_CURRENTYEAR_H
#define VELDORAN_TESTS_SUPPORT_CURRENTYEAR_H

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/KeyFileWriter.h"
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

// Writes a key of the current year to <keyFolder>Clefs/<name>.<year text>, making the Clefs
// folder when missing (keyFolder ends with "/"): materialLength random bytes made from seed,
// position keyOffset, every other field as KeyFileContents has it. Returns the key file's path,
// or "" when it could not be written.
inline std::string WriteCurrentYearKey(const std::string& keyFolder, const std::string& name,
                                       size_t materialLength, int32_t keyOffset = 0,
                                       uint32_t seed = 7) {
    std::error_code error;
    std::filesystem::create_directories(keyFolder + "Clefs", error);
    KeyFileContents contents;
    contents.name = name;
    contents.year = CurrentFullYear();
    contents.keyOffset = keyOffset;
    contents.material = RandomBytes(materialLength, seed);
    const std::string path = keyFolder + "Clefs/" + name + "." + CurrentYearText();
    return WriteKeyFile(path, contents) ? path : std::string();
}

}  // namespace testsupport

#endif
