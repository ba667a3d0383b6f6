// encrypt and decrypt: a text document to an armoured message and back, from files or the
// standard streams, through the library's in-memory text pipelines (nothing of the document
// is written anywhere but to the chosen output).
#include <string.h>

#include <cstdio>
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

const char kBlockStart[] = "#DESTBEGIN#";
const char kBlockEnd[] = "#DESTEND#";

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

// Prints the recipient lists of a message tail ("#DESTBEGIN#" to "," cc "," bcc "#DESTEND#"
// then the parameter text) on the standard error stream. The block does not escape commas
// inside the lists, so cc and bcc are taken as its last two comma-separated fields.
void PrintRecipients(const char* tail) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const uint32_t length = static_cast<uint32_t>(strlen(tail));
    const auto* bytes = reinterpret_cast<const unsigned char*>(tail);
    const int32_t start = utils.FindSubString(bytes, length, kBlockStart);
    const int32_t end = utils.FindSubString(bytes, length, kBlockEnd);
    if (start != 0 || end < static_cast<int32_t>(strlen(kBlockStart))) {
        fprintf(stderr, "recipients: none in this message\n");
        return;
    }
    const std::string lists(tail + strlen(kBlockStart), tail + end);
    const size_t lastComma = lists.rfind(',');
    const size_t middleComma = lastComma == std::string::npos || lastComma == 0
                                   ? std::string::npos
                                   : lists.rfind(',', lastComma - 1);
    if (middleComma == std::string::npos) {
        fprintf(stderr, "recipients: %s\n", lists.c_str());
    } else {
        fprintf(stderr, "to: %s\ncc: %s\nbcc: %s\n", lists.substr(0, middleComma).c_str(),
                lists.substr(middleComma + 1, lastComma - middleComma - 1).c_str(),
                lists.substr(lastComma + 1).c_str());
    }
    const char* parameters = tail + end + strlen(kBlockEnd);
    if (*parameters != '\0') {
        fprintf(stderr, "parameters: %s\n", parameters);
    }
}

// The output a text command writes, whole, to a file or the standard output.
int32_t WriteResult(const std::string& path, const std::string& keyPrefix, const char* text) {
    OutputFile output;
    int32_t result = output.Open(path, keyPrefix);
    if (result == kNoErr) {
        result = output.Write(reinterpret_cast<const unsigned char*>(text), strlen(text));
    }
    if (result == kNoErr) {
        result = output.Commit();
    }
    return result;
}

std::string OutputFor(const std::string& input, const std::string& output, const char* suffix) {
    if (!output.empty()) {
        return output;
    }
    return IsStandardStream(input) ? "-" : input + suffix;
}

}  // namespace

int32_t RunEncrypt(const EncryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = OutputFor(options.input, options.output, ".vlx");
    if (!IsStandardStream(options.input) && SameFile(options.input, output) && !options.force) {
        return Fail(kOtherErr, output, "is the document itself; give --force to replace it");
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
    // Opened before the keys are used, so that a target that cannot be written spends nothing.
    OutputFile target;
    result = target.Open(output, keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    char* message = nullptr;
    {
        Progress progress("encrypting " + shownInput, document.size());
        result = crypterMem3(document.c_str(), &message, options.user.c_str(), keyPrefix.c_str(),
                             options.to.c_str(), options.cc.c_str(), options.bcc.c_str(),
                             options.param.c_str());
    }
    if (result != kNoErr) {
        free(message);
        return FailWithResult(result, shownInput, Activity::kEncryptText);
    }
    result = target.Write(reinterpret_cast<const unsigned char*>(message), strlen(message));
    free(message);
    return result == kNoErr ? target.Commit() : result;
}

int32_t RunDecrypt(const DecryptOptions& options) {
    const std::string shownInput = DisplayName(options.input, false);
    const std::string output = OutputFor(options.input, options.output, ".txt");
    if (!IsStandardStream(options.input) && SameFile(options.input, output) && !options.force) {
        return Fail(kOtherErr, output, "is the message itself; give --force to replace it");
    }
    std::string text;
    int32_t result = ReadWholeInput(options.input, &text);
    if (result != kNoErr) {
        return result;
    }
    if (text.find('\0') != std::string::npos) {
        return Fail(kOtherErr, shownInput, "holds a NUL byte: not a mail text");
    }
    const std::string keyPrefix = KeyFolderPrefix(options.keyFolder);
    char* document = nullptr;
    char* tail = nullptr;
    {
        Progress progress("decrypting " + shownInput, text.size());
        result = decrypterMem3(text.c_str(), &document, keyPrefix.c_str(), &tail);
    }
    if (result == kNoErr) {
        if (options.recipients) {
            PrintRecipients(tail);
        }
        result = WriteResult(output, keyPrefix, document);
    } else if (result == KeyNotFoundErr || result == kOffsetOutOfRangeErr) {
        const std::string keyFile = KeyFileOfFailedLayer(keyPrefix, text);
        FailWithResult(result, keyFile.empty() ? shownInput : keyFile, Activity::kDecryptText);
    } else {
        FailWithResult(result, shownInput, Activity::kDecryptText);
    }
    free(document);
    free(tail);
    return result;
}

}  // namespace tool
