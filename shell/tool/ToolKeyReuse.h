// The key reuse check of every encryption: the library's key use hook (pipelines/KeyUse.h),
// which shows each key layer's header as the run has locked it, finds out whether the
// message's key streams would run past the end of either key's material, and warns or (with
// --no-reuse) refuses. Decided under the key locks, from the header the run spends from, so
// that runs at the same time cannot all pass on the same unspent material.
//
// A key stream starts at the key's recorded position and reads the material cyclically. The
// material from the position to the end has not been used yet; a stream longer than that wraps
// to the start of the material, whose bytes earlier messages used (or, for a stream longer than
// the whole material, this stream itself). So a layer of n bytes reuses n - (keyLen - keyOffset)
// bytes when that is positive, whatever the use count says. The master layer takes the message
// (n bytes), the sender's layer the master's frame (n + one key header).
#ifndef VELDORAN_SHELL_TOOL_TOOLKEYREUSE_H
#define VELDORAN_SHELL_TOOL_TOOLKEYREUSE_H

#include <stdint.h>

#include <map>
#include <string>

struct VeldoranKeyLayer;

namespace tool {

// Bytes of key stream by key file, of the runs still to come in the same piece of work.
using LaterStreams = std::map<std::string, uint64_t>;

// While it lives, the encryptions the calling thread runs are checked: a key that would wrap
// is warned about on the standard error stream ("veldoran-tool: warning: <key file>: ..."), or
// with refuse set the run is refused after a line naming the key file, nothing encrypted and
// no key material spent: the library's run fails with kKeyUseRefused, that key in its failure
// report, which FailFromReport turns into kReuseRefused.
// later, when given, counts the streams of runs that will follow each checked one, so that a
// piece of work made of several runs is refused before its first run spends anything.
class KeyReuseCheck {
  public:
    explicit KeyReuseCheck(bool refuse, const LaterStreams* later = nullptr);
    ~KeyReuseCheck();
    KeyReuseCheck(const KeyReuseCheck&) = delete;
    KeyReuseCheck& operator=(const KeyReuseCheck&) = delete;

  private:
    static int32_t Decide(void* context, const VeldoranKeyLayer* layers, uint32_t count);

    bool refuse_;
    const LaterStreams* later_;
};

// While it lives, the encryptions the calling thread runs stop at the key use hook, before
// anything is prepared or spent, once the key streams they would take are noted: to find out
// what a run will take before an earlier one spends.
class KeyUseProbe {
  public:
    KeyUseProbe();
    ~KeyUseProbe();
    KeyUseProbe(const KeyUseProbe&) = delete;
    KeyUseProbe& operator=(const KeyUseProbe&) = delete;

    // Whether a run came as far as the hook: a run that failed before it failed for a reason
    // of its own.
    bool Asked() const { return asked_; }
    const LaterStreams& Streams() const { return streams_; }

  private:
    static int32_t Note(void* context, const VeldoranKeyLayer* layers, uint32_t count);

    bool asked_ = false;
    LaterStreams streams_;
};

}  // namespace tool

#endif
