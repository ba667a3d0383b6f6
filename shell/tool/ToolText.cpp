// encrypt and decrypt: a text document to an armoured message and back, from files or the
// standard streams. A file to a file goes through the library's streaming file pipelines, so
// that memory stays small at any size; what needs the whole text at hand (the standard streams,
// CR LF line ends, a parameter text, the recipient lists) goes through the in-memory ones.
// Nothing of the document is written anywhere but to the chosen output.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolFrames.h"
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

struct DecryptOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";
    std::string output;  // "" derives FILE.txt; "-" is the standard output
    bool recipients = false;
};

const char kCrLfNote[] =
    "The document is taken as text: a NUL byte is refused, and CR LF line ends (as mail "
    "clients pass bodies) are taken as LF, so that the text does not come back with doubled "
    "lines.\n";

const char kBlockStart[] = "#DESTBEGIN#";
const char kBlockEnd[] = "#DESTEND#";

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

// Prints the recipient lists of a message tail ("#DESTBEGIN#" to "," cc "," bcc "#DESTEND#"
// then the parameter text) on the standard error stream. The block does not escape commas
// inside the lists, so cc and bcc are taken as its last two comma-separated fields.
void PrintRecipients(const char* tail) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const uint32_t length = static_cast<uint32_t>(strlen(tail));
    const auto* bytes = reinterpret_cast<const unsigned char*>(tail);
    const int32_t start = utils.FindSubString(bytes, length, kBlockStart);
    const int32_t end = utils.FindSubString(bytes, length, kBlockEnd);
    if (start != 0 || end < static_cast<int32_t>(strlen(kBlockStart))) {
        fprintf(stderr, "recipients: none in this message\n");
        return;
    }
    const std::string lists(tail + strlen(kBlockStart), tail + end);
    const size_t lastComma = lists.rfind(',');
    const size_t middleComma = lastComma == std::string::npos || lastComma == 0
                                   ? std::string::npos
                                   : lists.rfind(',', lastComma - 1);
    // Every text here comes from the sender.
    if (middleComma == std::string::npos) {
        fprintf(stderr, "recipients: %s\n", EscapeForTerminal(lists).c_str());
    } else {
        fprintf(
            stderr, "to: %s\ncc: %s\nbcc: %s\n",
            EscapeForTerminal(lists.substr(0, middleComma)).c_str(),
            EscapeForTerminal(lists.substr(middleComma + 1, lastComma - middleComma - 1)).c_str(),
            EscapeForTerminal(lists.substr(lastComma + 1)).c_str());
    }
    const char* parameters = tail + end + strlen(kBlockEnd);
    if (*parameters != '\0') {
        fprintf(stderr, "parameters: %s\n", EscapeForTerminal(parameters).c_str());
    }
}

// The output a text command writes, whole, to a file or the standard output.
int32_t WriteResult(const std::string& path, const std::string& keyPrefix, const char* text) {
    OutputFile output;
    int32_t result = output.Open(path, keyPrefix);
    if (result == kNoErr) {
        result = output.Write(reinterpret_cast<const unsigned char*>(text), strlen(text));
    }
    if (result == kNoErr) {
        result = output.Commit();
    }
    return result;
}

std::string OutputFor(const std::string& input, const std::string& output, const char* suffix) {
    if (!output.empty()) {
        return output;
    }
    return IsStandardStream(input) ? "-" : input + suffix;
}

}  // namespace

namespace {

// What decides the way a text file takes, found by reading it in chunks, so that a large file
// costs no more memory than a small one.
struct TextScan {
    bool regular = false;  // a regular file: the other fields are set
    bool holdsNul = false;
    bool holdsCr = false;
    uint64_t size = 0;
};

TextScan ScanTextFile(const std::string& path) {
    TextScan scan;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.IsOpen() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return scan;
    }
    std::vector<char> chunk(1u << 20);
    ssize_t got = 0;
    while ((got = read(file.Get(), chunk.data(), chunk.size())) > 0 ||
           (got < 0 && errno == EINTR)) {
        const auto count = static_cast<size_t>(std::max<ssize_t>(got, 0));
        scan.holdsNul = scan.holdsNul || memchr(chunk.data(), '\0', count) != nullptr;
        scan.holdsCr = scan.holdsCr || memchr(chunk.data(), '\r', count) != nullptr;
        scan.size += count;
    }
    // A file that cannot be read whole takes the in-memory way, which reports why.
    scan.regular = got == 0;
    return scan;
}

// A file target the streaming pipelines write: a regular file or a name not taken yet, not a
// device or a pipe, which the tool writes itself.
bool IsFileTarget(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? S_ISREG(status.st_mode) : errno == ENOENT;
}

