// open: a received mail in one command. The documents of its armours go to the standard output
// as decrypt gives them; with -C, its encrypted attachments are written into a folder as well:
// an encrypted container through unpack's rules, a single encrypted file under its name less
// ".vlb". Attachment names and contents come from strangers: nothing is written outside the
// folder, no file the run wrote is replaced by a later one, and what was not encrypted with the
// reader's keys is listed, never written (a container that is not, only with --plain).
#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/OwnedBlock.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolMail.h"
#include "shell/tool/ToolUnpack.h"
#include "veldoran.h"

namespace tool {

namespace {

struct OpenOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";
    std::string folder;  // -C: where the attachments go; "" lists them only
    bool plain = false;  // containers that are not encrypted are written too
};

// Whether content starts as an encrypted file does: a frame behind a plausible key header.
bool LooksLikeFrame(const std::string& content) {
    if (content.size() < 2 * static_cast<size_t>(kKeyHeaderSize)) {
        return false;
    }
    TypKeyHeader header{};
    veldoran::DecodeKeyHeader(reinterpret_cast<const unsigned char*>(content.data()), &header);
    return veldoran::IsKeyHeader(header);
}

bool HoldsContainer(const unsigned char* data, size_t size) {
    ContainerHolder holder(kformatnoncompresse);
    return size <= static_cast<size_t>(INT32_MAX) &&
           holder.container.HoldsContainer(data, static_cast<int32_t>(size));
}

// The name a decrypted single file takes: the attachment's less ".vlb".
std::string NameLessSuffix(const std::string& name) {
    const std::string suffix = veldoran::kBinarySuffix;
    return name.size() > suffix.size() &&
                   name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0
               ? name.substr(0, name.size() - suffix.size())
               : name;
}

// Writes one encrypted attachment into the folder; 0, or the code after a report.
int32_t WriteAttachment(const OpenOptions& options, const std::string& shown,
                        const veldoran::MailPart& part, WrittenNames* names) {
    const auto* data = reinterpret_cast<const unsigned char*>(part.content.data());
    if (HoldsContainer(data, part.content.size())) {
        return UnpackBlock(shown, data, part.content.size(), options.folder, *options.common,
                           names);
    }
    veldoran::OwnedBlock decrypted;
    const int32_t result =
        DecryptFrame(shown, data, part.content.size(), KeyFolderPrefix(options.common->keyFolder),
                     options.common->trace, Activity::kDecryptBinary, "", decrypted.Pointer(),
                     decrypted.Length());
    if (result != kNoErr) {
        return result;
    }
    if (HoldsContainer(decrypted.data(), decrypted.length())) {
        return UnpackBlock(shown, decrypted.data(), decrypted.length(), options.folder,
                           *options.common, names);
    }
    return WriteIntoFolder(options.folder, shown, NameLessSuffix(part.name), decrypted.data(),
                           decrypted.length(), *options.common, names);
}

// A container that is not encrypted: anyone could have made it, so its entries are listed and
// it is written only when asked. Whether it counts as the mail's content, as its listing does.
bool PlainContainer(const OpenOptions& options, const std::string& shown,
                    const veldoran::MailPart& part, WrittenNames* names, int32_t* result) {
    const auto* data = reinterpret_cast<const unsigned char*>(part.content.data());
    if (options.plain && !options.folder.empty()) {
        *result =
            UnpackBlock(shown, data, part.content.size(), options.folder, *options.common, names);
        return true;
    }
    fprintf(stderr,
            "veldoran-tool: %s (%zu bytes): a container not encrypted (anyone could have sent "
            "it); not written (-C DIR --plain writes it)\n",
            shown.c_str(), part.content.size());
    *result = ListContainer(shown, data, part.content.size(), stderr);
    return true;
}

int32_t RunOpen(const OpenOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const ReadingScope reading(*options.common);
    std::string mail;
    const MailSource source{&mail};
    int32_t result = ReadWholeInput(options.input, &mail);
    if (result != kNoErr) {
        return result;
    }
    int32_t attachmentResult = kNoErr;
    WrittenNames names;
    const auto attachment = [&](veldoran::MailPart& part) {
        const std::string shown =
            shownInput + ": attachment \"" + EscapeForTerminal(part.name) + "\"";
        const auto* data = reinterpret_cast<const unsigned char*>(part.content.data());
        if (HoldsContainer(data, part.content.size())) {
            int32_t listed = kNoErr;
            const bool counted = PlainContainer(options, shown, part, &names, &listed);
            attachmentResult = attachmentResult == kNoErr ? listed : attachmentResult;
            return counted;
        }
        if (!LooksLikeFrame(part.content)) {
            fprintf(stderr, "veldoran-tool: %s (%zu bytes): not encrypted; not written\n",
                    shown.c_str(), part.content.size());
            return false;
        }
        if (options.folder.empty()) {
            fprintf(stderr, "veldoran-tool: %s (%zu bytes): encrypted; -C DIR writes it\n",
                    shown.c_str(), part.content.size());
            return true;
        }
        const int32_t written = WriteAttachment(options, shown, part, &names);
        attachmentResult = attachmentResult == kNoErr ? written : attachmentResult;
        return true;
    };
    MailDecryptOptions decrypt;
    decrypt.common = options.common;
    decrypt.shownInput = shownInput;
    decrypt.output = "-";
    decrypt.keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    result = DecryptMail(decrypt, source, attachment);
    return result != kNoErr ? result : attachmentResult;
}

}  // namespace

void AddOpen(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<OpenOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "open",
        "Open a received mail: the documents of its encrypted messages to the standard output, "
        "as decrypt gives them. With -C DIR, its encrypted attachments are written into DIR "
        "too: an encrypted container as unpack writes it, a single encrypted file under its "
        "name less .vlb. A name the run has already written is never replaced: the later file "
        "takes the first free name \"stem (N).ext\" from N = 2, with a line saying so. "
        "Attachments that are not encrypted are listed on the standard error stream, never "
        "written; a container that is not encrypted has its entries listed, and is written "
        "only with --plain.");
    command->add_option("MAIL", options->input,
                        "the mail or mailbox; - or none: the standard input");
    AddKeyFolderOption(command, common);
    command->add_option("-C,--directory", options->folder,
                        "the folder to write the encrypted attachments into; it must exist");
    command->add_flag("--plain", options->plain,
                      "with -C, write containers that are not encrypted too (anyone could have "
                      "sent them)");
    AddForceFlag(command, common, "replace existing plain files of the attachments' names");
    RunsWith(command, run, [options]() { return RunOpen(*options); });
}

}  // namespace tool
