// pack: files gathered into one attachment container (the library's TypPieceJointe), stored as
// they are or LZO-compressed, and encrypted at once with the binary pipeline when asked.
#include <string.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/OwnedBlock.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolKeyReuse.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

struct PackOptions {
    const CommonOptions* common = nullptr;
    std::string output;
    std::vector<std::string> files;
    bool lzo = false;
    std::string from, to;
    bool encrypt = false;  // encrypt the container with the binary pipeline as well
    std::string user;
    bool noReuse = false;
};

// The name an entry gets: the file's last path component.
std::string EntryName(const std::string& path) {
    const size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return "";
    }
    const std::string trimmed = path.substr(0, end + 1);
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// Adds one file as an entry named after its last path component.
int32_t AddFile(ContainerHolder* holder, const std::string& path) {
    std::string content;
    const int32_t read = ReadWholeInput(path, &content);
    if (read != kNoErr) {
        return read;
    }
    if (content.size() > static_cast<size_t>(INT32_MAX)) {
        return Fail(kAttachmentToBig, path, "too large for an attachment container");
    }
    const int32_t added = holder->AddCopy(reinterpret_cast<const unsigned char*>(content.data()),
                                          static_cast<uint32_t>(content.size()), EntryName(path));
    return added == kNoErr ? kNoErr : FailWithResult(added, path, Activity::kPack);
}

// The files named as the container's entries would be unpacked, under the container's limits,
// and the target not one of them (unless --force).
int32_t CheckFilesToPack(const PackOptions& options) {
    std::set<std::string> names;
    for (const std::string& path : options.files) {
        const std::string name = EntryName(path);
        if (name.empty() || name == "." || name == "..") {
            return Fail(kOtherErr, path, "names no file");
        }
        const std::string refusal = CheckEntryName(name);
        if (!refusal.empty()) {
            return Fail(kOtherErr, path, refusal + ", which unpack refuses");
        }
        if (!names.insert(name).second) {
            return Fail(kOtherErr, path, "a second file named " + name + " in one container");
        }
    }
    if (options.files.size() > static_cast<size_t>(knbmaxpj)) {
        return Fail(kOtherErr, "", "a container holds at most 1000 files");
    }
    for (const std::string& path : options.files) {
        if (SameFile(path, options.output) && !options.common->force) {
            return Fail(kOtherErr, options.output,
                        "is one of the files packed; give --force to replace it");
        }
    }
    return kNoErr;
}

// A device or the standard output cannot take anything back: the container is encrypted in
// memory, and written once the keys are spent.
int32_t EncryptThenWrite(const PackOptions& options, const std::string& keyPrefix,
                         const unsigned char* block, uint32_t blockLength, OutputFile* output) {
    const std::string& target = options.output;
    veldoran::OwnedBlock encrypted;
    int32_t result = kNoErr;
    {
        Progress progress("encrypting " + target, blockLength);
        TraceOnStandardError traceRedirect(options.common->trace);
        result = crypterbinaireMem2(block, blockLength, encrypted.Pointer(), encrypted.Length(),
                                    options.user.c_str(), keyPrefix.c_str(), options.common->trace);
    }
    if (result != kNoErr) {
        return FailFromReport(result, Activity::kEncryptBinary, {target, ""});
    }
    return output->Write(encrypted.data(), encrypted.length());
}

// The encrypted container is written, unnamed, before the keys are spent.
int32_t EncryptIntoWithdrawable(const PackOptions& options, const std::string& keyPrefix,
                                const unsigned char* block, uint32_t blockLength,
                                OutputFile* output) {
    const std::string& target = options.output;
    Progress progress("encrypting " + target, blockLength);
    TraceOnStandardError traceRedirect(options.common->trace);
    bool writeFailed = false;
    const veldoran::FrameWriter write = [&](const unsigned char* frame, uint32_t length) {
        const int32_t written = output->WriteAndSync(frame, length);
        writeFailed = written != kNoErr;
        return written;
    };
    const int32_t result = veldoran::EncryptBytesToWriter(
        block, blockLength, write, options.user.c_str(), keyPrefix.c_str(), options.common->trace);
    if (result != kNoErr && !writeFailed) {
        return FailFromReport(result, Activity::kEncryptBinary, {target, ""});
    }
    return result;
}

// The container block to the target, encrypted when asked.
int32_t WriteContainer(const PackOptions& options, const unsigned char* block,
                       uint32_t blockLength) {
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const KeyReuseCheck reuse(options.noReuse);
    const JournalScope journal(*options.common);
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    OutputFile output;
    int32_t result = output.Open(options.output, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    if (!options.encrypt) {
        result = output.Write(block, blockLength);
    } else if (output.Withdrawable()) {
        result = EncryptIntoWithdrawable(options, keyPrefix, block, blockLength, &output);
    } else {
        result = EncryptThenWrite(options, keyPrefix, block, blockLength, &output);
    }
    return result == kNoErr ? output.Commit() : result;
}

int32_t RunPack(const PackOptions& options) {
    int32_t result = CheckFilesToPack(options);
    if (result != kNoErr) {
        return result;
    }
    auto holder =
        std::make_unique<ContainerHolder>(options.lzo ? kformatLZOcompresse : kformatnoncompresse);
    holder->container.SetExpediteur(options.from.c_str());
    holder->container.SetDestinataire(options.to.c_str());
    for (const std::string& path : options.files) {
        result = AddFile(holder.get(), path);
        if (result != kNoErr) {
            return result;
        }
    }
    veldoran::OwnedBlock block(&holder->utils);
    result = holder->MakeBlock(&block);
    if (result != kNoErr) {
        return FailWithResult(result, options.output, Activity::kPack);
    }
    return WriteContainer(options, block.data(), block.length());
}

// A text that must fit a fixed field of the attachment container.
CLI::Validator MaxLength(size_t longest) {
    return CLI::Validator(
        [longest](std::string& text) {
            return text.size() <= longest ? std::string()
                                          : "at most " + std::to_string(longest) + " bytes";
        },
        "TEXT");
}

}  // namespace

void AddPack(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<PackOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "pack",
        "Pack files into one attachment container, each under its file name (the last path "
        "component), stored as they are or LZO-compressed. To send it, encrypt it: --encrypt here, "
        "or encrypt-binary.");
    command->add_option("FILE", options->files, "the files to pack, at most 1000")->required();
    command->add_option("-o,--output", options->output, "the container file")->required();
    command->add_flag("--lzo", options->lzo, "compress each file with LZO1X-1");
    command->add_option("--from", options->from, "the sender, carried in the container")
        ->check(MaxLength(63));
    command->add_option("--to", options->to, "the recipients, carried in the container")
        ->check(MaxLength(klenmaxdest - 1));
    AddForceFlag(command, common, "allow the container to replace one of the files");
    CLI::Option* user =
        command->add_option("-u,--user", options->user, "with --encrypt: the sender's key name")
            ->check(KeyNameCheck());
    AddKeyFolderOption(command, common);
    command
        ->add_flag("--encrypt", options->encrypt,
                   "encrypt the container as encrypt-binary does, in one step")
        ->needs(user);
    command->add_flag("--no-reuse", options->noReuse,
                      "with --encrypt: refuse a container that would wrap a key");
    RunsWith(command, run, [options]() { return RunPack(*options); });
}

}  // namespace tool
