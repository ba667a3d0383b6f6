// decrypt: an armoured message back to the text document, from a file or the standard input,
// through the library's streaming file pipeline into the one output the tool opens, so that
// memory stays small at any size; a whole mail or mailbox goes to the mail reader instead. The
// standard input, unless it is a file, is first copied into an unnamed file (beside a file
// target, else in $TMPDIR or /tmp) that vanishes with the run; for the standard output or a
// device the armour is checked whole before the first byte of the document goes out.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolMail.h"
#include "shell/tool/ToolProgress.h"
#include "shell/tool/ToolTerminalSink.h"
#include "shell/tool/ToolTextSink.h"
#include "veldoran.h"

namespace tool {

namespace {

struct DecryptOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";
    std::string output;  // "" derives FILE.txt; "-" is the standard output
    bool recipients = false;
    bool first = false;         // of a mail's armours, the first only
    bool inlineFilter = false;  // --inline: the display filter
};

// Prints the recipient lists of a message tail ("#DESTBEGIN#" to "," cc "," bcc "#DESTEND#"
// then the parameter text) on the standard error stream, as the block's one reading rule takes
// them.
void PrintRecipients(const std::string& charset, const char* documentTail) {
    veldoran::RecipientLists lists;
    const veldoran::RecipientBlockShape shape =
        veldoran::ReadRecipientBlock(UserTextOf(documentTail, charset), &lists);
    // Every text here comes from the sender.
    switch (shape) {
        case veldoran::RecipientBlockShape::kNone:
            fprintf(stderr, "recipients: none in this message\n");
            return;
        case veldoran::RecipientBlockShape::kOneList:
            fprintf(stderr, "recipients: %s\n", EscapeForTerminal(lists.to).c_str());
            break;
        case veldoran::RecipientBlockShape::kThreeLists:
            fprintf(stderr, "to: %s\ncc: %s\nbcc: %s\n", EscapeForTerminal(lists.to).c_str(),
                    EscapeForTerminal(lists.cc).c_str(), EscapeForTerminal(lists.bcc).c_str());
            break;
    }
    if (!lists.parameters.empty()) {
        fprintf(stderr, "parameters: %s\n", EscapeForTerminal(lists.parameters).c_str());
    }
}

// The document as the streaming pipeline writes it: into a file written unnamed and named
// once the whole message has proved sound; or, for the standard output or a device, which
// cannot take anything back, once the armour alone has been read through and found sound (what
// can fail after it, a key file, fails before the first byte of the document), so that a
// changed or cut message gives nothing of itself away. source is the message file, or the
// copy of the standard input.
int32_t DecryptIntoTarget(const DecryptOptions& options, OutputFile* target,
                          const std::string& keyPrefix, const StreamedInput& input) {
    const std::string& source = input.Path();
    const uint64_t textLength = input.Size();
    const std::string shownInput = DisplayName(options.input, false);
    const std::string targetName = target->LibraryName();
    std::string tail;
    const std::string charset = UserCharset(*options.common);
    veldoran::UserTextWriter writer;
    writer.Open(charset);
    TerminalTextSink escaping(charset, target->Writer());
    veldoran::TargetSink* toOutput =
        target->ToTerminal() ? static_cast<veldoran::TargetSink*>(&escaping) : target->Writer();
    UserTextSink converting(&writer, toOutput);
    veldoran::TargetSink* sink = writer.SameBytes() ? toOutput : &converting;
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + shownInput, textLength);
        if (!target->Withdrawable()) {
            result = veldoran::CheckTextArmour(source.c_str());
        }
        TraceOnStandardError traceRedirect(options.common->trace);
        if (result == kNoErr) {
            result = veldoran::DecryptTextFileInto(source.c_str(), sink, targetName.c_str(),
                                                   keyPrefix.c_str(), options.common->trace ? 1 : 0,
                                                   options.recipients ? &tail : nullptr);
        }
    }
    if (result != kNoErr) {
        if (target->Failed()) {
            return target->ReportFailure("cannot be written");
        }
        return FailFromReport(result, Activity::kDecryptText, {options.input, targetName});
    }
    WarnReadFindings(shownInput);
    WarnOfReplacements(DisplayName(targetName == "/dev/stdout" ? "-" : targetName, true), charset,
                       writer);
    if (options.recipients) {
        PrintRecipients(charset, tail.c_str());
    }
    return kNoErr;
}

