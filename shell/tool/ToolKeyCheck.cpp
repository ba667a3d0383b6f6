// key check: every key file of a key folder against the key journal.
#include "shell/tool/ToolKeyCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "platform/KeyFilePath.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"

namespace tool {

namespace {

using veldoran::JournalRecord;

// A range one encryption took, as pieces of the key material that do not wrap.
struct Piece {
    uint64_t first = 0;
    uint64_t end = 0;  // one past the last byte
    const JournalRecord* use = nullptr;
    int epoch = 0;  // accepts (key journal accept) before it
};

std::string UseText(const JournalRecord& record, const unsigned char* own) {
    return "use " + std::to_string(record.useCountAfter) + " (" + TimeText(record.time) + ", " +
           MachineText(record, own) + ")";
}

void AddPieces(const JournalRecord& record, int epoch, std::vector<Piece>* pieces) {
    const uint64_t keyLen = record.keyLen == 0 ? 1 : record.keyLen;
    const uint64_t start = record.start % keyLen;
    if (record.length >= keyLen) {
        pieces->push_back({0, keyLen, &record, epoch});
    } else if (start + record.length <= keyLen) {
        pieces->push_back({start, start + record.length, &record, epoch});
    } else {
        pieces->push_back({start, keyLen, &record, epoch});
        pieces->push_back({0, start + record.length - keyLen, &record, epoch});
    }
}

bool SameRun(const JournalRecord& a, const JournalRecord& b) {
    return memcmp(a.machine, b.machine, sizeof a.machine) == 0 && a.start == b.start &&
           a.useCountAfter == b.useCountAfter;
}

KeyAudit Audit(const KeyOnDisk& key, const std::vector<JournalRecord>& records,
               const unsigned char* own) {
    KeyAudit audit;
    const TypKeyHeader& header = key.header;
    audit.lines.push_back("  header:             offset " + std::to_string(header.keyOffset) +
                          ", use count " + std::to_string(header.useCount) + ", " +
                          std::to_string(static_cast<int64_t>(header.keyLen) - header.keyOffset) +
                          " bytes left before the key wraps");
    const JournalRecord* last = records.empty() ? nullptr : &records.back();
    const veldoran::JournalStanding standing = veldoran::StandingOf(header, last);
    if (last == nullptr) {
        audit.lines.push_back("  journal:            no record of this key");
        return audit;
    }
    audit.lines.push_back("  journal:            last position offset " +
                          std::to_string(last->offsetAfter) + ", " + UseText(*last, own));
    switch (standing) {
        case veldoran::JournalStanding::kNoRecord:
        case veldoran::JournalStanding::kInStep:
            audit.lines.push_back("  standing:           in step with the journal");
            break;
        case veldoran::JournalStanding::kTailMissing:
            audit.lines.push_back(
                "  standing:           the last run stopped before its header was rewritten; its "
                "range "
                "was never given out and the next run takes it again");
            break;
        case veldoran::JournalStanding::kAhead:
            audit.lines.push_back(
                "  problem:            used without the journal since its last record "
                "(a gap from offset " +
                std::to_string(last->offsetAfter) + " to " + std::to_string(header.keyOffset) +
                ")");
            ++audit.problems;
            break;
        case veldoran::JournalStanding::kBehind:
            audit.lines.push_back(
                "  problem:            behind the journal: the key file went back in time; " +
                std::to_string(
                    veldoran::RewoundBytes(header, *last, static_cast<uint32_t>(header.keyLen))) +
                " bytes from offset " + std::to_string(header.keyOffset) +
                " on were used before (key journal accept --advance moves it forward)");
            ++audit.problems;
            break;
    }
    // The ranges given out: each run's sent record, once, but not a run whose header was never
    // rewritten (no spent record), whose range that machine's next run took again.
    std::vector<const JournalRecord*> sent;
    std::vector<int> epochs;
    std::vector<bool> confirmed;
    std::map<std::string, size_t> lastOfMachine;
    int epoch = 0;
    for (const JournalRecord& record : records) {
        if (record.kind == veldoran::kJournalRewound || record.kind == veldoran::kJournalAdvanced) {
            ++epoch;
        }
        const std::string machine(record.machine, record.machine + sizeof record.machine);
        const auto before = lastOfMachine.find(machine);
        const bool sameRun = before != lastOfMachine.end() &&
                             SameRun(*sent[before->second], record) &&
                             epochs[before->second] == epoch;
        if (record.kind == veldoran::kJournalSpent && sameRun) {
            confirmed[before->second] = true;
        }
        if (record.kind != veldoran::kJournalSent) {
            continue;
        }
        if (sameRun && !confirmed[before->second]) {
            sent[before->second] = &record;
            continue;
        }
        lastOfMachine[machine] = sent.size();
        sent.push_back(&record);
        epochs.push_back(epoch);
        confirmed.push_back(false);
    }
    if (standing == veldoran::JournalStanding::kTailMissing && !sent.empty() &&
        SameRun(*sent.back(), *last)) {
        sent.pop_back();
        epochs.pop_back();
    }
    std::vector<Piece> pieces;
    for (size_t k = 0; k < sent.size(); ++k) {
        AddPieces(*sent[k], epochs[k], &pieces);
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.first < b.first; });
    const Piece* farthest = nullptr;
    for (const Piece& piece : pieces) {
        if (farthest != nullptr && piece.first < farthest->end) {
            const uint64_t end = std::min(piece.end, farthest->end);
            // Reuse the user has seen and accepted since (a rewind on purpose, or an advance past
            // both uses) is history, no longer a problem.
            const bool accepted = piece.epoch != farthest->epoch || piece.epoch < epoch;
            audit.lines.push_back(std::string(accepted ? "  note:               accepted since: "
                                                       : "  problem:            ") +
                                  "bytes " + std::to_string(piece.first) + " to " +
                                  std::to_string(end - 1) +
                                  " used twice: " + UseText(*farthest->use, own) + " and " +
                                  UseText(*piece.use, own));
            audit.problems += accepted ? 0 : 1;
        }
        if (farthest == nullptr || piece.end > farthest->end) {
            farthest = &piece;
        }
    }
    // Gaps: a machine's runs one after the other, the next not starting where the one before
    // left the key.
    std::map<std::string, size_t> previous;
    for (size_t k = 0; k < sent.size(); ++k) {
        const std::string machine(sent[k]->machine, sent[k]->machine + sizeof sent[k]->machine);
        const auto before = previous.find(machine);
        if (before != previous.end() && epochs[before->second] == epochs[k] &&
            sent[k]->start != sent[before->second]->offsetAfter) {
            const JournalRecord& earlier = *sent[before->second];
            audit.lines.push_back(
                "  problem:            a gap from offset " + std::to_string(earlier.offsetAfter) +
                " to " + std::to_string(sent[k]->start) + " between " + UseText(earlier, own) +
                " and " + UseText(*sent[k], own) + ": used without the journal");
            ++audit.problems;
        }
        previous[machine] = k;
    }
    return audit;
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
    std::vector<KeyOnDisk> keys;
    int problems = 0;
    for (const std::string& path : paths) {
        KeyOnDisk key;
        const int32_t result = ReadKeyOnDisk(path, &key);
        if (result != kNoErr) {
            printf("%s\n  problem:            not a key file that can be read (%s)\n", path.c_str(),
                   DescribeResult(result, Activity::kKeys).c_str());
            ++problems;
            continue;
        }
        keys.push_back(key);
    }
    std::vector<KeyAudit> audits;
    const int32_t result = AuditKeys(JournalPath(common), keys, &audits);
    if (result != kNoErr) {
        return result;
    }
    for (size_t k = 0; k < keys.size(); ++k) {
        printf("%s\n", keys[k].path.c_str());
        for (const std::string& line : audits[k].lines) {
            printf("%s\n", line.c_str());
        }
        problems += audits[k].problems;
    }
    if (problems == 0) {
        printf("nothing wrong\n");
        return kNoErr;
    }
    printf("%d problem%s\n", problems, problems == 1 ? "" : "s");
    return kCheckFoundProblems;
}

}  // namespace

