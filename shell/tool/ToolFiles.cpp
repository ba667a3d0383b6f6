// Whole-file reads, one-step output replacement and path helpers for veldoran-tool.
#include "shell/tool/ToolFiles.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

// The target writer takes 32-bit counts.
constexpr size_t kWriteChunk = 1u << 30;

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

int32_t OutputFile::Open(const std::string& path) {
    path_ = path;
    toStandardOutput_ = IsStandardStream(path);
    if (toStandardOutput_) {
        return kNoErr;
    }
    writer_.InitCreate(nullptr);
    if (writer_.Open(path.c_str()) != kNoErr) {
        return Fail(kOtherErr, path,
                    "cannot be written (a folder, no permission, or its folder is missing)");
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
        const size_t piece = count < kWriteChunk ? count : kWriteChunk;
        if (writer_.Write(data, static_cast<uint32_t>(piece)) != kNoErr) {
            return Fail(kOtherErr, path_, "cannot be written (disk full?)");
        }
        data += piece;
        count -= piece;
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
    if (writer_.Commit() != kNoErr) {
        return Fail(kOtherErr, path_, "cannot be put in place (disk full?)");
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
