// key check: every key file of a key folder against the key journal.
#include "shell/tool/ToolKeyCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/KeyFilePath.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"

namespace tool {

namespace {

// A finding's label, as key check lines them up.
const char* LabelOf(int32_t kind) {
    switch (kind) {
        case kVeldoranFindingHeader:
            return "header:";
        case kVeldoranFindingJournal:
            return "journal:";
        case kVeldoranFindingStanding:
            return "standing:";
        case kVeldoranFindingNote:
            return "note:";
        default:
            return "problem:";
    }
}

// Prints the audit's findings under each key file's path; the header's own line when header.
void PrintAudit(bool header) {
    std::string file;
    for (int32_t k = 0; k < veldoranKeyJournalFindings(); ++k) {
        const VeldoranFinding& finding = *veldoranKeyJournalFinding(k);
        if (header && file != finding.file) {
            file = finding.file;
            printf("%s\n", file.c_str());
        }
        if (!header && (finding.kind == kVeldoranFindingHeader || finding.code != kNoErr)) {
            continue;  // key show has said both already
        }
        std::string words = finding.words;
        if (finding.code != kNoErr) {
            words += " (" + DescribeResult(finding.code, Activity::kKeys) + ")";
        }
        printf("  %-20s%s\n", LabelOf(finding.kind), words.c_str());
    }
}

// Audits the key files at paths against the journal; the problems found, or the journal's
// refusal (reported).
int32_t AuditKeyFiles(const std::vector<std::string>& paths, const CommonOptions& common,
                      int32_t* problems) {
    const JournalNamed journal(JournalPath(common));
    std::vector<const char*> names;
    for (const std::string& path : paths) {
        names.push_back(path.c_str());
    }
    *problems = veldoranAuditKeyFiles(names.data(), static_cast<int32_t>(names.size()));
    return *problems < 0 ? Fail(*problems, "", veldoranKeyJournalProblem()) : kNoErr;
}

// The key files of the folder's Clefs/, by name.
std::vector<std::string> KeyFilesOf(const std::string& prefix) {
    std::vector<std::string> paths;
    const std::string folder = prefix + veldoran::kKeyFilesFolder;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return paths;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string path = folder + "/" + entry->d_name;
        struct stat info {};
        if (entry->d_name[0] != '.' && lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            paths.push_back(path);
        }
    }
    closedir(listing);
    std::sort(paths.begin(), paths.end());
    return paths;
}

int32_t RunKeyCheck(const CommonOptions& common) {
    const std::string prefix = KeyFolderPrefix(common.keyFolder);
    const std::vector<std::string> paths = KeyFilesOf(prefix);
    if (paths.empty()) {
        return Fail(kFNFErr, prefix + veldoran::kKeyFilesFolder, "holds no key file");
    }
    int32_t problems = 0;
    const int32_t result = AuditKeyFiles(paths, common, &problems);
    if (result != kNoErr) {
        return result;
    }
    PrintAudit(true);
    if (problems == 0) {
        printf("nothing wrong\n");
        return kNoErr;
    }
    printf("%d problem%s\n", problems, problems == 1 ? "" : "s");
    return kCheckFoundProblems;
}

}  // namespace

int32_t ShowJournalView(const std::string& path, const CommonOptions& common) {
    int32_t problems = 0;
    const int32_t result = AuditKeyFiles({path}, common, &problems);
    if (result == kNoErr) {
        PrintAudit(false);
    }
    return result;
}

void AddKeyCheck(CLI::App* key, CommonOptions* common, Work* run) {
    CLI::App* check = key->add_subcommand(
        "check",
        "Check every key file of KEYDIR/Clefs/ against the key journal: a header behind the "
        "journal (a key file that went back in time), ranges of key material used twice (on "
        "this machine or, after key journal merge, on two), gaps left by use without the "
        "journal, and the material left before each key wraps. Exit status 0 only when nothing "
        "is wrong, 1 when something is.");
    AddKeyFolderOption(check, common);
    RunsWith(check, run, [common]() { return RunKeyCheck(*common); });
}

}  // namespace tool
