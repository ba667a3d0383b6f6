// Whole-file reads, one-step file replacement and path helpers for veldoran-tool.
#include "shell/tool/ToolFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

bool IsStandardStream(const std::string& path) {
    return path.empty() || path == "-";
}

int32_t ReadWholeInput(const std::string& path, std::string* content) {
    content->clear();
    const bool standard = IsStandardStream(path);
    FILE* stream = standard ? stdin : fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        return Fail(kOtherErr, path, SystemError("cannot be opened"));
    }
    struct stat status {};
    if (fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
        fclose(stream);
        return Fail(kOtherErr, path, "is a folder, not a file");
    }
    if (S_ISREG(status.st_mode) && status.st_size > 0) {
        content->reserve(static_cast<size_t>(status.st_size));
    }
    char buffer[1 << 16];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) {
        content->append(buffer, got);
    }
    const bool failed = ferror(stream) != 0;
    const int savedErrno = errno;
    if (!standard) {
        fclose(stream);
    }
    if (failed) {
        errno = savedErrno;
        return Fail(kOtherErr, DisplayName(path, false), SystemError("cannot be read"));
    }
    return kNoErr;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (!temporaryPath_.empty()) {
        unlink(temporaryPath_.c_str());
    }
}

int32_t OutputFile::Open(const std::string& path) {
    path_ = path;
    toStandardOutput_ = IsStandardStream(path);
    if (toStandardOutput_) {
        return kNoErr;
    }
    struct stat existing {};
    const bool exists = stat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        return Fail(kOtherErr, path, "is a folder");
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        fd_ = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return fd_ >= 0 ? kNoErr : Fail(kOtherErr, path, SystemError("cannot be written"));
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = folder + "." + name + ".XXXXXX";
    fd_ = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd_ < 0) {
        return Fail(kOtherErr, path, SystemError("cannot be written"));
    }
    temporaryPath_ = temporary;
    mode_t mode = 0;
    if (exists) {
        mode = existing.st_mode & 0777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd_, mode) != 0) {
        return Fail(kOtherErr, path, SystemError("cannot be written"));
    }
    return kNoErr;
}

int32_t OutputFile::Write(const unsigned char* data, size_t count) {
    if (toStandardOutput_) {
        if (count > 0 && fwrite(data, 1, count, stdout) != count) {
            return Fail(kOtherErr, "standard output", SystemError("cannot be written"));
        }
        return kNoErr;
    }
    while (count > 0) {
        const ssize_t written = write(fd_, data, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return Fail(kOtherErr, path_, SystemError("cannot be written"));
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
    return kNoErr;
}

int32_t OutputFile::Commit() {
    if (toStandardOutput_) {
        if (fflush(stdout) != 0) {
            return Fail(kOtherErr, "standard output", SystemError("cannot be written"));
        }
        return kNoErr;
    }
    const bool synced = temporaryPath_.empty() || fsync(fd_) == 0;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) {
        return Fail(kOtherErr, path_, SystemError("cannot be written"));
    }
    if (!temporaryPath_.empty()) {
        if (rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
            return Fail(kOtherErr, path_, SystemError("cannot be put in place"));
        }
        temporaryPath_.clear();
    }
    return kNoErr;
}

TraceOnStandardError::TraceOnStandardError(bool on) {
    if (!on) {
        return;
    }
    fflush(stdout);
    savedOutput_ = dup(STDOUT_FILENO);
    if (savedOutput_ >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(savedOutput_);
        savedOutput_ = -1;
    }
}

TraceOnStandardError::~TraceOnStandardError() {
    if (savedOutput_ < 0) {
        return;
    }
    fflush(stdout);
    dup2(savedOutput_, STDOUT_FILENO);
    close(savedOutput_);
}

std::string KeyFolderPrefix(const std::string& folder) {
    if (folder.empty() || folder.back() == '/') {
        return folder;
    }
    return folder + "/";
}

bool SameFile(const std::string& first, const std::string& second) {
    struct stat a {};
    struct stat b {};
    if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool PathExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

}  // namespace tool
