// key journal merge and key journal accept: another machine's journal taken in, and a key file
// whose position the user decides on, each recorded in the journal.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>

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

using veldoran::JournalRecord;

struct AcceptOptions {
    const CommonOptions* common = nullptr;
    std::string name;
    bool advance = false;
    bool allowRewind = false;
};

// The key file, locked against every encryption (which refuses a key it cannot lock) for as
// long as this object lives, its header and fingerprint read under the lock.
class HeldKeyFile {
  public:
    int32_t Open(const std::string& path) {
        path_ = path;
        fd_.Reset(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!fd_.IsOpen() || fstat(fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return Fail(!fd_.IsOpen() && errno == ENOENT ? kFNFErr : kOtherErr, path,
                        "cannot be opened as a key file");
        }
        if (flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
            return Fail(kOtherErr, path, "is in use by an encryption; try again");
        }
        const int32_t read = veldoran::ReadKeyHeader(fd_.Get(), &header_);
        if (read != kNoErr && read != kBadKeyHeader) {
            return Fail(kOtherErr, path, "not a key file: shorter than a key header");
        }
        unsigned char head[veldoran::kKeyFingerprintHead] = {};
        const ssize_t got = pread(fd_.Get(), head, sizeof head, kKeyHeaderSize);
        // A damaged position is what accept --advance can mend.
        const veldoran::KeyHeaderFault fault = veldoran::CheckKeyHeader(header_);
        if (read != kNoErr ||
            (fault != veldoran::KeyHeaderFault::kNone &&
             fault != veldoran::KeyHeaderFault::kPosition) ||
            got < std::min<ssize_t>(header_.keyLen, sizeof head)) {
            return Fail(kBadKeyHeader, path, "not a key file of version 1 with its material");
        }
        veldoran::KeyFingerprint(header_, head, fingerprint_);
        return kNoErr;
    }
    const TypKeyHeader& Header() const { return header_; }
    const unsigned char* Fingerprint() const { return fingerprint_; }
    // Rewrites the position and puts it on stable storage. Only keyOffset and useCount, which
    // stand side by side, are written: the rest of the header stays as the file holds it.
    int32_t MoveTo(uint32_t offset, int32_t useCount) {
        TypKeyHeader moved = header_;
        moved.keyOffset = static_cast<int32_t>(offset);
        moved.useCount = useCount;
        unsigned char stored[kKeyHeaderSize];
        veldoran::EncodeKeyHeader(moved, stored);
        constexpr size_t kFrom = offsetof(TypKeyHeader, keyOffset);
        constexpr size_t kCount = offsetof(TypKeyHeader, useCount) + sizeof moved.useCount - kFrom;
        if (pwrite(fd_.Get(), stored + kFrom, kCount, kFrom) != static_cast<ssize_t>(kCount) ||
            fsync(fd_.Get()) != 0) {
            return Fail(kOtherErr, path_, SystemError("cannot be rewritten", errno));
        }
        return kNoErr;
    }

  private:
    std::string path_;
    Descriptor fd_;
    TypKeyHeader header_{};
    unsigned char fingerprint_[veldoran::kKeyFingerprintSize] = {};
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
    HeldKeyFile key;
    int32_t result = key.Open(path);
    if (result != kNoErr) {
        return result;
    }
    veldoran::JournalFile journal;
    if (journal.Open(PrepareJournal(*options.common), true) != kNoErr) {
        return Fail(kJournalErr, "", journal.Problem());
    }
    const TypKeyHeader& header = key.Header();
    JournalRecord record;
    memcpy(record.fingerprint, key.Fingerprint(), sizeof record.fingerprint);
    memcpy(record.name, header.name, kLenMaxName);
    record.year = header.year;
    record.keyLen = static_cast<uint32_t>(header.keyLen);
    record.start = static_cast<uint32_t>(header.keyOffset);
    record.offsetAfter = record.start;
    record.useCountAfter = header.useCount;
    if (options.advance) {
        // The furthest any machine took the key: past every range recorded for it.
        result = journal.Scan([&](uint64_t, const JournalRecord& seen) {
            if (seen.kind != veldoran::kJournalRead &&
                memcmp(seen.fingerprint, record.fingerprint, sizeof record.fingerprint) == 0) {
                if (seen.offsetAfter > record.offsetAfter) {
                    record.offsetAfter = seen.offsetAfter;
                }
                record.useCountAfter = std::max(record.useCountAfter, seen.useCountAfter);
            }
            return true;
        });
        if (result != kNoErr) {
            return Fail(kJournalErr, "", journal.Problem());
        }
        record.kind = veldoran::kJournalAdvanced;
        record.length = record.offsetAfter - record.start;
    } else {
        record.kind = veldoran::kJournalRewound;
    }
    // Recorded first, as an encryption does: the header never stands where the journal does
    // not know it.
    if (journal.Append(&record, 1) != kNoErr) {
        return Fail(kJournalErr, "", journal.Problem());
    }
    if (options.advance &&
        (record.offsetAfter != record.start || record.useCountAfter != header.useCount)) {
        result = key.MoveTo(record.offsetAfter, record.useCountAfter);
        if (result != kNoErr) {
            return result;
        }
    }
    printf("%s: %s offset %u, use count %d (recorded in the key journal)\n", path.c_str(),
           options.advance ? "advanced to" : "accepted as it stands, at", record.offsetAfter,
           record.useCountAfter);
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
