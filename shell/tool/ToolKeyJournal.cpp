// key journal merge and key journal accept: another machine's journal taken in, and a key file
// whose position the user decides on, each done and recorded by the library and printed here.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "platform/KeyFilePath.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolKeyCheck.h"
#include "veldoran.h"

namespace tool {

namespace {

int32_t RunMerge(const CommonOptions& common, const std::string& other) {
    const JournalNamed journal(PrepareJournal(common));
    uint64_t merged = 0;
    uint64_t already = 0;
    const int32_t result = veldoranMergeKeyJournal(other.c_str(), &merged, &already);
    if (result != kNoErr) {
        return Fail(result, "", veldoranKeyJournalProblem());
    }
    printf(
        "%llu records merged from %s, %llu already there; veldoran-tool key check tells what "
        "they show\n",
        static_cast<unsigned long long>(merged), other.c_str(),
        static_cast<unsigned long long>(already));
    return kNoErr;
}

struct AcceptOptions {
    const CommonOptions* common = nullptr;
    std::string name;
    bool advance = false;
    bool allowRewind = false;
};

int32_t RunAccept(const AcceptOptions& options) {
    if (options.advance == options.allowRewind) {
        return Fail(kUsageStatus, "",
                    "key journal accept takes one of --advance and "
                    "--allow-rewind");
    }
    char yearText[16] = {};
    const time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    TypUtilsUnix::FormatYearText(parts.tm_year, yearText);
    const std::string path = veldoran::KeyFilePathText(KeyFolderPrefix(options.common->keyFolder),
                                                       options.name, yearText);
    const JournalNamed journal(PrepareJournal(*options.common));
    uint32_t offset = 0;
    int32_t useCount = 0;
    const int32_t result =
        veldoranAcceptKeyFile(path.c_str(), options.advance ? 1 : 0, &offset, &useCount);
    if (result != kNoErr) {
        return Fail(result, "", veldoranKeyJournalProblem());
    }
    printf("%s: %s offset %u, use count %d (recorded in the key journal)\n", path.c_str(),
           options.advance ? "advanced to" : "accepted as it stands, at", offset, useCount);
    return kNoErr;
}

}  // namespace

void AddKeyJournal(CLI::App* key, CommonOptions* common, Work* run) {
    CLI::App* journal = key->add_subcommand(
        "journal", "Take in another machine's key journal; accept a key file's position.");
    journal->require_subcommand(1);

    auto other = std::make_shared<std::string>();
    CLI::App* merge = journal->add_subcommand(
        "merge",
        "Add the records of another machine's key journal that this one lacks (a union: records "
        "are told apart by machine, sequence and checksum). key check then reports every range "
        "of a key used on both machines.");
    merge->add_option("OTHER_JOURNAL", *other, "the other machine's journal")->required();
    RunsWith(merge, run, [common, other]() { return RunMerge(*common, *other); });

    auto accepted = std::make_shared<AcceptOptions>();
    accepted->common = common;
    CLI::App* accept = journal->add_subcommand(
        "accept",
        "Decide on the position of this year's key file KEYDIR/Clefs/NAME.<year text>, "
        "recorded in the journal: --advance moves it past every range any machine recorded "
        "for it (after a restore or a merge), so that nothing is used again; --allow-rewind "
        "lets the next encryption go on from where it stands now, on purpose (a test folder).");
    accept->add_option("NAME", accepted->name, "the key's name")->required()->check(KeyNameCheck());
    AddKeyFolderOption(accept, common);
    accept->add_flag("--advance", accepted->advance, "move the key file past the journal");
    accept->add_flag("--allow-rewind", accepted->allowRewind,
                     "accept the key file's position as it stands");
    RunsWith(accept, run, [accepted]() { return RunAccept(*accepted); });
}

}  // namespace tool
