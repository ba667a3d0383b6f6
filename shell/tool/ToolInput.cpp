// Inputs taken whole or streamed, read and never mapped.
#include "shell/tool/ToolInput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

// What one read of a whole input asks for.
constexpr size_t kPiece = size_t{1} << 16;

// Reads from fd until its end, appending to content. 0, or an errno value.
int ReadToEnd(int fd, std::string* content) {
    for (;;) {
        const size_t had = content->size();
        content->resize(had + kPiece);
        const ssize_t got = read(fd, &(*content)[had], kPiece);
        content->resize(had + static_cast<size_t>(got > 0 ? got : 0));
        if (got == 0) {
            return 0;
        }
        if (got < 0 && errno != EINTR) {
            return errno;
        }
    }
}

// The standard input as a file the pipelines can open by name when it is a regular file read
// from its start (a shell's "< file"), so that nothing needs copying; "" otherwise.
std::string StandardInputFile() {
    struct stat status {};
    return fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode) &&
                   lseek(STDIN_FILENO, 0, SEEK_CUR) == 0
               ? "/proc/self/fd/0"
               : "";
}

// What the rules look for in a regular file, found by reading it in chunks, so that a large
// file costs no more memory than a small one.
struct TextScan {
    bool read = false;  // read through to its end: the other fields are set
    bool holdsNul = false;
    bool holdsCr = false;
    uint64_t size = 0;
};

TextScan ScanRegularFile(const std::string& path, bool text) {
    TextScan scan;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.IsOpen() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return scan;
    }
    if (!text) {
        scan.read = true;
        scan.size = static_cast<uint64_t>(status.st_size);
        return scan;
    }
    // Small enough to stay in the processor's cache, where the system's copy into it and both
    // searches run several times faster than through a block of a mebibyte; never filled first.
    constexpr size_t kScanChunk = size_t{256} << 10;
    const std::unique_ptr<char[]> chunk(new char[kScanChunk]);
    ssize_t got = 0;
    while ((got = read(file.Get(), chunk.get(), kScanChunk)) > 0 || (got < 0 && errno == EINTR)) {
        const auto count = static_cast<size_t>(got > 0 ? got : 0);
        scan.holdsNul = scan.holdsNul || memchr(chunk.get(), '\0', count) != nullptr;
        scan.holdsCr = scan.holdsCr || memchr(chunk.get(), '\r', count) != nullptr;
        scan.size += count;
    }
    // A file that cannot be read through is copied instead, which reports why.
    scan.read = got == 0;
    return scan;
}

// Takes CR LF pairs as LF in count bytes at data, in place, where a CR at the end of the
// previous piece is *pendingCr (still to be written, or dropped when this piece begins with
// LF). The new length.
size_t TakeCrLfAsLf(unsigned char* data, size_t count, bool* pendingCr) {
    size_t kept = 0;
    size_t from = 0;
    if (*pendingCr && count > 0 && data[0] != '\n') {
        // The CR held back stands alone: it goes in front of this piece's bytes.
        memmove(data + 1, data, count);
        data[0] = '\r';
        ++count;
        from = 1;
        kept = 1;
    }
    *pendingCr = false;
    while (from < count) {
        const auto* cr = static_cast<unsigned char*>(memchr(data + from, '\r', count - from));
        const size_t run = (cr == nullptr ? count : static_cast<size_t>(cr - data)) - from;
        if (kept != from) {
            memmove(data + kept, data + from, run);
        }
        kept += run;
        from += run;
        if (cr == nullptr) {
            break;
        }
        if (from + 1 == count) {
            *pendingCr = true;  // the next piece tells
            ++from;
        } else if (data[from + 1] == '\n') {
            ++from;  // the LF stays, the CR goes
        } else {
            data[kept++] = '\r';
            ++from;
        }
    }
    return kept;
}

// Opens path ("-" or "" for the standard input) for reading: *fd is the descriptor to read, the
// standard input's own or the one *opened now holds, and *status describes it. 0, or kOtherErr
// after a report when it cannot be opened or is a folder.
int32_t OpenForReading(const std::string& path, Descriptor* opened, int* fd, struct stat* status) {
    const bool standard = IsStandardStream(path);
    opened->Reset(standard ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC));
    *fd = standard ? STDIN_FILENO : opened->Get();
    if (*fd < 0) {
        return Fail(kOtherErr, path, SystemError("cannot be opened", errno));
    }
    if (fstat(*fd, status) == 0 && S_ISDIR(status->st_mode)) {
        return Fail(kOtherErr, path, "is a folder, not a file");
    }
    return kNoErr;
}

}  // namespace

