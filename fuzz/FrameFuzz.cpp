// Property: for any frame at all, UnCrypt reads nothing outside it, never writes a key file,
// leaks nothing and returns only 0, -1, -4, -5, -6, -7 or -8; on -4, -6 and -7 it hands over
// nothing with length 0, otherwise a block of length - 224 bytes; the caller's frame is left
// as it was, and a second call on it gives the same result and the same bytes; when the frame
// names one of the key files below and the result is 0, the block is the frame's data XOR the
// key material read cyclically from the frame's keyOffset. GetCryptedFor returns 0 or -4 (-4
// exactly below 224 bytes) and on 0 writes the frame's first min(nameLen, 40) name bytes
// (none for a negative nameLen) and a NUL into a 41-byte buffer.
//
// Start-up writes a key folder with these key files, each a 224-byte big-endian header and
// its key material. The first input byte steers the frame: when it selects a key file, the
// frame's version, year and name are set to that key file's (a short frame is padded to 224
// bytes first), and with bit 0x80 also its keyOffset to a small value; the rest of the input is
// the frame.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "veldoran.h"

namespace {

[[noreturn]] void Fail() {
    abort();
}

struct KeyFile {
    const char* name;
    int32_t keyLen;           // as the header states it
    uint32_t materialLength;  // bytes of material actually in the file
    std::vector<unsigned char> material;
    std::string path;
    std::vector<unsigned char> contents;  // the whole file as written
};

struct KeyFolder {
    std::string folder;  // ends with '/'
    std::vector<KeyFile> keys;
    TypUtilsUnix utils;
};

void PutBigEndian(unsigned char* at, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    at[0] = static_cast<unsigned char>(bits >> 24);
    at[1] = static_cast<unsigned char>(bits >> 16);
    at[2] = static_cast<unsigned char>(bits >> 8);
    at[3] = static_cast<unsigned char>(bits);
}

int32_t GetBigEndian(const unsigned char* at) {
    return static_cast<int32_t>((static_cast<uint32_t>(at[0]) << 24) |
                                (static_cast<uint32_t>(at[1]) << 16) |
                                (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]));
}

// Sets the version, year, nameLen and name of a 224-byte header.
void NameHeader(unsigned char* header, const char* name) {
    const auto nameLength = static_cast<int32_t>(strlen(name));
    PutBigEndian(header + offsetof(TypKeyHeader, version), kVersion);
    PutBigEndian(header + offsetof(TypKeyHeader, year), 2026);
    PutBigEndian(header + offsetof(TypKeyHeader, nameLen), nameLength);
    memset(header + offsetof(TypKeyHeader, name), 0, kLenMaxName);
    memcpy(header + offsetof(TypKeyHeader, name), name, static_cast<size_t>(nameLength));
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::vector<unsigned char> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        Fail();
    }
    unsigned char chunk[512];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    fclose(file);
    return bytes;
}

void RemoveKeyFolder();

KeyFolder& Folder() {
    static KeyFolder* folder = [] {
        auto* made = new KeyFolder;
        char pattern[] = "/tmp/veldoran-frame-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            Fail();
        }
        made->folder = std::string(pattern) + "/";
        if (mkdir((made->folder + "Clefs").c_str(), 0700) != 0) {
            Fail();
        }
        // A well-formed key, a one-byte key, a key whose header claims more material than the
        // file holds, and a key whose keyLen is 0.
        made->keys = {{"Dupont", 97, 97, {}, {}, {}},
                      {"Solo", 1, 1, {}, {}, {}},
                      {"Court", 300, 40, {}, {}, {}},
                      {"Vide", 0, 8, {}, {}, {}}};
        uint32_t seed = 0x2545F491u;
        for (KeyFile& key : made->keys) {
            key.contents.assign(kKeyHeaderSize, 0);
            NameHeader(key.contents.data(), key.name);
            PutBigEndian(key.contents.data() + offsetof(TypKeyHeader, idLen), 4);
            memcpy(key.contents.data() + offsetof(TypKeyHeader, id), "ID42", 4);
            PutBigEndian(key.contents.data() + offsetof(TypKeyHeader, keyLen), key.keyLen);
            PutBigEndian(key.contents.data() + offsetof(TypKeyHeader, keyOffset), 3);
            PutBigEndian(key.contents.data() + offsetof(TypKeyHeader, useCount), 17);
            for (uint32_t i = 0; i < key.materialLength; ++i) {
                seed = seed * 1103515245u + 12345u;
                key.material.push_back(static_cast<unsigned char>(seed >> 16));
            }
            key.contents.insert(key.contents.end(), key.material.begin(), key.material.end());
            key.path = made->folder + "Clefs/" + key.name + ".126";
            FILE* file = fopen(key.path.c_str(), "wb");
            if (file == nullptr ||
                fwrite(key.contents.data(), 1, key.contents.size(), file) != key.contents.size() ||
                fclose(file) != 0) {
                Fail();
            }
        }
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
    KeyFolder& folder = Folder();
    for (const KeyFile& key : folder.keys) {
        unlink(key.path.c_str());
    }
    rmdir((folder.folder + "Clefs").c_str());
    rmdir(folder.folder.c_str());
}

void CheckKeyFilesUnchanged(const KeyFolder& folder) {
    for (const KeyFile& key : folder.keys) {
        if (ReadFile(key.path) != key.contents) {
            Fail();
        }
    }
}

bool IsResult(int32_t result, std::initializer_list<int32_t> allowed) {
    for (const int32_t code : allowed) {
        if (result == code) {
            return true;
        }
    }
    return false;
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
    const KeyFile* chosen = nullptr;
    const uint32_t choice = steer & 0x07u;
    if (choice != 0 && choice <= folder.keys.size()) {
        chosen = &folder.keys[choice - 1];
        if (bytes.size() < kKeyHeaderSize) {
            bytes.resize(kKeyHeaderSize, 0);
        }
        NameHeader(bytes.data(), chosen->name);
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
            if (position >= chosen->materialLength ||
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
        CheckKeyFilesUnchanged(folder);
    }
    return 0;
}
