// The key journal from the command line: which file it is (--journal, VELDORAN_JOURNAL, the
// user's state folder), the library told about it for the runs that spend key material or read
// messages, and its refusals and findings reported in one line each.
#ifndef VELDORAN_SHELL_TOOL_TOOLJOURNAL_H
#define VELDORAN_SHELL_TOOL_TOOLJOURNAL_H

#include <stdint.h>

#include <string>

#include "veldoran.h"

namespace CLI {
class App;
}  // namespace CLI

namespace tool {

struct CommonOptions;

// --journal PATH and --no-journal on the program, taken before or after the subcommand.
void AddJournalOptions(CLI::App* app, CommonOptions* common);

// The journal's path: --journal, else $VELDORAN_JOURNAL, else
// $XDG_STATE_HOME/veldoran/journal, else ~/.local/state/veldoran/journal; "" when none can be
// named (no HOME).
std::string JournalPath(const CommonOptions& common);

// JournalPath, its folders made when it is the default one.
std::string PrepareJournal(const CommonOptions& common);

// While it lives, the encryptions the process runs check and record in the journal (the
// default folder made when missing), unless --no-journal turned it off for this run, which is
// said on the standard error stream.
class JournalScope {
  public:
    explicit JournalScope(const CommonOptions& common);
    ~JournalScope();
    JournalScope(const JournalScope&) = delete;
    JournalScope& operator=(const JournalScope&) = delete;
};

// While it lives, the decryptions the process runs note what they read in the journal (the
// default folder made when missing), unless --no-journal turned it off for this run.
class ReadingScope {
  public:
    explicit ReadingScope(const CommonOptions& common);
    ~ReadingScope();
    ReadingScope(const ReadingScope&) = delete;
    ReadingScope& operator=(const ReadingScope&) = delete;
};

// While it lives, the journal at path is the one the library's key journal calls use.
class JournalNamed {
  public:
    explicit JournalNamed(const std::string& path) { veldoranSetKeyJournal(path.c_str()); }
    ~JournalNamed() { veldoranSetKeyJournal(nullptr); }
    JournalNamed(const JournalNamed&) = delete;
    JournalNamed& operator=(const JournalNamed&) = delete;
};

// Warns, naming shownInput, of each finding the journal made while the last decryption read.
void WarnReadFindings(const std::string& shownInput);

// Reports a run the journal refused (kKeyRewound, kJournalErr) in one line, with what to do
// next, and returns result.
int32_t FailJournal(int32_t result);

}  // namespace tool

#endif
