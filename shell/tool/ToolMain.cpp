// veldoran-tool: the whole system from the command line. This file parses the arguments (with
// CLI11) and runs the selected subcommand's work; each subcommand's file registers its options
// and its work (see ToolCommand.h). Exit status: 0 on success, 2 for a usage error, 3 for a
// --no-reuse refusal, 4 for a text that cannot travel or is not in the user's charset, otherwise
// the library's result code in its low eight bits, as the veldoran program's.
#include <locale.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolSendmailCommand.h"
#include "veldoran.h"

namespace {

// The deepest subcommand the command line selected, for "see ... --help".
std::string SelectedCommand(const CLI::App& app) {
    std::string command = app.get_name();
    const CLI::App* current = &app;
    for (;;) {
        const std::vector<const CLI::App*> selected =
            current->get_subcommands([](const CLI::App* sub) { return sub->parsed(); });
        if (selected.empty()) {
            return command;
        }
        current = selected.front();
        command += " " + current->get_name();
    }
}

int Main(int argc, char** argv) {
    CLI::App app(
        "veldoran-tool: encrypt text for mail bodies, binary files and attachments with the "
        "year's master key and the sender's key; make and inspect key files.",
        "veldoran-tool");
    app.set_version_flag("--version", "veldoran-tool " VELDORAN_TOOL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Exit status: 0 on success, 2 for a usage error, 3 for a --no-reuse refusal, 4 for a text "
        "that cannot travel or is not in the charset (--charset), otherwise "
        "the library's result code in its low eight bits (255 for -1, 213 for a missing key "
        "file). See veldoran-tool(1).\n");

    tool::CommonOptions common;
    tool::Work run;
    app.add_flag("--trace", common.trace,
                 "print the pipelines' trace lines (on the standard error stream)");
    tool::AddJournalOptions(&app, &common);
    tool::AddCharsetOption(&app, &common);
    tool::AddEncrypt(&app, &common, &run);
    tool::AddDecrypt(&app, &common, &run);
    tool::AddEncryptBinary(&app, &common, &run);
    tool::AddDecryptBinary(&app, &common, &run);
    tool::AddPack(&app, &common, &run);
    tool::AddUnpack(&app, &common, &run);
    tool::AddKey(&app, &common, &run);
    tool::AddOpen(&app, &common, &run);
    tool::AddSendmail(&app, &common, &run);

    try {
        // sendmail's COMMAND and its arguments are the real sendmail's, not the tool's.
        app.parse(tool::TakeSendmailCommand(app, argc, argv), argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fprintf(stderr, "veldoran-tool: %s; see %s --help\n", e.what(),
                SelectedCommand(app).c_str());
        return tool::kUsageStatus;
    }
    if (!run) {
        fprintf(stderr, "veldoran-tool: a subcommand is required; see %s --help\n",
                SelectedCommand(app).c_str());
        return tool::kUsageStatus;
    }
    int32_t result = run();
    // What went to the standard output counts only once it is out: a full disk or a closed
    // pipe shows here.
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        if (result == kNoErr) {
            result = tool::Fail(kOtherErr, "standard output", "cannot be written");
        }
    }
    return tool::ExitStatus(result);
}

}  // namespace

int main(int argc, char** argv) {
    // A write past the file-size limit or into a pipe nobody reads fails and is reported like
    // any other write, instead of killing the run with a status outside the tool's own.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // The user's charset is the locale's, and iconv transliterates by the locale's rules.
    setlocale(LC_CTYPE, "");
    // Nothing may escape: the parser and the standard library report through exceptions.
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        return tool::ExitStatus(tool::Fail(kMemErr, "", "out of memory"));
    } catch (const std::exception& e) {
        return tool::ExitStatus(tool::Fail(kOtherErr, "", e.what()));
    }
}
