// Result codes in words. One switch without a default names every code of the library, so a
// code added to the shared list cannot be forgotten here: the compiler's -Wswitch names it.
#include "shell/tool/ToolErrors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "veldoran.h"

namespace tool {

std::string DescribeResult(int32_t code, Activity activity) {
    const bool decrypting = activity == Activity::kDecryptText ||
                            activity == Activity::kDecryptBinary || activity == Activity::kUnpack;
    switch (static_cast<VeldoranResultCode>(code)) {
        case kNoErr:
            return "done";
        case kOtherErr:
            return decrypting ? "cannot be read, or the result cannot be written"
                              : "cannot be read or written (missing, no permission, or a path "
                                "longer than 255 characters)";
        case kFileClosed:
            return "file not open";
        case kCRCErr:
            return "checksum mismatch: the message was changed or cut in transit";
        case kFrameTooShort:
            if (activity == Activity::kDecryptText) {
                return "no encrypted message found: no complete #BINASCII1# armour in it";
            }
            if (activity == Activity::kUnpack) {
                return "attachment container cut short";
            }
            return "not an encrypted file: shorter than a key header";
        case KeyNotFoundErr:
            return "key file named by the message not found";
        case kBadKeyHeader:
            return decrypting ? "the message names a key header version this program does not know"
                              : "key file header is not of version 1";
        case kMemErr:
            return "out of memory";
        case kOffsetOutOfRangeErr:
            return decrypting ? "key position outside the key material: the key file is not the "
                                "one the message was made with, or it is damaged"
                              : "key file damaged: its position or length lies outside its key "
                                "material";
        case kFrameTooLong:
            return "too large: longer than the 32-bit lengths of frames and armour allow";
        case kAttachmentToBig:
            return "attachment too large";
        case kHdlNil:
            return "attachment container damaged: a length or file count out of range";
        case kEncapsulationFailed:
            return "encapsulation failed";
        case kErrFileCantBeCreated:
            return "file cannot be created";
        case kErrLZOCompress:
            return decrypting ? "compressed attachment damaged: it does not decompress"
                              : "attachment cannot be compressed";
        case kErrLZOInit:
            return "the LZO compression library cannot be initialised";
        case kFormatNonDisponible:
            if (activity == Activity::kEncryptText) {
                return "holds the recipient block's marker #DESTBEGIN#, which no message can "
                       "carry";
            }
            return "format not available";
        case kKeyRewound:
            return "key file behind the key journal: its key material was used before";
        case kJournalErr:
            return "the key journal cannot be read, trusted or written";
        case kFNFErr:
            return "key file not found";
    }
    return "failed with result code " + std::to_string(code);
}

int ExitStatus(int32_t code) {
    return static_cast<int>(static_cast<uint32_t>(code) & 0xffu);
}

std::string EscapeForTerminal(const std::string& text) {
    std::string shown;
    for (const char c : text) {
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

int32_t Fail(int32_t code, const std::string& file, const std::string& words) {
    if (file.empty()) {
        fprintf(stderr, "veldoran-tool: %s\n", words.c_str());
    } else {
        fprintf(stderr, "veldoran-tool: %s: %s\n", file.c_str(), words.c_str());
    }
    return code;
}

int32_t FailWithResult(int32_t code, const std::string& file, Activity activity) {
    return Fail(code, file, DescribeResult(code, activity));
}

void Warn(const std::string& file, const std::string& words) {
    fprintf(stderr, "veldoran-tool: warning: %s: %s\n", file.c_str(), words.c_str());
}

namespace {

// Whether path opens for reading as a regular file; never waits on a pipe.
bool ReadableFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    close(fd);
    return regular;
}

}  // namespace

PipelineFiles EncryptionFiles(const std::string& source, const std::string& target,
                              const std::string& keyPrefix, const std::string& user) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    char yearText[16] = {};
    utils.GetYearAsText(yearText);
    PipelineFiles files;
    files.source = source;
    files.target = target;
    for (const std::string& name : {std::string("Master"), user}) {
        files.keyFiles.push_back(keyPrefix + "Clefs/" + name + "." + yearText);
    }
    return files;
}

int32_t FailPipeline(int32_t code, const PipelineFiles& files, Activity activity) {
    const bool decrypting = activity == Activity::kDecryptText ||
                            activity == Activity::kDecryptBinary || activity == Activity::kUnpack;
    if (code == kFNFErr) {
        for (const std::string& key : files.keyFiles) {
            if (access(key.c_str(), F_OK) != 0) {
                return Fail(code, key, DescribeResult(code, activity));
            }
        }
    }
    if (code != kOtherErr) {
        return FailWithResult(code, DisplayName(files.source, false), activity);
    }
    for (const std::string* path : {&files.source, &files.target}) {
        if (path->size() > static_cast<size_t>(kMaxPathLength)) {
            return Fail(code, *path, "path longer than 255 characters");
        }
    }
    // Without a target the run worked in memory on a source it had already read.
    if (!files.target.empty() && !files.source.empty() && files.source != "-" &&
        !ReadableFile(files.source)) {
        return Fail(code, files.source, "cannot be read (missing, no permission, or not a file)");
    }
    for (const std::string& key : files.keyFiles) {
        if (!ReadableFile(key) || (!decrypting && access(key.c_str(), W_OK) != 0)) {
            return Fail(code, key,
                        decrypting ? "key file cannot be read"
                                   : "key file cannot be read or rewritten (it must be a "
                                     "regular file readable and writable by you)");
        }
    }
    if (files.target.empty()) {
        return FailWithResult(code, DisplayName(files.source, false), activity);
    }
    return Fail(code, DisplayName(files.target, true),
                "cannot be written (a full disk, the file-size limit, a read-only file system, "
                "or no permission)");
}

std::string DisplayName(const std::string& path, bool output) {
    if (path.empty() || path == "-") {
        return output ? "standard output" : "standard input";
    }
    return path;
}

}  // namespace tool
