// Property: for any frame at all, UnCrypt reads nothing outside it, never writes a key file,
// leaks nothing and returns only 0, -1, -4, -5, -6, -7 or -8; on -4, -6 and -7 it hands over
// nothing with length 0, otherwise a block of length - 224 bytes; the caller's frame is left
// as it was, and a second call on it gives the same result and the same bytes; when the frame
// names one of the key files below and the result is 0, the block is the frame's data XOR the
// key material read cyclically from the frame's keyOffset. GetCryptedFor returns 0 or -4 (-4
// exactly below 224 bytes) and on 0 writes the frame's first min(nameLen, 40) name bytes
// (none for a negative nameLen) and a NUL into a 41-byte buffer.
//
// Start-up writes the fuzz key folder (common/FuzzKeyFolder.h), each key file a 224-byte
// big-endian header and its key material. The first input byte steers the frame: when it
// selects a key file, the frame's version, year, id and name are set to that key file's (a short
// frame is padded to 224 bytes first), and with bit 0x80 also its keyOffset to a small value;
// the rest of the input is the frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/FuzzKeyFolder.h"
#include "common/FuzzTarget.h"
#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Fail;
using fuzzsupport::FuzzKey;
using fuzzsupport::IsResult;

struct KeyFolder {
    std::string folder;  // ends with '/'
    std::vector<FuzzKey> keys;
    TypUtilsUnix utils;
};

void PutBigEndian(unsigned char* at, int32_t value) {
    testsupport::PutBigEndian32(at, static_cast<uint32_t>(value));
}

int32_t GetBigEndian(const unsigned char* at) {
    return static_cast<int32_t>(testsupport::GetBigEndian32(at));
}

// Sets the version, year, nameLen and name of a 224-byte header.
void NameHeader(unsigned char* header, const std::string& name) {
    const auto nameLength = static_cast<int32_t>(name.size());
    PutBigEndian(header + offsetof(TypKeyHeader, version), kVersion);
    PutBigEndian(header + offsetof(TypKeyHeader, year), fuzzsupport::kFuzzKeyYear);
    PutBigEndian(header + offsetof(TypKeyHeader, nameLen), nameLength);
    memset(header + offsetof(TypKeyHeader, name), 0, kLenMaxName);
    memcpy(header + offsetof(TypKeyHeader, name), name.data(), name.size());
}

void RemoveKeyFolder();

KeyFolder& Folder() {
    static KeyFolder* folder = [] {
        auto* made = new KeyFolder;
        made->keys = fuzzsupport::FuzzKeys();
        made->folder = fuzzsupport::MakeFuzzKeyFolder(&made->keys);
        made->utils.InitCreate(nullptr);
        if (made->utils.SetKeyFolderPath(made->folder.c_str()) != kNoErr) {
            Fail();
        }
        return made;
    }();
    static const bool cleanupRegistered = atexit(RemoveKeyFolder) == 0;
    (void)cleanupRegistered;
    return *folder;
}

