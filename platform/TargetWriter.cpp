// A target file given its new content in one step, through a temporary file in its folder.
#include "platform/TargetWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Descriptor.h"
#include "platform/DurableSteps.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"

namespace {

using veldoran::TargetWriter;

// One write call of hundreds of MiB is several times slower than the same bytes in a series of
// moderate calls (the kernel throttles dirty pages per call); 4 MiB keeps the call count low.
constexpr size_t kWriteChunk = size_t{4} << 20;

// A created temporary file that no process has locked and that nothing has written to for this
// long is a leftover of a run that was killed. The age covers the instant in which a live
// writer holds no lock on its file yet, between creating and locking it. A linked file has no
// such instant: unlocked, it is a leftover at once.
constexpr time_t kStaleSeconds = 60;

int SystemOpenAt(int folderFd, const char* path, int flags, mode_t mode) {
    return ::openat(folderFd, path, flags, mode);
}

int SystemReserve(int fd, off_t length) {
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
}

const veldoran::TargetWriterCalls kSystemCalls = {
    SystemOpenAt,  ::write,  ::fsync, ::close,     ::renameat,           ::unlinkat,
    SystemReserve, ::linkat, ::flock, ::ftruncate, veldoran::SyncFolder,
};

// The folder part of a path, with its slash ("" for a name alone).
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether name is one entry of a folder, neither the folder itself nor its parent.
bool IsPlainName(const char* name) {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// FNV-1a: a short, fixed digest of a target's name for its temporary names, which must fit
// in a name whatever the target's length.
uint32_t NameDigest(const std::string& name) {
    uint32_t digest = 2166136261u;
    for (const unsigned char byte : name) {
        digest = (digest ^ byte) * 16777619u;
    }
    return digest;
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
    if (target == nullptr || (folderInfo.st_mode & S_ISVTX) == 0 || user == 0 ||
        target->st_uid == user || folderInfo.st_uid == user) {
        return true;
    }
    errno = EACCES;
    return false;
}

// What Open(path) finds at the target's name, and so how it writes it.
enum class Standing {
    kNothing,  // made anew: 0666 less the umask
    kFile,     // a regular file replaced: its permission bits kept
    kLink,     // a link replaced by the new file, the file it names left alone
    kDevice,   // written as it stands
    kRefused,  // errno says why
};

Standing Examine(const char* path, struct stat* found) {
    if (lstat(path, found) != 0) {
        return Standing::kNothing;
    }
    if (S_ISLNK(found->st_mode)) {
        // A link to a folder, or to a file that cannot be opened for update, is refused as the
        // direct writing would be.
        struct stat named {};
        if (stat(path, &named) != 0) {
            return Standing::kLink;
        }
        if (S_ISDIR(named.st_mode)) {
            errno = EISDIR;
            return Standing::kRefused;
        }
        return faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) == 0 ? Standing::kLink
                                                                       : Standing::kRefused;
    }
    if (S_ISDIR(found->st_mode)) {
        errno = EISDIR;
        return Standing::kRefused;
    }
    if (!S_ISREG(found->st_mode)) {
        return Standing::kDevice;
    }
    if (faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0) {
        return Standing::kRefused;
    }
    return Standing::kFile;
}

}  // namespace

const veldoran::TargetWriterCalls& veldoran::TargetWriterCalls::System() {
    return kSystemCalls;
}

std::string veldoran::TargetWriter::TemporaryName(const std::string& name, Temporary kind,
                                                  int slot) {
    char text[48];
    snprintf(text, sizeof text, ".veldoran-%08x-%d.%s", NameDigest(name), slot,
             kind == Temporary::kCreated ? "tmp" : "new");
    return text;
}

veldoran::TargetWriter::~TargetWriter() {
    Kill();
    if (ownsFolder_) {
        ::close(folderFd_);
    }
}

int32_t veldoran::TargetWriter::InitCreate(const veldoran::TargetWriterCalls* calls) {
    calls_ = calls != nullptr ? calls : &veldoran::TargetWriterCalls::System();
    return kNoErr;
}

void veldoran::TargetWriter::Begin(int folderFd, const std::string& folder,
                                   const std::string& name) {
    if (ownsFolder_) {
        ::close(folderFd_);
    }
    folderFd_ = folderFd;
    ownsFolder_ = folderFd >= 0;
    folder_ = folder;
    name_ = name;
    naming_ = Naming::kReplace;
    holding_ = Holding::kNothing;
    temporaryName_.clear();
    progress_ = Progress{};
    lastError_ = 0;
}

