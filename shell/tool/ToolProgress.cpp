// The progress line: a watcher thread that only prints, so the library's single-threaded work
// is never touched by it.
#include "shell/tool/ToolProgress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <system_error>
#include <utility>

namespace tool {

Progress::Progress(std::string label, uint64_t inputBytes)
    : label_(std::move(label)), inputBytes_(inputBytes) {
    if (isatty(STDERR_FILENO) != 1) {
        return;
    }
    try {
        watcher_ = std::thread(&Progress::Watch, this);
    } catch (const std::system_error&) {
        // No thread, no progress line: the work itself does not need one.
    }
}

Progress::~Progress() {
    if (!watcher_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    stopped_.notify_all();
    watcher_.join();
}

void Progress::Watch() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (inputBytes_ <= kLargeInput &&
        stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) {
        return;
    }
    const double mebibytes = static_cast<double>(inputBytes_) / (1024.0 * 1024.0);
    for (;;) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        fprintf(stderr, "\rveldoran-tool: %s (%.1f MiB) %lld s", label_.c_str(), mebibytes,
                static_cast<long long>(seconds));
        fflush(stderr);
        if (stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) {
            break;
        }
    }
    fprintf(stderr, " done\n");
    fflush(stderr);
}

}  // namespace tool
