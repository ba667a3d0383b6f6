// File reference on C library streams; 64-bit offsets internally so that large files are
// measured correctly and refused rather than wrapped.
#include "platform/TypFileRefUnix.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace {

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

int32_t TypFileRefUnix::InitCreate(TypUtils* theUtils) {
    openFlag = 0;
    return TypFileRef::InitCreate(theUtils);
}

int32_t TypFileRefUnix::Mapped(int platformResult) {
    return MacOStoPrivateError(static_cast<int16_t>(platformResult));
}

int32_t TypFileRefUnix::OpenDF(int32_t mode) {
    if (openFlag == 1) {
        return kNoErr;
    }
    const char* streamMode = StreamModeFor(mode);
    if (streamMode == nullptr) {
        return kOtherErr;
    }
    stream = fopen(path, streamMode);
    if (stream == nullptr) {
        return Mapped(-1);
    }
    openFlag = 1;
    return kNoErr;
}

int32_t TypFileRefUnix::GetLength(int32_t* length) {
    if (openFlag != 1) {
        return kFileClosed;
    }
    if (fseeko(stream, 0, SEEK_END) != 0) {
        return kOtherErr;
    }
    const off_t end = ftello(stream);
    if (end < 0 || end > std::numeric_limits<int32_t>::max()) {
        return kOtherErr;
    }
    *length = static_cast<int32_t>(end);
    return kNoErr;
}

int32_t TypFileRefUnix::SetFilePos(uint32_t position) {
    if (openFlag != 1) {
        return kFileClosed;
    }
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Read(unsigned char* buffer, uint32_t count) {
    if (openFlag != 1) {
        return kFileClosed;
    }
    if (count == 0) {
        return kNoErr;
    }
    return fread(buffer, 1, count, stream) == count ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Write(const unsigned char* buffer, uint32_t count) {
    if (openFlag != 1) {
        return kFileClosed;
    }
    if (count == 0) {
        return kNoErr;
    }
    return fwrite(buffer, 1, count, stream) == count ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::CloseDF() {
    int closeResult = 0;
    if (openFlag != 0) {
        closeResult = fclose(stream) == 0 ? 0 : -1;
        stream = nullptr;
    }
    openFlag = 0;
    return Mapped(closeResult);
}

int32_t TypFileRefUnix::Exists() {
    FILE* probe = fopen(path, "rb");
    if (probe == nullptr) {
        return kOtherErr;
    }
    fclose(probe);
    return kNoErr;
}

int32_t TypFileRefUnix::Delete() {
    FILE* probe = fopen(path, "r+b");
    if (probe == nullptr) {
        return kNoErr;
    }
    fclose(probe);
    return remove(path) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::IsOpend() {
    return openFlag == 1 ? kNoErr : kFileClosed;
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
    if (openFlag != 1) {
        return kFileClosed;
    }
    int result;
    do {
        result = flock(fileno(stream), exclusive != 0 ? LOCK_EX : LOCK_SH);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Unlock() {
    if (openFlag != 1) {
        return kFileClosed;
    }
    return flock(fileno(stream), LOCK_UN) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::Sync() {
    if (openFlag != 1) {
        return kFileClosed;
    }
    if (fflush(stream) != 0) {
        return kOtherErr;
    }
    return fsync(fileno(stream)) == 0 ? kNoErr : kOtherErr;
}

int32_t TypFileRefUnix::SetPath(const char* text) {
    const size_t length = strlen(text);
    if (length > kMaxPathLength) {
        return kOtherErr;
    }
    memcpy(path, text, length + 1);
    return kNoErr;
}

int32_t TypFileRefUnix::AppendPath(const char* text) {
    const size_t current = strnlen(path, sizeof path);
    const size_t extra = strlen(text);
    if (current + extra > kMaxPathLength) {
        return kOtherErr;
    }
    memcpy(path + current, text, extra + 1);
    return kNoErr;
}
