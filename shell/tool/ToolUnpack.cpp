// unpack: the files of an attachment container (plain, or encrypted by pack --encrypt or
// encrypt-binary) written into a folder, or listed. Entry names come from strangers' mail, so
// each must be one plain file name; nothing is written outside the folder, a link standing in
// it is never followed, and an existing file is replaced only when asked. Entry sizes come from
// strangers too: listing keeps no entry, and unpacking holds one entry at a time.
#include "shell/tool/ToolUnpack.h"

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "platform/OwnedBlock.h"
#include "platform/TargetWriter.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

struct UnpackOptions {
    const CommonOptions* common = nullptr;
    std::string input = "-";
    std::string folder;  // "" is the current folder
    bool list = false;
};

struct Entry {
    std::string name;  // every byte of it, a zero byte included
    int32_t length = 0;
};

Entry EntryAt(TypPieceJointe* container, int32_t index) {
    Entry entry;
    const char* name = nullptr;
    int32_t nameLength = 0;
    if (container->GetNameN(index, &name, &nameLength, nullptr) == kNoErr) {
        entry.name.assign(name, static_cast<size_t>(nameLength));
    }
    container->GetLengthN(index, &entry.length);
    return entry;
}

// The container block of the input, kept while its entries are taken out one at a time: the
// input itself, or what decrypting it gives. The container holds the entries' names and
// lengths; their data stays in the block until written.
class ContainerInput {
  public:
    ContainerInput() = default;
    ContainerInput(const ContainerInput&) = delete;
    ContainerInput& operator=(const ContainerInput&) = delete;

    int32_t Load(const UnpackOptions& options, TypPieceJointe* container);
    // The same for a block in memory that outlives this object.
    int32_t Take(const std::string& shownInput, const unsigned char* data, size_t size,
                 const CommonOptions& common, TypPieceJointe* container);
    const unsigned char* Block() const { return block_; }
    int32_t Length() const { return length_; }

  private:
    std::string input_;
    veldoran::OwnedBlock decrypted_;
    const unsigned char* block_ = nullptr;
    int32_t length_ = 0;
};

int32_t ContainerInput::Load(const UnpackOptions& options, TypPieceJointe* container) {
    const int32_t result = ReadWholeInput(options.input, &input_);
    if (result != kNoErr) {
        return result;
    }
    return Take(DisplayName(options.input, false),
                reinterpret_cast<const unsigned char*>(input_.data()), input_.size(),
                *options.common, container);
}

int32_t ContainerInput::Take(const std::string& shownInput, const unsigned char* data, size_t size,
                             const CommonOptions& common, TypPieceJointe* container) {
    int32_t result = kNoErr;
    if (size > static_cast<size_t>(INT32_MAX)) {
        return FailWithResult(kFrameTooLong, shownInput, Activity::kUnpack);
    }
    block_ = data;
    length_ = static_cast<int32_t>(size);
    if (!container->HoldsContainer(block_, length_)) {
        result = DecryptFrame(shownInput, data, size, KeyFolderPrefix(common.keyFolder),
                              common.trace, Activity::kDecryptBinary,
                              "neither an attachment container nor an encrypted one",
                              decrypted_.Pointer(), decrypted_.Length());
        if (result != kNoErr) {
            return result;
        }
        block_ = decrypted_.data();
        length_ = static_cast<int32_t>(decrypted_.length());
        if (!container->HoldsContainer(block_, length_)) {
            return Fail(kNonVeldoranedAttachement, shownInput,
                        "decrypts to something that is not an attachment container");
        }
    }
    // Names and lengths only: no entry is kept, whatever the entries declare.
    result = container->LoadIndex(block_, length_);
    if (result != kNoErr) {
        return FailWithResult(result, shownInput, Activity::kUnpack);
    }
    return kNoErr;
}

void List(TypPieceJointe* container, FILE* out) {
    char sender[200] = {};
    container->GetExpediteur(sender);
    auto recipients = std::make_unique<char[]>(klenmaxdest);
    container->GetDestinataire(recipients.get());
    fprintf(out, "from: %s\n", EscapeForTerminal(sender).c_str());
    fprintf(out, "to: %s\n", EscapeForTerminal(recipients.get()).c_str());
    fprintf(out, "compressed: %s\n",
            container->GetFormat() == kformatLZOcompresse ? "LZO1X-1" : "no");
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        const Entry entry = EntryAt(container, index);
        const std::string refusal = CheckEntryName(entry.name);
        fprintf(out, "%12ld  %s%s\n", static_cast<long>(entry.length),
                EscapeForTerminal(entry.name).c_str(),
                refusal.empty() ? "" : ("  (refused: " + refusal + ")").c_str());
    }
}

