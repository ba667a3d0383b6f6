// The progress line: a watcher thread that only prints, fed by the library's progress hook on
// the working thread, so the library's work is never touched by it.
#include "shell/tool/ToolProgress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <system_error>
#include <utility>

#include "veldoran.h"

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
        return;
    }
    veldoranSetProgress(&Progress::Record, this);
}

Progress::~Progress() {
    if (!watcher_.joinable()) {
        return;
    }
    veldoranSetProgress(nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    stopped_.notify_all();
    watcher_.join();
}

void Progress::Record(void* context, uint64_t done, uint64_t total) {
    auto* progress = static_cast<Progress*>(context);
    progress->total_.store(total, std::memory_order_relaxed);
    progress->done_.store(done, std::memory_order_relaxed);
}

void Progress::PrintLine(int64_t seconds) {
    const double mebibytes = static_cast<double>(inputBytes_) / (1024.0 * 1024.0);
    const uint64_t total = total_.load(std::memory_order_relaxed);
    const uint64_t done = done_.load(std::memory_order_relaxed);
    if (total > 0) {
        const unsigned percent = static_cast<unsigned>(done >= total ? 100 : done * 100 / total);
        fprintf(stderr, "\rveldoran-tool: %s (%.1f MiB) %3u%% %lld s", label_.c_str(), mebibytes,
                percent, static_cast<long long>(seconds));
    } else {
        fprintf(stderr, "\rveldoran-tool: %s (%.1f MiB) %lld s", label_.c_str(), mebibytes,
                static_cast<long long>(seconds));
    }
    fflush(stderr);
}

void Progress::Watch() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (inputBytes_ <= kLargeInput &&
        stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return finished_; })) {
        return;
    }
    for (;;) {
        PrintLine(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
        if (stopped_.wait_for(lock, std::chrono::milliseconds(250), [this] { return finished_; })) {
            break;
        }
    }
    PrintLine(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    fprintf(stderr, " done\n");
    fflush(stderr);
}

}  // namespace tool
