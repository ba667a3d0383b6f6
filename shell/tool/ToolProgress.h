// Shows on the standard error stream that long work is going on: only when that stream is a
// terminal, and only for an input over 64 MiB or a run that has lasted a second. The streaming
// file pipelines report the bytes they have done through the library's progress hook and the
// line shows the share done; the in-memory ones run whole, and the line counts seconds alone.
#ifndef VELDORAN_SHELL_TOOL_TOOLPROGRESS_H
#define VELDORAN_SHELL_TOOL_TOOLPROGRESS_H

#include <stdint.h>

#include <atomic>
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
    // The library's hook: keeps the latest counts for the watcher.
    static void Record(void* context, uint64_t done, uint64_t total);
    void Watch();
    void PrintLine(int64_t seconds);

    std::string label_;
    uint64_t inputBytes_ = 0;
    std::atomic<uint64_t> done_{0};
    std::atomic<uint64_t> total_{0};
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool finished_ = false;
    std::thread watcher_;
};

}  // namespace tool

#endif
