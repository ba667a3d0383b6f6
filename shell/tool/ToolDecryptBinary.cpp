// decrypt-binary: a raw frame made by encrypt-binary back into the file, streamed through the
// library's binary pipeline into the one output the tool opens. The standard input, unless it
// is a file, is first copied into an unnamed file (beside a file target, else in $TMPDIR or
// /tmp) that vanishes with the run.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolProgress.h"
#include "shell/tool/ToolUnpack.h"
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
    constexpr size_t kSuffixLength = sizeof veldoran::kBinarySuffix - 1;
    return source.size() > kSuffixLength ? source.substr(0, source.size() - kSuffixLength) : source;
}

// Reports a failed decryption into target: the target's own failure, else what the library's
// failure report says.
int32_t FailDecryptBinary(int32_t result, const DecryptBinaryOptions& options,
                          const OutputFile& target, const std::string& targetPath) {
    if (target.Failed()) {
        return target.ReportFailure("cannot be written");
    }
    return FailFromReport(result, Activity::kDecryptBinary, {options.input, targetPath});
}

// Streams the frame through the library's binary pipeline into the one output the tool opens,
// so that memory stays small at any size and progress counts bytes.
int32_t DecryptBinaryIntoTarget(const DecryptBinaryOptions& options, StreamedInput* input,
                                const std::string& targetPath, const std::string& keyPrefix) {
    // The frame's length is its file's: the standard input, unless it is a file, is copied
    // first.
    OutputFile target;
    int32_t result = input->OpenOutputThenCopy(targetPath, keyPrefix, false, &target);
    if (result != kNoErr) {
        return result;
    }
    const std::string targetName = target.LibraryName();
    {
        Progress progress("decrypting " + DisplayName(options.input, false), input->Size());
        TraceOnStandardError traceRedirect(options.common->trace);
        result = veldoran::DecryptBinaryFileInto(input->Path().c_str(), target.Writer(),
                                                 targetName.c_str(), keyPrefix.c_str(),
                                                 options.common->trace ? 1 : 0);
    }
    WarnReadFindings(DisplayName(options.input, false));
    return result == kNoErr ? kNoErr : FailDecryptBinary(result, options, target, targetPath);
}

int32_t RunDecryptBinary(const DecryptBinaryOptions& options) {
    const std::string target =
        options.output.empty() ? DecryptedName(options.input) : options.output;
    // The standard input read and the standard output written are no file of one name.
    if (!IsStandardStream(options.input) && TargetIsSource(options.input, target) &&
        !options.common->force) {
        return Fail(kOtherErr, target, "is the file itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const ReadingScope reading(*options.common);
    StreamedInput input;
    input.Find(options.input);
    const int32_t result = input.Check(TextRules());
    return result == kNoErr ? DecryptBinaryIntoTarget(options, &input, target, keyPrefix) : result;
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
