// The master key layer and the user key layer over one message, made in one block: both key
// files held and checked first, everything allocated and the pipeline prepared, and only then
// both headers rewritten.
#include "pipelines/TwoKeyEncryption.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "crypto/TypLockedKeyFile.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace veldoran {

namespace {

constexpr char kMasterName[] = "Master";
// The user layer's key stream passes through a block of at most this size.
constexpr uint32_t kScratchSize = 1u << 20;

// <keyFolder>Clefs/<name>.<yearText> into path (kMaxPathLength + 1 bytes); false when it does
// not fit.
bool KeyFilePath(const TwoKeyRequest& request, const char* name, char* path) {
    const int length = snprintf(path, kMaxPathLength + 1, "%sClefs/%s.%s", request.keyFolder, name,
                                request.yearText);
    return length >= 0 && length <= static_cast<int>(kMaxPathLength);
}

struct KeyRefDeleter {
    void operator()(TypFileRefUnix* keyRef) const {
        keyRef->CloseDF();
        keyRef->Kill();
        delete keyRef;
    }
};
using KeyRef = std::unique_ptr<TypFileRefUnix, KeyRefDeleter>;

// A new reference to the key file called name: kMemErr, or kOtherErr when it cannot be
// initialised or its path does not fit.
int32_t MakeKeyRef(TypUtilsUnix* utils, const TwoKeyRequest& request, const char* name,
                   KeyRef* keyRef) {
    char path[kMaxPathLength + 1];
    if (!KeyFilePath(request, name, path)) {
        return kOtherErr;
    }
    keyRef->reset(new (std::nothrow) TypFileRefUnix);
    if (*keyRef == nullptr) {
        return kMemErr;
    }
    if ((*keyRef)->InitCreate(utils) != kNoErr || (*keyRef)->SetPath(path) != kNoErr) {
        return kOtherErr;
    }
    return kNoErr;
}

// Holds one key file: kFNFErr when it is missing, else TypLockedKeyFile::Open's code.
int32_t HoldKey(TypCrypto* crypto, TypFileRefUnix* keyRef, TypLockedKeyFile* key,
                const TypLockedKeyFile* held) {
    key->InitCreate(crypto, keyRef);
    if (keyRef->Exists() != kNoErr) {
        return kFNFErr;
    }
    return key->Open(held);
}

struct CryptoDeleter {
    void operator()(TypCrypto* crypto) const {
        crypto->Kill();
        delete crypto;
    }
};

// A block from the utility object, wiped and given back when it goes out of scope unless it
// was handed over.
class Block {
  public:
    explicit Block(TypUtils* utils) : utils_(utils) {}
    ~Block() {
        if (data_ != nullptr) {
            // It held key stream or data under a partial key stream.
            explicit_bzero(data_, length_);
            utils_->MyDisposeptr(&data_, length_);
        }
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    int32_t Allocate(uint32_t length) {
        data_ = utils_->MyNewPtr(length);
        length_ = data_ != nullptr ? length : 0;
        return data_ != nullptr ? kNoErr : kMemErr;
    }
    unsigned char* data() const { return data_; }
    uint32_t length() const { return length_; }
    void HandOver(unsigned char** data, uint32_t* length) {
        *data = data_;
        *length = length_;
        data_ = nullptr;
        length_ = 0;
    }

  private:
    TypUtils* utils_;
    unsigned char* data_ = nullptr;
    uint32_t length_ = 0;
};

}  // namespace

uint32_t TwoLayerOverhead() {
    return 2 * kKeyHeaderSize;
}

int32_t EncryptWithBothKeys(TypUtilsUnix* utils, const TwoKeyRequest& request,
                            const unsigned char* message, uint32_t messageLength,
                            const PrepareOutput& prepare, unsigned char** outer,
                            uint32_t* outerLength, char* masterComment, char* userComment) {
    *outer = nullptr;
    *outerLength = 0;
    masterComment[0] = '\0';
    userComment[0] = '\0';
    if (messageLength > UINT32_MAX - TwoLayerOverhead()) {
        return kFrameTooLong;
    }
    const uint32_t innerLength = messageLength + kKeyHeaderSize;
    const uint32_t frameLength = messageLength + TwoLayerOverhead();

    std::unique_ptr<TypCrypto, CryptoDeleter> crypto(new (std::nothrow) TypCryptoUnix);
    if (crypto == nullptr) {
        return kMemErr;
    }
    if (crypto->InitCreate(utils) != kNoErr) {
        return kOtherErr;
    }

    // Declared before the key files so that they are released after them.
    KeyRef masterRef;
    KeyRef userRef;
    TypLockedKeyFile master;
    TypLockedKeyFile user;
    int32_t result = MakeKeyRef(utils, request, kMasterName, &masterRef);
    if (result == kNoErr) {
        if (request.trace != 0) {
            printf("Master Key: %s\n", masterRef->path);
        }
        result = HoldKey(crypto.get(), masterRef.get(), &master, nullptr);
    }
    if (result == kNoErr) {
        result = MakeKeyRef(utils, request, request.user, &userRef);
    }
    if (result == kNoErr) {
        result = HoldKey(crypto.get(), userRef.get(), &user, &master);
    }

    // The outer frame is made in place: user header | master header | message ^ master
    // stream, then the user stream over everything after the user header.
    Block frame(utils);
    Block scratch(utils);
    if (result == kNoErr) {
        result = frame.Allocate(frameLength);
    }
    if (result == kNoErr) {
        result = scratch.Allocate(innerLength < kScratchSize ? innerLength : kScratchSize);
    }
    if (result == kNoErr && prepare) {
        result = prepare(frameLength);
    }
    uint32_t period = 0;
    if (result == kNoErr) {
        result = master.ReadPeriod(frame.data() + TwoLayerOverhead(), messageLength, &period);
    }
    if (result == kNoErr) {
        keystream::XorWithRepeatedKey(frame.data() + TwoLayerOverhead(), message, messageLength,
                                      period);
        master.FrameHeader(frame.data() + kKeyHeaderSize);
        user.FrameHeader(frame.data());
        result = user.XorStream(frame.data() + kKeyHeaderSize, innerLength, scratch.data(),
                                scratch.length());
    }

    // Nothing is left to fail but the rewrites themselves.
    if (result == kNoErr) {
        result = master.Commit(messageLength);
    }
    if (result == kNoErr) {
        result = user.Commit(innerLength);
    }
    if (result == kNoErr) {
        crypto->MakeKeyComment(master.Header(), masterComment);
        crypto->MakeKeyComment(user.Header(), userComment);
    }
    const int32_t userClosed = user.Close();
    const int32_t masterClosed = master.Close();
    if (result == kNoErr) {
        result = userClosed != kNoErr ? userClosed : masterClosed;
    }

    if (request.trace != 0 && result == kNoErr) {
        printf("Crypt datalen2: %d\n", static_cast<int>(innerLength));
        printf("GetKeyComment: %s\n", masterComment);
        printf("User Key: %s\n", userRef->path);
        printf("Crypt datalen: %d\n", static_cast<int>(frameLength));
        printf("GetKeyComment: %s\n", userComment);
    } else if (request.trace != 0 && userRef != nullptr) {
        printf("User Key: %s\n", userRef->path);
    }
    if (result != kNoErr) {
        masterComment[0] = '\0';
        userComment[0] = '\0';
        return result;
    }
    frame.HandOver(outer, outerLength);
    return kNoErr;
}

bool NamesAKeyFile(const TwoKeyRequest& request, const char* path) {
    for (const char* name : {kMasterName, request.user}) {
        char keyPath[kMaxPathLength + 1];
        if (!KeyFilePath(request, name, keyPath)) {
            continue;
        }
        if (strcmp(keyPath, path) == 0) {
            return true;
        }
        struct stat key {};
        if (stat(keyPath, &key) != 0) {
            continue;
        }
        struct stat target {};
        for (const bool followed : {true, false}) {
            const int found = followed ? stat(path, &target) : lstat(path, &target);
            if (found == 0 && target.st_dev == key.st_dev && target.st_ino == key.st_ino) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace veldoran
