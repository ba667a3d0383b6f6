// Result codes in words. One switch without a default names every code of the library, so a
// code added to the shared list cannot be forgotten here: the compiler's -Wswitch names it.
#include "shell/tool/ToolErrors.h"

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
        case kFNFErr:
            return "key file not found";
    }
    return "failed with result code " + std::to_string(code);
}

int ExitStatus(int32_t code) {
    return static_cast<int>(static_cast<uint32_t>(code) & 0xffu);
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

std::string DisplayName(const std::string& path, bool output) {
    if (path.empty() || path == "-") {
        return output ? "standard output" : "standard input";
    }
    return path;
}

}  // namespace tool
