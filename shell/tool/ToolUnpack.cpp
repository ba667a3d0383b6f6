// unpack: the files of an attachment container (plain, or encrypted by pack --encrypt or
// encrypt-binary) written into a folder, or listed. Entry names come from strangers' mail, so
// each must be one plain file name; nothing is written outside the folder, a link standing in
// it is never followed, and an existing file is replaced only when asked.
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "shell/tool/ToolCommands.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolFolderFile.h"
#include "shell/tool/ToolFrames.h"
#include "veldoran.h"

namespace tool {

namespace {

// A name as it may be shown on a terminal: control characters as \xNN.
std::string Printable(const std::string& name) {
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::iscntrl(byte) != 0 || c == '\\') {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

struct Entry {
    std::string name;
    const unsigned char* data = nullptr;
    int32_t length = 0;
};

Entry EntryAt(TypPieceJointe* container, int32_t index) {
    Entry entry;
    const char* name = nullptr;
    unsigned char* data = nullptr;
    if (container->GetNameN(index, &name, nullptr) == kNoErr) {
        entry.name = name;
    }
    if (container->GetDataN(index, &data, &entry.length) == kNoErr) {
        entry.data = data;
    }
    return entry;
}

// The container the input holds: the input itself, or what decrypting it gives.
int32_t LoadContainer(const UnpackOptions& options, ContainerHolder* holder) {
    WholeInput input;
    int32_t result = input.Read(options.input);
    if (result != kNoErr) {
        return result;
    }
    const std::string shownInput = DisplayName(options.input, false);
    if (input.Size() > static_cast<size_t>(INT32_MAX)) {
        return FailWithResult(kFrameTooLong, shownInput, Activity::kUnpack);
    }
    const unsigned char* block = input.Data();
    auto blockLength = static_cast<int32_t>(input.Size());
    unsigned char* decrypted = nullptr;
    uint32_t decryptedLength = 0;
    if (!holder->container.HoldsContainer(block, blockLength)) {
        result = DecryptFrame(
            shownInput, input.Data(), input.Size(), KeyFolderPrefix(options.keyFolder),
            options.trace, Activity::kDecryptBinary,
            "neither an attachment container nor an encrypted one", &decrypted, &decryptedLength);
        if (result != kNoErr) {
            return result;
        }
        block = decrypted;
        blockLength = static_cast<int32_t>(decryptedLength);
        if (!holder->container.HoldsContainer(block, blockLength)) {
            free(decrypted);
            return Fail(kNonVeldoranedAttachement, shownInput,
                        "decrypts to something that is not an attachment container");
        }
    }
    result = holder->container.LoadStruct(block, blockLength);
    free(decrypted);
    if (result != kNoErr) {
        return FailWithResult(result, shownInput, Activity::kUnpack);
    }
    return kNoErr;
}

void List(TypPieceJointe* container) {
    char sender[200] = {};
    container->GetExpediteur(sender);
    auto recipients = std::make_unique<char[]>(klenmaxdest);
    container->GetDestinataire(recipients.get());
    printf("from: %s\n", Printable(sender).c_str());
    printf("to: %s\n", Printable(recipients.get()).c_str());
    printf("compressed: %s\n", container->GetFormat() == kformatLZOcompresse ? "LZO1X-1" : "no");
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        const Entry entry = EntryAt(container, index);
        const std::string refusal = CheckEntryName(entry.name);
        printf("%12ld  %s%s\n", static_cast<long>(entry.length), Printable(entry.name).c_str(),
               refusal.empty() ? "" : ("  (refused: " + refusal + ")").c_str());
    }
}

// Writes one entry into the folder; kNoErr, or kOtherErr after a report.
int32_t WriteEntry(int folderFd, const std::string& shownPath, const Entry& entry,
                   const KeyFiles& keyFiles, bool force) {
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
    FolderFile file;
    int error = file.Open(folderFd, 0666 & ~mask);
    if (error == 0) {
        error = WriteAll(file.Descriptor(), entry.data, static_cast<size_t>(entry.length));
    }
    if (error == 0) {
        error = file.Place(entry.name, force);
    }
    if (error == EEXIST) {
        return Fail(kOtherErr, shownPath, "exists; entry not written (--force replaces it)");
    }
    if (error != 0) {
        return Fail(kOtherErr, shownPath, SystemError("cannot be written", error));
    }
    return kNoErr;
}

// Writes every entry that may be written; kOtherErr when any was refused or failed.
int32_t Extract(TypPieceJointe* container, const UnpackOptions& options) {
    const std::string folder = options.folder.empty() ? "." : options.folder;
    Descriptor folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsOpen()) {
        return Fail(kOtherErr, folder, SystemError("cannot be opened as a folder", errno));
    }
    const std::string shownInput = DisplayName(options.input, false);
    const std::string prefix = folder == "." ? "" : KeyFolderPrefix(folder);
    const KeyFiles keyFiles(KeyFolderPrefix(options.keyFolder));
    std::set<std::string> written;
    int32_t result = kNoErr;
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        const Entry entry = EntryAt(container, index);
        const std::string shownEntry = shownInput + ": entry " + std::to_string(index + 1) + " \"" +
                                       Printable(entry.name) + "\"";
        std::string refusal = CheckEntryName(entry.name);
        if (refusal.empty() && written.count(entry.name) != 0) {
            refusal = "a second entry of that name";
        }
        if (!refusal.empty()) {
            result = Fail(kOtherErr, shownEntry, "refused: " + refusal + "; not written");
            continue;
        }
        if (WriteEntry(folderFd.Get(), prefix + entry.name, entry, keyFiles, options.force) !=
            kNoErr) {
            result = kOtherErr;
            continue;
        }
        written.insert(entry.name);
    }
    // The new names are on stable storage only once the folder is.
    fsync(folderFd.Get());
    return result;
}

}  // namespace

int32_t RunUnpack(const UnpackOptions& options) {
    ContainerHolder holder(kformatnoncompresse);
    const int32_t loaded = LoadContainer(options, &holder);
    if (loaded != kNoErr) {
        return loaded;
    }
    if (options.list) {
        List(&holder.container);
        return kNoErr;
    }
    return Extract(&holder.container, options);
}

}  // namespace tool
