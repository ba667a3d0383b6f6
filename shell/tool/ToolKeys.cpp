// key new and key show: making a key file from the system's random source, and showing what a
// key file's header says. The header layout, its byte order and its rule are the library's
// (TypKeyHeader, veldoran::EncodeKeyHeader, ReadKeyHeader and IsKeyHeader).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/KeyFilePath.h"
#include "platform/OwnedBlock.h"
#include "platform/TargetWriter.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolKeyCheck.h"
#include "veldoran.h"

namespace tool {

namespace {

struct KeyNewOptions {
    const CommonOptions* common = nullptr;
    std::string name;
    int32_t year = 0;  // 0: the current year
    uint64_t size = 1u << 20;
};

constexpr size_t kMaterialChunk = 1u << 20;

// Fills buffer from the system's cryptographic random source; false when it fails.
bool FillRandom(unsigned char* buffer, size_t count) {
    while (count > 0) {
        const ssize_t got = getrandom(buffer, count, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        buffer += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

// Makes folder (mode 0700) when it is missing.
int32_t MakeFolder(const std::string& folder) {
    if (folder.empty() || mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
        return kNoErr;
    }
    return Fail(kOtherErr, folder, SystemError("folder cannot be made", errno));
}

// The header of a new key, in host order.
int32_t MakeHeader(const KeyNewOptions& options, int32_t year, TypKeyHeader* header) {
    *header = TypKeyHeader{};
    header->version = kVersion;
    header->year = year;
    unsigned char idBytes[kLenMaxID / 2] = {};
    if (!FillRandom(idBytes, sizeof idBytes)) {
        return Fail(kOtherErr, "", SystemError("the system's random source failed", errno));
    }
    static const char kHexDigits[] = "0123456789abcdef";
    for (size_t k = 0; k < sizeof idBytes; ++k) {
        header->id[2 * k] = static_cast<unsigned char>(kHexDigits[idBytes[k] >> 4]);
        header->id[2 * k + 1] = static_cast<unsigned char>(kHexDigits[idBytes[k] & 15]);
    }
    header->idLen = kLenMaxID;
    header->nameLen = static_cast<int32_t>(options.name.size());
    memcpy(header->name, options.name.data(), options.name.size());
    header->keyLen = static_cast<int32_t>(options.size);
    header->keyOffset = 0;
    header->useCount = 0;
    return kNoErr;
}

// Writes the header and size bytes of random material to key.
int32_t WriteKey(veldoran::TargetWriter* key, const TypKeyHeader& header, uint64_t size,
                 const std::string& shownAs) {
    unsigned char stored[kKeyHeaderSize];
    veldoran::EncodeKeyHeader(header, stored);
    if (key->Write(stored, sizeof stored) != kNoErr) {
        return Fail(kOtherErr, shownAs, SystemError("cannot be written", key->LastError()));
    }
    // Key material is secret: the block is wiped before it goes back.
    veldoran::OwnedBlock chunk;
    if (chunk.AllocateUnfilled(static_cast<uint32_t>(std::min<uint64_t>(size, kMaterialChunk))) !=
        kNoErr) {
        return Fail(kMemErr, shownAs, "out of memory");
    }
    int32_t result = kNoErr;
    for (uint64_t done = 0; done < size && result == kNoErr;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.length()));
        if (!FillRandom(chunk.data(), piece)) {
            result =
                Fail(kOtherErr, shownAs, SystemError("the system's random source failed", errno));
        } else if (key->Write(chunk.data(), static_cast<uint32_t>(piece)) != kNoErr) {
            result = Fail(kOtherErr, shownAs, SystemError("cannot be written", key->LastError()));
        }
        done += piece;
    }
    return result;
}

int32_t CurrentYear() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

// A header field of count bytes as it may be shown on a terminal.
std::string Printable(const unsigned char* bytes, int32_t count) {
    return EscapeForTerminal(std::string(bytes, bytes + count));
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file name the library derives from a header (version 1 only), or "" with why not.
std::string NamedFile(TypUtilsUnix* utils, const TypKeyHeader& header) {
    TypKeyHeader copy = header;  // GetKeyFileRef bounds the lengths in the record it is given
    std::unique_ptr<TypFileRef> reference(utils->GetKeyFileRef(&copy));
    auto* unixReference = dynamic_cast<TypFileRefUnix*>(reference.get());
    return unixReference == nullptr ? "" : BaseName(unixReference->path);
}

// Opens path for key show: a regular file of at least a key header, never waiting on a pipe.
// 0, or a code after a report that says what the file is instead.
int32_t OpenKeyFile(const std::string& path, Descriptor* file) {
    file->Reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file->IsOpen()) {
        return errno == ENOENT ? Fail(kFNFErr, path, "key file not found")
                               : Fail(kOtherErr, path, SystemError("cannot be read", errno));
    }
    struct stat status {};
    if (fstat(file->Get(), &status) != 0) {
        return Fail(kOtherErr, path, SystemError("cannot be read", errno));
    }
    if (S_ISDIR(status.st_mode)) {
        return Fail(kOtherErr, path, "is a folder, not a key file");
    }
    if (!S_ISREG(status.st_mode)) {
        return Fail(kOtherErr, path, "is not a regular file (a device, a pipe or a socket)");
    }
    if (status.st_size < static_cast<off_t>(kKeyHeaderSize)) {
        return Fail(kOtherErr, path, "not a key file: shorter than a key header");
    }
    return kNoErr;
}

int32_t ShowKey(const std::string& path) {
    if (path.size() > static_cast<size_t>(kMaxPathLength)) {
        return Fail(kOtherErr, path, "path longer than 255 characters");
    }
    Descriptor file;
    int32_t result = OpenKeyFile(path, &file);
    if (result != kNoErr) {
        return result;
    }
    TypKeyHeader header{};
    result = veldoran::ReadKeyHeader(path.c_str(), &header);
    // Random bytes or a file of zeros have a header's size too; the fields say what they are.
    if (result == kBadKeyHeader) {
        return Fail(kBadKeyHeader, path,
                    "not a key file of version 1: its header says version " +
                        std::to_string(header.version));
    }
    if (result != kNoErr) {
        return Fail(result, path, "cannot be read");
    }
    // A damaged position is shown below, with the rest of the header.
    if (veldoran::CheckKeyHeader(header) == veldoran::KeyHeaderFault::kLength) {
        return Fail(kOtherErr, path,
                    "not a key file: its header's name, id or key length is out of range");
    }
    const int32_t idLen = std::clamp<int32_t>(header.idLen, 0, kLenMaxID);
    const int32_t nameLen = std::clamp<int32_t>(header.nameLen, 0, kLenMaxName);
    printf("%s\n", path.c_str());
    printf("  version:            %d\n", header.version);
    printf("  year:               %d\n", header.year);
    printf("  id:                 %s\n", Printable(header.id, idLen).c_str());
    printf("  name:               %s\n", Printable(header.name, nameLen).c_str());
    printf("  key length:         %d bytes\n", header.keyLen);
    printf("  key offset:         %d\n", header.keyOffset);
    printf("  use count:          %d\n", header.useCount);
    if (veldoran::IsKeyHeader(header)) {
        printf("  left before wrap:   %d bytes\n", header.keyLen - header.keyOffset);
    } else {
        printf("  left before wrap:   none: the offset lies outside the key material\n");
    }
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const std::string named = NamedFile(&utils, header);
    if (named.empty()) {
        printf("  names its file:     no: the header names no file\n");
    } else if (named == BaseName(path)) {
        printf("  names its file:     yes\n");
    } else {
        printf("  names its file:     no: the header names %s\n", named.c_str());
    }
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && header.keyLen >= 1 &&
        status.st_size < static_cast<off_t>(kKeyHeaderSize) + header.keyLen) {
        printf("  material on disk:   %lld bytes: shorter than the key length\n",
               static_cast<long long>(status.st_size) - kKeyHeaderSize);
    }
    return kNoErr;
}

}  // namespace

std::string CheckKeyName(const std::string& name) {
    // The library's rule, the one decryption holds a frame's key name to.
    switch (
        veldoran::CheckKeyName(reinterpret_cast<const unsigned char*>(name.data()), name.size())) {
        case veldoran::KeyNameFault::kNone:
            return "";
        case veldoran::KeyNameFault::kLength:
            return "a key name has 1 to 40 bytes";
        case veldoran::KeyNameFault::kLeadingDot:
            return "a key name does not start with \".\"";
        case veldoran::KeyNameFault::kCharacter:
            return "a key name holds no \"/\" and no control character";
    }
    return "";
}

namespace {

int32_t RunKeyNew(const KeyNewOptions& options) {
    const int32_t year = options.year != 0 ? options.year : CurrentYear();
    char yearText[16] = {};
    TypUtilsUnix::FormatYearText(year - 1900, yearText);
    const std::string prefix = KeyFolderPrefix(options.common->keyFolder);
    const std::string folder = prefix + veldoran::kKeyFilesFolder;
    const std::string path = veldoran::KeyFilePathText(prefix, options.name, yearText);
    if (PathExists(path)) {
        return Fail(kOtherErr, path, "already exists; a key file is never replaced");
    }
    if (path.size() > static_cast<size_t>(kMaxPathLength)) {
        return Fail(kOtherErr, path, "path longer than 255 characters");
    }
    int32_t result = MakeFolder(prefix.empty() ? "" : prefix.substr(0, prefix.size() - 1));
    if (result != kNoErr) {
        return result;
    }
    result = MakeFolder(folder);
    if (result != kNoErr) {
        return result;
    }
    TypKeyHeader header{};
    result = MakeHeader(options, year, &header);
    if (result != kNoErr) {
        return result;
    }
    // The key is written unnamed and named only once whole and on stable storage; naming it
    // fails on an existing file, so none is ever replaced, and a killed run leaves nothing.
    const Descriptor folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsOpen()) {
        return Fail(kOtherErr, folder, SystemError("cannot be opened", errno));
    }
    const std::string fileName = BaseName(path);
    veldoran::TargetWriter key;
    key.InitCreate(nullptr);
    if (key.OpenInFolder(folderFd.Get(), fileName.c_str(), 0600,
                         veldoran::TargetWriter::Naming::kNeverReplace) != kNoErr) {
        return key.LastError() == EEXIST
                   ? Fail(kOtherErr, path, "already exists; a key file is never replaced")
                   : Fail(kOtherErr, folder,
                          SystemError("cannot make a file in this folder", key.LastError()));
    }
    result = WriteKey(&key, header, options.size, path);
    if (result != kNoErr) {
        return result;
    }
    if (key.Commit() != kNoErr) {
        return key.LastError() == EEXIST
                   ? Fail(kOtherErr, path, "already exists; a key file is never replaced")
                   : Fail(kOtherErr, path, SystemError("cannot be named", key.LastError()));
    }
    printf("%s\n", path.c_str());
    return kNoErr;
}

int32_t RunKeyShow(const std::vector<std::string>& files, const CommonOptions& common) {
    int32_t firstFailure = kNoErr;
    bool first = true;
    for (const std::string& path : files) {
        if (!first) {
            printf("\n");
        }
        first = false;
        int32_t result = ShowKey(path);
        if (result == kNoErr) {
            result = ShowJournalView(path, common);
        }
        if (firstFailure == kNoErr) {
            firstFailure = result;
        }
    }
    return firstFailure;
}

}  // namespace

