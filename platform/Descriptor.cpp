// The one owner of an open file descriptor.
#include "platform/Descriptor.h"

#include <unistd.h>

#include <cerrno>

veldoran::Descriptor& veldoran::Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
    }
    return *this;
}

int veldoran::Descriptor::Reset(int fd) {
    int result = 0;
    // Not retried on EINTR: on Linux the descriptor is closed whatever close returns.
    if (fd_ >= 0 && ::close(fd_) != 0) {
        result = errno;
    }
    fd_ = fd;
    return result;
}

int veldoran::Descriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}
