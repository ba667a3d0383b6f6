// Atomic replacement of a target file through a temporary file in the same folder.
#include "pipelines/TypTargetWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "platform/ResultCodes.h"

namespace {

// One write call of hundreds of MiB is several times slower than the same bytes in a series of
// moderate calls (the kernel throttles dirty pages per call); 4 MiB keeps the call count low.
constexpr size_t kWriteChunk = size_t{4} << 20;

int SystemOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int SystemReserve(int fd, off_t length) {
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
}

const TypTargetWriterCalls kSystemCalls = {SystemOpen, ::write,  ::fsync,      ::close,
                                           ::rename,   ::unlink, SystemReserve};

// The folder part of a path, with its slash ("" for a name alone).
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Six characters that differ from one call to the next and between processes.
std::string UniqueSuffix() {
    static uint64_t counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t mix =
        (static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30)) +
        (static_cast<uint64_t>(getpid()) << 20) + (++counter * 0x9E3779B97F4A7C15ull);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
        suffix += kLetters[mix % 36];
        mix /= 36;
    }
    return suffix;
}

// Makes a completed rename durable; a failure here cannot undo the rename, so it is not one.
void SyncFolder(const std::string& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Whether a new file can be renamed over the target in folder (target null when there is none
// yet): found out before any key is used, since a refused rename would come only after. The
// folder must be writable and searchable; in a sticky folder (such as /tmp) only the owner of
// the target or of the folder may replace it.
bool CanReplaceIn(const std::string& folder, const struct stat* target) {
    const char* folderPath = folder.empty() ? "." : folder.c_str();
    struct stat folderInfo {};
    if (stat(folderPath, &folderInfo) != 0 ||
        faccessat(AT_FDCWD, folderPath, W_OK | X_OK, AT_EACCESS) != 0) {
        return false;
    }
    const uid_t user = geteuid();
    return target == nullptr || (folderInfo.st_mode & S_ISVTX) == 0 || user == 0 ||
           target->st_uid == user || folderInfo.st_uid == user;
}

}  // namespace

const TypTargetWriterCalls& TypTargetWriterCalls::System() {
    return kSystemCalls;
}

TypTargetWriter::~TypTargetWriter() {
    Kill();
}

int32_t TypTargetWriter::InitCreate(const TypTargetWriterCalls* calls) {
    calls_ = calls != nullptr ? calls : &TypTargetWriterCalls::System();
    return kNoErr;
}

int32_t TypTargetWriter::Open(const char* path) {
    if (fd_ != -1 || path == nullptr || path[0] == '\0') {
        return kOtherErr;
    }
    targetPath_ = path;
    if (targetPath_.back() == '/') {
        return kOtherErr;
    }
    failed_ = false;
    inPlace_ = false;
    written_ = 0;
    reserved_ = false;

    struct stat linkInfo {};
    const bool present = lstat(path, &linkInfo) == 0;
    mode_t mode = 0666;
    bool keepMode = false;
    if (present && S_ISLNK(linkInfo.st_mode)) {
        // The link itself is replaced by the new file, as deleting the target and creating it
        // anew would; the file it names is left alone. A link to a folder, or to a file that
        // cannot be opened for update, is refused as the direct writing would be.
        struct stat info {};
        if (stat(path, &info) == 0 &&
            (S_ISDIR(info.st_mode) || faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0)) {
            return kOtherErr;
        }
    } else if (present) {
        if (S_ISDIR(linkInfo.st_mode)) {
            return kOtherErr;
        }
        if (!S_ISREG(linkInfo.st_mode)) {
            // A device or a pipe holds no content to protect: write it as it stands.
            do {
                fd_ = calls_->open(path, O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0) {
                fd_ = -1;
                return kOtherErr;
            }
            inPlace_ = true;
            return kNoErr;
        }
        if (faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0) {
            return kOtherErr;
        }
        // The permission bits, without set-user, set-group and sticky: new content never
        // inherits those.
        mode = linkInfo.st_mode & 0777;
        keepMode = true;
    }
    if (!CanReplaceIn(FolderOf(targetPath_), present ? &linkInfo : nullptr)) {
        return kOtherErr;
    }

    const std::string folder = FolderOf(targetPath_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = folder + ".veldoran-" + UniqueSuffix() + ".tmp";
        // Created for the owner alone until the final mode is set, so the content is never
        // more exposed than the old target was.
        const int fd =
            calls_->open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         keepMode ? 0600 : mode);
        if (fd >= 0) {
            fd_ = fd;
            temporaryPath_ = std::move(candidate);
            if (keepMode && fchmod(fd_, mode) != 0) {
                return Fail();
            }
            return kNoErr;
        }
        if (errno != EEXIST && errno != EINTR) {
            break;
        }
    }
    return kOtherErr;
}

int32_t TypTargetWriter::Reserve(uint64_t length) {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    if (inPlace_ || length == 0) {
        return kNoErr;
    }
    int reserved;
    do {
        reserved = calls_->reserve(fd_, static_cast<off_t>(length));
    } while (reserved != 0 && errno == EINTR);
    if (reserved == 0) {
        reserved_ = true;
        return kNoErr;
    }
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) {
        return Fail();
    }
    // No support for setting space aside here: the writes find out.
    return kNoErr;
}

int32_t TypTargetWriter::Write(const unsigned char* data, uint32_t count) {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    size_t remaining = count;
    while (remaining > 0) {
        const ssize_t written = calls_->write(fd_, data, std::min(remaining, kWriteChunk));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return Fail();
        }
        data += written;
        remaining -= static_cast<size_t>(written);
        StartWriteback(static_cast<size_t>(written));
    }
    return kNoErr;
}

void TypTargetWriter::StartWriteback(size_t count) {
#ifdef SYNC_FILE_RANGE_WRITE
    // Sends what is written to the disk while the rest is still being written, so that the
    // fsync of Commit waits for the tail only. A hint: its failure changes nothing.
    if (!inPlace_) {
        sync_file_range(fd_, static_cast<off_t>(written_), static_cast<off_t>(count),
                        SYNC_FILE_RANGE_WRITE);
    }
#endif
    written_ += count;
}

int32_t TypTargetWriter::Commit() {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    if (inPlace_) {
        const int closed = calls_->close(fd_);
        fd_ = -1;
        return closed == 0 ? kNoErr : kOtherErr;
    }
    // Space set aside beyond the content goes back.
    if (reserved_ && ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        return Fail();
    }
    if (calls_->fsync(fd_) != 0) {
        return Fail();
    }
    const int closed = calls_->close(fd_);
    fd_ = -1;
    if (closed != 0) {
        return Fail();
    }
    if (calls_->rename(temporaryPath_.c_str(), targetPath_.c_str()) != 0) {
        return Fail();
    }
    temporaryPath_.clear();
    SyncFolder(FolderOf(targetPath_));
    return kNoErr;
}

int32_t TypTargetWriter::Kill() {
    if (fd_ != -1) {
        calls_->close(fd_);
        fd_ = -1;
    }
    if (!temporaryPath_.empty()) {
        calls_->unlink(temporaryPath_.c_str());
        temporaryPath_.clear();
    }
    return kNoErr;
}

int32_t TypTargetWriter::Fail() {
    Kill();
    failed_ = true;
    return kOtherErr;
}