int32_t AuditKeys(const std::string& journalPath, const std::vector<KeyOnDisk>& keys,
                  std::vector<KeyAudit>* audits) {
    std::vector<std::vector<JournalRecord>> records(keys.size());
    unsigned char own[veldoran::kJournalMachineSize] = {};
    struct stat info {};
    if (lstat(journalPath.c_str(), &info) == 0) {
        veldoran::JournalFile journal;
        if (journal.Open(journalPath, false) != kNoErr) {
            return Fail(kJournalErr, "", journal.Problem());
        }
        memcpy(own, journal.Machine(), sizeof own);
        const int32_t result = journal.Scan([&](uint64_t, const JournalRecord& record) {
            if (record.kind == veldoran::kJournalRead) {
                return true;
            }
            for (size_t k = 0; k < keys.size(); ++k) {
                if (memcmp(record.fingerprint, keys[k].fingerprint, sizeof record.fingerprint) ==
                    0) {
                    records[k].push_back(record);
                }
            }
            return true;
        });
        if (result != kNoErr) {
            return Fail(kJournalErr, "", journal.Problem());
        }
    }
    audits->clear();
    for (size_t k = 0; k < keys.size(); ++k) {
        audits->push_back(Audit(keys[k], records[k], own));
    }
    return kNoErr;
}

int32_t ShowJournalView(const std::string& path, const CommonOptions& common) {
    KeyOnDisk key;
    if (ReadKeyOnDisk(path, &key) != kNoErr) {
        return kNoErr;
    }
    std::vector<KeyAudit> audits;
    const int32_t result = AuditKeys(JournalPath(common), {key}, &audits);
    if (result != kNoErr) {
        return result;
    }
    // The header's own line is key show's already.
    for (size_t k = 1; k < audits[0].lines.size(); ++k) {
        printf("%s\n", audits[0].lines[k].c_str());
    }
    return kNoErr;
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
