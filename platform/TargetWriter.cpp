// Atomic replacement of a target file through a temporary file in the same folder.
#include "platform/TargetWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/ResultCodes.h"

namespace {

// One write call of hundreds of MiB is several times slower than the same bytes in a series of
// moderate calls (the kernel throttles dirty pages per call); 4 MiB keeps the call count low.
constexpr size_t kWriteChunk = size_t{4} << 20;

// Temporary files of this program are named <prefix><6 characters><suffix>. A file created
// under its name ends in kCreatedSuffix; an unnamed file given a name just before its rename
// ends in kLinkedSuffix, and is locked for the whole time it has that name.
constexpr char kTemporaryPrefix[] = ".veldoran-";
constexpr char kCreatedSuffix[] = ".tmp";
constexpr char kLinkedSuffix[] = ".new";
constexpr size_t kSuffixLetters = 6;
// A created temporary file that no process has locked and that nothing has written to for this
// long is a leftover of a run that was killed. The age covers the instant in which a live
// writer holds no lock on its file yet, between creating and locking it. A linked file has no
// such instant: unlocked, it is a leftover at once.
constexpr time_t kStaleSeconds = 60;

enum class TemporaryKind { kNone, kCreated, kLinked };

int SystemOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int SystemReserve(int fd, off_t length) {
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
}

const veldoran::TargetWriterCalls kSystemCalls = {SystemOpen, ::write,  ::fsync,      ::close,
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
    for (size_t i = 0; i < kSuffixLetters; ++i) {
        suffix += kLetters[mix % 36];
        mix /= 36;
    }
    return suffix;
}

std::string TemporaryName(const std::string& folder, const char* suffix) {
    return folder + kTemporaryPrefix + UniqueSuffix() + suffix;
}

TemporaryKind KindOfName(const char* name) {
    const size_t prefix = strlen(kTemporaryPrefix);
    const size_t length = strlen(name);
    if (strncmp(name, kTemporaryPrefix, prefix) != 0) {
        return TemporaryKind::kNone;
    }
    for (const auto& [suffix, kind] : {std::pair{kCreatedSuffix, TemporaryKind::kCreated},
                                       std::pair{kLinkedSuffix, TemporaryKind::kLinked}}) {
        if (length == prefix + kSuffixLetters + strlen(suffix) &&
            strcmp(name + length - strlen(suffix), suffix) == 0) {
            return kind;
        }
    }
    return TemporaryKind::kNone;
}

// The name under which the system shows an open file descriptor, for linking an unnamed file.
std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Whether an unnamed file can be given a name at Commit: found out now, while giving up on it
// costs nothing. The descriptor's name must lead to the file itself.
bool CanLinkLater(int fd) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(DescriptorPath(fd).c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Removes the temporary files of runs that were killed: a file of this program's naming that no
// process holds a lock on and, if it was created under that name, that has not been written to
// for a while. Each still holds the disk space its run set aside.
void RemoveStaleTemporaries(const std::string& folder, const veldoran::TargetWriterCalls& calls) {
    DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) {
        return;
    }
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(listing)) {
        const TemporaryKind kind = KindOfName(entry->d_name);
        if (kind == TemporaryKind::kNone) {
            continue;
        }
        const std::string path = folder + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat opened {};
        struct stat named {};
        // Still the same file under that name once the lock is had, so that a file a live run
        // has just put there is never the one removed.
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            (kind == TemporaryKind::kLinked || opened.st_mtime + kStaleSeconds < now) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &named) == 0 &&
            named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
            calls.unlink(path.c_str());
        }
        ::close(fd);
    }
    closedir(listing);
}

// A descriptor closed at the end of the scope that holds it.
struct ClosedAtScopeEnd {
    explicit ClosedAtScopeEnd(int descriptor) : fd(descriptor) {}
    ClosedAtScopeEnd(const ClosedAtScopeEnd&) = delete;
    ClosedAtScopeEnd& operator=(const ClosedAtScopeEnd&) = delete;
    ~ClosedAtScopeEnd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const int fd;
};