std::string veldoran::TargetWriter::InFolder(const std::string& name) const {
    return folder_ + name;
}

std::string veldoran::TargetWriter::TemporaryPath() const {
    return temporaryName_.empty() ? std::string() : InFolder(temporaryName_);
}

int32_t veldoran::TargetWriter::Open(const char* path) {
    if (fd_ != -1 || path == nullptr || path[0] == '\0' || path[strlen(path) - 1] == '/') {
        return kOtherErr;
    }
    Begin(AT_FDCWD, FolderOf(path), NameOf(path));
    struct stat found {};
    const Standing standing = Examine(path, &found);
    if (standing == Standing::kRefused) {
        return Fail();
    }
    if (standing == Standing::kDevice) {
        return OpenInPlace(path);
    }
    if (!CanReplaceIn(folder_, standing == Standing::kNothing ? nullptr : &found)) {
        return Fail();
    }
    // A replaced file keeps its permission bits, without set-user, set-group and sticky: new
    // content never inherits those. Until then the file is the owner's alone, so the content is
    // never more exposed than the old target was.
    const mode_t kept = found.st_mode & 0777;
    RemoveStaleTemporaries();
    return standing == Standing::kFile ? MakeTemporary(0600, &kept) : MakeTemporary(0666, nullptr);
}

int32_t veldoran::TargetWriter::OpenInFolder(int folderFd, const char* name, mode_t mode,
                                             Naming naming) {
    if (fd_ != -1) {
        return kOtherErr;
    }
    Begin(fcntl(folderFd, F_DUPFD_CLOEXEC, 0), "", IsPlainName(name) ? name : "");
    naming_ = naming;
    if (folderFd_ < 0) {
        return Fail();
    }
    if (name_.empty()) {
        errno = EINVAL;
        return Fail();
    }
    // Also when the name turns out to be taken: what a killed run left goes all the same.
    RemoveStaleTemporaries();
    struct stat found {};
    if (fstatat(folderFd_, name, &found, AT_SYMLINK_NOFOLLOW) == 0) {
        if (naming == Naming::kNeverReplace || S_ISDIR(found.st_mode)) {
            errno = naming == Naming::kNeverReplace ? EEXIST : EISDIR;
            return Fail();
        }
    }
    return MakeTemporary(0600, &mode);
}

int32_t veldoran::TargetWriter::OpenInPlace(const char* path) {
    // A device or a pipe holds no content to protect: written as it stands, after an open that
    // does not wait, so that a pipe that nobody reads is refused at once.
    do {
        fd_ = calls_->openat(AT_FDCWD, path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                             0);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        fd_ = -1;
        return Fail();
    }
    holding_ = Holding::kInPlace;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags == -1 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Fail();
    }
    return kNoErr;
}

int32_t veldoran::TargetWriter::MakeTemporary(mode_t createMode, const mode_t* exactMode) {
    if (!MakeUnnamed(createMode) && !MakeCreated(createMode)) {
        return Fail();
    }
    // The lock marks the file as in use for as long as this writer lives: a later run in the
    // same folder leaves it alone.
    if (calls_->flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
        (exactMode != nullptr && fchmod(fd_, *exactMode) != 0)) {
        return Fail();
    }
    return kNoErr;
}

bool veldoran::TargetWriter::MakeUnnamed(mode_t createMode) {
#ifdef O_TMPFILE
    // An unnamed file first: a run killed before Commit then leaves nothing behind, not even
    // the space it set aside.
    int unnamed;
    do {
        unnamed = calls_->openat(folderFd_, folder_.empty() ? "." : folder_.c_str(),
                                 O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode);
    } while (unnamed < 0 && errno == EINTR);
    if (unnamed >= 0 && CanLinkLater(unnamed)) {
        fd_ = unnamed;
        holding_ = Holding::kUnnamed;
        return true;
    }
    if (unnamed >= 0) {
        calls_->close(unnamed);
    }
#else
    (void)createMode;
#endif
    return false;
}

