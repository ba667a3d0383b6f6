// The in-memory text pipelines. Encryption builds the message, refuses a document the format
// cannot carry whole, and obtains every block its output needs before the two key layers are
// applied, so that once key material is spent only copying is left. Decryption hands the
// decrypted block itself over as the document, cut with a NUL in front of its tail.
#include "pipelines/TextMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "armour/TypBinASCII.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/ReservingUtils.h"
#include "pipelines/TextMemoryCore.h"
#include "pipelines/TwoKeyDecryption.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

// The stored lengths are 32-bit and every length must stay below 2^31.
bool FitsLengths(uint64_t length) {
    return length <= static_cast<uint64_t>(INT32_MAX);
}

// The message: document, recipient block and parameter text, in interchange form. A document
// in which the recipient block's marker already stands is refused: decryption would cut it
// there. The check runs on the converted message, where decryption will look.
int32_t BuildMessage(TypUtilsUnix* utils, const char* document, const char* to, const char* cc,
                     const char* bcc, const char* param, OwnedBlock* message) {
    const size_t documentLength = strlen(document);
    if (!FitsLengths(documentLength)) {
        return kFrameTooLong;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(document);
    OwnedBlock withRecipients(utils);
    int32_t result =
        utils->AddDestToMessage(text, static_cast<uint32_t>(documentLength),
                                withRecipients.Pointer(), withRecipients.Length(), to, cc, bcc);
    if (result == kNoErr) {
        result = utils->AddParamToMessage(withRecipients.data(), withRecipients.length(),
                                          message->Pointer(), message->Length(), param);
    }
    withRecipients.Dispose();
    if (result == kNoErr) {
        utils->FiltrerTexte(message->Pointer(), message->Length());
        // The tail begins at the first marker; anywhere but at the end of the document means
        // the document holds one (or ends with the start of one).
        OwnedBlock tail(utils);
        result = utils->GetAllParamFromMessage(message->data(), message->length(), tail.Pointer(),
                                               tail.Length());
        if (result == kNoErr && message->length() - tail.length() != documentLength) {
            result = kFormatNonDisponible;
        }
    }
    if (result != kNoErr) {
        message->Dispose();
    }
    return result;
}

// The blocks obtained before any key is used.
struct OutputPlan {
    TypUtilsUnix* utils;
    veldoran::BlockReserve* reserve;
    uint32_t eolLength;
    OwnedBlock* output;
};

// Room for both comments at their longest, the empty line, the armour and the NUL; the armour's
// own block is set aside so that BinToASCII cannot fail once the keys are spent.
int32_t PrepareOutput(const OutputPlan& plan, uint32_t outerLength) {
    const uint64_t armourLength = veldoran::ArmouredLength(outerLength, plan.eolLength);
    const uint64_t capacity =
        2 * (veldoran::kKeyCommentSize - 1) + plan.eolLength + armourLength + 1;
    if (!FitsLengths(capacity)) {
        return kFrameTooLong;
    }
    *plan.output->Length() = static_cast<uint32_t>(capacity);
    *plan.output->Pointer() = plan.utils->MyNewPtr(static_cast<uint32_t>(capacity));
    if (plan.output->data() == nullptr) {
        *plan.output->Length() = 0;
        return kMemErr;
    }
    if (plan.reserve != nullptr &&
        plan.reserve->Reserve(static_cast<uint32_t>(armourLength)) != kNoErr) {
        return kMemErr;
    }
    return kNoErr;
}

// The message text into output (prepared by PrepareOutput): both comments, the empty line and
// the armour of the outer frame, then a NUL. Its length goes to *length.
int32_t Assemble(TypUtilsUnix* utils, TypBinASCII* binASCII, const unsigned char* outer,
                 uint32_t outerLength, const char* masterComment, const char* userComment,
                 const char* eol, OwnedBlock* output, size_t* length) {
    OwnedBlock armour(utils);
    const int32_t result =
        binASCII->BinToASCII(outer, outerLength, armour.Pointer(), armour.Length());
    if (result != kNoErr) {
        return result;
    }
    unsigned char* cursor = output->data();
    for (const char* piece : {masterComment, userComment, eol}) {
        const size_t pieceLength = strlen(piece);
        memcpy(cursor, piece, pieceLength);
        cursor += pieceLength;
    }
    memcpy(cursor, armour.data(), armour.length());
    cursor[armour.length()] = '\0';
    *length = static_cast<size_t>(cursor - output->data()) + armour.length();
    return kNoErr;
}

// With write set, the message is assembled and written before the keys are spent.
int32_t Encrypt(TypUtilsUnix* utils, veldoran::BlockReserve* reserve, const char* document,
                const char* user, const char* keyFolder, const char* to, const char* cc,
                const char* bcc, const char* param, const veldoran::MessageWriter* write,
                OwnedBlock* output) {
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
    // Made before the keys are used, like every other object the output needs.
    veldoran::Owned<TypBinASCII> binASCII;
    result = veldoran::Create(&binASCII, utils);
    if (result != kNoErr) {
        return result;
    }

    const OutputPlan plan = {utils, reserve, static_cast<uint32_t>(strlen(eol)), output};
    veldoran::FrameReady ready;
    if (write != nullptr) {
        ready = [&](const unsigned char* outer, uint32_t outerLength, const char* masterComment,
                    const char* userComment) {
            size_t length = 0;
            const int32_t assembled = Assemble(utils, binASCII.get(), outer, outerLength,
                                               masterComment, userComment, eol, output, &length);
            return assembled != kNoErr
                       ? assembled
                       : (*write)(reinterpret_cast<const char*>(output->data()), length);
        };
    }
    OwnedBlock outer(utils);
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    result = veldoran::EncryptWithBothKeys(
        utils, request, message.data(), message.length(),
        [&plan](uint32_t outerLength) { return PrepareOutput(plan, outerLength); }, outer.Pointer(),
        outer.Length(), masterComment, userComment, ready);
    message.Dispose();

    if (result == kNoErr && write == nullptr) {
        size_t length = 0;
        result = Assemble(utils, binASCII.get(), outer.data(), outer.length(), masterComment,
                          userComment, eol, output, &length);
    }
    return result;
}

}  // namespace

