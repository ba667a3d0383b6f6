// The master key layer and the user key layer over one message, made in one block: both key
// files held and checked first, everything allocated and the pipeline prepared, and only then
// both headers rewritten.
#include "pipelines/TwoKeyEncryption.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "crypto/KeyStreamWindow.h"
#include "crypto/LockedKeyFile.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/KeyJournalCore.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/FailureRecord.h"
#include "platform/KeyFilePath.h"
#include "platform/OwnedBlock.h"
#include "platform/ResultCodes.h"
#include "platform/Together.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

namespace {

constexpr char kMasterName[] = "Master";

// The path of the request's key file of that name (kMaxPathLength + 1 bytes); false when it
// does not fit.
bool KeyFilePath(const TwoKeyRequest& request, const char* name, char* path) {
    return veldoran::KeyFilePath(request.keyFolder, name, request.yearText, path);
}

// Holds one key file: kFNFErr when it is missing, else veldoran::LockedKeyFile::Open's code.
int32_t HoldKey(TypUtils* utils, TypFileRefUnix* keyRef, veldoran::LockedKeyFile* key,
                const veldoran::LockedKeyFile* held) {
    key->InitCreate(utils, keyRef);
    if (keyRef->Exists() != kNoErr) {
        return kFNFErr;
    }
    return key->Open(held);
}

// Records a failure of the key file in role, held through keyRef (null, or without a path, when
// its path did not fit), and returns code; 0 passes.
int32_t RecordKeyFailure(VeldoranFailureRole role, int32_t code, const TypFileRefUnix* keyRef) {
    if (keyRef == nullptr || keyRef->path[0] == '\0') {
        return RecordFailure(role, code, nullptr, kVeldoranStepOpen,
                             code == kOtherErr ? ENAMETOOLONG : 0);
    }
    return RecordFailure(role, code, keyRef->path);
}

// The outer frame made in place into frame: the user key's header, the master key's header
// under the user stream, the message under both streams. The frame and both key stream windows
// are obtained and prepare has run before any key material is read. With inFrame the message
// stands in the frame already, behind the room for the two headers, and message is not used.
int32_t MakeFrame(HeldKeys* keys, const unsigned char* message, uint32_t messageLength,
                  bool inFrame, const PrepareOutput& prepare, OwnedBlock* frame) {
    TwoKeyStream layers;
    int32_t result = inFrame ? kNoErr : frame->AllocateUnfilled(messageLength + TwoLayerOverhead());
    if (result == kNoErr) {
        result = layers.Reserve(SpentStream(keys->master()), SpentStream(keys->user()),
                                messageLength, BlockWindow(messageLength + kKeyHeaderSize));
    }
    if (result == kNoErr && prepare) {
        result = prepare(frame->length());
    }
    if (result == kNoErr) {
        result = layers.Load();
    }
    if (result != kNoErr) {
        return result;
    }
    keys->FrameHeaders(frame->data());
    result = layers.CoverInnerHeader(frame->data() + kKeyHeaderSize);
    if (result != kNoErr) {
        return result;
    }
    unsigned char* body = frame->data() + TwoLayerOverhead();
    return inFrame ? layers.Layer(body, messageLength, 0)
                   : layers.LayerInto(body, message, messageLength, 0);
}

// EncryptWithBothKeys into frame, from message or (inFrame) from the message already in frame.
int32_t EncryptInto(TypUtilsUnix* utils, const TwoKeyRequest& request, const unsigned char* message,
                    uint32_t messageLength, bool inFrame, const PrepareOutput& prepare,
                    OwnedBlock* frame, char* masterComment, char* userComment,
                    const FrameReady& ready) {
    masterComment[0] = '\0';
    userComment[0] = '\0';
    if (messageLength > UINT32_MAX - TwoLayerOverhead()) {
        return kFrameTooLong;
    }
    HeldKeys keys(utils);
    int32_t result = keys.Open(request, messageLength);
    if (result == kNoErr) {
        result = MakeFrame(&keys, message, messageLength, inFrame, prepare, frame);
    }
    if (result == kNoErr && ready) {
        keys.Comments(messageLength, masterComment, userComment);
        result = ready(frame->data(), frame->length(), masterComment, userComment);
    }
    // Nothing is left to fail but the rewrites themselves.
    if (result == kNoErr) {
        result = keys.Commit(messageLength);
    }
    if (result == kNoErr) {
        keys.Comments(messageLength, masterComment, userComment);
    }
    const int32_t closed = keys.Close();
    if (result == kNoErr) {
        result = closed;
    }
    keys.Trace(result == kNoErr, messageLength, masterComment, userComment);
    if (result != kNoErr) {
        masterComment[0] = '\0';
        userComment[0] = '\0';
    }
    return result;
}

}  // namespace

uint32_t TwoLayerOverhead() {
    return 2 * kKeyHeaderSize;
}

void HeldKeys::RefDeleter::operator()(TypFileRefUnix* keyRef) const {
    keyRef->CloseDF();
    keyRef->Kill();
    delete keyRef;
}

