// The pieces of option registration that the subcommands of veldoran-tool share.
#include "shell/tool/ToolCommand.h"

#include <CLI/CLI.hpp>

namespace tool {

void AddKeyFolderOption(CLI::App* command, CommonOptions* common) {
    command->add_option("-k,--keys", common->keyFolder,
                        "folder that holds Clefs/ with the key files (default: the current "
                        "folder)");
}

void AddCharsetOption(CLI::App* app, CommonOptions* common) {
    app->add_option("--charset", common->charset,
                    "the charset of the text read from and written for the user: documents, "
                    "recipient lists, parameter text (default: the locale's, UTF-8 for C and "
                    "POSIX; windows-1252 takes and gives the documents' own bytes)")
        ->check(CLI::Validator(
            [](std::string& name) {
                return veldoran::IsKnownCharset(name) ? std::string()
                                                      : "iconv knows no charset " + name;
            },
            "NAME"));
}

std::string UserCharset(const CommonOptions& common) {
    return common.charset.empty() ? veldoran::LocaleCharset() : common.charset;
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
