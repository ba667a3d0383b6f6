// What a file reference may offer beyond whole-file access: advisory locks, stable storage and
// the system's description of the open file. The cipher relies on them for key files where they
// are offered, and works without them on a reference that offers none.
#ifndef VELDORAN_PLATFORM_FILECONTROL_H
#define VELDORAN_PLATFORM_FILECONTROL_H

#include <stdint.h>
#include <sys/stat.h>

namespace veldoran {

class FileControl {
  public:
    // Advisory lock on the open file: exclusive when the flag is non-zero, else shared. Waits
    // until granted; the lock ends with Unlock or when the file is closed.
    virtual int32_t Lock(int32_t exclusive) = 0;
    virtual int32_t Unlock() = 0;
    // Puts what was written to the open file on stable storage.
    virtual int32_t Sync() = 0;
    // The system's description of the open file (type, size, device and inode).
    virtual int32_t GetInfo(struct stat* info) const = 0;
    // Puts what was written to the open file on stable storage, with only the metadata needed
    // to read it back: enough for bytes rewritten in place, which leave the size as it was.
    virtual int32_t SyncData() = 0;

  protected:
    ~FileControl() = default;
};

}  // namespace veldoran

#endif
