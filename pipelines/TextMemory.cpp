// The in-memory text pipelines. Encryption builds the message, refuses a document the format
// cannot carry whole, and obtains every block its output needs before the two key layers are
// applied, so that once key material is spent only copying is left. Decryption hands the
// decrypted block itself over as the document, cut with a NUL in front of its tail.
#include "pipelines/TextMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "armour/ArmourEncoder.h"
#include "armour/TypBinASCII.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/TextMemoryCore.h"
#include "pipelines/TwoKeyDecryption.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/Lifetime.h"
#include "platform/OwnedBlock.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtilsUnix.h"
#include "platform/UnfilledBlock.h"

namespace {

using veldoran::OwnedBlock;

// The stored lengths are 32-bit and every length must stay below 2^31.
bool FitsLengths(uint64_t length) {
    return length <= static_cast<uint64_t>(INT32_MAX);
}

// The message: document, recipient block and parameter text, in interchange form, made in one
// block that is written whole, behind room for the two key headers so that the outer frame can
// be made over it in place. A document in which the recipient block's marker already stands
// is refused: decryption would cut it there. The check runs on the converted message, where
// decryption will look.
int32_t BuildMessage(TypUtilsUnix* utils, const char* document, const char* to, const char* cc,
                     const char* bcc, const char* param, OwnedBlock* message) {
    const size_t documentLength = strlen(document);
    if (!FitsLengths(documentLength)) {
        return kFrameTooLong;
    }
    // The recipient block and the parameter text as the utility object lays them out behind
    // an empty document: behind any other they are the same bytes.
    const unsigned char none = 0;
    OwnedBlock recipients(utils);
    OwnedBlock behind(utils);
    int32_t result =
        utils->AddDestToMessage(&none, 0, recipients.Pointer(), recipients.Length(), to, cc, bcc);
    if (result == kNoErr) {
        result = utils->AddParamToMessage(recipients.data(), recipients.length(), behind.Pointer(),
                                          behind.Length(), param);
    }
    recipients.Dispose();
    const uint64_t total = uint64_t{documentLength} + behind.length();
    if (result == kNoErr && total > UINT32_MAX - veldoran::TwoLayerOverhead()) {
        result = total > UINT32_MAX ? kMemErr : kFrameTooLong;
    }
    if (result == kNoErr) {
        result =
            message->AllocateUnfilled(static_cast<uint32_t>(total) + veldoran::TwoLayerOverhead());
    }
    if (result != kNoErr) {
        return result;
    }
    unsigned char* text = message->data() + veldoran::TwoLayerOverhead();
    memcpy(text, document, documentLength);
    memcpy(text + documentLength, behind.data(), behind.length());
    behind.Dispose();
    auto length = static_cast<uint32_t>(total);
    utils->FiltrerTexte(&text, &length);
    // The tail begins at the first marker; anywhere but at the end of the document means the
    // document holds one (or ends with the start of one).
    OwnedBlock tail(utils);
    result = utils->GetAllParamFromMessage(text, length, tail.Pointer(), tail.Length());
    if (result == kNoErr && length - tail.length() != documentLength) {
        result = kFormatNonDisponible;
    }
    if (result != kNoErr) {
        message->Dispose();
    }
    return result;
}

// Room for both comments at their longest, the empty line, the armour and the NUL, obtained
// before any key is used: the armour is then written straight into it, so that nothing is
// left to allocate once the keys are spent.
int32_t PrepareOutput(uint32_t eolLength, uint32_t outerLength, OwnedBlock* output) {
    const uint64_t armourLength = veldoran::ArmouredLength(outerLength, eolLength);
    const uint64_t capacity = 2 * (veldoran::kKeyCommentSize - 1) + eolLength + armourLength + 1;
    if (!FitsLengths(capacity)) {
        return kFrameTooLong;
    }
    return output->AllocateUnfilled(static_cast<uint32_t>(capacity));
}

// The message text into output (prepared by PrepareOutput): both comments, the empty line and
// the armour of the outer frame, then a NUL. Its length goes to *length.
void Assemble(TypUtilsUnix* utils, const unsigned char* outer, uint32_t outerLength,
              const char* masterComment, const char* userComment, const char* eol,
              OwnedBlock* output, size_t* length) {
    unsigned char* cursor = output->data();
    for (const char* piece : {masterComment, userComment, eol}) {
        const size_t pieceLength = strlen(piece);
        memcpy(cursor, piece, pieceLength);
        cursor += pieceLength;
    }
    veldoran::ArmourEncoder encoder(utils, eol);
    cursor += encoder.Begin(outerLength, cursor);
    cursor += encoder.Put(outer, outerLength, cursor);
    cursor += encoder.Finish(cursor);
    *cursor = '\0';
    *length = static_cast<size_t>(cursor - output->data());
}

// With write set, the message is assembled and written before the keys are spent.
int32_t Encrypt(TypUtilsUnix* utils, const char* document, const char* user, const char* keyFolder,
                const char* to, const char* cc, const char* bcc, const char* param,
                const veldoran::MessageWriter* write, OwnedBlock* output) {
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    const char* eol = utils->GetEOLCar();
    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder;
    request.user = user;
    request.yearText = yearText;
    if (!veldoran::KeyPathsFit(request)) {
        return kOtherErr;
    }

    OwnedBlock message(utils);
    int32_t result = BuildMessage(utils, document, to, cc, bcc, param, &message);
    if (result != kNoErr) {
        return result;
    }

    const auto eolLength = static_cast<uint32_t>(strlen(eol));
    veldoran::FrameReady ready;
    if (write != nullptr) {
        ready = [&](const unsigned char* outer, uint32_t outerLength, const char* masterComment,
                    const char* userComment) {
            size_t length = 0;
            Assemble(utils, outer, outerLength, masterComment, userComment, eol, output, &length);
            return (*write)(reinterpret_cast<const char*>(output->data()), length);
        };
    }
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    result = veldoran::EncryptInPlace(
        utils, request, &message, masterComment, userComment,
        [&](uint32_t outerLength) { return PrepareOutput(eolLength, outerLength, output); }, ready);
    if (result == kNoErr && write == nullptr) {
        size_t length = 0;
        Assemble(utils, message.data(), message.length(), masterComment, userComment, eol, output,
                 &length);
    }
    return result;
}

}  // namespace