// Ignores the file-size signal while it lives: a write past the process's file-size limit
// then fails (and the run with it) instead of killing the process with its work half done.
class FileSizeSignalIgnored {
  public:
    FileSizeSignalIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        changed_ = sigaction(SIGXFSZ, &ignore, &previous_) == 0;
    }
    ~FileSizeSignalIgnored() {
        if (changed_) {
            sigaction(SIGXFSZ, &previous_, nullptr);
        }
    }
    FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
    FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

  private:
    struct sigaction previous_ {};
    bool changed_ = false;
};

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

const veldoran::TargetWriterCalls& veldoran::TargetWriterCalls::System() {
    return kSystemCalls;
}

veldoran::TargetWriter::~TargetWriter() {
    Kill();
}

int32_t veldoran::TargetWriter::InitCreate(const veldoran::TargetWriterCalls* calls) {
    calls_ = calls != nullptr ? calls : &veldoran::TargetWriterCalls::System();
    return kNoErr;
}

int32_t veldoran::TargetWriter::Open(const char* path) {
    if (fd_ != -1 || path == nullptr || path[0] == '\0') {
        return kOtherErr;
    }
    targetPath_ = path;
    if (targetPath_.back() == '/') {
        return kOtherErr;
    }
    failed_ = false;
    lastError_ = 0;
    inPlace_ = false;
    unnamed_ = false;
    linked_ = false;
    written_ = 0;
    reserved_ = false;
    synced_ = false;

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
            // Without waiting: a pipe that nobody reads is refused at once, never waited on.
            do {
                fd_ = calls_->open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0) {
                fd_ = -1;
                return kOtherErr;
            }
            inPlace_ = true;
            const int flags = fcntl(fd_, F_GETFL);
            if (flags == -1 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                return Fail();
            }
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
    RemoveStaleTemporaries(folder, *calls_);
    // Created for the owner alone until the final mode is set, so the content is never more
    // exposed than the old target was.
    const mode_t createMode = keepMode ? 0600 : mode;
#ifdef O_TMPFILE
    // An unnamed file first: a run killed before Commit then leaves nothing behind, not even
    // the space it set aside.
    int unnamed;
    do {
        unnamed = calls_->open(folder.empty() ? "." : folder.c_str(),
                               O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode);
    } while (unnamed < 0 && errno == EINTR);
    if (unnamed >= 0 && CanLinkLater(unnamed)) {
        fd_ = unnamed;
        unnamed_ = true;
        temporaryPath_ = TemporaryName(folder, kLinkedSuffix);
    } else if (unnamed >= 0) {
        calls_->close(unnamed);
    }
#endif
    for (int attempt = 0; fd_ == -1 && attempt < 100; ++attempt) {
        std::string candidate = TemporaryName(folder, kCreatedSuffix);
        const int fd = calls_->open(
            candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd >= 0) {
            fd_ = fd;
            temporaryPath_ = std::move(candidate);
        } else if (errno != EEXIST && errno != EINTR) {
            break;
        }
    }
    if (fd_ == -1) {
        return kOtherErr;
    }
    // The lock marks the file as in use for as long as this writer lives: a later run in the
    // same folder leaves it alone.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0 || (keepMode && fchmod(fd_, mode) != 0)) {
        return Fail();
    }
    return kNoErr;
}

int32_t veldoran::TargetWriter::OpenDescriptor(int fd) {
    if (fd_ != -1) {
        return kOtherErr;
    }
    failed_ = false;
    lastError_ = 0;
    written_ = 0;
    reserved_ = false;
    unnamed_ = false;
    linked_ = false;
    targetPath_.clear();
    fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) {
        fd_ = -1;
        lastError_ = errno;
        return kOtherErr;
    }
    inPlace_ = true;
    return kNoErr;
}