// The first name "stem (N).ext" from N = 2 on that neither stands in the folder nor was taken
// by the run: where a file of the run's own would otherwise be replaced.
std::string FreeName(int folderFd, const std::string& name, const std::set<std::string>& taken) {
    const size_t dot = name.rfind('.');
    const bool hasSuffix = dot != std::string::npos && dot > 0;
    const std::string stem = hasSuffix ? name.substr(0, dot) : name;
    const std::string suffix = hasSuffix ? name.substr(dot) : "";
    for (uint64_t number = 2;; ++number) {
        const std::string candidate = stem + " (" + std::to_string(number) + ")" + suffix;
        struct stat existing {};
        if (taken.count(candidate) == 0 &&
            fstatat(folderFd, candidate.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT) {
            return candidate;
        }
    }
}

// Writes one entry, its length bytes of data, into the folder; kNoErr, or kOtherErr after a
// report.
int32_t WriteEntry(int folderFd, const std::string& shownPath, const Entry& entry,
                   const unsigned char* data, const KeyFiles& keyFiles, bool force) {
    struct stat existing {};
    if (fstatat(folderFd, entry.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        const Descriptor existingFile(S_ISREG(existing.st_mode)
                                          ? openat(folderFd, entry.name.c_str(),
                                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                          : -1);
        if (existingFile.IsOpen() && keyFiles.Holds(existingFile.Get(), existing)) {
            return Fail(kOtherErr, shownPath,
                        "is a key file; no entry ever replaces one; entry not written");
        }
        if (!S_ISREG(existing.st_mode)) {
            return Fail(kOtherErr, shownPath,
                        "exists and is not a plain file (a link is never followed); entry not "
                        "written");
        }
        if (!force) {
            return Fail(kOtherErr, shownPath, "exists; entry not written (--force replaces it)");
        }
    }
    const mode_t mask = umask(0);
    umask(mask);
    // A link standing under the name is replaced as a link with --force, never followed.
    veldoran::TargetWriter file;
    file.InitCreate(nullptr);
    const bool written =
        file.OpenInFolder(folderFd, entry.name.c_str(), 0666 & ~mask,
                          force ? veldoran::TargetWriter::Naming::kReplace
                                : veldoran::TargetWriter::Naming::kNeverReplace) == kNoErr &&
        file.Write(data, static_cast<uint32_t>(entry.length)) == kNoErr && file.Commit() == kNoErr;
    if (written) {
        return kNoErr;
    }
    if (file.LastError() == EEXIST) {
        return Fail(kOtherErr, shownPath, "exists; entry not written (--force replaces it)");
    }
    return Fail(kOtherErr, shownPath, SystemError("cannot be written", file.LastError()));
}

// WriteEntry under the entry's name, or under a free one when the run wrote a file of that name
// already (runNames, null for none kept), with a line saying so.
int32_t WriteNamed(int folderFd, const std::string& prefix, const std::string& shownEntry,
                   Entry entry, const unsigned char* data, const KeyFiles& keyFiles, bool force,
                   WrittenNames* runNames) {
    if (runNames != nullptr && runNames->names.count(entry.name) != 0) {
        entry.name = FreeName(folderFd, entry.name, runNames->names);
        force = false;
        fprintf(stderr,
                "veldoran-tool: %s: a file of that name was written by this run; written as "
                "\"%s\"\n",
                shownEntry.c_str(), EscapeForTerminal(entry.name).c_str());
    }
    const int32_t result =
        WriteEntry(folderFd, prefix + EscapeForTerminal(entry.name), entry, data, keyFiles, force);
    if (result == kNoErr && runNames != nullptr) {
        runNames->names.insert(entry.name);
    }
    return result;
}

// Refused when the entries together would take more than a load of the library may hold: a
// few megabytes of compressed zeros can declare tens of gigabytes.
int32_t CheckTotal(TypPieceJointe* container, const std::string& shownInput) {
    int64_t total = 0;
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        total += EntryAt(container, index).length;
    }
    if (total > container->GetLoadBound()) {
        return Fail(kAttachmentToBig, shownInput,
                    "its entries together hold " + std::to_string(total) + " bytes, more than " +
                        std::to_string(container->GetLoadBound()) +
                        " an unpack writes; nothing written");
    }
    return kNoErr;
}

// The name an entry is reported under.
std::string ShownEntry(const std::string& shownInput, int32_t index, const Entry& entry) {
    return shownInput + ": entry " + std::to_string(index + 1) + " \"" +
           EscapeForTerminal(entry.name) + "\"";
}

// Writes every entry that may be written, one at a time: a stored entry straight from the
// block, a compressed one through one buffer the size of the largest (at most the largest
// entry a reader decompresses); kOtherErr when any was refused or failed.
int32_t Extract(TypPieceJointe* container, const ContainerInput& input,
                const UnpackOptions& options, WrittenNames* runNames) {
    const std::string folder = options.folder.empty() ? "." : options.folder;
    const Descriptor folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsOpen()) {
        return Fail(kOtherErr, folder, SystemError("cannot be opened as a folder", errno));
    }
    const std::string shownInput = DisplayName(options.input, false);
    const bool compressed = container->GetFormat() == kformatLZOcompresse;
    int32_t largest = 0;
    for (int32_t index = 0; compressed && index < container->GetNbFiles(); ++index) {
        const Entry entry = EntryAt(container, index);
        if (CheckEntryName(entry.name).empty() && entry.length > largest) {
            largest = entry.length;
        }
    }
    // It holds the entries decompressed: wiped when it goes back.
    veldoran::OwnedBlock buffer;
    if (buffer.AllocateUnfilled(static_cast<uint32_t>(largest) + 1) != kNoErr) {
        return Fail(kMemErr, shownInput, "out of memory");
    }
    const std::string prefix = folder == "." ? "" : KeyFolderPrefix(folder);
    const KeyFiles keyFiles(KeyFolderPrefix(options.common->keyFolder));
    std::set<std::string> written;
    int32_t result = kNoErr;
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        const Entry entry = EntryAt(container, index);
        const std::string shownEntry = ShownEntry(shownInput, index, entry);
        std::string refusal = CheckEntryName(entry.name);
        if (refusal.empty() && written.count(entry.name) != 0) {
            refusal = "a second entry of that name";
        }
        if (!refusal.empty()) {
            result = Fail(kOtherErr, shownEntry, "refused: " + refusal + "; not written");
            continue;
        }
        const unsigned char* data = buffer.data();
        int32_t produced = 0;
        const int32_t read =
            compressed
                ? container->ReadEntryN(input.Block(), input.Length(), index, buffer.data(),
                                        largest, &produced)
                : container->StoredEntryN(input.Block(), input.Length(), index, &data, &produced);
        if (read != kNoErr) {
            result = Fail(kOtherErr, shownEntry,
                          DescribeResult(read, Activity::kUnpack) + "; not written");
            continue;
        }
        if (WriteNamed(folderFd.Get(), prefix, shownEntry, entry, data, keyFiles,
                       options.common->force, runNames) != kNoErr) {
            result = kOtherErr;
            continue;
        }
        written.insert(entry.name);
    }
    return result;
}