HeldKeys::HeldKeys(TypUtilsUnix* utils) : utils_(utils) {}

HeldKeys::~HeldKeys() {
    Close();
}

int32_t HeldKeys::MakeRef(const TwoKeyRequest& request, const char* name, KeyRef* keyRef) {
    char path[kMaxPathLength + 1];
    if (!KeyFilePath(request, name, path)) {
        return kOtherErr;
    }
    keyRef->reset(new (std::nothrow) TypFileRefUnix);
    if (*keyRef == nullptr) {
        return kMemErr;
    }
    if ((*keyRef)->InitCreate(utils_) != kNoErr || (*keyRef)->SetPath(path) != kNoErr) {
        return kOtherErr;
    }
    return kNoErr;
}

int32_t HeldKeys::Open(const TwoKeyRequest& request, uint64_t messageLength) {
    trace_ = request.trace;
    int32_t result = Create<TypCryptoUnix>(&crypto_, utils_);
    if (result != kNoErr) {
        return result == kMemErr ? kMemErr : kOtherErr;
    }
    result = MakeRef(request, kMasterName, &masterRef_);
    if (result == kNoErr) {
        if (trace_ != 0) {
            printf("Master Key: %s\n", masterRef_->path);
        }
        result = HoldKey(utils_, masterRef_.get(), &master_, nullptr);
    }
    if (result != kNoErr) {
        return RecordKeyFailure(kVeldoranRoleMasterKey, result, masterRef_.get());
    }
    result = MakeRef(request, request.user, &userRef_);
    if (result == kNoErr) {
        result = HoldKey(utils_, userRef_.get(), &user_, &master_);
    }
    if (result != kNoErr) {
        return RecordKeyFailure(kVeldoranRoleUserKey, result, userRef_.get());
    }
    return AskHook(messageLength);
}

int32_t HeldKeys::AskHook(uint64_t messageLength) const {
    unsigned char headers[2][kKeyHeaderSize];
    VeldoranKeyLayer layers[2] = {};
    const veldoran::LockedKeyFile* keys[2] = {&master_, &user_};
    const TypFileRefUnix* refs[2] = {masterRef_.get(), userRef_.get()};
    for (int k = 0; k < 2; ++k) {
        TypKeyHeader stored = keys[k]->Header();
        crypto_->ConvertHeaderToStandard(&stored);
        memcpy(headers[k], &stored, kKeyHeaderSize);
        const TypKeyHeader& header = keys[k]->Header();
        layers[k].path = refs[k]->path;
        layers[k].header = headers[k];
        layers[k].keyLen = header.keyLen;
        layers[k].keyOffset = header.keyOffset;
        layers[k].useCount = header.useCount;
    }
    layers[0].streamLength = messageLength;
    layers[1].streamLength = messageLength + kKeyHeaderSize;
    const VeldoranKeyLayer* refused = nullptr;
    const int32_t result = AskKeyUse(layers, 2, &refused);
    if (result != kNoErr && refused != nullptr &&
        (refused == &layers[0] || refused == &layers[1])) {
        return RecordFailure(refused == &layers[0] ? kVeldoranRoleMasterKey : kVeldoranRoleUserKey,
                             result, refused->path, kVeldoranStepCheck, 0);
    }
    return result;
}

void HeldKeys::FrameHeaders(unsigned char* destination) const {
    user_.FrameHeader(destination);
    master_.FrameHeader(destination + kKeyHeaderSize);
}

void HeldKeys::Comments(uint32_t messageLength, char* masterComment, char* userComment) const {
    crypto_->MakeKeyComment(master_.CommittedHeader(messageLength), masterComment);
    crypto_->MakeKeyComment(user_.CommittedHeader(messageLength + kKeyHeaderSize), userComment);
}

int32_t HeldKeys::Commit(uint32_t messageLength, const std::function<int32_t()>& alongside) {
    const JournalUse uses[2] = {{masterRef_->path, &master_, messageLength},
                                {userRef_->path, &user_, messageLength + kKeyHeaderSize}};
    // The journal's records must be on disk before either header changes; the target's own
    // sync has no order with them, so it runs beside the journal's, or, with no journal, beside
    // the headers' syncs: a letter waits for one round of syncs more with a journal, not three.
    JournalStep journal;
    const bool journalled = JournalStep::Named();
    int32_t journalResult = kNoErr;
    const std::function<int32_t()> beforeRewrite[] = {
        journalled ? alongside : std::function<int32_t()>(), [&]() {
            journalResult = journal.Record(utils_, uses, 2);
            return kNoErr;
        }};
    const int32_t targetResult = RunTogether(beforeRewrite, 2);
    if (journalResult != kNoErr) {
        return journalResult;
    }
    if (targetResult != kNoErr) {
        return targetResult;
    }
    int32_t result =
        RecordKeyFailure(kVeldoranRoleMasterKey, master_.Rewrite(messageLength), masterRef_.get());
    if (result == kNoErr) {
        result = RecordKeyFailure(kVeldoranRoleUserKey,
                                  user_.Rewrite(messageLength + kKeyHeaderSize), userRef_.get());
    }
    if (result != kNoErr) {
        return result;
    }
    // Neither header depends on the other reaching the disk first: both only have to be there
    // before a frame made from them can leave, which the caller lets happen once this returns.
    const std::function<int32_t()> syncs[] = {
        [this]() {
            return RecordKeyFailure(kVeldoranRoleMasterKey, master_.SyncRewrite(),
                                    masterRef_.get());
        },
        [this]() {
            return RecordKeyFailure(kVeldoranRoleUserKey, user_.SyncRewrite(), userRef_.get());
        },
        journalled ? std::function<int32_t()>() : alongside};
    result = RunTogether(syncs, 3);
    if (result == kNoErr) {
        journal.Confirm();
    }
    return result;
}

