// File reference on C library streams; 64-bit offsets internally so that large files are
// measured correctly and refused rather than wrapped.
#include "platform/TypFileRefUnix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/FailureRecord.h"

namespace {

// The open(2) flags that match a stream mode.
int OpenFlagsFor(const char* streamMode) {
    if (strcmp(streamMode, "rb") == 0) {
        return O_RDONLY;
    }
    if (strcmp(streamMode, "r+b") == 0) {
        return O_RDWR;
    }
    return O_RDWR | O_CREAT | O_TRUNC;
}

const char* StreamModeFor(int32_t mode) {
    switch (mode) {
        case kOpenUpdate:
            return "r+b";
        case kOpenRead:
            return "rb";
        case kOpenCreate:
            return "w+b";
        default:
            return nullptr;
    }
}

}  // namespace

TypFileRefUnix::~TypFileRefUnix() {
    if (openFlag != 0 && stream != nullptr) {
        fclose(stream);
    }
}

int32_t TypFileRefUnix::InitCreate(TypUtils* theUtils) {
    openFlag = 0;
    return TypFileRef::InitCreate(theUtils);
}

int32_t TypFileRefUnix::Mapped(int platformResult) {
    return MacOStoPrivateError(static_cast<int16_t>(platformResult));
}

bool TypFileRefUnix::StreamIsOpen() const {
    return openFlag == 1 && stream != nullptr;
}

bool TypFileRefUnix::PathIsValid() const {
    return strnlen(path, sizeof path) <= kMaxPathLength;
}

FILE* TypFileRefUnix::OpenFileStream(const char* streamMode, bool forUse) const {
    if (!PathIsValid()) {
        return nullptr;
    }
    // Without blocking: opening a pipe for reading would otherwise wait for a writer forever.
    int fd;
    do {
        fd = open(path, OpenFlagsFor(streamMode) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        veldoran::NoteFailure(path, kVeldoranStepOpen, errno);
        return nullptr;
    }
    struct stat info {};
    const bool refused = fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ||
                         (forUse && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)));
    if (refused) {
        // A pipe or a socket is refused by rule, not by the system.
        veldoran::NoteFailure(path, kVeldoranStepOpen, S_ISDIR(info.st_mode) ? EISDIR : 0);
    }
    // Reads and writes wait as usual once the file is open.
    const int flags = refused ? -1 : fcntl(fd, F_GETFL);
    FILE* opened = nullptr;
    if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        opened = fdopen(fd, streamMode);
    }
    if (opened == nullptr) {
        close(fd);
    }
    return opened;
}

bool TypFileRefUnix::SwitchTo(Access next) {
    const bool needsPositioning = lastAccess_ != Access::kNone && lastAccess_ != next;
    lastAccess_ = next;
    return !needsPositioning || fseeko(stream, 0, SEEK_CUR) == 0;
}

int32_t TypFileRefUnix::OpenDF(int32_t mode) {
    const char* streamMode = StreamModeFor(mode);
    if (streamMode == nullptr) {
        return kOtherErr;
    }
    if (StreamIsOpen()) {
        return kNoErr;
    }
    stream = OpenFileStream(streamMode, true);
    if (stream == nullptr) {
        return Mapped(-1);
    }
    openFlag = 1;
    lastAccess_ = Access::kNone;
    return kNoErr;
}

int32_t TypFileRefUnix::GetLength(int32_t* length) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    lastAccess_ = Access::kNone;
    if (fseeko(stream, 0, SEEK_END) != 0) {
        return kOtherErr;
    }
    const off_t end = ftello(stream);
    if (end < 0 || end > std::numeric_limits<int32_t>::max()) {
        return Noted(kVeldoranStepRead, end < 0 ? errno : EFBIG);
    }
    *length = static_cast<int32_t>(end);
    return kNoErr;
}