int32_t RunUnpack(const UnpackOptions& options) {
    const ReadingScope reading(*options.common);
    ContainerHolder holder(kformatnoncompresse);
    ContainerInput input;
    const int32_t loaded = input.Load(options, &holder.container);
    if (loaded != kNoErr) {
        return loaded;
    }
    if (options.list) {
        List(&holder.container, stdout);
        return kNoErr;
    }
    const int32_t total = CheckTotal(&holder.container, DisplayName(options.input, false));
    if (total != kNoErr) {
        return total;
    }
    return Extract(&holder.container, input, options, nullptr);
}

}  // namespace

int32_t DecryptFrame(const std::string& input, const unsigned char* frame, size_t frameLength,
                     const std::string& keyPrefix, bool trace, Activity activity,
                     const std::string& notAFrame, unsigned char** data, uint32_t* length) {
    *data = nullptr;
    *length = 0;
    if (frameLength > static_cast<size_t>(INT32_MAX)) {
        return Fail(kFrameTooLong, input, DescribeResult(kFrameTooLong, activity));
    }
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + DisplayName(input, false), frameLength);
        TraceOnStandardError traceRedirect(trace);
        result = decrypterbinaireMem2(frame, static_cast<uint32_t>(frameLength), data, length,
                                      keyPrefix.c_str(), trace ? 1 : 0);
    }
    if (result == kNoErr) {
        WarnReadFindings(DisplayName(input, false));
        return kNoErr;
    }
    // A failed call hands back nothing; whatever it might leave goes back here.
    veldoran::OwnedBlock unused;
    unused.Adopt(data, length);
    if (!notAFrame.empty() && (result == kFrameTooShort || result == kBadKeyHeader)) {
        return Fail(result, input, notAFrame);
    }
    return FailFromReport(result, activity, {input, ""});
}

