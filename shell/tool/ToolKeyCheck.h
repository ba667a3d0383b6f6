// key check and the journal's view in key show: the library's audit of each key file against
// the key journal (its header, the ranges recorded for it, gaps, bytes used twice and on which
// machines, the material left before it wraps), printed.
#ifndef VELDORAN_SHELL_TOOL_TOOLKEYCHECK_H
#define VELDORAN_SHELL_TOOL_TOOLKEYCHECK_H

#include <stdint.h>

#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolJournal.h"

namespace CLI {
class App;
}  // namespace CLI

namespace tool {

// key show's lines for the key file at path: the audit's, but the header's. 0, or the
// journal's refusal (reported).
int32_t ShowJournalView(const std::string& path, const CommonOptions& common);

// key journal merge and key journal accept, under the key command.
void AddKeyJournal(CLI::App* key, CommonOptions* common, Work* run);

// key check, under the key command.
void AddKeyCheck(CLI::App* key, CommonOptions* common, Work* run);

}  // namespace tool

#endif
