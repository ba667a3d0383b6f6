// How veldoran-tool reports a failure: one line on the standard error stream that names the
// file concerned and what failed, in words, and the exit status a result code gives.
#ifndef VELDORAN_SHELL_TOOL_TOOLERRORS_H
#define VELDORAN_SHELL_TOOL_TOOLERRORS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tool {

// Exit status of a command line that cannot be parsed or names an impossible value.
constexpr int kUsageStatus = 2;

// The tool's own refusals have result codes above every code of the library (0 and below), so
// that their exit statuses differ from all of the library's.
//   --no-reuse: the run would wrap a key and use key material a second time.
constexpr int32_t kReuseRefused = 3;
//   key check: something is wrong with a key or the journal's record of it.
constexpr int32_t kCheckFoundProblems = 1;

// What the tool was doing when a code came back: some codes mean different things to an
// encryption and to a decryption (-4 is a cut armour for one and a short frame for the other).
enum class Activity {
    kEncryptText,
    kDecryptText,
    kEncryptBinary,
    kDecryptBinary,
    kKeys,
    kPack,
    kUnpack
};

// The words for a result code of the library, for the given activity; a code the library does
// not define is described with its number.
std::string DescribeResult(int32_t code, Activity activity);

// The process's exit status for a result code: its low eight bits, as the veldoran program's
// (255 for -1, 213 for -43); the tool's own codes are their statuses.
int ExitStatus(int32_t code);

// A text for a terminal: control characters and "\\" as \xNN, every other byte as it is. Names
// and texts that come from a message or a container (a sender's recipient lists, a key name in
// a frame header, an entry name) go through it before they are printed, so that a stranger
// cannot send escape sequences to the reader's terminal.
std::string EscapeForTerminal(const std::string& text);

// Prints "veldoran-tool: <file>: <words>" (or without the file when it is empty) on the
// standard error stream and returns code, so that a failing step reads
//   return Fail(code, path, "...");
int32_t Fail(int32_t code, const std::string& file, const std::string& words);
// Fail with the words of DescribeResult.
int32_t FailWithResult(int32_t code, const std::string& file, Activity activity);
// Prints "veldoran-tool: warning: <file>: <words>".
void Warn(const std::string& file, const std::string& words);

// The files a library pipeline works on, for telling which one a failure concerns.
struct PipelineFiles {
    std::string source;                 // read; "-" for the standard input
    std::vector<std::string> keyFiles;  // read and rewritten (encryption) or read
    std::string target;                 // written; "" for a run in memory on a source read before
};

// The files of an encryption: both key files of this year under keyPrefix, master first.
PipelineFiles EncryptionFiles(const std::string& source, const std::string& target,
                              const std::string& keyPrefix, const std::string& user);

// Reports a failed file pipeline's code and returns it. The library's -1 does not say which
// file failed; it is found here: the source when it cannot be opened for reading as a regular
// file, else a key file that is missing or not readable (and, when encrypting, writable), else
// the target (a full disk, the file-size limit, a read-only file system). A missing key file
// (-43) is named by its path. Every other code is reported against the source.
int32_t FailPipeline(int32_t code, const PipelineFiles& files, Activity activity);

// The name a file is reported under: "standard input" and "standard output" for "-".
std::string DisplayName(const std::string& path, bool output);

}  // namespace tool

#endif