// Checks the target as the tool reports it (a folder, a missing folder, no permission, a key
// file) before the library runs; the probe leaves nothing behind.
int32_t ProbeTarget(const std::string& path, const std::string& keyPrefix) {
    OutputFile probe;
    return probe.Open(path, keyPrefix);
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

// The failure of a decryption in words, naming the key file it needed where there is one.
int32_t FailDecryption(int32_t result, const std::string& shownInput, const std::string& keyPrefix,
                       const std::string& text) {
    if (result == KeyNotFoundErr || result == kOffsetOutOfRangeErr) {
        // The key name comes from the message's frame headers.
        const std::string keyFile = EscapeForTerminal(KeyFileOfFailedLayer(keyPrefix, text));
        return FailWithResult(result, keyFile.empty() ? shownInput : keyFile,
                              Activity::kDecryptText);
    }
    return FailWithResult(result, shownInput, Activity::kDecryptText);
}

// decrypter2 from the message file straight to FILE.txt.
int32_t DecryptFileToDerivedName(const DecryptOptions& options, const std::string& output,
                                 const std::string& keyPrefix, uint64_t textLength) {
    int32_t result = ProbeTarget(output, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    {
        Progress progress("decrypting " + options.input, textLength);
        TraceOnStandardError traceRedirect(options.common->trace);
        result =
            decrypter2(options.input.c_str(), keyPrefix.c_str(), options.common->trace ? 1 : 0);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    if (result == KeyNotFoundErr || result == kOffsetOutOfRangeErr) {
        // The frame headers name the key file; only a complete armour was decoded this far.
        std::string text;
        if (ReadWholeInput(options.input, &text) == kNoErr) {
            return FailDecryption(result, options.input, keyPrefix, text);
        }
    }
    PipelineFiles files;
    files.source = options.input;
    files.target = output;
    return FailPipeline(result, files, Activity::kDecryptText);
}

// decrypterMem3 on the whole text, then the document written out.
int32_t DecryptInMemory(const DecryptOptions& options, const std::string& output,
                        const std::string& keyPrefix, const std::string& text) {
    const std::string shownInput = DisplayName(options.input, false);
    char* document = nullptr;
    char* tail = nullptr;
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + shownInput, text.size());
        result = decrypterMem3(text.c_str(), &document, keyPrefix.c_str(), &tail);
    }
    if (result == kNoErr) {
        if (options.recipients) {
            PrintRecipients(tail);
        }
        result = WriteResult(output, keyPrefix, document);
    } else {
        FailDecryption(result, shownInput, keyPrefix, text);
    }
    free(document);
    free(tail);
    return result;
}

}  // namespace

namespace {

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

int32_t RunDecrypt(const DecryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = OutputFor(options.input, options.output, ".txt");
    if (!IsStandardStream(options.input) && SameFile(options.input, output) &&
        !options.common->force) {
        return Fail(kOtherErr, output, "is the message itself; give --force to replace it");
    }
    const char kNulWords[] = "holds a NUL byte: not a mail text";
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const TextScan scan =
        IsStandardStream(options.input) ? TextScan{} : ScanTextFile(options.input);
    if (scan.regular && scan.holdsNul) {
        return Fail(kOtherErr, shownInput, kNulWords);
    }
    if (scan.regular && options.output.empty() && !options.recipients && IsFileTarget(output)) {
        return DecryptFileToDerivedName(options, output, keyPrefix, scan.size);
    }
    std::string text;
    const int32_t result = ReadWholeInput(options.input, &text);
    if (result != kNoErr) {
        return result;
    }
    if (text.find('\0') != std::string::npos) {
        return Fail(kOtherErr, shownInput, kNulWords);
    }
    return DecryptInMemory(options, output, keyPrefix, text);
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

void AddDecrypt(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<DecryptOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "decrypt",
        "Decrypt a message back into the document. The armour is found anywhere in the input, "
        "so a whole saved e-mail or a quoted reply will do. FILE gives FILE.txt; the standard "
        "input (no FILE, or -) gives the standard output.");
    command->add_option("FILE", options->input,
                        "the message or mail; - or none: the standard input");
    AddKeyFolderOption(command, common);
    command->add_option("-o,--output", options->output,
                        "the document file; - for the standard output");
    command->add_flag("--recipients", options->recipients,
                      "print the recipient lists (to, cc, bcc) and any parameter text on the "
                      "standard error stream");
    AddForceFlag(command, common, "allow the document to replace the message itself");
    RunsWith(command, run, [options]() { return RunDecrypt(*options); });
}

}  // namespace tool
