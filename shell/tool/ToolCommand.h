// How a subcommand of veldoran-tool joins the program: the subcommand's own file declares its
// options, registers them with the argument parser (CLI11) and names the work to run once the
// command line is parsed. The work returns a result code (0 on success) after it has reported
// any failure on the standard error stream.
#ifndef VELDORAN_SHELL_TOOL_TOOLCOMMAND_H
#define VELDORAN_SHELL_TOOL_TOOLCOMMAND_H

#include <stdint.h>

#include <functional>
#include <string>

#include "veldoran.h"

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace tool {

// The options the subcommands share. One set serves them all, since one subcommand runs.
struct CommonOptions {
    std::string keyFolder;   // -k: the folder that holds Clefs/ ("" for the current folder)
    bool force = false;      // --force: a result may replace the input it comes from
    bool trace = false;      // --trace, before the subcommand: the pipelines' trace lines
    std::string journal;     // --journal: the key journal ("" for the default)
    bool noJournal = false;  // --no-journal: this run neither checks nor records key use
    std::string charset;     // --charset: the user's text's charset ("" for the locale's)
};

// The charset the user's text is read and written in: --charset, else the locale's.
std::string UserCharset(const CommonOptions& common);

// The work of the subcommand the command line selected.
using Work = std::function<int32_t()>;

// The subcommands, each registered by its own file under app; the one the parser selects puts
// its work in *run.
void AddEncrypt(CLI::App* app, CommonOptions* common, Work* run);
void AddDecrypt(CLI::App* app, CommonOptions* common, Work* run);
void AddEncryptBinary(CLI::App* app, CommonOptions* common, Work* run);
void AddDecryptBinary(CLI::App* app, CommonOptions* common, Work* run);
void AddPack(CLI::App* app, CommonOptions* common, Work* run);
void AddUnpack(CLI::App* app, CommonOptions* common, Work* run);
void AddKey(CLI::App* app, CommonOptions* common, Work* run);  // key new, key show
void AddOpen(CLI::App* app, CommonOptions* common, Work* run);
void AddSendmail(CLI::App* app, CommonOptions* common, Work* run);

// What the registrations share: -k,--keys into common->keyFolder; --force into common->force
// with the subcommand's words for it; the work run once the parser has filled the options.
void AddKeyFolderOption(CLI::App* command, CommonOptions* common);
// --charset NAME into common->charset, for every subcommand (any name iconv knows; another is a
// usage error).
void AddCharsetOption(CLI::App* app, CommonOptions* common);
void AddForceFlag(CLI::App* command, CommonOptions* common, const char* words);
void RunsWith(CLI::App* command, Work* run, Work work);

// A key or user name for the parser: the same rule as key files (CheckKeyName).
CLI::Validator KeyNameCheck();

// Limits the parser checks before any command runs.
constexpr int32_t kFirstKeyYear = 1990;  // earlier years name their key files differently
constexpr int32_t kLastKeyYear = 9999;
constexpr uint64_t kLargestKeyMaterial =
    0x7fffffffull - kKeyHeaderSize;  // a key file stays below 2 GiB

// Empty when name can be a key name (1 to 40 bytes, no "/", no control character, not
// starting with "."), else why not.
std::string CheckKeyName(const std::string& name);

}  // namespace tool

#endif
