// File reference on the C library's buffered streams. The path is a NUL-terminated text of at
// most 255 characters; SetPath and AppendPath refuse a text that does not fit. Every platform
// failure is reported as -1 (kOtherErr); operations that need an open file return kFileClosed
// on a reference that is not open and touch no stream.
#ifndef VELDORAN_PLATFORM_TYPFILEREFUNIX_H
#define VELDORAN_PLATFORM_TYPFILEREFUNIX_H

#include <stdint.h>
#include <stdio.h>

#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"

class TypFileRefUnix : public TypFileRef {
  public:
    int32_t InitCreate(TypUtils* theUtils) override;
    int32_t OpenDF(int32_t mode) override;
    // Fails with -1 for a file of 2 GiB or more, whose length a 32-bit count cannot hold.
    // Leaves the position at the end of the file.
    int32_t GetLength(int32_t* length) override;
    int32_t SetFilePos(uint32_t position) override;
    // 0 when exactly count bytes were read, else -1 (the bytes read stay in the buffer).
    int32_t Read(unsigned char* buffer, uint32_t count) override;
    int32_t Write(const unsigned char* buffer, uint32_t count) override;
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
    virtual int32_t Lock(int32_t exclusive);
    virtual int32_t Unlock();
    // Flushes the stream and asks the system to put the file's data on stable storage.
    virtual int32_t Sync();

    // Checked writes of path: kOtherErr, with path unchanged, when the result would not fit.
    int32_t SetPath(const char* text);
    int32_t AppendPath(const char* text);

    static constexpr int kPathFieldSize = kMaxPathLength + 1;

    char path[kPathFieldSize] = {};
    int16_t openFlag = 0;
    FILE* stream = nullptr;

  private:
    int32_t Mapped(int platformResult);
};

#endif
