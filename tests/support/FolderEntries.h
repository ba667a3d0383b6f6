// The names in a folder, for the tests that check what a run left behind: no temporary file,
// no half-written target, nothing taken away.
#ifndef VELDORAN_TESTS_SUPPORT_FOLDERENTRIES_H
#define VELDORAN_TESTS_SUPPORT_FOLDERENTRIES_H

#include <filesystem>
#include <set>
#include <string>

namespace testsupport {

inline std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

}  // namespace testsupport

#endif
