// encrypt: a text document to an armoured message, from a file or the standard input, through
// the library's streaming file pipeline into the one output the tool opens, so that memory
// stays small at any size. The standard input (unless it is a file) and a file with CR LF line
// ends are first copied into an unnamed file (beside a file target, else in $TMPDIR or /tmp)
// that vanishes with the run; nothing else of the document is written anywhere but to the
// chosen output.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
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
    bool transliterate = false;
};

const char kCrLfNote[] =
    "The document is taken as text in the user's charset (--charset, else the locale's): a NUL "
    "byte is refused, CR LF line ends (as mail clients pass bodies) are taken as LF, so that the "
    "text does not come back with doubled lines, and a character that a message would give back "
    "as another is refused (status 4) unless --transliterate replaces it. The recipient lists "
    "and the parameter text follow the same rule.\n";

// The streaming file pipeline into a target the tool opened: a file written unnamed and named
// once the keys are spent, or the standard output or a device, which cannot take anything back
// and so get the message once the keys are spent. The input is the document file, or the unnamed
// copy of the standard input (or of a file with CR LF line ends taken as LF).
int32_t EncryptIntoTarget(const EncryptOptions& options, OutputFile* target,
                          const std::string& keyPrefix, const StreamedInput& input) {
    const std::string targetName = target->LibraryName();
    int32_t result = kNoErr;
    {
        Progress progress("encrypting " + DisplayName(options.input, false), input.Size());
        TraceOnStandardError traceRedirect(options.common->trace);
        result = veldoran::EncryptTextFileInto(
            input.Path().c_str(), target->Writer(), targetName.c_str(), options.user.c_str(),
            keyPrefix.c_str(), options.to.c_str(), options.cc.c_str(), options.bcc.c_str(),
            options.param.c_str(), options.common->trace ? 1 : 0);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    if (target->Failed()) {
        return target->ReportFailure("cannot be written");
    }
    return FailFromReport(result, Activity::kEncryptText, {options.input, targetName});
}

int32_t RunEncrypt(const EncryptOptions& options) {
    const std::string output = OutputFor(options.input, options.output, veldoran::kMessageSuffix);
    if (!IsStandardStream(options.input) && SameFile(options.input, output) &&
        !options.common->force) {
        return Fail(kOtherErr, output, "is the document itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    TextRules rules;
    rules.nulWords = "holds a NUL byte: not a text document (encrypt-binary takes any file)";
    rules.crlfAsLf = true;
    rules.charset = UserCharset(*options.common);
    rules.transliterate = options.transliterate;
    EncryptOptions document = options;
    int32_t result = kNoErr;
    // Every text the user gave is taken in the document form, and each one is looked at, so
    // that one run tells all that cannot travel.
    struct GivenText {
        const std::string* given;
        std::string* taken;
        const char* what;
    };
    const GivenText texts[] = {{&options.to, &document.to, "--to"},
                               {&options.cc, &document.cc, "--cc"},
                               {&options.bcc, &document.bcc, "--bcc"},
                               {&options.param, &document.param, "--param"}};
    for (const GivenText& text : texts) {
        const int32_t textResult = DocumentText(*text.given, text.what, rules, text.taken);
        result = result != kNoErr ? result : textResult;
    }
    if (result != kNoErr) {
        return result;
    }
    // A recipient list the block would give back otherwise is refused, not garbled.
    const veldoran::RecipientListFault fault =
        veldoran::CheckRecipientLists(document.to, document.cc, document.bcc);
    if (*fault.list != '\0') {
        return Fail(kUsageStatus, std::string("--") + fault.list, fault.why);
    }
    StreamedInput input;
    input.Find(options.input);
    result = input.Check(rules);
    if (result != kNoErr) {
        return result;
    }
    const KeyReuseCheck reuse(options.noReuse);
    const JournalScope journal(*options.common);
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    // The document's length must be known before the run starts: the standard input, and a
    // file whose CR LF line ends are taken as LF, are copied first.
    OutputFile target;
    result = input.OpenOutputThenCopy(output, keyPrefix, true, &target);
    return result == kNoErr ? EncryptIntoTarget(document, &target, keyPrefix, input) : result;
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
    command->add_flag("--transliterate", options->transliterate,
                      "put in place of each character a message cannot carry its nearest one "
                      "that travels (‘ as ', Î as I, ™ as TM, others as iconv transliterates "
                      "them, else ?), and say how many were changed (otherwise: refused)");
    command->add_flag("--no-reuse", options->noReuse,
                      "refuse, before any key file is touched, a message that would wrap a key "
                      "and use key material again (otherwise: a warning)");
    AddForceFlag(command, common, "allow the message to replace the document itself");
    RunsWith(command, run, [options]() { return RunEncrypt(*options); });
}

}  // namespace tool
