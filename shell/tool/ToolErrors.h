// How veldoran-tool reports a failure: one line on the standard error stream that names the
// file concerned and what failed, in words, and the exit status a result code gives.
#ifndef VELDORAN_SHELL_TOOL_TOOLERRORS_H
#define VELDORAN_SHELL_TOOL_TOOLERRORS_H

#include <stdint.h>

#include <string>

namespace tool {

// Exit status of a command line that cannot be parsed or names an impossible value.
constexpr int kUsageStatus = 2;

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
// (255 for -1, 213 for -43).
int ExitStatus(int32_t code);

// Prints "veldoran-tool: <file>: <words>" (or without the file when it is empty) on the
// standard error stream and returns code, so that a failing step reads
//   return Fail(code, path, "...");
int32_t Fail(int32_t code, const std::string& file, const std::string& words);
// Fail with the words of DescribeResult.
int32_t FailWithResult(int32_t code, const std::string& file, Activity activity);
// Prints "veldoran-tool: warning: <file>: <words>".
void Warn(const std::string& file, const std::string& words);

// The name a file is reported under: "standard input" and "standard output" for "-".
std::string DisplayName(const std::string& path, bool output);

}  // namespace tool

#endif
