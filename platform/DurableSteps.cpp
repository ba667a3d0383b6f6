// The write and read loops and the folder sync that the target writer, the key files, the key
// journal and the tool share.
#include "platform/DurableSteps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Descriptor.h"

namespace {

// Calls write(done, left) until nothing is left; 0 or an errno value.
template <class Step>
int UntilAllWritten(size_t count, Step write) {
    size_t done = 0;
    while (done < count) {
        const ssize_t written = write(done, count - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

}  // namespace

int veldoran::WriteFully(int fd, const void* data, size_t count, WriteCall write) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return UntilAllWritten(count,
                           [&](size_t done, size_t left) { return write(fd, bytes + done, left); });
}

int veldoran::WriteFully(int fd, const void* data, size_t count) {
    return WriteFully(fd, data, count, ::write);
}

int veldoran::WriteFullyAt(int fd, const void* data, size_t count, uint64_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return UntilAllWritten(count, [&](size_t done, size_t left) {
        return ::pwrite(fd, bytes + done, left, static_cast<off_t>(offset + done));
    });
}

bool veldoran::ReadFullyAt(int fd, void* data, size_t count, uint64_t offset) {
    auto* bytes = static_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

int veldoran::SyncFolder(int folderFd) {
    int synced;
    do {
        synced = ::fsync(folderFd);
    } while (synced != 0 && errno == EINTR);
    return synced;
}

int veldoran::SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return opened.IsOpen() ? SyncFolder(opened.Get()) : -1;
}