int32_t TypFileRefUnix::SetFilePos(uint32_t position) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    lastAccess_ = Access::kNone;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Read(unsigned char* buffer, uint32_t count) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    if (count == 0) {
        return kNoErr;
    }
    if (buffer == nullptr || !SwitchTo(Access::kRead)) {
        return kOtherErr;
    }
    if (fread(buffer, 1, count, stream) == count) {
        return kNoErr;
    }
    // Without a stream error the file ended early: its data is at fault.
    return Noted(kVeldoranStepRead, ferror(stream) != 0 ? errno : 0);
}

int32_t TypFileRefUnix::Write(const unsigned char* buffer, uint32_t count) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    if (count == 0) {
        return kNoErr;
    }
    if (buffer == nullptr || !SwitchTo(Access::kWrite)) {
        return kOtherErr;
    }
    return fwrite(buffer, 1, count, stream) == count ? kNoErr : Noted(kVeldoranStepWrite, errno);
}

int32_t TypFileRefUnix::CloseDF() {
    int closeResult = 0;
    if (openFlag != 0 && stream != nullptr) {
        closeResult = fclose(stream) == 0 ? 0 : -1;
        stream = nullptr;
        if (closeResult != 0) {
            Noted(kVeldoranStepWrite, errno);
        }
    }
    openFlag = 0;
    lastAccess_ = Access::kNone;
    return Mapped(closeResult);
}

int32_t TypFileRefUnix::Exists() {
    FILE* probe = OpenFileStream("rb", false);
    if (probe == nullptr) {
        return kOtherErr;
    }
    fclose(probe);
    return kNoErr;
}

int32_t TypFileRefUnix::Delete() {
    if (!PathIsValid()) {
        return kOtherErr;
    }
    FILE* probe = OpenFileStream("r+b", false);
    if (probe == nullptr) {
        return kNoErr;
    }
    fclose(probe);
    return remove(path) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::IsOpend() {
    return StreamIsOpen() ? kNoErr : kFileClosed;
}

int32_t TypFileRefUnix::MacOStoPrivateError(int16_t platformCode) {
    switch (platformCode) {
        case kFNFErr:
            return kFNFErr;
        case 0:
            return kNoErr;
        default:
            return kOtherErr;
    }
}

int32_t TypFileRefUnix::Lock(int32_t exclusive) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    int result;
    do {
        result = flock(fileno(stream), exclusive != 0 ? LOCK_EX : LOCK_SH);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kNoErr : Noted(kVeldoranStepLock, errno);
}

int32_t TypFileRefUnix::Unlock() {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    return flock(fileno(stream), LOCK_UN) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::GetInfo(struct stat* info) const {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    return fstat(fileno(stream), info) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Sync() {
    return FlushThen(fsync);
}

int32_t TypFileRefUnix::SyncData() {
    return FlushThen(fdatasync);
}

int32_t TypFileRefUnix::FlushThen(int (*sync)(int)) {
    if (!StreamIsOpen()) {
        return kFileClosed;
    }
    if (fflush(stream) != 0) {
        return Noted(kVeldoranStepWrite, errno);
    }
    return sync(fileno(stream)) == 0 ? kNoErr : Noted(kVeldoranStepSync, errno);
}

int32_t TypFileRefUnix::Noted(VeldoranFailureStep step, int systemError) const {
    veldoran::NoteFailure(path, step, systemError);
    return kOtherErr;
}

int32_t TypFileRefUnix::SetPath(const char* text) {
    if (text == nullptr) {
        return kOtherErr;
    }
    const size_t length = strlen(text);
    if (length > kMaxPathLength) {
        return kOtherErr;
    }
    memmove(path, text, length + 1);
    return kNoErr;
}

int32_t TypFileRefUnix::AppendPath(const char* text) {
    if (text == nullptr) {
        return kOtherErr;
    }
    const size_t current = strnlen(path, sizeof path);
    const size_t extra = strlen(text);
    if (current + extra > kMaxPathLength) {
        return kOtherErr;
    }
    memmove(path + current, text, extra + 1);
    return kNoErr;
}