int32_t EncryptTextInMemory(TypUtilsUnix* utils, const char* document, char** out, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            const char* param, const veldoran::MessageWriter* write) {
    *out = nullptr;
    OwnedBlock output(utils);
    const int32_t result =
        Encrypt(utils, document, user, keyFolder, to, cc, bcc, param, write, &output);
    if (result == kNoErr && write == nullptr) {
        *out = reinterpret_cast<char*>(output.Release());
    }
    return result;
}

int32_t DecryptTextInMemory(TypUtilsUnix* utils, const char* message, char** document,
                            const char* keyFolder, char** tail) {
    *document = nullptr;
    *tail = nullptr;
    utils->InitCreate(nullptr);
    if (utils->SetKeyFolderPath(keyFolder) != kNoErr) {
        return kOtherErr;
    }
    const size_t messageLength = strlen(message);
    if (messageLength > UINT32_MAX) {
        return kFrameTooLong;
    }

    OwnedBlock decrypted(utils);
    int32_t result = veldoran::DecryptArmouredMessage(
        utils, reinterpret_cast<const unsigned char*>(message),
        static_cast<uint32_t>(messageLength), nullptr, 0, &decrypted);
    uint32_t documentLength = 0;
    if (result == kNoErr) {
        result = veldoran::ToLocalDocument(utils, &decrypted, &documentLength);
    }
    if (result != kNoErr) {
        return result;
    }

    // The tail first: the document's NUL goes where the tail begins.
    const uint32_t tailLength = decrypted.length() - documentLength;
    unsigned char* tailText = utils->MyNewPtr(tailLength + 1);
    if (tailText == nullptr) {
        result = kMemErr;
    } else {
        utils->MyBlockMove(decrypted.data() + documentLength, tailText, tailLength);
        tailText[tailLength] = '\0';
        *tail = reinterpret_cast<char*>(tailText);
    }

    unsigned char* documentText = nullptr;
    if (tailLength > 0) {
        decrypted.data()[documentLength] = '\0';
        documentText = decrypted.Release();
    } else {
        // No tail to put the NUL over: a block one byte longer.
        documentText = veldoran::NewUnfilledBlock(utils, documentLength + 1);
        if (documentText == nullptr) {
            return kMemErr;
        }
        utils->MyBlockMove(decrypted.data(), documentText, documentLength);
        documentText[documentLength] = '\0';
    }
    *document = reinterpret_cast<char*>(documentText);
    return result;
}

extern "C" int32_t crypterMem3(const char* document, char** out, const char* user,
                               const char* keyFolder, const char* to, const char* cc,
                               const char* bcc, const char* param) {
    if (out == nullptr) {
        return veldoran::RefuseCall();
    }
    if (document == nullptr || user == nullptr || keyFolder == nullptr || to == nullptr ||
        cc == nullptr || bcc == nullptr || param == nullptr) {
        *out = nullptr;
        return veldoran::RefuseCall();
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptTextInMemory(utils, document, out, user, keyFolder, to, cc, bcc, param);
    });
}

int32_t veldoran::EncryptTextToWriter(const char* document, const MessageWriter& write,
                                      const char* user, const char* keyFolder, const char* to,
                                      const char* cc, const char* bcc, const char* param) {
    if (document == nullptr || !write || user == nullptr || keyFolder == nullptr || to == nullptr ||
        cc == nullptr || bcc == nullptr || param == nullptr) {
        return RefuseCall();
    }
    char* none = nullptr;
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptTextInMemory(utils, document, &none, user, keyFolder, to, cc, bcc, param,
                                   &write);
    });
}

extern "C" int32_t crypterMem2(const char* document, char** out, const char* user,
                               const char* keyFolder, const char* to, const char* cc,
                               const char* bcc) {
    return crypterMem3(document, out, user, keyFolder, to, cc, bcc, "");
}

extern "C" int32_t crypterMem(const char* document, char** out, const char* user, const char* to,
                              const char* cc, const char* bcc) {
    return crypterMem2(document, out, user, "", to, cc, bcc);
}

extern "C" int32_t decrypterMem3(const char* message, char** document, const char* keyFolder,
                                 char** tail) {
    if (document != nullptr) {
        *document = nullptr;
    }
    if (tail != nullptr) {
        *tail = nullptr;
    }
    if (message == nullptr || document == nullptr || keyFolder == nullptr || tail == nullptr) {
        return veldoran::RefuseCall();
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptTextInMemory(utils, message, document, keyFolder, tail);
    });
}

extern "C" int32_t decrypterMem2(const char* message, char** document, const char* keyFolder) {
    char* tail = nullptr;
    const int32_t result = decrypterMem3(message, document, keyFolder, &tail);
    // The tail is a C heap block, as every text handed to a caller is.
    OwnedBlock unwanted;
    unwanted.AdoptText(&tail);
    return result;
}

extern "C" int32_t decrypterMem(const char* message, char** document) {
    return decrypterMem2(message, document, "");
}
