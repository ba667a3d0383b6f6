// encrypt and decrypt: a text document to an armoured message and back, from files or the
// standard streams, through the library's text pipelines.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "shell/tool/ToolCommands.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolKeyReuse.h"
#include "shell/tool/ToolProgress.h"
#include "veldoran.h"

namespace tool {

namespace {

// Mail clients hand bodies over with CR LF line ends; the text pipeline would turn each into
// two line ends, so they are taken as LF.
void TakeCrLfAsLf(std::string* text) {
    size_t kept = 0;
    for (size_t k = 0; k < text->size(); ++k) {
        if ((*text)[k] == '\r' && k + 1 < text->size() && (*text)[k + 1] == '\n') {
            continue;
        }
        (*text)[kept++] = (*text)[k];
    }
    text->resize(kept);
}

// Bytes the library's recipient block adds for these recipient texts.
uint64_t RecipientBlockLength(const EncryptOptions& options) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const unsigned char nothing = 0;
    unsigned char* block = nullptr;
    uint32_t blockLength = 0;
    utils.AddDestToMessage(&nothing, 0, &block, &blockLength, options.to.c_str(),
                           options.cc.c_str(), options.bcc.c_str());
    utils.MyDisposeptr(&block, blockLength);
    return blockLength;
}

// A private folder for the few files the text pipelines work through, removed with them.
class PrivateFolder {
  public:
    PrivateFolder() {
        std::error_code ignored;
        std::string pattern =
            (std::filesystem::temp_directory_path(ignored) / "veldoran-tool-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern + "/";
        }
    }
    ~PrivateFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    bool Made() const { return !path_.empty(); }
    std::string File(const char* name) const { return path_ + name; }

  private:
    std::string path_;
};

int32_t WriteWhole(const std::string& path, const std::string& content) {
    FILE* stream = fopen(path.c_str(), "wb");
    if (stream == nullptr) {
        return kOtherErr;
    }
    const bool written = fwrite(content.data(), 1, content.size(), stream) == content.size();
    return fclose(stream) == 0 && written ? kNoErr : kOtherErr;
}

// The message text for a document, through the file pipeline in a private folder.
int32_t EncryptDocument(const std::string& document, const EncryptOptions& options,
                        const std::string& keyPrefix, std::string* message) {
    PrivateFolder folder;
    if (!folder.Made()) {
        return Fail(kOtherErr, "", "no private temporary folder can be made");
    }
    const std::string source = folder.File("document");
    const std::string target = folder.File("message");
    if (WriteWhole(source, document) != kNoErr) {
        return Fail(kOtherErr, source, "cannot be written");
    }
    int32_t result = kNoErr;
    {
        TraceOnStandardError traceRedirect(options.trace);
        result =
            crypter3(source.c_str(), target.c_str(), options.user.c_str(), keyPrefix.c_str(),
                     options.to.c_str(), options.cc.c_str(), options.bcc.c_str(), options.trace);
    }
    if (result != kNoErr) {
        return FailWithResult(result, DisplayName(options.input, false), Activity::kEncryptText);
    }
    return ReadWholeInput(target, message);
}

}  // namespace

int32_t RunEncrypt(const EncryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = !options.output.empty()           ? options.output
                               : IsStandardStream(options.input) ? "-"
                                                                 : options.input + ".vlx";
    if (!IsStandardStream(options.input) && SameFile(options.input, output) && !options.force) {
        return Fail(kOtherErr, output, "is the document itself; give --force to replace it");
    }
    if (!options.param.empty()) {
        return Fail(kOtherErr, "", "--param needs the in-memory text pipeline");
    }
    std::string document;
    int32_t result = ReadWholeInput(options.input, &document);
    if (result != kNoErr) {
        return result;
    }
    if (document.find('\0') != std::string::npos) {
        return Fail(kOtherErr, shownInput,
                    "holds a NUL byte: not a text document (encrypt-binary takes any file)");
    }
    TakeCrLfAsLf(&document);
    const std::string keyPrefix = KeyFolderPrefix(options.keyFolder);
    const uint64_t messageLength =
        document.size() + RecipientBlockLength(options) + options.param.size();
    result = CheckKeyReuse(keyPrefix, options.user, messageLength, options.noReuse);
    if (result != kNoErr) {
        return result;
    }
    OutputFile target;
    result = target.Open(output);
    if (result != kNoErr) {
        return result;
    }
    std::string message;
    {
        Progress progress("encrypting " + shownInput, document.size());
        result = EncryptDocument(document, options, keyPrefix, &message);
    }
    if (result == kNoErr) {
        result = target.Write(message);
    }
    if (result == kNoErr) {
        result = target.Commit();
    }
    return result;
}

}  // namespace tool
