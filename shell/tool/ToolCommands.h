// The subcommands of veldoran-tool: the option values each one takes, as the argument parser
// fills them in, and the function that does its work. Every function returns a result code of
// the library (0 on success) after it has reported any failure on the standard error stream.
#ifndef VELDORAN_SHELL_TOOL_TOOLCOMMANDS_H
#define VELDORAN_SHELL_TOOL_TOOLCOMMANDS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tool {

struct EncryptOptions {
    std::string input = "-";  // a file, or "-" for the standard input
    std::string output;       // "" derives FILE.vlx; "-" is the standard output
    std::string user;
    std::string keyFolder;
    std::string to, cc, bcc, param;
    bool noReuse = false;
    bool force = false;
    bool trace = false;
};

struct DecryptOptions {
    std::string input = "-";
    std::string output;  // "" derives FILE.txt; "-" is the standard output
    std::string keyFolder;
    bool recipients = false;
    bool force = false;
    bool trace = false;
};

struct BinaryOptions {
    std::string input;
    std::string output;  // "" derives the name as the binary pipelines do
    std::string user;    // encryption only
    std::string keyFolder;
    bool noReuse = false;
    bool force = false;
    bool trace = false;
};

struct PackOptions {
    std::string output;
    std::vector<std::string> files;
    bool lzo = false;
    std::string from, to;
    bool encrypt = false;  // encrypt the container with the binary pipeline as well
    std::string user;
    std::string keyFolder;
    bool noReuse = false;
    bool force = false;
    bool trace = false;
};

struct UnpackOptions {
    std::string input = "-";
    std::string folder;     // "" is the current folder
    std::string keyFolder;  // for an encrypted container
    bool list = false;
    bool force = false;
    bool trace = false;
};

struct KeyNewOptions {
    std::string name;
    int32_t year = 0;  // 0: the current year
    uint64_t size = 1u << 20;
    std::string keyFolder;
};

struct KeyShowOptions {
    std::vector<std::string> files;
};

int32_t RunEncrypt(const EncryptOptions& options);
int32_t RunDecrypt(const DecryptOptions& options);
int32_t RunEncryptBinary(const BinaryOptions& options);
int32_t RunDecryptBinary(const BinaryOptions& options);
int32_t RunPack(const PackOptions& options);
int32_t RunUnpack(const UnpackOptions& options);
int32_t RunKeyNew(const KeyNewOptions& options);
int32_t RunKeyShow(const KeyShowOptions& options);

// Limits the parser checks before any command runs.
constexpr int32_t kFirstKeyYear = 1990;  // earlier years name their key files differently
constexpr int32_t kLastKeyYear = 9999;
constexpr uint64_t kLargestKeyMaterial = 0x7fffffffull - 224;  // a key file stays below 2 GiB

// Empty when name can be a key name (1 to 40 bytes, no "/", no control character, not
// starting with "."), else why not.
std::string CheckKeyName(const std::string& name);

}  // namespace tool

#endif
