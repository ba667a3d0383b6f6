// encrypt-binary and decrypt-binary: any file under the two key layers, as a raw frame, and
// back, through the library's binary pipelines.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "shell/tool/ToolCommands.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolFrames.h"
#include "shell/tool/ToolKeyReuse.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

// The name decrypterbinaire writes to: the source less its last four characters (".vlb"),
// or the source itself when it is not longer than that.
std::string DecryptedName(const std::string& source) {
    constexpr size_t kSuffixLength = 4;
    return source.size() > kSuffixLength ? source.substr(0, source.size() - kSuffixLength) : source;
}

bool TargetIsSource(const std::string& source, const std::string& target) {
    return source == target || SameFile(source, target);
}

}  // namespace

int32_t RunEncryptBinary(const BinaryOptions& options) {
    struct stat status {};
    if (stat(options.input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return Fail(kOtherErr, options.input, "not found, or not a file");
    }
    const std::string target = options.output.empty() ? options.input + ".vlb" : options.output;
    if (TargetIsSource(options.input, target) && !options.force) {
        return Fail(kOtherErr, target, "is the file itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.keyFolder);
    if (RefuseKeyFile(target, keyPrefix) != kNoErr) {
        return kOtherErr;
    }
    const KeyReuseCheck reuse(options.noReuse);
    int32_t result = kNoErr;
    {
        Progress progress("encrypting " + options.input, static_cast<uint64_t>(status.st_size));
        TraceOnStandardError traceRedirect(options.trace);
        result = options.output.empty()
                     ? crypterbinaire(options.input.c_str(), options.user.c_str(),
                                      keyPrefix.c_str(), options.trace)
                     : crypterbinaire2(options.input.c_str(), target.c_str(), options.user.c_str(),
                                       keyPrefix.c_str(), options.trace);
    }
    if (result != kNoErr) {
        return FailEncryption(result,
                              EncryptionFiles(options.input, target, keyPrefix, options.user),
                              Activity::kEncryptBinary);
    }
    return kNoErr;
}

namespace {

// Decrypts a file into its derived name through the library's streaming pipeline: memory stays
// small at any size and progress counts bytes.
int32_t DecryptBinaryToDerivedName(const BinaryOptions& options, const std::string& target,
                                   const std::string& keyPrefix) {
    if (RefuseKeyFile(target, keyPrefix) != kNoErr) {
        return kOtherErr;
    }
    struct stat status {};
    const uint64_t size =
        stat(options.input.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + options.input, size);
        TraceOnStandardError traceRedirect(options.trace);
        result = decrypterbinaire(options.input.c_str(), keyPrefix.c_str(), options.trace);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    if (result == KeyNotFoundErr || result == kOffsetOutOfRangeErr) {
        // Only to name the key file: the two frame headers at the start say which one it is.
        const std::string keyFile = KeyFileOfFailedFrameFile(keyPrefix, options.input);
        if (!keyFile.empty()) {
            return FailWithResult(result, EscapeForTerminal(keyFile), Activity::kDecryptBinary);
        }
    }
    PipelineFiles files;
    files.source = options.input;
    files.target = target;
    return FailPipeline(result, files, Activity::kDecryptBinary);
}

// Decrypts any input in memory and writes the result to target.
int32_t DecryptBinaryInMemory(const BinaryOptions& options, const std::string& target,
                              const std::string& keyPrefix) {
    WholeInput frame;
    int32_t result = frame.Read(options.input);
    if (result != kNoErr) {
        return result;
    }
    unsigned char* data = nullptr;
    uint32_t dataLength = 0;
    result = DecryptFrame(options.input, frame.Data(), frame.Size(), keyPrefix, options.trace,
                          Activity::kDecryptBinary, "", &data, &dataLength);
    if (result != kNoErr) {
        return result;
    }
    OutputFile output;
    result = output.Open(target, keyPrefix);
    if (result == kNoErr) {
        result = output.Write(data, dataLength);
    }
    if (result == kNoErr) {
        result = output.Commit();
    }
    free(data);
    return result;
}

}  // namespace

int32_t RunDecryptBinary(const BinaryOptions& options) {
    const std::string target =
        options.output.empty() ? DecryptedName(options.input) : options.output;
    if (TargetIsSource(options.input, target) && !options.force) {
        return Fail(kOtherErr, target, "is the file itself; give --force to replace it");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.keyFolder);
    if (options.output.empty() && !IsStandardStream(options.input)) {
        return DecryptBinaryToDerivedName(options, target, keyPrefix);
    }
    return DecryptBinaryInMemory(options, target, keyPrefix);
}

}  // namespace tool
