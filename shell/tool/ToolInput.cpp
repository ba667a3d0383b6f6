// Inputs taken whole or streamed, read and never mapped.
#include "shell/tool/ToolInput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
// file costs no more memory than a small one. A user's text is looked at in the document form
// reader makes of it (into converted, kept for the run); reader is null for any other input.
struct TextScan {
    bool read = false;  // read through to its end: the other fields are set
    bool holdsNul = false;
    bool holdsCr = false;
    uint64_t size = 0;
};

TextScan ScanRegularFile(const std::string& path, bool text, veldoran::UserTextReader* reader,
                         std::string* converted) {
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
    bool valid = true;
    while (valid &&
           ((got = read(file.Get(), chunk.get(), kScanChunk)) > 0 || (got < 0 && errno == EINTR))) {
        const auto count = static_cast<size_t>(got > 0 ? got : 0);
        const char* looked = chunk.get();
        size_t lookedCount = count;
        if (reader != nullptr) {
            converted->clear();
            valid =
                reader->Convert(reinterpret_cast<unsigned char*>(chunk.get()), count, converted);
            looked = converted->data();
            lookedCount = converted->size();
        }
        scan.holdsNul = scan.holdsNul || memchr(looked, '\0', lookedCount) != nullptr;
        scan.holdsCr = scan.holdsCr || memchr(looked, '\r', lookedCount) != nullptr;
        scan.size += count;
    }
    // A file that cannot be read through is copied instead, which reports why; a text found not
    // to be in its charset is read through as far as needed.
    scan.read = got == 0 || !valid;
    if (reader != nullptr && valid && scan.read) {
        converted->clear();
        reader->Finish(converted);
    }
    return scan;
}

// How the user's text fared, told under shown: a byte not in the charset, the characters that
// cannot travel (the first screenful, then their count) or how many transliteration replaced.
// kNoErr or kTextRefused.
int32_t ReportUserText(const std::string& shown, const std::string& charset,
                       const veldoran::UserTextReader& reader, bool tellTransliteration) {
    if (reader.Invalid()) {
        return Fail(kTextRefused, shown,
                    "the byte at offset " + std::to_string(reader.InvalidOffset()) + " is not " +
                        charset +
                        " text; give the text's charset with --charset (windows-1252 for a "
                        "Windows text)");
    }
    for (const veldoran::UntravelledCharacter& found : reader.Untravelled()) {
        char code[16];
        snprintf(code, sizeof code, found.unassigned ? "byte 0x%02X" : "U+%04X", found.code);
        // C0 and C1 controls and the unassigned bytes are named by their codes alone.
        const bool printable = !found.unassigned && found.code >= 0xA0;
        const std::string character =
            printable ? "\"" + EscapeForTerminal(found.character) + "\" (" + code + ")" : code;
        Fail(kTextRefused, shown,
             "line " + std::to_string(found.line) + ", column " + std::to_string(found.column) +
                 ": " + character + " cannot travel; --transliterate makes it \"" +
                 EscapeForTerminal(found.replacement) + "\"");
    }
    const uint64_t count = reader.UntravelledCount();
    if (count > reader.Untravelled().size()) {
        Fail(kTextRefused, shown,
             "and " + std::to_string(count - reader.Untravelled().size()) +
                 " more characters that cannot travel");
    }
    if (count > 0) {
        return kTextRefused;
    }
    if (tellTransliteration && reader.Transliterated() > 0) {
        fprintf(stderr, "veldoran-tool: %s: --transliterate changed %s character%s\n",
                shown.c_str(), std::to_string(reader.Transliterated()).c_str(),
                reader.Transliterated() == 1 ? "" : "s");
    }
    return kNoErr;
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

int32_t DocumentText(const std::string& text, const std::string& what, const TextRules& rules,
                     std::string* document) {
    document->clear();
    veldoran::UserTextReader reader;
    reader.Open(rules.charset, rules.transliterate);
    if (reader.Convert(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                       document)) {
        reader.Finish(document);
    }
    return ReportUserText(what, rules.charset, reader, true);
}

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
    veldoran::UserTextReader* reader = nullptr;
    if (!rules.charset.empty()) {
        reader_.Open(rules.charset, rules.transliterate);
        reader = &reader_;
    }
    const TextScan scan =
        file_.empty() ? TextScan{}
                      : ScanRegularFile(file_, rules.nulWords != nullptr, reader, &converted_);
    if (scan.read && reader != nullptr) {
        const int32_t result =
            ReportUserText(DisplayName(given_, false), rules.charset, reader_, true);
        transliterationTold_ = true;
        if (result != kNoErr) {
            return result;
        }
    }
    if (scan.read && scan.holdsNul) {
        return Fail(kOtherErr, DisplayName(given_, false), rules.nulWords);
    }
    if (scan.read && !(scan.holdsCr && rules.crlfAsLf) &&
        (reader == nullptr || reader_.Unchanged())) {
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
    const bool converting = !rules_.charset.empty();
    if (converting) {
        reader_.Open(rules_.charset, rules_.transliterate);
    }
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
        unsigned char* piece = buffer.get();
        auto count = static_cast<size_t>(got);
        if (converting) {
            converted_.clear();
            const bool valid =
                got > 0 ? reader_.Convert(piece, count, &converted_) : reader_.Finish(&converted_);
            if (!valid) {
                return ReportUserText(shown, rules_.charset, reader_, false);
            }
            converted_.push_back('\0');  // room for a CR held back
            piece = reinterpret_cast<unsigned char*>(&converted_[0]);
            count = converted_.size() - 1;
        }
        holdsNul_ = holdsNul_ || memchr(piece, '\0', count) != nullptr;
        if (rules_.nulWords != nullptr && holdsNul_) {
            return Fail(kOtherErr, shown, rules_.nulWords);
        }
        if (rules_.crlfAsLf) {
            count = TakeCrLfAsLf(piece, count, &pendingCr);
        }
        if (got == 0 && pendingCr) {
            piece[0] = '\r';
            count = 1;
        }
        const int written = WriteFully(copy_.Get(), piece, count);
        pastLimit_ = written == EFBIG;
        if (pastLimit_) {
            return kOtherErr;
        }
        if (written != 0) {
            return Fail(kOtherErr, shown, SystemError("cannot be held while it is read", written));
        }
        size_ += count;
        if (got == 0) {
            break;
        }
    }
    if (converting) {
        result = ReportUserText(shown, rules_.charset, reader_, !transliterationTold_);
        if (result != kNoErr) {
            return result;
        }
    }
    path_ = "/proc/self/fd/" + std::to_string(copy_.Get());
    return kNoErr;
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
