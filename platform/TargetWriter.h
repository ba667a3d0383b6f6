// Replaces a target file as one step: the new content goes into a temporary file created
// beside the target (exclusively, never through a link), is flushed to stable storage, and is
// then renamed over the target. Until Commit succeeds the old target stays exactly as it was,
// and a run that fails or is abandoned leaves no temporary file behind.
//
// Where the file system offers unnamed files (O_TMPFILE) the temporary file has no name until
// Commit gives it the target's name when there is no target yet, and otherwise links it as
// .veldoran-XXXXXX.new, locked, just before the rename. Elsewhere the temporary file is named
// .veldoran-XXXXXX.tmp and locked while its writer lives. A killed process leaves at most such
// a file, which Open removes from the target's folder once no process holds it: a .new file at
// once, a .tmp file once nothing has written to it for a minute.
//
// Kept from direct writing: an existing target that cannot be opened for reading and writing
// is refused (-1) and left alone; a replaced target keeps its read, write and execute bits; a
// new target gets 0666 less the umask. A link is replaced by the new file and the file it names
// is left alone. A target that is not a regular file (a terminal, a pipe, /dev/null) has no
// content to protect and is written in place; a pipe that nobody reads is refused at Open
// rather than waited on. A target that cannot be replaced in one step (its
// folder not writable, or a sticky folder where the user owns neither the target nor the
// folder) is refused before anything is written.
#ifndef VELDORAN_PLATFORM_TARGETWRITER_H
#define VELDORAN_PLATFORM_TARGETWRITER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace veldoran {

// The system calls the writer makes, so that tests can make any of them fail.
struct TargetWriterCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t count);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    // fallocate(2) with FALLOC_FL_KEEP_SIZE over [0, length).
    int (*reserve)(int fd, off_t length);

    // The calls of the running system.
    static const TargetWriterCalls& System();
};

class TargetWriter {
  public:
    TargetWriter() = default;
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;
    // Discards an uncommitted temporary file.
    ~TargetWriter();

    // Keeps the system calls to use (not owned; null for the running system's). 0.
    int32_t InitCreate(const TargetWriterCalls* calls);
    // Prepares the replacement of path: checks an existing target and creates the temporary
    // file. 0, or -1 (nothing created, the target untouched) when the target is a folder, exists
    // but cannot be opened for reading and writing, cannot be replaced in its folder, is a pipe
    // that nobody reads, or the temporary file cannot be created.
    int32_t Open(const char* path);
    // Prepares writing to fd (not owned; a copy of it is written and closed at Commit) where
    // it stands, as for a device or a pipe: nothing written can be taken back, and Commit only
    // closes the copy. 0, or -1 when fd cannot be copied.
    int32_t OpenDescriptor(int fd);
    // Sets disk space aside for length bytes of new content, so that a full disk is found out
    // before the content is made. 0, also where the file system cannot set space aside; -1
    // (the temporary file removed) when the space is not there or length exceeds the process's
    // file-size limit (RLIMIT_FSIZE).
    int32_t Reserve(uint64_t length);
    // Appends count bytes to the new content. 0, or -1 when they cannot all be written. The
    // file-size signal is ignored meanwhile, so a write past the file-size limit fails instead
    // of killing the process.
    int32_t Write(const unsigned char* data, uint32_t count);
    // Puts the new content on stable storage without giving it the target's name, so that
    // this sync can run beside others; Commit then only names it. 0 (also for a target written
    // in place, which has nothing to sync), or -1 with the temporary file removed.
    int32_t SyncContent();
    // Puts the new content on stable storage (unless SyncContent did) and in place of the
    // target. 0, or -1 with the old target intact and the temporary file removed.
    int32_t Commit();
    // Abandons an uncommitted replacement: the temporary file is closed and removed. 0.
    int32_t Kill();

    // After Open: whether the target is written as it stands (a device or a pipe) rather than
    // through a temporary file, so that nothing written can be taken back.
    bool InPlace() const { return inPlace_; }
    // The temporary file's path while a replacement is pending (an unnamed file is linked there
    // at Commit), else empty (for tests).
    const std::string& TemporaryPath() const { return temporaryPath_; }
    // The errno value of the call that failed the writer (so that a program can say why), or 0.
    int LastError() const { return lastError_; }

  private:
    int32_t Fail();
    // Gives the unnamed temporary file, open as fd, a name: the target's when there is no
    // target yet (atTarget then set), else temporaryPath_. 0 or -1.
    int32_t LinkUnnamed(int fd, bool* atTarget);
    void StartWriteback(size_t count);

    const TargetWriterCalls* calls_ = &TargetWriterCalls::System();
    std::string targetPath_;
    std::string temporaryPath_;
    int fd_ = -1;
    bool inPlace_ = false;
    // The temporary file is unnamed (O_TMPFILE) and, once linked, named temporaryPath_.
    bool unnamed_ = false;
    bool linked_ = false;
    bool failed_ = false;
    int lastError_ = 0;
    size_t written_ = 0;
    bool reserved_ = false;
    bool synced_ = false;
};

}  // namespace veldoran

#endif