// A whole mail or mailbox, mapped or held in memory: every armour in it.
int32_t DecryptWholeMail(const DecryptOptions& options, const std::string& output,
                         const std::string& keyPrefix, MailSource source) {
    MailDecryptOptions mail;
    mail.common = options.common;
    mail.shownInput = DisplayName(options.input, false);
    mail.output = output;
    mail.keyPrefix = keyPrefix;
    mail.first = options.first;
    if (options.recipients) {
        mail.tail = [charset = UserCharset(*options.common)](const char* tail) {
            PrintRecipients(charset, tail);
        };
    }
    return DecryptMail(mail, source);
}

// A mail or mailbox at path: the tool's own copy of the standard input (descriptor, not -1)
// handed over to be mapped, since nothing else holds it; any other file read whole.
int32_t DecryptMailInput(const DecryptOptions& options, const std::string& output,
                         const std::string& keyPrefix, const std::string& path, int descriptor) {
    std::string mail;
    MailSource source{&mail};
    if (descriptor >= 0) {
        source = MailSource{nullptr, dup(descriptor)};
        if (source.fd < 0) {
            return Fail(kOtherErr, DisplayName(options.input, false),
                        SystemError("cannot be read", errno));
        }
    } else {
        const int32_t result = ReadWholeInput(path, &mail);
        if (result != kNoErr) {
            return result;
        }
    }
    return DecryptWholeMail(options, output, keyPrefix, source);
}

int32_t RunDecrypt(const DecryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = OutputFor(options.input, options.output, veldoran::kDocumentSuffix);
    if (!IsStandardStream(options.input) && SameFile(options.input, output) &&
        !options.common->force) {
        return Fail(kOtherErr, output, "is the message itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const ReadingScope reading(*options.common);
    if (options.inlineFilter) {
        return DecryptInline(keyPrefix);
    }
    // A mail may hold a NUL byte anywhere, a bare message nowhere; an input that is no file is
    // known for a mail only once it is copied, and only then refused for one.
    const char* const notAMailText = "holds a NUL byte: not a mail text";
    TextRules rules;
    StreamedInput input;
    input.Find(options.input);
    if (!input.File().empty() && IsMailFile(input.File())) {
        return DecryptMailInput(options, output, keyPrefix, input.File(), -1);
    }
    rules.nulWords = input.File().empty() ? nullptr : notAMailText;
    int32_t result = input.Check(rules);
    if (result != kNoErr) {
        return result;
    }
    // The armour's length is known only once it is read: the standard input is copied first.
    OutputFile target;
    result = input.OpenOutputThenCopy(output, keyPrefix, false, &target);
    if (result != kNoErr) {
        return result;
    }
    if (IsMailFile(input.Path())) {
        // The mail's documents go out through a target of their own.
        target.Writer()->Kill();
        return DecryptMailInput(options, output, keyPrefix, input.Path(), input.CopyDescriptor());
    }
    if (input.CopyHoldsNul()) {
        return Fail(kOtherErr, shownInput, notAMailText);
    }
    return DecryptIntoTarget(options, &target, keyPrefix, input);
}

}  // namespace

void AddDecrypt(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<DecryptOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "decrypt",
        "Decrypt a message back into the document. The input is a bare message, a whole saved "
        "mail of any MIME form or a mailbox; every armour in it is decrypted, in the order "
        "found. FILE gives FILE.txt; the standard input (no FILE, or -) gives the standard "
        "output.");
    CLI::Option* file = command->add_option(
        "FILE", options->input, "the message, mail or mailbox; - or none: the standard input");
    AddKeyFolderOption(command, common);
    CLI::Option* output = command->add_option("-o,--output", options->output,
                                              "the document file; - for the standard output");
    command->add_flag("--first", options->first,
                      "of a mail's several messages, decrypt the first only");
    command
        ->add_flag("--inline", options->inlineFilter,
                   "display filter: copy the standard input to the standard output with each "
                   "message replaced by its document where it stands")
        ->excludes(file)
        ->excludes(output);
    command->add_flag("--recipients", options->recipients,
                      "print the recipient lists (to, cc, bcc) and any parameter text on the "
                      "standard error stream");
    AddForceFlag(command, common, "allow the document to replace the message itself");
    RunsWith(command, run, [options]() { return RunDecrypt(*options); });
}

}  // namespace tool
