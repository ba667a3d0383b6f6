// Unnamed files (O_TMPFILE) linked into place, with a hidden, exclusively created name where the
// file system has no unnamed files.
#include "shell/tool/ToolFolderFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace tool {

namespace {

std::string HiddenName() {
    uint64_t noise = 0;
    if (getrandom(&noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
        // The name only has to be new in this folder, and O_EXCL checks that.
        static uint64_t counter = 0;
        noise = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr)) ^
                ++counter;
    }
    char name[32];
    snprintf(name, sizeof name, ".veldoran-%016llx", static_cast<unsigned long long>(noise));
    return name;
}

// The system errors that mean the file system cannot hold an unnamed file.
bool NoUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

constexpr int kNameAttempts = 100;

}  // namespace

int Descriptor::Reset(int fd) {
    int result = 0;
    if (fd_ >= 0 && close(fd_) != 0) {
        result = errno;
    }
    fd_ = fd;
    return result;
}

FolderFile::~FolderFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (!hiddenName_.empty()) {
        unlinkat(folderFd_, hiddenName_.c_str(), 0);
    }
}

int FolderFile::Open(int folderFd, mode_t mode) {
    folderFd_ = folderFd;
    fd_ = openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    unnamed_ = fd_ >= 0;
    if (fd_ < 0 && !NoUnnamedFiles(errno)) {
        return errno;
    }
    for (int attempt = 0; fd_ < 0 && attempt < kNameAttempts; ++attempt) {
        const std::string name = HiddenName();
        fd_ = openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     mode);
        if (fd_ >= 0) {
            hiddenName_ = name;
        } else if (errno != EEXIST) {
            return errno;
        }
    }
    if (fd_ < 0) {
        return EEXIST;
    }
    return fchmod(fd_, mode) == 0 ? 0 : errno;
}

int FolderFile::LinkUnderHiddenName() {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = HiddenName();
        if (linkat(AT_FDCWD, procPath.c_str(), folderFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            hiddenName_ = name;
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

int FolderFile::Place(const std::string& name, bool replace) {
    if (fsync(fd_) != 0) {
        return errno;
    }
    if (unnamed_ && !replace) {
        // Linking fails on an existing name, so nothing standing there is ever touched.
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
        return linkat(AT_FDCWD, procPath.c_str(), folderFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0
                   ? 0
                   : errno;
    }
    if (unnamed_) {
        // rename is the one call that replaces a name in a single step; it needs a name to
        // start from.
        const int linked = LinkUnderHiddenName();
        if (linked != 0) {
            return linked;
        }
    }
    if (replace) {
        if (renameat(folderFd_, hiddenName_.c_str(), folderFd_, name.c_str()) != 0) {
            return errno;
        }
    } else {
        if (linkat(folderFd_, hiddenName_.c_str(), folderFd_, name.c_str(), 0) != 0) {
            return errno;
        }
        unlinkat(folderFd_, hiddenName_.c_str(), 0);
    }
    hiddenName_.clear();
    return 0;
}

}  // namespace tool
