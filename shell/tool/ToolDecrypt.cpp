// decrypt: an armoured message back to the text document, from a file or the standard input.
// A message file to its derived name goes through the library's streaming file pipeline, so
// that memory stays small at any size; the standard streams, a named output and the recipient
// lists go through the in-memory one. Nothing of the document is written anywhere but to the
// chosen output.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolFrames.h"
#include "shell/tool/ToolProgress.h"
#include "shell/tool/ToolReading.h"
#include "veldoran.h"

namespace tool {

namespace {

struct DecryptOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";
    std::string output;  // "" derives FILE.txt; "-" is the standard output
    bool recipients = false;
};

const char kBlockStart[] = "#DESTBEGIN#";
const char kBlockEnd[] = "#DESTEND#";

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

// The failure of a decryption in words, naming the key file it needed where there is one.
int32_t FailDecryption(int32_t result, const std::string& shownInput, const std::string& keyPrefix,
                       const std::string& text) {
    if (FailOnKeyFile(
            result, [&]() { return KeyFileOfFailedLayer(keyPrefix, text); },
            Activity::kDecryptText)) {
        return result;
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
        NoteMessageFileRead(*options.common, keyPrefix, options.input);
        return kNoErr;
    }
    // The frame headers name the key file; only a complete armour was decoded this far.
    const auto keyFileOfMessage = [&]() {
        std::string text;
        return ReadWholeInput(options.input, &text) == kNoErr
                   ? KeyFileOfFailedLayer(keyPrefix, text)
                   : std::string();
    };
    if (FailOnKeyFile(result, keyFileOfMessage, Activity::kDecryptText)) {
        return result;
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
        NoteMessageRead(*options.common, keyPrefix, text, shownInput);
        if (options.recipients) {
            PrintRecipients(tail);
        }
        result = WriteWholeResult(
            output, keyPrefix, reinterpret_cast<const unsigned char*>(document), strlen(document));
    } else {
        FailDecryption(result, shownInput, keyPrefix, text);
    }
    free(document);
    free(tail);
    return result;
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
