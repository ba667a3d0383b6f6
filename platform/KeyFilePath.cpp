// Key file paths.
#include "platform/KeyFilePath.h"

#include <cstdio>

namespace veldoran {

bool KeyFilePath(const char* keyFolder, const char* name, const char* yearText, char* path) {
    if (keyFolder == nullptr || name == nullptr) {
        return false;
    }
    const int length =
        yearText != nullptr
            ? snprintf(path, kMaxPathLength + 1, "%sClefs/%s.%s", keyFolder, name, yearText)
            : snprintf(path, kMaxPathLength + 1, "%sClefs/%s", keyFolder, name);
    return length >= 0 && length <= static_cast<int>(kMaxPathLength);
}

}  // namespace veldoran