void RemoveKeyFolder() {
    const KeyFolder& folder = Folder();
    fuzzsupport::RemoveFuzzKeyFolder(folder.folder, folder.keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20)) {
        return 0;
    }
    KeyFolder& folder = Folder();
    TypUtilsUnix& utils = folder.utils;

    // The frame: the input after the steering byte, in a block of exactly its size.
    const uint8_t steer = data[0];
    std::vector<unsigned char> bytes(data + 1, data + size);
    const FuzzKey* chosen = nullptr;
    const uint32_t choice = steer & 0x07u;
    if (choice != 0 && choice <= folder.keys.size()) {
        chosen = &folder.keys[choice - 1];
        if (bytes.size() < kKeyHeaderSize) {
            bytes.resize(kKeyHeaderSize, 0);
        }
        NameHeader(bytes.data(), chosen->name);
        // The key's id too: a frame is decrypted only with the key whose header it copies.
        memcpy(bytes.data() + offsetof(TypKeyHeader, idLen),
               chosen->contents.data() + offsetof(TypKeyHeader, idLen),
               offsetof(TypKeyHeader, nameLen) - offsetof(TypKeyHeader, idLen));
        if ((steer & 0x80u) != 0) {
            const int32_t small = (steer >> 3) & 0x0F;
            PutBigEndian(bytes.data() + offsetof(TypKeyHeader, keyOffset), small);
        }
    }
    const auto length = static_cast<uint32_t>(bytes.size());
    auto* frame = static_cast<unsigned char*>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (frame == nullptr) {
        Fail();
    }
    if (!bytes.empty()) {
        memcpy(frame, bytes.data(), bytes.size());
    }

    auto* crypto = new TypCryptoUnix;
    crypto->InitCreate(&utils);

    unsigned char* out = nullptr;
    uint32_t outLength = 1;
    const int32_t result = crypto->UnCrypt(frame, length, &out, &outLength);
    if (!IsResult(result, {kNoErr, kOtherErr, kFrameTooShort, KeyNotFoundErr, kBadKeyHeader,
                           kMemErr, kOffsetOutOfRangeErr})) {
        Fail();
    }
    if ((result == kFrameTooShort) != (length < kKeyHeaderSize)) {
        Fail();
    }
    if (result == kFrameTooShort || result == kBadKeyHeader || result == kMemErr) {
        if (out != nullptr || outLength != 0) {
            Fail();
        }
    } else if (out == nullptr || outLength != length - kKeyHeaderSize) {
        Fail();
    }
    if (!bytes.empty() && memcmp(frame, bytes.data(), bytes.size()) != 0) {
        Fail();
    }

    if (result == kNoErr && chosen != nullptr) {
        // The key file the frame names: the stream starts at the frame's keyOffset and wraps
        // around the key material the key file's header declares.
        const int32_t start = GetBigEndian(frame + offsetof(TypKeyHeader, keyOffset));
        if (chosen->keyLen < 1 || start < 0 || start > chosen->keyLen) {
            Fail();
        }
        const auto keyLen = static_cast<uint32_t>(chosen->keyLen);
        for (uint32_t j = 0; j < outLength; ++j) {
            const uint32_t position = (static_cast<uint32_t>(start) + j) % keyLen;
            if (position >= chosen->material.size() ||
                out[j] != (frame[kKeyHeaderSize + j] ^ chosen->material[position])) {
                Fail();
            }
        }
    }

    // The frame is only read: decrypting it again gives the same answer.
    unsigned char* again = nullptr;
    uint32_t againLength = 0;
    const int32_t againResult = crypto->UnCrypt(frame, length, &again, &againLength);
    if (againResult != result && againResult != kMemErr && result != kMemErr) {
        Fail();
    }
    if (againResult == result && result == kNoErr &&
        (againLength != outLength || (outLength != 0 && memcmp(again, out, outLength) != 0))) {
        Fail();
    }
    utils.MyDisposeptr(&again, againLength);
    utils.MyDisposeptr(&out, outLength);

    // A buffer of exactly the 41 bytes the caller must offer.
    auto* name = static_cast<char*>(malloc(kLenMaxName + 1));
    if (name == nullptr) {
        Fail();
    }
    const int32_t forResult = crypto->GetCryptedFor(frame, length, name);
    if (forResult != kNoErr && forResult != kFrameTooShort) {
        Fail();
    }
    if ((forResult == kFrameTooShort) != (length < kKeyHeaderSize)) {
        Fail();
    }
    if (forResult == kNoErr) {
        int32_t nameLen = GetBigEndian(frame + offsetof(TypKeyHeader, nameLen));
        nameLen = nameLen < 0 ? 0 : (nameLen > kLenMaxName ? kLenMaxName : nameLen);
        if (name[nameLen] != '\0' ||
            memcmp(name, frame + offsetof(TypKeyHeader, name), static_cast<size_t>(nameLen)) != 0) {
            Fail();
        }
    }
    if (!bytes.empty() && memcmp(frame, bytes.data(), bytes.size()) != 0) {
        Fail();
    }
    free(name);

    crypto->Kill();
    delete crypto;
    free(frame);

    // Reading the key files back costs more than a run: do it now and then.
    static uint32_t runs = 0;
    if (++runs % 64 == 0) {
        if (!fuzzsupport::FuzzKeysUnchanged(folder.keys)) {
            Fail();
        }
    }
    return 0;
}