int32_t veldoran::TargetWriter::Reserve(uint64_t length) {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    if (inPlace_ || length == 0) {
        return kNoErr;
    }
    // Space set aside does not count against the process's file-size limit; the writes would,
    // so the limit is checked here against the whole content.
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        length > static_cast<uint64_t>(limit.rlim_cur)) {
        errno = EFBIG;
        return Fail();
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

int32_t veldoran::TargetWriter::Write(const unsigned char* data, uint32_t count) {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    const FileSizeSignalIgnored noFileSizeSignal;
    synced_ = false;
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

void veldoran::TargetWriter::StartWriteback(size_t count) {
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

int32_t veldoran::TargetWriter::SyncContent() {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    if (inPlace_ || synced_) {
        return kNoErr;
    }
    // Space set aside beyond the content goes back.
    if (reserved_ && ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        return Fail();
    }
    if (calls_->fsync(fd_) != 0) {
        return Fail();
    }
    synced_ = true;
    return kNoErr;
}

int32_t veldoran::TargetWriter::Commit() {
    if (fd_ == -1 || failed_) {
        return kOtherErr;
    }
    if (inPlace_) {
        const int closed = calls_->close(fd_);
        fd_ = -1;
        if (closed != 0) {
            lastError_ = errno;
            return kOtherErr;
        }
        return kNoErr;
    }
    if (SyncContent() != kNoErr) {
        return kOtherErr;
    }
    // A second descriptor keeps the file's lock from the moment it has a name of its own until
    // it has the target's: a run that sweeps the folder meanwhile leaves it alone, and one that
    // finds such a file unlocked knows that its writer was killed. Closing the first one before
    // the file is named lets a failing close still keep the old target.
    const ClosedAtScopeEnd lockHolder(fcntl(fd_, F_DUPFD_CLOEXEC, 0));
    if (lockHolder.fd < 0) {
        return Fail();
    }
    const int closed = calls_->close(fd_);
    fd_ = -1;
    if (closed != 0) {
        return Fail();
    }
    bool atTarget = false;
    if (unnamed_ && LinkUnnamed(lockHolder.fd, &atTarget) != kNoErr) {
        return Fail();
    }
    if (!atTarget && calls_->rename(temporaryPath_.c_str(), targetPath_.c_str()) != 0) {
        return Fail();
    }
    temporaryPath_.clear();
    SyncFolder(FolderOf(targetPath_));
    return kNoErr;
}

int32_t veldoran::TargetWriter::LinkUnnamed(int fd, bool* atTarget) {
#ifdef O_TMPFILE
    const std::string descriptor = DescriptorPath(fd);
    // A new target takes the file straight under its name, so there is no instant in which the
    // file has a name of its own. An existing one is replaced by a rename.
    if (linkat(AT_FDCWD, descriptor.c_str(), AT_FDCWD, targetPath_.c_str(), AT_SYMLINK_FOLLOW) ==
        0) {
        *atTarget = true;
        return kNoErr;
    }
    if (errno != EEXIST) {
        return kOtherErr;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (linkat(AT_FDCWD, descriptor.c_str(), AT_FDCWD, temporaryPath_.c_str(),
                   AT_SYMLINK_FOLLOW) == 0) {
            linked_ = true;
            return kNoErr;
        }
        if (errno != EEXIST) {
            break;
        }
        temporaryPath_ = TemporaryName(FolderOf(targetPath_), kLinkedSuffix);
    }
#else
    (void)fd;
    (void)atTarget;
#endif
    return kOtherErr;
}

int32_t veldoran::TargetWriter::Kill() {
    if (fd_ != -1) {
        calls_->close(fd_);
        fd_ = -1;
    }
    if (!temporaryPath_.empty() && (!unnamed_ || linked_)) {
        calls_->unlink(temporaryPath_.c_str());
    }
    temporaryPath_.clear();
    unnamed_ = false;
    linked_ = false;
    return kNoErr;
}

int32_t veldoran::TargetWriter::Fail() {
    const int error = errno;
    Kill();
    lastError_ = error;
    failed_ = true;
    return kOtherErr;
}
