// How veldoran-tool reports a failure: one line on the standard error stream that names the
// file concerned and what failed, in words, and the exit status a result code gives.
#ifndef VELDORAN_SHELL_TOOL_TOOLERRORS_H
#define VELDORAN_SHELL_TOOL_TOOLERRORS_H

#include <stdint.h>

#include <string>

namespace tool {

// Exit status of a command line that cannot be parsed or names an impossible value.
constexpr int kUsageStatus = 2;

// The tool's own refusals have result codes above every code of the library (0 and below), so
// that their exit statuses differ from all of the library's.
//   --no-reuse: the run would wrap a key and use key material a second time; the tool's key use
//   hook refuses it with the library's kKeyUseRefused, which the tool reports as this code, the
//   status it has always had.
constexpr int32_t kReuseRefused = 3;
//   a text the user gave holds characters a message would give back as others, or is not in
//   the user's charset: refused before any key file is touched.
constexpr int32_t kTextRefused = 4;
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

// A text for a terminal: control characters (C0, DEL and C1 in the locale's charset) and "\\"
// as \xNN, a byte at a time, every other byte as it is. Names and texts that come from a message
// or a container (a sender's recipient lists, a key name in a frame header, an entry name) go
// through it before they are printed, so that a stranger cannot send escape sequences to the
// reader's terminal.
std::string EscapeForTerminal(const std::string& text);

// Prints "veldoran-tool: <file>: <words>" (or without the file when it is empty) on the
// standard error stream and returns code, so that a failing step reads
//   return Fail(code, path, "...");
int32_t Fail(int32_t code, const std::string& file, const std::string& words);
// Fail with the words of DescribeResult.
int32_t FailWithResult(int32_t code, const std::string& file, Activity activity);
// Prints "veldoran-tool: warning: <file>: <words>".
void Warn(const std::string& file, const std::string& words);

// How the tool names a run's source and target to the user: the library knows only the files it
// opened (the unnamed copy of the standard input, say). Either may be empty: the source then
// counts as the library named it, the target as "standard output" when the library named none.
struct ShownFiles {
    std::string source;
    std::string target;
};

// Reports the failure of the library call that has just returned code, in one line made from
// the thread's failure report (veldoranLastFailure): the file concerned by its role (a key file
// by its path, one named by a message escaped for the terminal; the source and target as shown
// names), and what failed, in the words of the system's errno where a system call failed.
// Returns code; kReuseRefused, and no line, for the tool's own key use hook's refusal, whose
// line is out already; the journal's refusals (-17, -18) with what to do next.
int32_t FailFromReport(int32_t code, Activity activity, const ShownFiles& shown);

// The name a file is reported under: "standard input" and "standard output" for "-".
std::string DisplayName(const std::string& path, bool output);

}  // namespace tool

#endif