bool veldoran::TargetWriter::MakeCreated(mode_t createMode) {
    for (int slot = 0; slot < kTemporarySlots;) {
        const std::string name = TemporaryName(name_, Temporary::kCreated, slot);
        const int fd =
            calls_->openat(folderFd_, InFolder(name).c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd >= 0) {
            fd_ = fd;
            holding_ = Holding::kCreated;
            temporaryName_ = name;
            return true;
        }
        if (errno == EEXIST) {
            ++slot;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return false;
}

// Removes what runs that were killed left of this target: a temporary name of it that no
// process holds a lock on and, for a created file, that has not been written to for a while.
// Each still holds the disk space its run set aside.
void veldoran::TargetWriter::RemoveStaleTemporaries() {
    const time_t now = time(nullptr);
    for (const Temporary kind : {Temporary::kCreated, Temporary::kLinked}) {
        for (int slot = 0; slot < kTemporarySlots; ++slot) {
            const std::string path = InFolder(TemporaryName(name_, kind, slot));
            const Descriptor file(
                ::openat(folderFd_, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat opened {};
            struct stat named {};
            // Still the same file under that name once the lock is had, so that a file a live
            // run has just put there is never the one removed.
            if (file.IsOpen() && fstat(file.Get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
                (kind == Temporary::kLinked || opened.st_mtime + kStaleSeconds < now) &&
                calls_->flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
                fstatat(folderFd_, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
                calls_->unlinkat(folderFd_, path.c_str(), 0);
            }
        }
    }
}

int32_t veldoran::TargetWriter::OpenDescriptor(int fd) {
    if (fd_ != -1) {
        return kOtherErr;
    }
    Begin(-1, "", "");
    fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) {
        fd_ = -1;
        return Fail();
    }
    holding_ = Holding::kInPlace;
    return kNoErr;
}

int32_t veldoran::TargetWriter::Reserve(uint64_t length) {
    if (fd_ == -1) {
        return kOtherErr;
    }
    if (InPlace() || length == 0) {
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
        progress_.reserved = true;
        return kNoErr;
    }
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) {
        return Fail();
    }
    // No support for setting space aside here: the writes find out.
    return kNoErr;
}

int32_t veldoran::TargetWriter::Write(const unsigned char* data, uint32_t count) {
    if (fd_ == -1) {
        return kOtherErr;
    }
    const FileSizeSignalIgnored noFileSizeSignal;
    progress_.synced = false;
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min<size_t>(count - done, kWriteChunk);
        const int error = WriteFully(fd_, data + done, piece, calls_->write);
        if (error != 0) {
            errno = error;
            return Fail();
        }
        StartWriteback(piece);
        done += piece;
    }
    return kNoErr;
}

void veldoran::TargetWriter::StartWriteback(size_t count) {
#ifdef SYNC_FILE_RANGE_WRITE
    // Sends what is written to the disk while the rest is still being written, so that the
    // fsync of Commit waits for the tail only. A hint: its failure changes nothing.
    if (!InPlace()) {
        sync_file_range(fd_, static_cast<off_t>(progress_.written), static_cast<off_t>(count),
                        SYNC_FILE_RANGE_WRITE);
    }
#endif
    progress_.written += count;
}

int32_t veldoran::TargetWriter::SyncContent() {
    if (fd_ == -1) {
        return kOtherErr;
    }
    if (InPlace() || progress_.synced) {
        return kNoErr;
    }
    // Space set aside beyond the content goes back.
    if (progress_.reserved && calls_->ftruncate(fd_, static_cast<off_t>(progress_.written)) != 0) {
        return Fail();
    }
    if (calls_->fsync(fd_) != 0) {
        return Fail();
    }
    progress_.synced = true;
    return kNoErr;
}

int32_t veldoran::TargetWriter::Commit() {
    if (fd_ == -1) {
        return kOtherErr;
    }
    if (InPlace()) {
        const int closed = calls_->close(fd_);
        fd_ = -1;
        return closed == 0 ? kNoErr : Fail();
    }
    if (SyncContent() != kNoErr) {
        return kOtherErr;
    }
    // A second descriptor keeps the file's lock from the moment it has a name of its own until
    // it has the target's: a run that sweeps the folder meanwhile leaves it alone, and one that
    // finds such a file unlocked knows that its writer was killed. Closing the first one before
    // the file is named lets a failing close still keep the old target.
    const Descriptor lockHolder(fcntl(fd_, F_DUPFD_CLOEXEC, 0));
    if (!lockHolder.IsOpen()) {
        return Fail();
    }
    const int closed = calls_->close(fd_);
    fd_ = -1;
    if (closed != 0) {
        return Fail();
    }
    bool madeFresh = false;
    if (Name(lockHolder.Get(), &madeFresh) != kNoErr) {
        return Fail();
    }
    return SyncFolderAfterNaming(madeFresh);
}

// Gives the written file the target's name: linked straight under it while the name is free,
// so that nothing standing there is ever touched; else renamed over it (kReplace) or refused
// with EEXIST. *madeFresh tells whether the name is a new one, which can still be taken back.
int32_t veldoran::TargetWriter::Name(int fd, bool* madeFresh) {
    const std::string target = InFolder(name_);
    if (holding_ == Holding::kUnnamed) {
        if (calls_->linkat(AT_FDCWD, DescriptorPath(fd).c_str(), folderFd_, target.c_str(),
                           AT_SYMLINK_FOLLOW) == 0) {
            *madeFresh = true;
            return kNoErr;
        }
        // A rename needs a name to start from.
        if (errno != EEXIST || naming_ == Naming::kNeverReplace || LinkUnnamed(fd) != kNoErr) {
            return kOtherErr;
        }
    } else if (calls_->linkat(folderFd_, TemporaryPath().c_str(), folderFd_, target.c_str(), 0) ==
               0) {
        *madeFresh = true;
        calls_->unlinkat(folderFd_, TemporaryPath().c_str(), 0);
        temporaryName_.clear();
        return kNoErr;
    } else if (naming_ == Naming::kNeverReplace ||
               (errno != EEXIST && errno != EPERM && errno != EOPNOTSUPP)) {
        // EPERM and EOPNOTSUPP: a file system without hard links, where a rename still works.
        return kOtherErr;
    }
    if (calls_->renameat(folderFd_, TemporaryPath().c_str(), folderFd_, target.c_str()) != 0) {
        return kOtherErr;
    }
    temporaryName_.clear();
    return kNoErr;
}

int32_t veldoran::TargetWriter::LinkUnnamed(int fd) {
    const std::string descriptor = DescriptorPath(fd);
    for (int slot = 0; slot < kTemporarySlots; ++slot) {
        const std::string name = TemporaryName(name_, Temporary::kLinked, slot);
        if (calls_->linkat(AT_FDCWD, descriptor.c_str(), folderFd_, InFolder(name).c_str(),
                           AT_SYMLINK_FOLLOW) == 0) {
            temporaryName_ = name;
            return kNoErr;
        }
        if (errno != EEXIST) {
            return kOtherErr;
        }
    }
    return kOtherErr;
}

// The new name survives a crash only once its folder is on stable storage. A name just made
// is taken back when that fails; a rename cannot be, and is reported all the same.
int32_t veldoran::TargetWriter::SyncFolderAfterNaming(bool madeFresh) {
    Descriptor opened;
    int folderFd = folderFd_;
    if (folderFd == AT_FDCWD) {
        opened.Reset(
            ::open(folder_.empty() ? "." : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A folder that can be written but not read cannot be synced: nothing more to do.
        if (!opened.IsOpen()) {
            return kNoErr;
        }
        folderFd = opened.Get();
    }
    if (calls_->syncFolder(folderFd) == 0) {
        return kNoErr;
    }
    const int error = errno;
    if (madeFresh) {
        calls_->unlinkat(folderFd_, InFolder(name_).c_str(), 0);
    }
    errno = error;
    return Fail();
}

int32_t veldoran::TargetWriter::Kill() {
    if (fd_ != -1) {
        calls_->close(fd_);
        fd_ = -1;
    }
    if (!temporaryName_.empty()) {
        calls_->unlinkat(folderFd_, TemporaryPath().c_str(), 0);
        temporaryName_.clear();
    }
    return kNoErr;
}

int32_t veldoran::TargetWriter::Fail() {
    const int error = errno;
    // Without a file open the writer was naming the new content (an opening caller says so).
    const VeldoranFailureStep step = fd_ != -1 ? kVeldoranStepWrite : kVeldoranStepReplace;
    Kill();
    lastError_ = error;
    return RecordFailure(kVeldoranRoleTarget, kOtherErr, InFolder(name_).c_str(), step, error);
}
