// Where a file pipeline that a program points at its own target (the *Into calls) writes its
// result: a small write-and-commit interface the program implements, or the library's target
// writer behind it. A run writes, then commits; a failed run abandons instead.
#ifndef VELDORAN_PLATFORM_TARGETSINK_H
#define VELDORAN_PLATFORM_TARGETSINK_H

#include <stdint.h>

namespace veldoran {

class TargetSink {
  public:
    virtual ~TargetSink() = default;

    // Sets space aside for length bytes of result, so that a full disk is found out before
    // the result is made. 0 (also where there is nothing to set aside), or a negative code.
    virtual int32_t Reserve(uint64_t length) = 0;
    // Appends count bytes to the result. 0, or a negative code.
    virtual int32_t Write(const unsigned char* data, uint32_t count) = 0;
    // Puts what was written on stable storage without yet making it the result, so that this
    // sync runs beside the key files' own. 0 (also for a sink with nothing to sync), or a
    // negative code.
    virtual int32_t SyncContent() = 0;
    // Makes what was written the result. 0, or a negative code.
    virtual int32_t Commit() = 0;
    // Abandons what was written and not committed. 0.
    virtual int32_t Kill() = 0;
    // Whether each byte is out of reach once written (a device, a pipe, a terminal) rather than
    // held until Commit. An encryption into such a sink spends its key material before the
    // first byte; into any other, only once the whole result waits synced in it.
    virtual bool InPlace() const = 0;
};

}  // namespace veldoran

#endif
