// key check and the journal's view in key show: each key file's header against the key
// journal, the ranges recorded for it (gaps, bytes used twice, on which machines) and the
// material left before it wraps.
#ifndef VELDORAN_SHELL_TOOL_TOOLKEYCHECK_H
#define VELDORAN_SHELL_TOOL_TOOLKEYCHECK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolJournal.h"

namespace CLI {
class App;
}  // namespace CLI

namespace tool {

// What the journal says of one key file, line by line (each starting with two spaces, without
// line ends), and how many of them are problems.
struct KeyAudit {
    std::vector<std::string> lines;
    int problems = 0;
};

// The audit of each key against the journal at journalPath; a journal that is not there has
// recorded nothing. 0, or the journal's refusal (reported).
int32_t AuditKeys(const std::string& journalPath, const std::vector<KeyOnDisk>& keys,
                  std::vector<KeyAudit>* audits);

// key show's lines for the key file at path: the audit's. 0, or the journal's refusal.
int32_t ShowJournalView(const std::string& path, const CommonOptions& common);

// key journal merge and key journal accept, under the key command.
void AddKeyJournal(CLI::App* key, CommonOptions* common, Work* run);

// key check, under the key command.
void AddKeyCheck(CLI::App* key, CommonOptions* common, Work* run);

}  // namespace tool

#endif
