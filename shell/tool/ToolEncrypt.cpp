// encrypt: a text document to an armoured message, from a file or the standard input. A file
// to a file goes through the library's streaming file pipeline, so that memory stays small at
// any size; what needs the whole text at hand (the standard streams, CR LF line ends, a
// parameter text) goes through the in-memory one. Nothing of the document is written anywhere
// but to the chosen output.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
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

struct EncryptOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";  // a file, or "-" for the standard input
    std::string output;       // "" derives FILE.vlx; "-" is the standard output
    std::string user;
    std::string to, cc, bcc, param;
    bool noReuse = false;
};

const char kCrLfNote[] =
    "The document is taken as text: a NUL byte is refused, and CR LF line ends (as mail "
    "clients pass bodies) are taken as LF, so that the text does not come back with doubled "
    "lines.\n";

// Mail clients hand bodies over with CR LF line ends; the text pipeline would turn each into
// two line ends, so they are taken as LF.
void TakeCrLfAsLf(std::string* text) {
    size_t kept = 0;
    for (size_t k = 0; k < text->size(); ++k) {
        if ((*text)[k] == '\r' && k + 1 < text->size() && (*text)[k + 1] == '\n') {
            continue;
        }
        (*text)[kept++] = (*text)[k];
    }
    text->resize(kept);
}

// crypter3 from the document file straight to the message file.
int32_t EncryptFileToFile(const EncryptOptions& options, const std::string& output,
                          const std::string& keyPrefix, uint64_t documentLength) {
    int32_t result = ProbeTarget(output, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    {
        Progress progress("encrypting " + options.input, documentLength);
        TraceOnStandardError traceRedirect(options.common->trace);
        result = crypter3(options.input.c_str(), output.c_str(), options.user.c_str(),
                          keyPrefix.c_str(), options.to.c_str(), options.cc.c_str(),
                          options.bcc.c_str(), options.common->trace ? 1 : 0);
    }
    return result == kNoErr
               ? kNoErr
               : FailEncryption(result,
                                EncryptionFiles(options.input, output, keyPrefix, options.user),
                                Activity::kEncryptText);
}

// The whole document through the in-memory pipeline. A file target takes the message, unnamed,
// before the keys are spent, and is named after; the standard output and a device cannot take
// anything back, so they get the message once the keys are spent.
int32_t EncryptInMemory(const EncryptOptions& options, const std::string& output,
                        const std::string& keyPrefix, const std::string& document) {
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    OutputFile target;
    int32_t result = target.Open(output, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    const std::string shownInput = DisplayName(options.input, false);
    char* message = nullptr;
    bool writeFailed = false;
    {
        Progress progress("encrypting " + shownInput, document.size());
        if (target.Withdrawable()) {
            const veldoran::MessageWriter write = [&](const char* text, size_t length) {
                const int32_t written =
                    target.WriteAndSync(reinterpret_cast<const unsigned char*>(text), length);
                writeFailed = written != kNoErr;
                return written;
            };
            result = veldoran::EncryptTextToWriter(
                document.c_str(), write, options.user.c_str(), keyPrefix.c_str(),
                options.to.c_str(), options.cc.c_str(), options.bcc.c_str(), options.param.c_str());
        } else {
            result = crypterMem3(document.c_str(), &message, options.user.c_str(),
                                 keyPrefix.c_str(), options.to.c_str(), options.cc.c_str(),
                                 options.bcc.c_str(), options.param.c_str());
        }
    }
    if (result != kNoErr) {
        free(message);
        if (writeFailed) {
            return result;
        }
        // The document is in memory already and the target not yet written: of the files
        // only the key files can have failed.
        return FailEncryption(result, EncryptionFiles(options.input, "", keyPrefix, options.user),
                              Activity::kEncryptText);
    }
    if (message != nullptr) {
        result = target.Write(reinterpret_cast<const unsigned char*>(message), strlen(message));
        free(message);
    }
    return result == kNoErr ? target.Commit() : result;
}

int32_t RunEncrypt(const EncryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = OutputFor(options.input, options.output, ".vlx");
    if (!IsStandardStream(options.input) && SameFile(options.input, output) &&
        !options.common->force) {
        return Fail(kOtherErr, output, "is the document itself; give --force to replace it");
    }
    const char kNulWords[] =
        "holds a NUL byte: not a text document (encrypt-binary takes any file)";
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const TextScan scan =
        IsStandardStream(options.input) ? TextScan{} : ScanTextFile(options.input);
    if (scan.regular && scan.holdsNul) {
        return Fail(kOtherErr, shownInput, kNulWords);
    }
    const KeyReuseCheck reuse(options.noReuse);
    const JournalScope journal(*options.common);
    if (scan.regular && !scan.holdsCr && options.param.empty() && IsFileTarget(output)) {
        return EncryptFileToFile(options, output, keyPrefix, scan.size);
    }
    std::string document;
    int32_t result = ReadWholeInput(options.input, &document);
    if (result != kNoErr) {
        return result;
    }
    if (document.find('\0') != std::string::npos) {
        return Fail(kOtherErr, shownInput, kNulWords);
    }
    TakeCrLfAsLf(&document);
    return EncryptInMemory(options, output, keyPrefix, document);
}

}  // namespace

void AddEncrypt(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<EncryptOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "encrypt",
        "Encrypt a text document into a message for the body of a mail: two key comment lines, "
        "an empty line and the armoured text. FILE gives FILE.vlx; the standard input (no FILE, "
        "or -) gives the standard output.");
    command->footer(kCrLfNote);
    command->add_option("FILE", options->input, "the document; - or none: the standard input");
    command->add_option("-u,--user", options->user, "the sender: the name of the sender's key file")
        ->required()
        ->check(KeyNameCheck());
    AddKeyFolderOption(command, common);
    command->add_option("--to", options->to, "primary recipients, one text");
    command->add_option("--cc", options->cc, "copy recipients, one text");
    command->add_option("--bcc", options->bcc, "blind-copy recipients, one text");
    command->add_option("--param", options->param, "parameter text carried behind the recipients");
    command->add_option("-o,--output", options->output,
                        "the message file; - for the standard output");
    command->add_flag("--no-reuse", options->noReuse,
                      "refuse, before any key file is touched, a message that would wrap a key "
                      "and use key material again (otherwise: a warning)");
    AddForceFlag(command, common, "allow the message to replace the document itself");
    RunsWith(command, run, [options]() { return RunEncrypt(*options); });
}

}  // namespace tool