int32_t HeldKeys::Close() {
    const int32_t userClosed = user_.Close();
    const int32_t masterClosed = master_.Close();
    return userClosed != kNoErr ? userClosed : masterClosed;
}

void HeldKeys::Trace(bool succeeded, uint32_t messageLength, const char* masterComment,
                     const char* userComment) const {
    if (trace_ == 0) {
        return;
    }
    if (succeeded) {
        printf("Crypt datalen2: %d\n", static_cast<int>(messageLength + kKeyHeaderSize));
        printf("GetKeyComment: %s\n", masterComment);
        printf("User Key: %s\n", userRef_->path);
        printf("Crypt datalen: %d\n", static_cast<int>(messageLength + TwoLayerOverhead()));
        printf("GetKeyComment: %s\n", userComment);
    } else if (userRef_ != nullptr) {
        printf("User Key: %s\n", userRef_->path);
    }
}

int32_t EncryptWithBothKeys(TypUtilsUnix* utils, const TwoKeyRequest& request,
                            const unsigned char* message, uint32_t messageLength,
                            const PrepareOutput& prepare, unsigned char** outer,
                            uint32_t* outerLength, char* masterComment, char* userComment,
                            const FrameReady& ready) {
    *outer = nullptr;
    *outerLength = 0;
    OwnedBlock frame(utils);
    const int32_t result = EncryptInto(utils, request, message, messageLength, false, prepare,
                                       &frame, masterComment, userComment, ready);
    if (result != kNoErr) {
        return result;
    }
    frame.HandOver(outer, outerLength);
    return kNoErr;
}

int32_t EncryptInPlace(TypUtilsUnix* utils, const TwoKeyRequest& request, OwnedBlock* frame,
                       char* masterComment, char* userComment, const PrepareOutput& prepare,
                       const FrameReady& ready) {
    if (frame->data() == nullptr || frame->length() < TwoLayerOverhead()) {
        return kOtherErr;
    }
    return EncryptInto(utils, request, nullptr, frame->length() - TwoLayerOverhead(), true, prepare,
                       frame, masterComment, userComment, ready);
}

bool NamesAKeyFile(const TwoKeyRequest& request, const char* path) {
    for (const char* name : {kMasterName, request.user}) {
        char keyPath[kMaxPathLength + 1];
        if (!KeyFilePath(request, name, keyPath)) {
            continue;
        }
        struct stat key {};
        if (strcmp(keyPath, path) == 0 ||
            (stat(keyPath, &key) == 0 && NamesKeyFile(path, keyPath, key))) {
            return true;
        }
    }
    return false;
}

bool NamesKeyFile(const char* path, const char* keyPath, const struct stat& key) {
    if (strcmp(keyPath, path) == 0) {
        return true;
    }
    struct stat target {};
    for (const bool followed : {true, false}) {
        const int found = followed ? stat(path, &target) : lstat(path, &target);
        if (found == 0 && target.st_dev == key.st_dev && target.st_ino == key.st_ino) {
            return true;
        }
    }
    return false;
}

bool KeyPathsFit(const TwoKeyRequest& request) {
    char path[kMaxPathLength + 1];
    return KeyFilePath(request, kMasterName, path) && KeyFilePath(request, request.user, path);
}

int32_t CheckFilePaths(const TwoKeyRequest& request, const char* source, const char* target) {
    char path[kMaxPathLength + 1];
    const struct {
        bool fits;
        VeldoranFailureRole role;
        const char* path;
    } paths[] = {{strlen(source) <= kMaxPathLength, kVeldoranRoleSource, source},
                 {strlen(target) <= kMaxPathLength, kVeldoranRoleTarget, target},
                 {KeyFilePath(request, kMasterName, path), kVeldoranRoleMasterKey, ""},
                 {KeyFilePath(request, request.user, path), kVeldoranRoleUserKey, ""}};
    for (const auto& checked : paths) {
        if (!checked.fits) {
            return RecordFailure(checked.role, kOtherErr, checked.path, kVeldoranStepOpen,
                                 ENAMETOOLONG);
        }
    }
    // A key file as target would be destroyed by what is written over it.
    if (NamesAKeyFile(request, target)) {
        return RecordFailure(kVeldoranRoleTarget, kOtherErr, target, kVeldoranStepCheck, 0);
    }
    return kNoErr;
}

}  // namespace veldoran
