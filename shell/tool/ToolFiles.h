// The tool's file work outside the library: outputs to the standard output or replacing a file
// in one step, the refusal of key files as targets, and path helpers (inputs: ToolInput).
#ifndef VELDORAN_SHELL_TOOL_TOOLFILES_H
#define VELDORAN_SHELL_TOOL_TOOLFILES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <utility>

#include "platform/Descriptor.h"
#include "platform/DurableSteps.h"
#include "platform/TargetWriter.h"
#include "veldoran.h"

namespace tool {

using veldoran::Descriptor;
using veldoran::WriteFully;

// True for the names that stand for the standard streams: "-" and "".
bool IsStandardStream(const std::string& path);

// Key files, so that no result ever replaces one, whatever name or link leads to it: the files
// in a key folder's Clefs/ (known by device and inode), and any file that holds a key header
// (veldoran::IsKeyHeader) and at least the key material it declares.
class KeyFiles {
  public:
    // keyPrefix as KeyFolderPrefix gives it; a folder that cannot be read holds none.
    explicit KeyFiles(const std::string& keyPrefix);
    // status describes the regular file open at fd for reading.
    bool Holds(int fd, const struct stat& status) const;

  private:
    std::set<std::pair<dev_t, ino_t>> identities_;
};

// kNoErr, or kOtherErr after a report when path leads to a key file (see KeyFiles).
int32_t RefuseKeyFile(const std::string& path, const std::string& keyPrefix);

// A result going to the standard output ("-") or replacing a file, through the library's
// TargetWriter: a file is written unnamed in its folder (mode of the file it replaces, else 0666
// less the umask), put on stable storage and named by Commit, so that a failed or killed run
// leaves an existing file as it was and nothing new behind. A target that is not a regular file
// (a terminal, a pipe, /dev/null) and the standard output are written in place. Open before any
// key is used, so that a target that cannot be written is found out while nothing is spent: the
// standard output must be open for writing, and a pipe whose reader has gone is refused there.
// Every failure is reported here, in the system's words.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // 0, or kOtherErr after a report naming the file; also when the path leads to one of the
    // key files in <keyPrefix>Clefs/.
    int32_t Open(const std::string& path, const std::string& keyPrefix);
    int32_t Write(const unsigned char* data, size_t count);
    int32_t Write(const std::string& text) {
        return Write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    // Whether what is written can still be taken back until Commit: a file written unnamed.
    // An encryption writes such a target whole before it spends any key material.
    bool Withdrawable() const { return !writer_.InPlace(); }
    // Writes count bytes and puts everything written so far on stable storage: a withdrawable
    // target's content, whole, before any key material is spent. 0, or kOtherErr after a
    // report.
    int32_t WriteAndSync(const unsigned char* data, size_t count);
    // Puts the content in place (or closes the standard output's copy). 0, or kOtherErr after
    // a report.
    int32_t Commit();

    // The open writer, for a library pipeline to write and commit; after it failed,
    // ReportFailure says why.
    veldoran::TargetWriter* Writer() { return &writer_; }
    // Whether the writer has failed, and if so the report of it (kOtherErr), else code.
    bool Failed() const { return writer_.LastError() != 0; }
    int32_t ReportFailure(const char* what) const;
    // Whether the target is the standard output and that is a terminal: a document written
    // there goes through a TerminalTextSink.
    bool ToTerminal() const;
    // The name the target is known by to the library: its path, or /dev/stdout.
    std::string LibraryName() const { return toStandardOutput_ ? "/dev/stdout" : path_; }

  private:
    std::string path_;
    bool toStandardOutput_ = false;
    veldoran::TargetWriter writer_;
};

// A file target the streaming pipelines write: a regular file or a name not taken yet; not "-"
// (the standard output), a device or a pipe, which the tool opens itself.
bool IsFileTarget(const std::string& path);

// A text command's output: output when given, else the standard output for the standard input,
// else the input's name with suffix.
std::string OutputFor(const std::string& input, const std::string& output, const char* suffix);

// The system's words for an errno value after what failed: "cannot be written: No space left
// on device".
std::string SystemError(const char* what, int error);

// While it lives, the standard output goes to the standard error stream when on is set: the
// pipelines print their trace lines with printf, and they must not mix with a result written
// to the standard output.
class TraceOnStandardError {
  public:
    explicit TraceOnStandardError(bool on);
    ~TraceOnStandardError();
    TraceOnStandardError(const TraceOnStandardError&) = delete;
    TraceOnStandardError& operator=(const TraceOnStandardError&) = delete;

  private:
    int savedOutput_ = -1;
};

// The key folder as the library takes it: a prefix in front of "Clefs/", so a non-empty folder
// gets its trailing slash here ("keys" and "keys/" both give "keys/").
std::string KeyFolderPrefix(const std::string& folder);

// True when both paths name one existing file (the same device and inode).
bool SameFile(const std::string& first, const std::string& second);

// True when target is source, by name or as the same file.
bool TargetIsSource(const std::string& source, const std::string& target);

// True when path names a file, a folder or a link (even a dangling one).
bool PathExists(const std::string& path);

}  // namespace tool

#endif
