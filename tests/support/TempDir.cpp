// Temporary folders for tests.
#include "support/TempDir.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}

TempDir::TempDir(const std::string& parent) {
    std::string pattern = (std::filesystem::path(parent) / "veldoran-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string MemoryBackedTempParent() {
    const char* shared = "/dev/shm";
    return access(shared, W_OK | X_OK) == 0 && std::filesystem::is_directory(shared)
               ? std::string(shared)
               : std::filesystem::temp_directory_path().string();
}

}  // namespace testsupport
