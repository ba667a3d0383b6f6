// Whole-file reads, one-step file replacement and path helpers for veldoran-tool.
#include "shell/tool/ToolFiles.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

std::string SystemError(const char* what) {
    return tool::SystemError(what, errno);
}

// The folder part of a path, "." for a bare name, and the last component.
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
    const size_t slash = path.rfind('/');
    *folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string SystemError(const char* what, int error) {
    return std::string(what) + ": " + strerror(error);
}

int WriteAll(int fd, const unsigned char* data, size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

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

namespace {

// A mapped input that shrinks under the tool makes its pages vanish: the run stops with a
// failure, and its unnamed outputs vanish with it.
void InputCutShort(int) {
    static const char kWords[] =
        "veldoran-tool: an input file was cut short while it was read; nothing written\n";
    const ssize_t ignored = write(STDERR_FILENO, kWords, sizeof kWords - 1);
    (void)ignored;
    _exit(ExitStatus(kOtherErr));
}

}  // namespace

WholeInput::~WholeInput() {
    if (mapping_ != nullptr) {
        munmap(mapping_, size_);
    }
}

int32_t WholeInput::Read(const std::string& path) {
    if (!IsStandardStream(path)) {
        const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat status {};
        if (file.IsOpen() && fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_size > 0) {
            size_ = static_cast<size_t>(status.st_size);
            void* mapping =
                mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.Get(), 0);
            if (mapping != MAP_FAILED) {
                signal(SIGBUS, InputCutShort);
                mapping_ = mapping;
                data_ = static_cast<const unsigned char*>(mapping);
                return kNoErr;
            }
        }
    }
    // A stream, an empty or unmappable file, or one that cannot be opened (reported there).
    const int32_t result = ReadWholeInput(path, &read_);
    data_ = reinterpret_cast<const unsigned char*>(read_.data());
    size_ = read_.size();
    return result;
}

KeyFiles::KeyFiles(const std::string& keyPrefix) {
    const std::string folder = keyPrefix + "Clefs";
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
    TypKeyHeader header{};
    if (status.st_size < static_cast<off_t>(kKeyHeaderSize) ||
        pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return false;
    }
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    crypto.ConvertHeaderForLocalOS(&header);
    // Bytes after the key material are never read, so a key file that has some (a byte
    // appended, a copy padded by a transfer) is still a working key. Plausible fields and room
    // for the material tell a key file; an ordinary file almost never has all of them.
    return header.version == kVersion && header.idLen >= 0 && header.idLen <= kLenMaxID &&
           header.nameLen >= 1 && header.nameLen <= kLenMaxName && header.keyLen >= 1 &&
           header.keyOffset >= 0 && header.keyOffset <= header.keyLen &&
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

// A device or a named pipe is written where it stands. Opened without waiting, so that a pipe
// nobody reads is refused at once, before any key is spent, instead of blocking the run; the
// writes that follow wait as usual.
int32_t OutputFile::OpenInPlace(const std::string& path) {
    inPlace_.Reset(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!inPlace_.IsOpen()) {
        return Fail(kOtherErr, path,
                    errno == ENXIO ? std::string("is a pipe that nobody reads")
                                   : SystemError("cannot be written"));
    }
    const int flags = fcntl(inPlace_.Get(), F_GETFL);
    if (flags < 0 || fcntl(inPlace_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Fail(kOtherErr, path, SystemError("cannot be written"));
    }
    return kNoErr;
}

int32_t OutputFile::Open(const std::string& path, const std::string& keyPrefix) {
    path_ = path;
    toStandardOutput_ = IsStandardStream(path);
    if (toStandardOutput_) {
        return CheckStandardOutput();
    }
    struct stat existing {};
    const bool exists = stat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        return Fail(kOtherErr, path, "is a folder");
    }
    if (RefuseKeyFile(path, keyPrefix) != kNoErr) {
        return kOtherErr;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        return OpenInPlace(path);
    }
    std::string folder;
    std::string name;
    SplitPath(path, &folder, &name);
    folder_.Reset(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_.IsOpen()) {
        return Fail(kOtherErr, path, SystemError("cannot be written"));
    }
    mode_t mode = 0;
    if (exists) {
        mode = existing.st_mode & 0777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const int opened = file_.Open(folder_.Get(), mode);
    return opened == 0 ? kNoErr : Fail(kOtherErr, path, SystemError("cannot be written", opened));
}

int32_t OutputFile::Write(const unsigned char* data, size_t count) {
    if (toStandardOutput_) {
        if (count > 0 && fwrite(data, 1, count, stdout) != count) {
            return Fail(kOtherErr, "standard output", SystemError("cannot be written"));
        }
        return kNoErr;
    }
    const int fd = inPlace_.IsOpen() ? inPlace_.Get() : file_.Descriptor();
    const int written = WriteAll(fd, data, count);
    return written == 0 ? kNoErr
                        : Fail(kOtherErr, path_, SystemError("cannot be written", written));
}

int32_t OutputFile::WriteAndSync(const unsigned char* data, size_t count) {
    const int32_t written = Write(data, count);
    if (written != kNoErr || !Withdrawable()) {
        return written;
    }
    return fsync(file_.Descriptor()) == 0
               ? kNoErr
               : Fail(kOtherErr, path_, SystemError("cannot be put on stable storage"));
}

int32_t OutputFile::Commit() {
    if (toStandardOutput_) {
        if (fflush(stdout) != 0) {
            return Fail(kOtherErr, "standard output", SystemError("cannot be written"));
        }
        return kNoErr;
    }
    if (inPlace_.IsOpen()) {
        const int closed = inPlace_.Reset(-1);
        return closed == 0 ? kNoErr
                           : Fail(kOtherErr, path_, SystemError("cannot be written", closed));
    }
    std::string folder;
    std::string name;
    SplitPath(path_, &folder, &name);
    const int placed = file_.Place(name, true);
    if (placed != 0) {
        return Fail(kOtherErr, path_, SystemError("cannot be put in place", placed));
    }
    // The new name itself is on stable storage only once its folder is.
    fsync(folder_.Get());
    return kNoErr;
}

int32_t WriteWholeResult(const std::string& path, const std::string& keyPrefix,
                         const unsigned char* data, size_t count) {
    OutputFile output;
    int32_t result = output.Open(path, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    result = output.Write(data, count);
    return result == kNoErr ? output.Commit() : result;
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

TextScan ScanTextFile(const std::string& path) {
    TextScan scan;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.IsOpen() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return scan;
    }
    std::vector<char> chunk(1u << 20);
    ssize_t got = 0;
    while ((got = read(file.Get(), chunk.data(), chunk.size())) > 0 ||
           (got < 0 && errno == EINTR)) {
        const auto count = static_cast<size_t>(std::max<ssize_t>(got, 0));
        scan.holdsNul = scan.holdsNul || memchr(chunk.data(), '\0', count) != nullptr;
        scan.holdsCr = scan.holdsCr || memchr(chunk.data(), '\r', count) != nullptr;
        scan.size += count;
    }
    // A file that cannot be read whole takes the in-memory way, which reports why.
    scan.regular = got == 0;
    return scan;
}

bool IsFileTarget(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? S_ISREG(status.st_mode) : errno == ENOENT;
}

int32_t ProbeTarget(const std::string& path, const std::string& keyPrefix) {
    OutputFile probe;
    return probe.Open(path, keyPrefix);
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
