// Runs a piece of a test in a forked child: for limits that must not touch the test program
// itself (address space) and for permission checks that root would ignore. The child reports
// through its exit status only; 0 means every check in it held.
#ifndef VELDORAN_TESTS_SUPPORT_CHILDPROCESS_H
#define VELDORAN_TESTS_SUPPORT_CHILDPROCESS_H

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <vector>

namespace testsupport {

// Exit status of a child that could not become the unprivileged user.
constexpr int kCannotDropPrivileges = 77;
constexpr uid_t kNobodyId = 65534;

// Runs body in a child process; its result (0 to 255) becomes the child's exit status. Returns
// that status, or -1 when the child did not exit normally (crash, sanitizer abort).
inline int RunInChild(const std::function<int()>& body) {
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        // _exit: no atexit handlers, no leak report, no second copy of buffered output.
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Forks processes children that all start at once: each waits on a pipe until the parent has
// forked every one and closed it, then child k runs body(k) and exits 0 when it returned true
// and 1 otherwise. Returns the children's exit statuses in order; -1 for a child that could not
// be forked or did not exit normally.
inline std::vector<int> RunTogether(int processes, const std::function<bool(int child)>& body) {
    std::vector<int> statuses(static_cast<size_t>(processes), -1);
    int startPipe[2];
    if (pipe(startPipe) != 0) {
        return statuses;
    }
    fflush(stdout);
    fflush(stderr);
    std::vector<pid_t> children;
    for (int k = 0; k < processes; ++k) {
        const pid_t child = fork();
        if (child == 0) {
            close(startPipe[1]);
            char go;
            const bool started = read(startPipe[0], &go, 1) == 0;
            _exit(started && body(k) ? 0 : 1);
        }
        children.push_back(child);
    }
    close(startPipe[0]);
    close(startPipe[1]);
    for (size_t k = 0; k < children.size(); ++k) {
        int status = 0;
        if (children[k] > 0 && waitpid(children[k], &status, 0) == children[k] &&
            WIFEXITED(status)) {
            statuses[k] = WEXITSTATUS(status);
        }
    }
    return statuses;
}

// Runs body as user and group nobody (65534). A root parent drops its groups, then its group,
// then its user, and proves that it cannot become root again before body runs; when that is
// impossible the child exits with kCannotDropPrivileges. A parent that is not root runs body
// under its own identity, which the file system already holds to its permissions.
inline int RunAsUnprivileged(const std::function<int()>& body) {
    return RunInChild([&body]() {
        if (geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(kNobodyId) != 0 || setuid(kNobodyId) != 0) {
                return kCannotDropPrivileges;
            }
            if (getuid() != kNobodyId || geteuid() != kNobodyId || getgid() != kNobodyId ||
                getegid() != kNobodyId || setuid(0) == 0) {
                return kCannotDropPrivileges;
            }
        }
        return body();
    });
}

// Bytes of address space the calling process has mapped now.
inline rlim_t MappedBytes() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    statm >> pages;
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// Lets the calling process map at most headroom more bytes than it has now; false on failure.
inline bool LimitAddressSpace(rlim_t headroom) {
    const rlim_t limit = MappedBytes() + headroom;
    const struct rlimit bound = {limit, limit};
    return setrlimit(RLIMIT_AS, &bound) == 0;
}

}  // namespace testsupport

#endif
