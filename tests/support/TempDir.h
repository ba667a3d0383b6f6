// A fresh temporary folder for one test, removed with everything in it when the test ends.
#ifndef VELDORAN_TESTS_SUPPORT_TEMPDIR_H
#define VELDORAN_TESTS_SUPPORT_TEMPDIR_H

#include <string>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path, ending with "/".
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

}  // namespace testsupport

#endif
