// Stand-ins for the system calls a target writer makes, failing as a full disk does: every
// write, the reservation of the target's room, or every write after the first few. Tests put
// them in a TargetWriterCalls.
#ifndef VELDORAN_TESTS_SUPPORT_FULLDISK_H
#define VELDORAN_TESTS_SUPPORT_FULLDISK_H

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

inline ssize_t FullDiskWrite(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

inline int FullDiskReserve(int, off_t) {
    errno = ENOSPC;
    return -1;
}

// The writes WriteThenFail still lets through; each test sets it before its run.
inline int gWritesLeft = 0;

// Lets the first gWritesLeft writes through, then fails every one as a full disk does.
inline ssize_t WriteThenFail(int fd, const void* data, size_t count) {
    if (gWritesLeft-- > 0) {
        return write(fd, data, count);
    }
    errno = ENOSPC;
    return -1;
}

}  // namespace testsupport

#endif