void AddKey(CLI::App* app, CommonOptions* common, Work* run) {
    CLI::App* key = app->add_subcommand(
        "key", "Make key files, show what they hold, check them against the key journal.");
    key->require_subcommand(1);

    auto made = std::make_shared<KeyNewOptions>();
    made->common = common;
    CLI::App* make = key->add_subcommand(
        "new",
        "Make the key file KEYDIR/Clefs/NAME.<year text> (years since 1900: 126 for 2026) with "
        "key material from the system's random source. Mode 0600; an existing file is never "
        "replaced. NAME Master makes the year's master key. Prints the new file's path.");
    make->add_option("NAME", made->name, "the key's name: a user name, or Master")
        ->required()
        ->check(KeyNameCheck());
    make->add_option("--year", made->year, "full year the key is for (default: this year)")
        ->check(CLI::Range(kFirstKeyYear, kLastKeyYear));
    make->add_option("--size", made->size, "bytes of key material, K/M/G suffixes (default: 1M)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(uint64_t{1}, kLargestKeyMaterial));
    AddKeyFolderOption(make, common);
    RunsWith(make, run, [made]() { return RunKeyNew(*made); });

    auto shown = std::make_shared<std::vector<std::string>>();
    CLI::App* show = key->add_subcommand(
        "show",
        "Show every field of key file headers, whether each header names its own file, the key "
        "material left before the key wraps, and the use count.");
    show->add_option("KEYFILE", *shown, "key files")->required();
    RunsWith(show, run, [shown, common]() { return RunKeyShow(*shown, *common); });

    AddKeyCheck(key, common, run);
    AddKeyJournal(key, common, run);
}

}  // namespace tool
