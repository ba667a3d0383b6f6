// Result codes in words. One switch without a default names every code of the library, so a
// code added to the shared list cannot be forgotten here: the compiler's -Wswitch names it.
#include "shell/tool/ToolErrors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell/tool/ToolControls.h"
#include "shell/tool/ToolJournal.h"
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
                return std::string("no encrypted message found: no complete ") +
                       veldoran::armour::kStartMarker + " armour in it";
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
                return std::string("holds the recipient block's marker ") +
                       veldoran::kRecipientBlockStart +
                       ", which no message can "
                       "carry";
            }
            return "format not available";
        case kKeyRewound:
            return "key file behind the key journal: its key material was used before";
        case kJournalErr:
            return "the key journal cannot be read, trusted or written";
        case kKeyUseRefused:
            return "refused by the key use check: nothing encrypted";
        case kFNFErr:
            return "key file not found";
    }
    return "failed with result code " + std::to_string(code);
}

int ExitStatus(int32_t code) {
    return static_cast<int>(static_cast<uint32_t>(code) & 0xffu);
}

std::string EscapeForTerminal(const std::string& text) {
    const TerminalControls& controls = LocaleControls();
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t length = controls.At(data + i, text.size() - i);
        if (length == TerminalControls::kCut) {
            length = 0;  // a lead byte at the very end is no character at all
        }
        if (length == 0 && data[i] == '\\') {
            length = 1;
        }
        if (length == 0) {
            shown += text[i];
            continue;
        }
        for (size_t k = 0; k < length; ++k) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", data[i + k]);
            shown += escaped;
        }
        i += length - 1;
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

// A failure's words with the system's own words behind them where a system call failed, else
// without them.
std::string WithSystemWords(const std::string& words, int systemError,
                            const std::string& withoutError) {
    return systemError != 0 ? words + ": " + strerror(systemError) : withoutError;
}

// The name the failing file is reported under.
std::string FailedFileName(const VeldoranFailure& failure, const ShownFiles& shown) {
    const std::string path = failure.path;
    switch (static_cast<VeldoranFailureRole>(failure.role)) {
        case kVeldoranRoleSource:
        case kVeldoranRoleNone:
            return !shown.source.empty() || path.empty() ? DisplayName(shown.source, false) : path;
        case kVeldoranRoleTarget:
            return !shown.target.empty() ? DisplayName(shown.target, true)
                                         : DisplayName(path, true);
        case kVeldoranRoleFrameKey:
            // A name from the message's own frame header.
            return path.empty() ? DisplayName(shown.source, false) : EscapeForTerminal(path);
        case kVeldoranRoleMasterKey:
        case kVeldoranRoleUserKey:
        case kVeldoranRoleJournal:
        case kVeldoranRoleContainerEntry:
            return path;
    }
    return path;
}

// The words for a failure of the file itself (-1): what could not be done to it.
std::string FileFailureWords(const VeldoranFailure& failure, Activity activity) {
    const int error = failure.systemError;
    if (error == ENAMETOOLONG) {
        return "path longer than 255 characters";
    }
    switch (static_cast<VeldoranFailureRole>(failure.role)) {
        case kVeldoranRoleSource:
            return WithSystemWords("cannot be read", error,
                                   "cannot be read (missing, no permission, or not a file)");
        case kVeldoranRoleTarget:
            if (failure.step == kVeldoranStepCheck && error == 0) {
                return "is a key file of this run; writing it would destroy the key";
            }
            return WithSystemWords("cannot be written", error,
                                   "cannot be written (a full disk, the file-size limit, a "
                                   "read-only file system, or no permission)");
        case kVeldoranRoleMasterKey:
        case kVeldoranRoleUserKey:
            return WithSystemWords("key file cannot be read or rewritten", error,
                                   "key file cannot be read or rewritten (it must be a regular "
                                   "file readable and writable by you)");
        case kVeldoranRoleFrameKey:
            return WithSystemWords("key file cannot be read", error, "key file cannot be read");
        case kVeldoranRoleJournal:
        case kVeldoranRoleContainerEntry:
        case kVeldoranRoleNone:
            break;
    }
    return DescribeResult(kOtherErr, activity);
}

// The words for code: a file's failure (-1), a key file missing or unreadable (-43, -5), or the
// code's own words.
std::string FailureWords(int32_t code, const VeldoranFailure& failure, Activity activity) {
    const int error = failure.systemError;
    const bool noFile = error == 0 || error == ENOENT;
    if (code == kOtherErr) {
        return FileFailureWords(failure, activity);
    }
    if (code == kFNFErr && !noFile) {
        return WithSystemWords("key file cannot be read", error, "");
    }
    if (code == KeyNotFoundErr && failure.role == kVeldoranRoleFrameKey) {
        if (!noFile) {
            return WithSystemWords("key file named by the message cannot be read", error, "");
        }
        if (error == 0 && failure.step == kVeldoranStepCheck && failure.path[0] != '\0') {
            return "key file named by the message holds another key";
        }
    }
    return DescribeResult(code, activity);
}

}  // namespace

int32_t FailFromReport(int32_t code, Activity activity, const ShownFiles& shown) {
    if (code == kKeyUseRefused) {
        return kReuseRefused;
    }
    if (code == kKeyRewound || code == kJournalErr) {
        return FailJournal(code);
    }
    VeldoranFailure failure{};
    if (veldoranLastFailure(&failure) != code) {
        // Not the library's run that failed: nothing is known beyond the code.
        failure = VeldoranFailure{};
        failure.code = code;
    }
    return Fail(code, FailedFileName(failure, shown), FailureWords(code, failure, activity));
}

std::string DisplayName(const std::string& path, bool output) {
    if (path.empty() || path == "-") {
        return output ? "standard output" : "standard input";
    }
    return path;
}

}  // namespace tool
