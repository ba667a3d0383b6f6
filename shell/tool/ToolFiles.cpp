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
#include <memory>
#include <vector>

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

namespace {

// Takes CR LF pairs as LF in count bytes at data, in place, where a CR at the end of the
// previous piece is *pendingCr (still to be written, or dropped when this piece begins with
// LF). The new length.
size_t TakeCrLfAsLf(unsigned char* data, size_t count, bool* pendingCr) {
    size_t kept = 0;
    size_t from = 0;
    if (*pendingCr && count > 0 && data[0] != '\n') {
        // The CR held back stands alone: it goes in front of this piece's bytes.
        memmove(data + 1, data, count);
        data[0] = '\r';
        ++count;
        from = 1;
        kept = 1;
    }
    *pendingCr = false;
    while (from < count) {
        const auto* cr = static_cast<unsigned char*>(memchr(data + from, '\r', count - from));
        const size_t run = (cr == nullptr ? count : static_cast<size_t>(cr - data)) - from;
        if (kept != from) {
            memmove(data + kept, data + from, run);
        }
        kept += run;
        from += run;
        if (cr == nullptr) {
            break;
        }
        if (from + 1 == count) {
            *pendingCr = true;  // the next piece tells
            ++from;
        } else if (data[from + 1] == '\n') {
            ++from;  // the LF stays, the CR goes
        } else {
            data[kept++] = '\r';
            ++from;
        }
    }
    return kept;
}

}  // namespace

std::string SpoolFolderFor(const std::string& target) {
    if (IsStandardStream(target) || !IsFileTarget(target)) {
        return "";
    }
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? "." : target.substr(0, slash + 1);
}

int32_t SpooledInput::Open(const std::string& folder, const std::string& shownFile) {
    const char* fromEnvironment = getenv("TMPDIR");
    int error = 0;
    for (const std::string& candidate :
         {folder, std::string(fromEnvironment != nullptr ? fromEnvironment : ""),
          std::string("/tmp")}) {
        if (candidate.empty()) {
            continue;
        }
        file_.Reset(open(candidate.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
        if (file_.IsOpen()) {
            return kNoErr;
        }
        error = error != 0 ? error : errno;
    }
    return Fail(kOtherErr, shownFile, SystemError("cannot be held while it is read", error));
}

int32_t SpooledInput::Spool(const std::string& path, const std::string& folder, bool crlfAsLf,
                            const char* nulWords) {
    const bool standard = IsStandardStream(path);
    const std::string shown = DisplayName(path, false);
    const Descriptor opened(standard ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int input = standard ? STDIN_FILENO : opened.Get();
    if (input < 0) {
        return Fail(kOtherErr, path, SystemError("cannot be opened"));
    }
    struct stat status {};
    if (fstat(input, &status) == 0 && S_ISDIR(status.st_mode)) {
        return Fail(kOtherErr, path, "is a folder, not a file");
    }
    int32_t result = Open(folder, shown);
    if (result != kNoErr) {
        return result;
    }
    // One byte of room in front of a piece for a CR held back from the previous one.
    constexpr size_t kPiece = size_t{1} << 20;
    // A pipe hands over what its buffer holds per read: a larger buffer makes fewer, fuller
    // reads and writes (a hint; a pipe that keeps its size works as well).
    if (S_ISFIFO(status.st_mode)) {
        fcntl(input, F_SETPIPE_SZ, static_cast<int>(kPiece));
    }
    std::vector<unsigned char> buffer(kPiece + 1);
    bool pendingCr = false;
    for (;;) {
        const ssize_t got = read(input, buffer.data(), kPiece);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail(kOtherErr, shown, SystemError("cannot be read"));
        }
        auto count = static_cast<size_t>(got);
        if (memchr(buffer.data(), '\0', count) != nullptr) {
            return Fail(kOtherErr, shown, nulWords);
        }
        if (crlfAsLf) {
            count = TakeCrLfAsLf(buffer.data(), count, &pendingCr);
        }
        if (got == 0 && pendingCr) {
            buffer[0] = '\r';
            count = 1;
        }
        const int written = WriteFully(file_.Get(), buffer.data(), count);
        pastLimit_ = written == EFBIG;
        if (pastLimit_) {
            return kOtherErr;
        }
        if (written != 0) {
            return Fail(kOtherErr, shown, SystemError("cannot be held while it is read", written));
        }
        size_ += count;
        if (got == 0) {
            return kNoErr;
        }
    }
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
    // Small enough to stay in the processor's cache, where the system's copy into it and both
    // searches run several times faster than through a block of a mebibyte; never filled first.
    constexpr size_t kScanChunk = size_t{256} << 10;
    const std::unique_ptr<char[]> chunk(new char[kScanChunk]);
    ssize_t got = 0;
    while ((got = read(file.Get(), chunk.get(), kScanChunk)) > 0 || (got < 0 && errno == EINTR)) {
        const auto count = static_cast<size_t>(std::max<ssize_t>(got, 0));
        scan.holdsNul = scan.holdsNul || memchr(chunk.get(), '\0', count) != nullptr;
        scan.holdsCr = scan.holdsCr || memchr(chunk.get(), '\r', count) != nullptr;
        scan.size += count;
    }
    // A file that cannot be read whole takes the in-memory way, which reports why.
    scan.regular = got == 0;
    return scan;
}

std::string StandardInputFile() {
    struct stat status {};
    return fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode) &&
                   lseek(STDIN_FILENO, 0, SEEK_CUR) == 0
               ? "/proc/self/fd/0"
               : "";
}

bool IsFileTarget(const std::string& path) {
    // "-" is the standard output, never a file of that name.
    if (IsStandardStream(path)) {
        return false;
    }
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
