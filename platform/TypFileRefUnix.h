// File reference on the C library's buffered streams. The path is a NUL-terminated text of at
// most 255 characters; SetPath and AppendPath refuse a text that does not fit, and OpenDF,
// Exists and Delete refuse a path field that holds no such text. Every platform failure is
// reported as -1 (kOtherErr); operations that need an open file return kFileClosed on a
// reference that is not open (openFlag 0, or no stream behind it) and touch no stream. A
// folder is not a file: OpenDF and Exists refuse it. Nothing waits to open: a pipe or socket
// exists but OpenDF refuses it (-1), since it has no whole content and reading it could hang.
#ifndef VELDORAN_PLATFORM_TYPFILEREFUNIX_H
#define VELDORAN_PLATFORM_TYPFILEREFUNIX_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include "platform/FailureReport.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"

class TypFileRefUnix : public TypFileRef, public veldoran::FileControl {
  public:
    TypFileRefUnix() { control_ = this; }
    // Kill does not close; a reference destroyed while still open closes its stream here, so
    // that buffered data reaches the file and no stream is left behind.
    ~TypFileRefUnix() override;

    int32_t InitCreate(TypUtils* theUtils) override;
    // Modes 0 ("r+b"), 1 ("rb") and 2 ("w+b"). An open reference stays as it is and gives 0.
    // Another mode gives -1 and changes nothing.
    int32_t OpenDF(int32_t mode) override;
    // Fails with -1 for a file of 2 GiB or more, whose length a 32-bit count cannot hold.
    // Leaves the position at the end of the file.
    int32_t GetLength(int32_t* length) override;
    int32_t SetFilePos(uint32_t position) override;
    // 0 when exactly count bytes were read, else -1 (the bytes read stay in the buffer).
    // Reads and writes may follow each other without positioning in between.
    int32_t Read(unsigned char* buffer, uint32_t count) override;
    // 0 when all count bytes were written, else -1.
    int32_t Write(const unsigned char* buffer, uint32_t count) override;
    // 0, or -1 when closing failed; a reference that is not open gives 0.
    int32_t CloseDF() override;
    // 0 when the path can be opened for reading, else -1. Needs no open reference.
    int32_t Exists() override;
    // Removes a file that can be opened for update; 0 also when there is nothing to delete.
    int32_t Delete() override;
    // Inverted sense: 0 when open, kFileClosed when not.
    int32_t IsOpend() override;
    // -43 stays -43, 0 stays 0, anything else becomes -1.
    virtual int32_t MacOStoPrivateError(int16_t platformCode);

    // Advisory lock on the open file (flock): exclusive when the flag is non-zero, else shared.
    // Blocks until granted; the lock ends with Unlock or CloseDF.
    int32_t Lock(int32_t exclusive) override;
    int32_t Unlock() override;
    // The system's description of the open file (type, size, device and inode): 0, -1 when
    // the system cannot give it, kFileClosed on a reference that is not open.
    int32_t GetInfo(struct stat* info) const override;
    // Flushes the stream and asks the system to put the file's data on stable storage.
    int32_t Sync() override;
    // Flushes the stream and puts the file's data on stable storage (fdatasync).
    int32_t SyncData() override;

    // Checked writes of path: kOtherErr, with path unchanged, when the result would not fit
    // (or the text is null, or path holds no NUL-terminated text to append to).
    int32_t SetPath(const char* text);
    int32_t AppendPath(const char* text);

    static constexpr int kPathFieldSize = kMaxPathLength + 1;

    char path[kPathFieldSize] = {};
    int16_t openFlag = 0;
    FILE* stream = nullptr;

  private:
    enum class Access : int8_t { kNone, kRead, kWrite };

    int32_t Mapped(int platformResult);
    // Notes a failure of this file in the thread's failure report (platform/FailureRecord.h)
    // for the layer that knows what the file is to the run; kOtherErr.
    int32_t Noted(VeldoranFailureStep step, int systemError) const;
    // Flushes the stream, then puts the file on stable storage with sync (fsync or fdatasync).
    int32_t FlushThen(int (*sync)(int));
    // The flag alone is not trusted: it is public, and a stream is needed to act on.
    bool StreamIsOpen() const;
    bool PathIsValid() const;
    // The path opened as a stream without waiting, refusing a folder; forUse also refuses a
    // pipe or a socket, which Exists and Delete only probe.
    FILE* OpenFileStream(const char* streamMode, bool forUse) const;
    // Streams need a positioning call between a read and a write that follows it, and the
    // other way round.
    bool SwitchTo(Access next);

    Access lastAccess_ = Access::kNone;
};

#endif
