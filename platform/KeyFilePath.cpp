// Key file paths.
#include "platform/KeyFilePath.h"

#include <cstdio>

namespace veldoran {

namespace {

// snprintf's result for the path: its length, or a negative number.
int FormatKeyFilePath(char* path, size_t size, const char* keyFolder, const char* name,
                      const char* yearText) {
    return yearText != nullptr
               ? snprintf(path, size, "%s%s/%s.%s", keyFolder, kKeyFilesFolder, name, yearText)
               : snprintf(path, size, "%s%s/%s", keyFolder, kKeyFilesFolder, name);
}

}  // namespace

bool KeyFilePath(const char* keyFolder, const char* name, const char* yearText, char* path) {
    if (keyFolder == nullptr || name == nullptr) {
        return false;
    }
    const int length = FormatKeyFilePath(path, kMaxPathLength + 1, keyFolder, name, yearText);
    return length >= 0 && length <= static_cast<int>(kMaxPathLength);
}

std::string KeyFilePathText(const std::string& keyFolder, const std::string& name,
                            const char* yearText) {
    const int length = FormatKeyFilePath(nullptr, 0, keyFolder.c_str(), name.c_str(), yearText);
    if (length <= 0) {
        return "";
    }
    std::string path(static_cast<size_t>(length), '\0');
    FormatKeyFilePath(&path[0], path.size() + 1, keyFolder.c_str(), name.c_str(), yearText);
    return path;
}

}  // namespace veldoran
