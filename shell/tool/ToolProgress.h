// Shows on the standard error stream that long work is going on: only when that stream is a
// terminal, and only for an input over 64 MiB or a run that has lasted a second. The library's
// calls run whole, so the line counts seconds rather than bytes.
#ifndef VELDORAN_SHELL_TOOL_TOOLPROGRESS_H
#define VELDORAN_SHELL_TOOL_TOOLPROGRESS_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

class Progress {
  public:
    // Starts watching; label says what runs ("encrypting letter.txt").
    Progress(std::string label, uint64_t inputBytes);
    // Stops and ends the progress line if one was shown.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    static constexpr uint64_t kLargeInput = 64ull << 20;

  private:
    void Watch();

    std::string label_;
    uint64_t inputBytes_ = 0;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool done_ = false;
    std::thread watcher_;
};

}  // namespace tool

#endif
