// The linear-key cipher, the key header conversions and the key comment.
#include "crypto/TypCrypto.h"

#include <cassert>
#include <cstring>

#include "crypto/FrameKeyFile.h"
#include "crypto/KeyStreamWindow.h"
#include "crypto/LockedKeyFile.h"
#include "platform/OwnedBlock.h"
#include "platform/TypFileRef.h"
#include "platform/TypUtils.h"

namespace {

constexpr char kCommentError[] = "Erreur Clef";
constexpr char kCommentCount[] = " MID ";
constexpr char kPjText[] = "ZELMOR";
constexpr uint32_t kPjBlockSize = 20;
constexpr uint32_t kPjReportedSize = 10;

// The n bytes of body from n bytes of the key stream that starts at key material position
// start: the stream itself when data is null, else data XOR the stream.
int32_t CoverBody(TypUtils* utils, TypFileRef* keyFile, uint32_t keyLen, uint32_t start,
                  const unsigned char* data, unsigned char* body, uint32_t n) {
    veldoran::KeyStreamWindow stream;
    const int32_t result = stream.Open(utils, keyFile, keyLen, start, n, veldoran::BlockWindow(n));
    if (result != kNoErr) {
        return result;
    }
    return data == nullptr ? stream.Copy(body, n, 0) : stream.XorInto(body, data, n, 0);
}

}  // namespace

int32_t TypCrypto::InitCreate(TypUtils* theUtils) {
    utils = theUtils;
    return kNoErr;
}

int32_t TypCrypto::Kill() {
    return kNoErr;
}

int32_t TypCrypto::DecrypterPJ(const unsigned char*, uint32_t, unsigned char** out,
                               uint32_t* outLength, char* text) {
    assert(utils != nullptr);
    strcpy(text, kPjText);
    unsigned char* block = utils->MyNewPtr(kPjBlockSize);
    if (block == nullptr) {
        *out = nullptr;
        *outLength = 0;
        return kMemErr;
    }
    utils->MyBlockMove(text, block, static_cast<uint32_t>(strlen(kPjText)));
    *out = block;
    *outLength = kPjReportedSize;
    return kNoErr;
}

int32_t TypCrypto::GetLinearKey(unsigned char* buffer, uint32_t n, TypFileRef* keyFile,
                                uint32_t startPosition, int32_t advance) {
    return CoverWithKeyStream(buffer, buffer + kKeyHeaderSize, nullptr, n, keyFile, startPosition,
                              advance);
}

int32_t TypCrypto::CoverWithKeyStream(unsigned char* headerCopy, unsigned char* body,
                                      const unsigned char* data, uint32_t n, TypFileRef* keyFile,
                                      uint32_t startPosition, int32_t advance) {
    assert(utils != nullptr);
    if (advance != 0) {
        return SpendKeyStream(headerCopy, body, data, n, keyFile, startPosition);
    }
    int32_t result = keyFile->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    result = keyFile->SetFilePos(0);
    if (result == kNoErr) {
        result = keyFile->Read(headerCopy, kKeyHeaderSize);
    }
    TypKeyHeader header;
    utils->MyBlockMove(headerCopy, &header, kKeyHeaderSize);
    ConvertHeaderForLocalOS(&header);

    if (result == kNoErr &&
        (header.keyLen < 1 || startPosition > static_cast<uint32_t>(header.keyLen))) {
        result = kOffsetOutOfRangeErr;
    }
    if (result == kNoErr) {
        result = CoverBody(utils, keyFile, static_cast<uint32_t>(header.keyLen), startPosition,
                           data, body, n);
    }
    keyFile->CloseDF();
    return result;
}

int32_t TypCrypto::SpendKeyStream(unsigned char* headerCopy, unsigned char* body,
                                  const unsigned char* data, uint32_t n, TypFileRef* keyFile,
                                  uint32_t startPosition) {
    // One open for update, under an exclusive lock from the header read to the rewrite, so that
    // two encryptions with the same key file at once never take the same key stream.
    veldoran::LockedKeyFile key;
    key.InitCreate(utils, keyFile);
    int32_t result = key.Open(nullptr);
    if (result != kNoErr) {
        return result;
    }
    const auto keyLen = static_cast<uint32_t>(key.Header().keyLen);
    if (startPosition > keyLen) {
        result = kOffsetOutOfRangeErr;
    }
    if (result == kNoErr) {
        result = CoverBody(utils, key.KeyFile(), keyLen, key.StreamStart(), data, body, n);
    }
    if (result == kNoErr) {
        result = key.Commit(n);
    }
    key.FrameHeader(headerCopy);
    // Closing releases the lock, after the rewritten header has been synced.
    const int32_t closeResult = key.Close();
    return result == kNoErr ? closeResult : result;
}

int32_t TypCrypto::Crypt(const unsigned char* data, uint32_t n, unsigned char** frame,
                         uint32_t* frameLength, TypFileRef* keyFile) {
    assert(utils != nullptr);
    *frame = nullptr;
    *frameLength = 0;
    if (n > UINT32_MAX - kKeyHeaderSize) {
        return kMemErr;
    }
    veldoran::OwnedBlock block(utils);
    if (block.Allocate(n + kKeyHeaderSize) != kNoErr) {
        return kMemErr;
    }
    const int32_t result =
        CoverWithKeyStream(block.data(), block.data() + kKeyHeaderSize, data, n, keyFile, 0, 1);
    if (result != kNoErr) {
        // Neither the data under a broken key stream nor key material may leave in a frame
        // that is not a valid encryption.
        memset(block.data() + kKeyHeaderSize, ' ', n);
    }
    if (result == kMemErr) {
        return result;
    }
    block.HandOver(frame, frameLength);
    return result;
}