int32_t EncryptTextInMemory(TypUtilsUnix* utils, veldoran::BlockReserve* reserve,
                            const char* document, char** out, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            const char* param, const veldoran::MessageWriter* write) {
    *out = nullptr;
    OwnedBlock output(utils);
    const int32_t result =
        Encrypt(utils, reserve, document, user, keyFolder, to, cc, bcc, param, write, &output);
    if (reserve != nullptr) {
        reserve->ReleaseReserve();
    }
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
        documentText = utils->MyNewPtr(documentLength + 1);
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
        return kOtherErr;
    }
    if (document == nullptr || user == nullptr || keyFolder == nullptr || to == nullptr ||
        cc == nullptr || bcc == nullptr || param == nullptr) {
        *out = nullptr;
        return kOtherErr;
    }
    // Only the output's preparation can throw (memory short), before any key is used and
    // before *out is set.
    using Utils = veldoran::ReservingUtils<veldoran::PipelineUtils>;
    return veldoran::RunWithUtils<Utils>([&](Utils* utils) {
        return EncryptTextInMemory(utils, utils, document, out, user, keyFolder, to, cc, bcc,
                                   param);
    });
}

int32_t veldoran::EncryptTextToWriter(const char* document, const MessageWriter& write,
                                      const char* user, const char* keyFolder, const char* to,
                                      const char* cc, const char* bcc, const char* param) {
    if (document == nullptr || !write || user == nullptr || keyFolder == nullptr || to == nullptr ||
        cc == nullptr || bcc == nullptr || param == nullptr) {
        return kOtherErr;
    }
    char* none = nullptr;
    using Utils = veldoran::ReservingUtils<veldoran::PipelineUtils>;
    return veldoran::RunWithUtils<Utils>([&](Utils* utils) {
        return EncryptTextInMemory(utils, utils, document, &none, user, keyFolder, to, cc, bcc,
                                   param, &write);
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
        return kOtherErr;
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptTextInMemory(utils, message, document, keyFolder, tail);
    });
}

extern "C" int32_t decrypterMem2(const char* message, char** document, const char* keyFolder) {
    char* tail = nullptr;
    const int32_t result = decrypterMem3(message, document, keyFolder, &tail);
    if (tail != nullptr) {
        veldoran::Owned<TypUtilsUnix> utils;
        if (veldoran::Create(&utils, nullptr) == kNoErr) {
            auto* block = reinterpret_cast<unsigned char*>(tail);
            utils->MyDisposeptr(&block, static_cast<uint32_t>(strlen(tail)));
        } else {
            // The tail is a C heap block: it is released even without a utility object.
            free(tail);
        }
    }
    return result;
}

extern "C" int32_t decrypterMem(const char* message, char** document) {
    return decrypterMem2(message, document, "");
}
