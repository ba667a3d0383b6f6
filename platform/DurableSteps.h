// The two steps every durable write takes, written once: a write that goes on through short
// writes and interruptions until every byte is down, and the sync of a folder that makes a new
// or changed name in it survive a crash; beside them the read that goes on in the same way.
#ifndef VELDORAN_PLATFORM_DURABLESTEPS_H
#define VELDORAN_PLATFORM_DURABLESTEPS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace veldoran {

// A write(2) to call, so that a caller with a test seam can pass its own.
using WriteCall = ssize_t (*)(int fd, const void* data, size_t count);

// Writes count bytes at data to fd, again after a short write or an interruption. 0, or the
// errno value of the write that failed (EIO for one that wrote nothing).
int WriteFully(int fd, const void* data, size_t count, WriteCall write);
int WriteFully(int fd, const void* data, size_t count);
// The same at offset, through pwrite(2): the file's position stays where it was.
int WriteFullyAt(int fd, const void* data, size_t count, uint64_t offset);

// Reads count bytes at offset into data through pread(2), again after a short read or an
// interruption. True when all were read; false on an error (errno set) or when the file ends
// first.
bool ReadFullyAt(int fd, void* data, size_t count, uint64_t offset);

// Puts the folder open at folderFd on stable storage, so that the names made, renamed or
// removed in it survive a crash. 0, or -1 with errno set (the calling convention of fsync(2),
// so that it can stand in a table of system calls).
int SyncFolder(int folderFd);
// The same for the folder path lies in ("." for a bare name), opened for the moment. 0, or -1
// with errno set, also when the folder cannot be opened.
int SyncFolderOf(const std::string& path);

}  // namespace veldoran

#endif