int32_t TypCrypto::ReadFrameHeader(const unsigned char* frame, uint32_t length,
                                   TypKeyHeader* header) {
    if (length < kKeyHeaderSize) {
        return kFrameTooShort;
    }
    utils->MyBlockMove(frame, header, kKeyHeaderSize);
    ConvertHeaderForLocalOS(header);
    return kNoErr;
}

int32_t TypCrypto::UnCrypt(const unsigned char* frame, uint32_t length, unsigned char** data,
                           uint32_t* dataLength) {
    assert(utils != nullptr);
    *data = nullptr;
    *dataLength = 0;
    // A copy: the caller's frame stays as it was and can be decrypted again.
    TypKeyHeader header;
    if (ReadFrameHeader(frame, length, &header) != kNoErr) {
        return kFrameTooShort;
    }
    if (header.version != kVersion) {
        return kBadKeyHeader;
    }

    const uint32_t n = length - kKeyHeaderSize;
    veldoran::OwnedBlock out(utils);
    if (out.Allocate(n) != kNoErr) {
        return kMemErr;
    }
    veldoran::FrameKeyFile keyFile;
    int32_t result = keyFile.Open(utils, header);
    if (result == kNoErr) {
        result = CoverBody(utils, keyFile.KeyFile(), keyFile.KeyLen(), keyFile.Start(),
                           frame + kKeyHeaderSize, out.data(), n);
    }
    if (result != kNoErr) {
        // Key material read before the failure must not reach the caller.
        memset(out.data(), ' ', n);
    }
    if (result == kMemErr) {
        return result;
    }
    out.HandOver(data, dataLength);
    return result;
}

int32_t TypCrypto::GetKeyKeyHeader(TypKeyHeader* header, TypFileRef* keyFile) {
    assert(utils != nullptr);
    int32_t result = keyFile->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    // A shared lock waits out an encryption that is rewriting the header, so the record is
    // never half old and half new. Reading goes on without it where locks are not offered.
    if (veldoran::FileControl* control = keyFile->Control()) {
        // Reading without the lock is still better than not reading: it only risks a header
        // caught halfway through a rewrite, which the caller's checks then refuse.
        static_cast<void>(control->Lock(0));
    }
    result = keyFile->SetFilePos(0);
    if (result == kNoErr) {
        result = keyFile->Read(reinterpret_cast<unsigned char*>(header), kKeyHeaderSize);
    }
    ConvertHeaderForLocalOS(header);
    keyFile->CloseDF();
    return result;
}

void TypCrypto::ConvertHeaderForLocalOS(TypKeyHeader* header) {
    assert(utils != nullptr);
    veldoran::SwapHeaderNumbers(utils, header);
}

void TypCrypto::ConvertHeaderToStandard(TypKeyHeader* header) {
    // The same reversal serves both directions.
    ConvertHeaderForLocalOS(header);
}

int32_t TypCrypto::GetKeyComment(char* comment, TypFileRef* keyFile) {
    assert(utils != nullptr);
    strcpy(comment, kCommentError);
    strcat(comment, utils->GetEOLCar());

    TypKeyHeader header;
    const int32_t result = GetKeyKeyHeader(&header, keyFile);
    if (result != kNoErr) {
        return result;
    }
    MakeKeyComment(header, comment);
    return kNoErr;
}

void TypCrypto::MakeKeyComment(const TypKeyHeader& header, char* comment) {
    assert(utils != nullptr);
    const char* eol = utils->GetEOLCar();
    strcpy(comment, kCommentError);
    strcat(comment, eol);
    if (header.nameLen < 1) {
        return;
    }
    const auto nameLen =
        static_cast<uint32_t>(header.nameLen < kLenMaxName ? header.nameLen : kLenMaxName);
    char number[12];
    char* cursor = comment;
    strcpy(cursor, veldoran::kKeyCommentStart);
    strcat(cursor, " v");
    cursor += strlen(cursor);
    utils->MyNumToString(header.version, number);
    strcpy(cursor, number);
    cursor += strlen(cursor);
    *cursor++ = ' ';
    utils->MyBlockMove(header.name, cursor, nameLen);
    cursor += nameLen;
    *cursor++ = '.';
    utils->MyNumToString(static_cast<int32_t>(static_cast<uint32_t>(header.year) - 1900u), number);
    strcpy(cursor, number);
    cursor += strlen(cursor);
    strcpy(cursor, kCommentCount);
    cursor += strlen(cursor);
    utils->MyNumToString(header.useCount, number);
    strcpy(cursor, number);
    strcat(cursor, eol);
}

int32_t TypCrypto::GetCryptedFor(const unsigned char* frame, uint32_t length, char* name) {
    assert(utils != nullptr);
    TypKeyHeader header;
    if (ReadFrameHeader(frame, length, &header) != kNoErr) {
        return kFrameTooShort;
    }
    int32_t nameLen = header.nameLen;
    if (nameLen > kLenMaxName) {
        nameLen = kLenMaxName;
    }
    if (nameLen < 0) {
        nameLen = 0;
    }
    utils->MyBlockMove(header.name, name, static_cast<uint32_t>(nameLen));
    name[nameLen] = '\0';
    return kNoErr;
}
