// encrypt-binary: any file under the two key layers, as a raw frame, streamed through the
// library's binary pipeline into the one output the tool opens.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolKeyReuse.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

struct EncryptBinaryOptions {
    const CommonOptions* common = nullptr;
    std::string input;
    std::string output;  // "" derives FILE.vlb
    std::string user;
    bool noReuse = false;
};

int32_t RunEncryptBinary(const EncryptBinaryOptions& options) {
    struct stat status {};
    if (stat(options.input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return Fail(kOtherErr, options.input, "not found, or not a file");
    }
    const std::string target =
        options.output.empty() ? options.input + veldoran::kBinarySuffix : options.output;
    if (TargetIsSource(options.input, target) && !options.common->force) {
        return Fail(kOtherErr, target, "is the file itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    OutputFile output;
    int32_t result = output.Open(target, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    const KeyReuseCheck reuse(options.noReuse);
    const JournalScope journal(*options.common);
    const std::string targetName = output.LibraryName();
    {
        Progress progress("encrypting " + options.input, static_cast<uint64_t>(status.st_size));
        TraceOnStandardError traceRedirect(options.common->trace);
        result = veldoran::EncryptBinaryFileInto(options.input.c_str(), output.Writer(),
                                                 targetName.c_str(), options.user.c_str(),
                                                 keyPrefix.c_str(), options.common->trace ? 1 : 0);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    if (output.Failed()) {
        return output.ReportFailure("cannot be written");
    }
    return FailFromReport(result, Activity::kEncryptBinary, {options.input, targetName});
}

}  // namespace

void AddEncryptBinary(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<EncryptBinaryOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand("encrypt-binary",
                                            "Encrypt any file into the raw two-layer frame (" +
                                                std::to_string(2 * kKeyHeaderSize) +
                                                " bytes longer, no armour). FILE gives FILE.vlb.");
    command->add_option("FILE", options->input, "the file to encrypt")->required();
    command->add_option("-u,--user", options->user, "the sender: the name of the sender's key file")
        ->required()
        ->check(KeyNameCheck());
    AddKeyFolderOption(command, common);
    command->add_option("-o,--output", options->output, "the encrypted file");
    command->add_flag("--no-reuse", options->noReuse,
                      "refuse, before any key file is touched, a file that would wrap a key");
    AddForceFlag(command, common, "allow the result to replace the file itself");
    RunsWith(command, run, [options]() { return RunEncryptBinary(*options); });
}

}  // namespace tool
