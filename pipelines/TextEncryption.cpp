// The text encryption pipeline: source, interchange form and recipient block, both key
// layers, armour, target. Each stage runs only when every earlier one succeeded; the first
// failure's code is the result and every entered stage still cleans up. The target and every
// block the run needs are obtained before the key files are rewritten, so that a run that
// fails spends no key material.
#include "pipelines/TextEncryption.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "armour/TypBinASCII.h"
#include "pipelines/TextEncryptionCore.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TypPipelineUtils.h"
#include "pipelines/TypTargetWriter.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

constexpr size_t kCommentSize = veldoran::kKeyCommentSize;
constexpr uint32_t kReadChunk = 4u << 20;
// The marker that opens the recipient block. Decryption cuts the document at its first
// occurrence, so a document that holds it cannot travel intact.
constexpr char kRecipientMarker[] = "#DESTBEGIN#";

// A block from the utility object, given back when it is replaced or goes out of scope.
class OwnedBlock {
  public:
    explicit OwnedBlock(TypUtils* utils) : utils_(utils) {}
    ~OwnedBlock() { Dispose(); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    unsigned char** Pointer() { return &data_; }
    // Hands the block over to whoever takes the pointer; this object owns nothing afterwards.
    unsigned char* Release() {
        unsigned char* data = data_;
        data_ = nullptr;
        length_ = 0;
        return data;
    }
    uint32_t* Length() { return &length_; }
    unsigned char* data() const { return data_; }
    uint32_t length() const { return length_; }

    void Dispose() {
        if (data_ != nullptr) {
            utils_->MyDisposeptr(&data_, length_);
        }
        data_ = nullptr;
        length_ = 0;
    }

  private:
    TypUtils* utils_;
    unsigned char* data_ = nullptr;
    uint32_t length_ = 0;
};

// The armour's length for an outer frame of outerLength bytes: marker lines, the two number
// fields and four characters per three bytes, in lines of 60.
uint64_t ArmouredLength(uint64_t outerLength, uint64_t eolLength) {
    const uint64_t encoded = 16 + 4 * ((outerLength + 2) / 3);
    return 11 + 14 + 3 * eolLength + encoded + eolLength * ((encoded - 1) / 60);
}

// At least the length of the target for an outer frame of outerLength bytes: both comments at
// their longest, the empty line and the armour.
uint64_t TargetLengthBound(uint64_t outerLength, uint64_t eolLength) {
    return 2 * veldoran::kKeyCommentMaxLength + eolLength + ArmouredLength(outerLength, eolLength);
}

// The message is the source followed by the recipient block.
uint64_t MessageLength(uint64_t sourceLength, uint64_t recipientsLength) {
    return sourceLength + 11 + recipientsLength + 2 + 9;
}

// The stored lengths are 32-bit and every length must stay below 2^31.
bool FitsLengths(uint64_t length) {
    return length <= static_cast<uint64_t>(INT32_MAX);
}

// Writes the recipient block (the library's own layout of it, for an empty document) behind
// the textLength bytes of the message block, which was made to hold exactly both.
int32_t AppendRecipientBlock(TypUtils* utils, OwnedBlock* message, uint32_t textLength,
                             const char* to, const char* cc, const char* bcc) {
    OwnedBlock block(utils);
    const int32_t result =
        utils->AddDestToMessage(message->data(), 0, block.Pointer(), block.Length(), to, cc, bcc);
    if (result != kNoErr) {
        return result;
    }
    if (uint64_t{textLength} + block.length() != message->length()) {
        return kOtherErr;
    }
    utils->MyBlockMove(block.data(), message->data() + textLength, block.length());
    return kNoErr;
}

// Source stage: reads the source whole, converts it to the interchange form and appends the
// recipient block. The message is handed over in message.
int32_t ReadSource(TypUtilsUnix* utils, TypFileRefUnix* sourceRef, const char* to, const char* cc,
                   const char* bcc, int32_t trace, OwnedBlock* message) {
    if (sourceRef->Exists() != kNoErr) {
        return kOtherErr;
    }
    // Only read: a source the user may read but not write is still encrypted.
    int32_t result = sourceRef->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    // A device or anything else that is not a plain file has no document to read whole.
    struct stat info {};
    if (sourceRef->GetInfo(&info) != kNoErr || !S_ISREG(info.st_mode)) {
        return kOtherErr;
    }
    int32_t sourceLength = 0;
    result = sourceRef->GetLength(&sourceLength);
    if (trace != 0) {
        printf("Source Length: %d\n", sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    const uint64_t recipients = strlen(to) + strlen(cc) + strlen(bcc);
    if (sourceLength < 0 || !FitsLengths(TargetLengthBound(
                                MessageLength(static_cast<uint64_t>(sourceLength), recipients) +
                                    veldoran::TwoLayerOverhead(),
                                strlen(utils->GetEOLCar())))) {
        return kFrameTooLong;
    }

    // The source is read into a block with room for the recipient block behind it, so that the
    // message is made in place instead of copying the whole document once more.
    auto textLength = static_cast<uint32_t>(sourceLength);
    const auto messageLength =
        static_cast<uint32_t>(MessageLength(static_cast<uint64_t>(sourceLength), recipients));
    *message->Length() = messageLength;
    *message->Pointer() = utils->MyNewPtr(messageLength);
    unsigned char* text = message->data();
    if (text == nullptr) {
        return kMemErr;
    }
    sourceRef->SetFilePos(0);
    // In moderate pieces: one read call of hundreds of MiB is markedly slower.
    for (uint32_t done = 0; result == kNoErr && done < textLength; done += kReadChunk) {
        result = sourceRef->Read(text + done, std::min(kReadChunk, textLength - done));
    }
    if (result == kNoErr) {
        result = utils->FiltrerTexte(&text, &textLength);
    }
    if (result == kNoErr && utils->FindSubString(text, textLength, kRecipientMarker) >= 0) {
        result = kFormatNonDisponible;
    }
    if (result == kNoErr) {
        result = AppendRecipientBlock(utils, message, textLength, to, cc, bcc);
    }
    if (result != kNoErr) {
        message->Dispose();
    }
    return result;
}

// The utility object of the armour stage: its first block request is served from the block
// set aside before the keys were used, so that no allocation is left to fail once they are
// spent. Every other request goes to the pipeline's utility object.
class ArmourUtils : public TypUtilsUnix {
  public:
    ArmourUtils(TypUtils* owner, OwnedBlock* space) : owner_(owner), space_(space) {}

    unsigned char* MyNewPtr(uint32_t size) override {
        if (space_->data() != nullptr && size <= space_->length()) {
            // Still all spaces: nothing has written to it since it was obtained.
            return space_->Release();
        }
        return owner_->MyNewPtr(size);
    }
    void MyDisposeptr(unsigned char** block, uint32_t length) override {
        owner_->MyDisposeptr(block, length);
    }

  private:
    TypUtils* owner_;
    OwnedBlock* space_;
};

// Armour stage: the outer frame as printable text in the space set aside for it; the frame
// is disposed of at once.
int32_t Armour(TypUtilsUnix* utils, OwnedBlock* space, OwnedBlock* outer, OwnedBlock* armour) {
    ArmourUtils armourUtils(utils, space);
    armourUtils.InitCreate(nullptr);
    auto* binASCII = new (std::nothrow) TypBinASCII;
    if (binASCII == nullptr) {
        return kMemErr;
    }
    if (binASCII->InitCreate(&armourUtils) != kNoErr) {
        delete binASCII;
        return kOtherErr;
    }
    const int32_t result =
        binASCII->BinToASCII(outer->data(), outer->length(), armour->Pointer(), armour->Length());
    outer->Dispose();
    if (result != kNoErr) {
        armour->Dispose();
    }
    binASCII->Kill();
    delete binASCII;
    return result;
}

// What the run obtains once both key files are known to be usable and before they are
// rewritten: the target opened (a pipe or device too), its whole length checked against the
// disk and the file-size limit, and the armour's block.
struct OutputStage {
    int32_t Prepare(uint32_t outerLength) {
        int32_t result = writer->Open(target);
        const uint64_t armourLength = ArmouredLength(outerLength, eolLength);
        if (result == kNoErr) {
            result = writer->Reserve(TargetLengthBound(outerLength, eolLength));
        }
        if (result == kNoErr) {
            // The length checks of the source stage keep this below 2^31.
            *armourSpace->Length() = static_cast<uint32_t>(armourLength);
            *armourSpace->Pointer() = utils->MyNewPtr(static_cast<uint32_t>(armourLength));
            if (armourSpace->data() == nullptr) {
                *armourSpace->Length() = 0;
                result = kMemErr;
            }
        }
        return result;
    }

    TypUtils* utils;
    TypTargetWriter* writer;
    OwnedBlock* armourSpace;
    const char* target;
    uint64_t eolLength;
};

}  // namespace

int32_t EncryptTextFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls, const char* source,
                        const char* target, const char* user, const char* keyFolder, const char* to,
                        const char* cc, const char* bcc, int32_t trace) {
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    const char* eol = utils->GetEOLCar();
    const size_t eolLength = strlen(eol);
    if (trace != 0) {
        printf("Len EOL=%d\n", static_cast<int>(eolLength));
        printf("Year-1900: %s\n", yearText);
    }

    // Every path must fit a file reference; found out before any file is opened.
    const size_t folderLength = strlen(keyFolder);
    const size_t yearLength = strlen(yearText);
    const bool pathsFit =
        strlen(source) <= kMaxPathLength && strlen(target) <= kMaxPathLength &&
        folderLength + strlen("Clefs/Master.") + yearLength <= kMaxPathLength &&
        folderLength + strlen("Clefs/") + strlen(user) + 1 + yearLength <= kMaxPathLength;
    int32_t result = pathsFit ? kNoErr : kOtherErr;

    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder;
    request.user = user;
    request.yearText = yearText;
    request.trace = trace;
    // A key file as target would be destroyed by the message written over it.
    if (result == kNoErr && veldoran::NamesAKeyFile(request, target)) {
        result = kOtherErr;
    }

    OwnedBlock message(utils);
    if (result == kNoErr) {
        auto* sourceRef = new (std::nothrow) TypFileRefUnix;
        if (sourceRef == nullptr) {
            result = kMemErr;
        } else {
            if (sourceRef->InitCreate(utils) != kNoErr || sourceRef->SetPath(source) != kNoErr) {
                result = kOtherErr;
            } else {
                result = ReadSource(utils, sourceRef, to, cc, bcc, trace, &message);
            }
            sourceRef->CloseDF();
            sourceRef->Kill();
            delete sourceRef;
        }
    }

    TypTargetWriter writer;
    writer.InitCreate(calls);
    OwnedBlock armourSpace(utils);
    OutputStage output{utils, &writer, &armourSpace, target, eolLength};
    OwnedBlock outer(utils);
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    if (result == kNoErr) {
        result = veldoran::EncryptWithBothKeys(
            utils, request, message.data(), message.length(),
            [&output](uint32_t outerLength) { return output.Prepare(outerLength); },
            outer.Pointer(), outer.Length(), masterComment, userComment);
    }
    message.Dispose();

    OwnedBlock armour(utils);
    if (result == kNoErr) {
        result = Armour(utils, &armourSpace, &outer, &armour);
    }
    if (trace != 0) {
        printf("End of encoding process\n");
    }

    if (result == kNoErr) {
        // Both comments and the empty line: at most 2 * 255 + 8 characters.
        char comments[2 * kCommentSize + 8];
        const int commentsLength =
            snprintf(comments, sizeof comments, "%s%s%s", masterComment, userComment, eol);
        const auto commentsSize = static_cast<uint32_t>(commentsLength);
        if (trace != 0) {
            printf("Target File: %s\n", target);
            printf("Target File Length: %d\n", static_cast<int>(commentsSize + armour.length()));
        }
        result = writer.Write(reinterpret_cast<const unsigned char*>(comments), commentsSize);
        if (result == kNoErr) {
            result = writer.Write(armour.data(), armour.length());
        }
        if (result == kNoErr) {
            result = writer.Commit();
        }
    }
    writer.Kill();
    return result;
}

extern "C" int32_t crypter3(const char* source, const char* target, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            int32_t trace) {
    if (source == nullptr || target == nullptr || user == nullptr || keyFolder == nullptr ||
        to == nullptr || cc == nullptr || bcc == nullptr) {
        return kOtherErr;
    }
    if (trace != 0) {
        printf("Veldoran Shell - version 1.01 - ZELMOR\n");
        printf("Source filename: %s\n", source);
        printf("Username       : %s\n", user);
        printf("keyFolderPath       : %s\n", keyFolder);
        printf("fieldto       : %s\n", to);
        printf("fieldcc       : %s\n", cc);
        printf("fieldbcc       : %s\n", bcc);
    }
    auto* utils = new (std::nothrow) TypPipelineUtils;
    if (utils == nullptr) {
        return kOtherErr;
    }
    int32_t result;
    try {
        result =
            EncryptTextFile(utils, nullptr, source, target, user, keyFolder, to, cc, bcc, trace);
    } catch (...) {
        // Only the target's path texts can throw (memory short); nothing may cross C linkage.
        result = kMemErr;
    }
    delete utils;
    return result;
}

extern "C" int32_t crypter2(const char* source, const char* user, const char* keyFolder,
                            const char* to, const char* cc, const char* bcc, int32_t trace) {
    if (source == nullptr) {
        return kOtherErr;
    }
    const size_t sourceLength = strlen(source);
    auto* target = static_cast<char*>(malloc(sourceLength + 5));
    if (target == nullptr) {
        return kMemErr;
    }
    memcpy(target, source, sourceLength);
    memcpy(target + sourceLength, ".vlx", 5);
    const int32_t result = crypter3(source, target, user, keyFolder, to, cc, bcc, trace);
    free(target);
    return result;
}

extern "C" int32_t crypter(const char* source, const char* user, const char* to, const char* cc,
                           const char* bcc) {
    return crypter2(source, user, "", to, cc, bcc, 0);
}
