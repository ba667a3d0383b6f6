// The pieces of option registration that the subcommands of veldoran-tool share.
#include "shell/tool/ToolCommand.h"

#include <CLI/CLI.hpp>

namespace tool {

void AddKeyFolderOption(CLI::App* command, CommonOptions* common) {
    command->add_option("-k,--keys", common->keyFolder,
                        "folder that holds Clefs/ with the key files (default: the current "
                        "folder)");
}

void AddForceFlag(CLI::App* command, CommonOptions* common, const char* words) {
    command->add_flag("--force", common->force, words);
}

void RunsWith(CLI::App* command, Work* run, Work work) {
    command->callback([run, work]() { *run = work; });
}

CLI::Validator KeyNameCheck() {
    return CLI::Validator([](std::string& name) { return CheckKeyName(name); }, "NAME");
}

}  // namespace tool