int32_t ReadWholeInput(const std::string& path, std::string* content) {
    content->clear();
    Descriptor opened;
    int input = -1;
    struct stat status {};
    const int32_t result = OpenForReading(path, &opened, &input, &status);
    if (result != kNoErr) {
        return result;
    }
    if (S_ISREG(status.st_mode) && status.st_size > 0) {
        // Room for the read that finds the end too, so that the block is never moved.
        content->reserve(static_cast<size_t>(status.st_size) + kPiece);
    }
    const int error = ReadToEnd(input, content);
    return error == 0
               ? kNoErr
               : Fail(kOtherErr, DisplayName(path, false), SystemError("cannot be read", error));
}

void StreamedInput::Find(const std::string& path) {
    given_ = path;
    file_ = IsStandardStream(path) ? StandardInputFile() : path;
}

int32_t StreamedInput::Check(const TextRules& rules) {
    rules_ = rules;
    const TextScan scan =
        file_.empty() ? TextScan{} : ScanRegularFile(file_, rules.nulWords != nullptr);
    if (scan.read && scan.holdsNul) {
        return Fail(kOtherErr, DisplayName(given_, false), rules.nulWords);
    }
    if (scan.read && !(scan.holdsCr && rules.crlfAsLf)) {
        path_ = file_;
        size_ = scan.size;
    }
    return kNoErr;
}

std::string SpoolFolderFor(const std::string& target) {
    if (IsStandardStream(target) || !IsFileTarget(target)) {
        return "";
    }
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? "." : target.substr(0, slash + 1);
}

int32_t StreamedInput::OpenCopy(const std::string& folder) {
    const char* fromEnvironment = getenv("TMPDIR");
    int error = 0;
    for (const std::string& candidate :
         {folder, std::string(fromEnvironment != nullptr ? fromEnvironment : ""),
          std::string("/tmp")}) {
        if (candidate.empty()) {
            continue;
        }
        copy_.Reset(open(candidate.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
        if (copy_.IsOpen()) {
            return kNoErr;
        }
        error = error != 0 ? error : errno;
    }
    return Fail(kOtherErr, DisplayName(given_, false),
                SystemError("cannot be held while it is read", error));
}

int32_t StreamedInput::Copy(const std::string& folder) {
    const std::string shown = DisplayName(given_, false);
    Descriptor opened;
    int input = -1;
    struct stat status {};
    int32_t result = OpenForReading(given_, &opened, &input, &status);
    if (result == kNoErr) {
        result = OpenCopy(folder);
    }
    if (result != kNoErr) {
        return result;
    }
    // One byte of room in front of a piece for a CR held back from the previous one.
    constexpr size_t kCopyPiece = size_t{1} << 20;
    // A pipe hands over what its buffer holds per read: a larger buffer makes fewer, fuller
    // reads and writes (a hint; a pipe that keeps its size works as well).
    if (S_ISFIFO(status.st_mode)) {
        fcntl(input, F_SETPIPE_SZ, static_cast<int>(kCopyPiece));
    }
    // Every byte of the buffer is read into before it is looked at: it is never filled first.
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kCopyPiece + 1]);
    bool pendingCr = false;
    size_ = 0;
    for (;;) {
        const ssize_t got = read(input, buffer.get(), kCopyPiece);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail(kOtherErr, shown, SystemError("cannot be read", errno));
        }
        auto count = static_cast<size_t>(got);
        if (rules_.nulWords != nullptr && memchr(buffer.get(), '\0', count) != nullptr) {
            return Fail(kOtherErr, shown, rules_.nulWords);
        }
        if (rules_.crlfAsLf) {
            count = TakeCrLfAsLf(buffer.get(), count, &pendingCr);
        }
        if (got == 0 && pendingCr) {
            buffer[0] = '\r';
            count = 1;
        }
        const int written = WriteFully(copy_.Get(), buffer.get(), count);
        pastLimit_ = written == EFBIG;
        if (pastLimit_) {
            return kOtherErr;
        }
        if (written != 0) {
            return Fail(kOtherErr, shown, SystemError("cannot be held while it is read", written));
        }
        size_ += count;
        if (got == 0) {
            path_ = "/proc/self/fd/" + std::to_string(copy_.Get());
            return kNoErr;
        }
    }
}

int32_t StreamedInput::OpenOutputThenCopy(const std::string& output, const std::string& keyPrefix,
                                          bool sizeLimitIsOutputs, OutputFile* target) {
    int32_t result = target->Open(output, keyPrefix);
    if (result != kNoErr || !NeedsCopy()) {
        return result;
    }
    result = Copy(SpoolFolderFor(output));
    if (result != kOtherErr || !pastLimit_) {
        return result;
    }
    return sizeLimitIsOutputs
               ? Fail(kOtherErr, DisplayName(output, true), SystemError("cannot be written", EFBIG))
               : Fail(kOtherErr, DisplayName(given_, false),
                      SystemError("cannot be held while it is read", EFBIG));
}

}  // namespace tool
