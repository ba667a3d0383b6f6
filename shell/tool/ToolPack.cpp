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

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
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
    WholeInput content;
    const int32_t read = content.Read(path);
    if (read != kNoErr) {
        return read;
    }
    if (content.Size() > static_cast<size_t>(INT32_MAX)) {
        return Fail(kAttachmentToBig, path, "too large for an attachment container");
    }
    const auto length = static_cast<uint32_t>(content.Size());
    unsigned char* data = holder->utils.MyNewPtr(length);
    if (data == nullptr) {
        return Fail(kMemErr, path, "out of memory");
    }
    holder->utils.MyBlockMove(content.Data(), data, length);
    TypInfo info{};
    const int32_t added = holder->container.AddBlock(&info, data, static_cast<int32_t>(length),
                                                     EntryName(path).c_str());
    if (added != kNoErr) {
        // A refused block stays the caller's.
        holder->utils.MyDisposeptr(&data, length);
        return FailWithResult(added, path, Activity::kPack);
    }
    return kNoErr;
}

int32_t RunPack(const PackOptions& options) {
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
    const std::string& target = options.output;
    for (const std::string& path : options.files) {
        if (SameFile(path, target) && !options.common->force) {
            return Fail(kOtherErr, target,
                        "is one of the files packed; give --force to replace it");
        }
    }
    auto holder =
        std::make_unique<ContainerHolder>(options.lzo ? kformatLZOcompresse : kformatnoncompresse);
    holder->container.SetExpediteur(options.from.c_str());
    holder->container.SetDestinataire(options.to.c_str());
    int32_t result = kNoErr;
    for (const std::string& path : options.files) {
        result = AddFile(holder.get(), path);
        if (result != kNoErr) {
            return result;
        }
    }
    unsigned char* block = nullptr;
    int32_t blockLength = 0;
    result = holder->container.GetStruct(&block, &blockLength);
    if (result != kNoErr) {
        return FailWithResult(result, target, Activity::kPack);
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const KeyReuseCheck reuse(options.noReuse);
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    OutputFile output;
    if (result == kNoErr) {
        result = output.Open(target, keyPrefix);
    }
    unsigned char* encrypted = nullptr;
    uint32_t encryptedLength = 0;
    if (result == kNoErr && options.encrypt && !output.Withdrawable()) {
        // A device or the standard output cannot take anything back: written once spent.
        Progress progress("encrypting " + target, static_cast<uint64_t>(blockLength));
        TraceOnStandardError traceRedirect(options.common->trace);
        result = crypterbinaireMem2(block, static_cast<uint32_t>(blockLength), &encrypted,
                                    &encryptedLength, options.user.c_str(), keyPrefix.c_str(),
                                    options.common->trace);
        if (result != kNoErr) {
            result = FailEncryption(result, EncryptionFiles(target, "", keyPrefix, options.user),
                                    Activity::kEncryptBinary);
        }
        if (result == kNoErr) {
            result = output.Write(encrypted, encryptedLength);
        }
    } else if (result == kNoErr && options.encrypt) {
        Progress progress("encrypting " + target, static_cast<uint64_t>(blockLength));
        TraceOnStandardError traceRedirect(options.common->trace);
        // The encrypted container is written, unnamed, before the keys are spent.
        bool writeFailed = false;
        const veldoran::FrameWriter write = [&](const unsigned char* frame, uint32_t length) {
            const int32_t written = output.WriteAndSync(frame, length);
            writeFailed = written != kNoErr;
            return written;
        };
        result = veldoran::EncryptBytesToWriter(block, static_cast<uint32_t>(blockLength), write,
                                                options.user.c_str(), keyPrefix.c_str(),
                                                options.common->trace);
        if (result != kNoErr && !writeFailed) {
            result = FailEncryption(result, EncryptionFiles(target, "", keyPrefix, options.user),
                                    Activity::kEncryptBinary);
        }
    } else if (result == kNoErr) {
        result = output.Write(block, static_cast<size_t>(blockLength));
    }
    if (result == kNoErr) {
        result = output.Commit();
    }
    free(encrypted);
    holder->utils.MyDisposeptr(&block, static_cast<uint32_t>(blockLength));
    return result;
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
