// decrypt-binary: a raw frame made by encrypt-binary back into the file, through the library's
// binary pipelines.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolFrames.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

struct DecryptBinaryOptions {
    const CommonOptions* common = nullptr;
    std::string input;
    std::string output;  // "" derives the name as the binary pipelines do
};

// The name decrypterbinaire writes to: the source less its last four characters (".vlb"),
// or the source itself when it is not longer than that.
std::string DecryptedName(const std::string& source) {
    constexpr size_t kSuffixLength = 4;
    return source.size() > kSuffixLength ? source.substr(0, source.size() - kSuffixLength) : source;
}

// Decrypts a file into its derived name through the library's streaming pipeline: memory stays
// small at any size and progress counts bytes.
int32_t DecryptBinaryToDerivedName(const DecryptBinaryOptions& options, const std::string& target,
                                   const std::string& keyPrefix) {
    if (RefuseKeyFile(target, keyPrefix) != kNoErr) {
        return kOtherErr;
    }
    struct stat status {};
    const uint64_t size =
        stat(options.input.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + options.input, size);
        TraceOnStandardError traceRedirect(options.common->trace);
        result = decrypterbinaire(options.input.c_str(), keyPrefix.c_str(), options.common->trace);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    // The two frame headers at the start of the file say which key file it is.
    if (FailOnKeyFile(
            result, [&]() { return KeyFileOfFailedFrameFile(keyPrefix, options.input); },
            Activity::kDecryptBinary)) {
        return result;
    }
    PipelineFiles files;
    files.source = options.input;
    files.target = target;
    return FailPipeline(result, files, Activity::kDecryptBinary);
}

// Decrypts any input in memory and writes the result to target.
int32_t DecryptBinaryInMemory(const DecryptBinaryOptions& options, const std::string& target,
                              const std::string& keyPrefix) {
    WholeInput frame;
    int32_t result = frame.Read(options.input);
    if (result != kNoErr) {
        return result;
    }
    unsigned char* data = nullptr;
    uint32_t dataLength = 0;
    result = DecryptFrame(options.input, frame.Data(), frame.Size(), keyPrefix,
                          options.common->trace, Activity::kDecryptBinary, "", &data, &dataLength);
    if (result != kNoErr) {
        return result;
    }
    result = WriteWholeResult(target, keyPrefix, data, dataLength);
    free(data);
    return result;
}

int32_t RunDecryptBinary(const DecryptBinaryOptions& options) {
    const std::string target =
        options.output.empty() ? DecryptedName(options.input) : options.output;
    if (TargetIsSource(options.input, target) && !options.common->force) {
        return Fail(kOtherErr, target, "is the file itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    if (options.output.empty() && !IsStandardStream(options.input)) {
        return DecryptBinaryToDerivedName(options, target, keyPrefix);
    }
    return DecryptBinaryInMemory(options, target, keyPrefix);
}

}  // namespace

void AddDecryptBinary(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<DecryptBinaryOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "decrypt-binary",
        "Decrypt a file made by encrypt-binary. FILE gives FILE less its last four characters "
        "(report.pdf.vlb gives report.pdf).");
    command->add_option("FILE", options->input, "the encrypted file")->required();
    AddKeyFolderOption(command, common);
    command->add_option("-o,--output", options->output, "the decrypted file");
    AddForceFlag(command, common, "allow the result to replace the file itself");
    RunsWith(command, run, [options]() { return RunDecryptBinary(*options); });
}

}  // namespace tool