int32_t UnpackBlock(const std::string& shownInput, const unsigned char* data, size_t size,
                    const std::string& folder, const CommonOptions& common,
                    WrittenNames* runNames) {
    UnpackOptions options;
    options.common = &common;
    options.input = shownInput;
    options.folder = folder;
    ContainerHolder holder(kformatnoncompresse);
    ContainerInput input;
    const int32_t loaded = input.Take(shownInput, data, size, common, &holder.container);
    if (loaded != kNoErr) {
        return loaded;
    }
    const int32_t total = CheckTotal(&holder.container, shownInput);
    return total != kNoErr ? total : Extract(&holder.container, input, options, runNames);
}

int32_t WriteIntoFolder(const std::string& folder, const std::string& shownInput,
                        const std::string& name, const unsigned char* data, size_t size,
                        const CommonOptions& common, WrittenNames* runNames) {
    const std::string refusal = CheckEntryName(name);
    if (!refusal.empty()) {
        return Fail(kOtherErr, shownInput, "refused: " + refusal + "; not written");
    }
    if (size > static_cast<size_t>(INT32_MAX)) {
        return FailWithResult(kFrameTooLong, shownInput, Activity::kDecryptBinary);
    }
    const std::string shownFolder = folder.empty() ? "." : folder;
    const Descriptor folderFd(open(shownFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsOpen()) {
        return Fail(kOtherErr, shownFolder, SystemError("cannot be opened as a folder", errno));
    }
    Entry entry;
    entry.name = name;
    entry.length = static_cast<int32_t>(size);
    const std::string prefix = shownFolder == "." ? "" : KeyFolderPrefix(shownFolder);
    return WriteNamed(folderFd.Get(), prefix, shownInput, entry, data,
                      KeyFiles(KeyFolderPrefix(common.keyFolder)), common.force, runNames);
}

int32_t ListContainer(const std::string& shownInput, const unsigned char* data, size_t size,
                      FILE* out) {
    ContainerHolder holder(kformatnoncompresse);
    const int32_t loaded = size > static_cast<size_t>(INT32_MAX)
                               ? kFrameTooLong
                               : holder.container.LoadIndex(data, static_cast<int32_t>(size));
    if (loaded != kNoErr) {
        return FailWithResult(loaded, shownInput, Activity::kUnpack);
    }
    List(&holder.container, out);
    return kNoErr;
}

void AddUnpack(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<UnpackOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "unpack",
        "Write the files of an attachment container into a folder, or list them. FILE may be "
        "the container or the container encrypted (by pack --encrypt or encrypt-binary): it is "
        "then decrypted with the key files first. Entry names come from the sender: a name "
        "that is empty, absolute, holds a \"/\" or a control character, or is \".\" or "
        "\"..\", is refused and reported, and so is a name already written; a link standing "
        "in the folder is never followed, and an existing file is replaced only with --force. "
        "Every other entry is written; the exit status is 255 when any was refused or failed.");
    command->add_option("FILE", options->input, "the container; - or none: the standard input");
    command->add_option("-C,--directory", options->folder,
                        "the folder to write into (default: the current folder); it must exist");
    AddKeyFolderOption(command, common);
    command->add_flag("--list", options->list,
                      "only list the sender, the recipients and each entry's size and name");
    AddForceFlag(command, common, "replace existing plain files of the same names");
    RunsWith(command, run, [options]() { return RunUnpack(*options); });
}

}  // namespace tool
