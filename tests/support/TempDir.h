// A fresh temporary folder for one test, removed with everything in it when the test ends.
#ifndef VELDORAN_TESTS_SUPPORT_TEMPDIR_H
#define VELDORAN_TESTS_SUPPORT_TEMPDIR_H

#include <string>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    // Under parent instead of the system's temporary folder.
    explicit TempDir(const std::string& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path, ending with "/".
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

// A folder for temporary folders whose files live in memory (/dev/shm when it is a writable
// folder, else the system's temporary folder): for tests that write and sync many files, where
// waiting for the disk would only slow them down.
std::string MemoryBackedTempParent();

}  // namespace testsupport

#endif
