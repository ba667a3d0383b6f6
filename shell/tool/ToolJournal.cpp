// The key journal's path, its use by the encrypting subcommands, and its refusals.
#include "shell/tool/ToolJournal.h"

#include <errno.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

const char* Variable(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Makes every missing folder of path, mode 0700; a failure shows when the journal is opened.
void MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) {
            return;
        }
    }
}

}  // namespace

void AddJournalOptions(CLI::App* app, CommonOptions* common) {
    app->add_option("--journal", common->journal,
                    "the key journal (default: $VELDORAN_JOURNAL, else "
                    "$XDG_STATE_HOME/veldoran/journal, else ~/.local/state/veldoran/journal)");
    app->add_flag("--no-journal", common->noJournal,
                  "encrypt without checking or recording key use in the key journal, and decrypt "
                  "without noting what is read there, this run only");
}

std::string JournalPath(const CommonOptions& common) {
    if (!common.journal.empty()) {
        return common.journal;
    }
    if (const char* named = Variable("VELDORAN_JOURNAL")) {
        return named;
    }
    if (const char* state = Variable("XDG_STATE_HOME")) {
        return std::string(state) + "/veldoran/journal";
    }
    if (const char* home = Variable("HOME")) {
        return std::string(home) + "/.local/state/veldoran/journal";
    }
    return "";
}

std::string PrepareJournal(const CommonOptions& common) {
    const std::string path = JournalPath(common);
    // A journal named by the user lives where they said; only the default folders are made.
    if (common.journal.empty() && Variable("VELDORAN_JOURNAL") == nullptr) {
        MakeFolders(path);
    }
    return path;
}

JournalScope::JournalScope(const CommonOptions& common) {
    if (common.noJournal) {
        fputs(
            "veldoran-tool: warning: --no-journal: key use is neither checked against nor "
            "recorded in the key journal for this run\n",
            stderr);
        veldoranSetKeyJournal(nullptr);
        return;
    }
    veldoranSetKeyJournal(PrepareJournal(common).c_str());
}

JournalScope::~JournalScope() {
    veldoranSetKeyJournal(nullptr);
}

ReadingScope::ReadingScope(const CommonOptions& common) {
    if (common.noJournal) {
        return;
    }
    veldoranSetKeyJournal(PrepareJournal(common).c_str());
    veldoranSetKeyJournalReads(1);
}

ReadingScope::~ReadingScope() {
    veldoranSetKeyJournalReads(0);
    veldoranSetKeyJournal(nullptr);
}

void WarnReadFindings(const std::string& shownInput) {
    const int32_t count = veldoranKeyJournalFindings();
    for (int32_t k = 0; k < count; ++k) {
        // A key file's path comes from the name a stranger's frame gave.
        Warn(shownInput, EscapeForTerminal(veldoranKeyJournalFinding(k)->words));
    }
}

int32_t FailJournal(int32_t result) {
    const std::string problem = veldoranKeyJournalProblem();
    if (result == kKeyRewound) {
        return Fail(result, "", problem + "; nothing encrypted; see veldoran-tool key check");
    }
    return Fail(result, "", problem + "; nothing encrypted (--no-journal skips the journal)");
}

}  // namespace tool
