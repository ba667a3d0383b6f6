// One-step file replacement, key-file refusal and path helpers for veldoran-tool.
#include "shell/tool/ToolFiles.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/KeyFilePath.h"
#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

std::string SystemError(const char* what) {
    return tool::SystemError(what, errno);
}

}  // namespace

std::string SystemError(const char* what, int error) {
    return std::string(what) + ": " + strerror(error);
}

bool IsStandardStream(const std::string& path) {
    return path.empty() || path == "-";
}

KeyFiles::KeyFiles(const std::string& keyPrefix) {
    const std::string folder = keyPrefix + veldoran::kKeyFilesFolder;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        struct stat status {};
        if (fstatat(dirfd(listing), entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode)) {
            identities_.emplace(status.st_dev, status.st_ino);
        }
    }
    closedir(listing);
}

bool KeyFiles::Holds(int fd, const struct stat& status) const {
    if (identities_.count({status.st_dev, status.st_ino}) != 0) {
        return true;
    }
    // Bytes after the key material are never read, so a key file that has some (a byte
    // appended, a copy padded by a transfer) is still a working key. A key header and room for
    // the material tell a key file; an ordinary file almost never has both.
    TypKeyHeader header{};
    return veldoran::ReadKeyHeader(fd, &header) == kNoErr && veldoran::IsKeyHeader(header) &&
           status.st_size >= static_cast<off_t>(kKeyHeaderSize) + header.keyLen;
}

int32_t RefuseKeyFile(const std::string& path, const std::string& keyPrefix) {
    struct stat existing {};
    if (stat(path.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode)) {
        return kNoErr;
    }
    const Descriptor existingFile(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (existingFile.IsOpen() && KeyFiles(keyPrefix).Holds(existingFile.Get(), existing)) {
        return Fail(kOtherErr, path, "is a key file; no result ever replaces one");
    }
    return kNoErr;
}

namespace {

// The standard output as a target: open for writing, and when it is a pipe, read by someone.
// A write there can fail later still (a reader that goes away, a full device), but what can be
// known before the keys are spent is known.
int32_t CheckStandardOutput() {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0) {
        return Fail(kOtherErr, "standard output", "is closed");
    }
    if ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR) {
        return Fail(kOtherErr, "standard output", "is not open for writing");
    }
    struct stat status {};
    if (fstat(STDOUT_FILENO, &status) == 0 && S_ISFIFO(status.st_mode)) {
        // The write end of a pipe that nobody reads polls as an error.
        pollfd check = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&check, 1, 0) == 1 && (check.revents & POLLERR) != 0) {
            return Fail(kOtherErr, "standard output", "is a pipe that nobody reads");
        }
    }
    return kNoErr;
}

}  // namespace

bool OutputFile::ToTerminal() const {
    return toStandardOutput_ && isatty(STDOUT_FILENO) == 1;
}

int32_t OutputFile::Open(const std::string& path, const std::string& keyPrefix) {
    path_ = path;
    toStandardOutput_ = IsStandardStream(path);
    if (toStandardOutput_) {
        const int32_t checked = CheckStandardOutput();
        if (checked != kNoErr) {
            return checked;
        }
        // What stdio holds goes first: the writer writes the descriptor itself.
        fflush(stdout);
        return writer_.OpenDescriptor(STDOUT_FILENO) == kNoErr
                   ? kNoErr
                   : Fail(kOtherErr, "standard output", SystemError("cannot be written"));
    }
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        return Fail(kOtherErr, path, "is a folder");
    }
    if (RefuseKeyFile(path, keyPrefix) != kNoErr) {
        return kOtherErr;
    }
    errno = 0;
    if (writer_.Open(path.c_str()) == kNoErr) {
        return kNoErr;
    }
    // A pipe is opened without waiting: one that nobody reads is refused at once, before any
    // key is spent, instead of blocking the run.
    const int error = writer_.LastError() != 0 ? writer_.LastError() : errno;
    return Fail(kOtherErr, path,
                error == ENXIO ? std::string("is a pipe that nobody reads")
                               : SystemError("cannot be written", error != 0 ? error : EACCES));
}

int32_t OutputFile::ReportFailure(const char* what) const {
    return Fail(kOtherErr, DisplayName(path_, true), SystemError(what, writer_.LastError()));
}

int32_t OutputFile::Write(const unsigned char* data, size_t count) {
    while (count > 0) {
        const auto piece = static_cast<uint32_t>(std::min<size_t>(count, 1u << 30));
        if (writer_.Write(data, piece) != kNoErr) {
            return ReportFailure("cannot be written");
        }
        data += piece;
        count -= piece;
    }
    return kNoErr;
}

int32_t OutputFile::WriteAndSync(const unsigned char* data, size_t count) {
    const int32_t written = Write(data, count);
    if (written != kNoErr) {
        return written;
    }
    return writer_.SyncContent() == kNoErr ? kNoErr
                                           : ReportFailure("cannot be put on stable storage");
}

int32_t OutputFile::Commit() {
    if (writer_.Commit() == kNoErr) {
        return kNoErr;
    }
    return ReportFailure(writer_.InPlace() ? "cannot be written" : "cannot be put in place");
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

bool IsFileTarget(const std::string& path) {
    // "-" is the standard output, never a file of that name.
    if (IsStandardStream(path)) {
        return false;
    }
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? S_ISREG(status.st_mode) : errno == ENOENT;
}

std::string OutputFor(const std::string& input, const std::string& output, const char* suffix) {
    if (!output.empty()) {
        return output;
    }
    return IsStandardStream(input) ? "-" : input + suffix;
}

bool TargetIsSource(const std::string& source, const std::string& target) {
    return source == target || SameFile(source, target);
}

bool PathExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

}  // namespace tool
