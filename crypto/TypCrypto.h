// The linear-key cipher: one layer of XOR with key material read cyclically from a key file,
// starting at the position the key file's header records. Every encryption advances that
// position and raises the use count in the key file before it returns, so key material is not
// reused until the key wraps around.
//
// What this does not protect against: the layer is only as strong as the key material is
// random, secret and used once. A frame carries no checksum and no authentication: a changed
// byte decrypts to a changed byte, and a frame decrypted with the wrong key material yields
// wrong data with result 0. Once a key wraps around, its material is reused.
//
// Encrypted frame (n + 224 bytes for n bytes of data):
//   0..223   the key file's header, big-endian, with keyOffset = where this frame's key stream
//            begins and useCount = the key file's count including this encryption
//   224..    data XOR key stream
#ifndef VELDORAN_CRYPTO_TYPCRYPTO_H
#define VELDORAN_CRYPTO_TYPCRYPTO_H

#include <stdint.h>

#include "crypto/TypKeyHeader.h"
#include "platform/ResultCodes.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

// How every key comment line begins (GetKeyComment, MakeKeyComment), as a reader of a mail
// finds the lines above an armour.
inline constexpr char kKeyCommentStart[] = "$VELDORAN initial, clef";

}  // namespace veldoran

class TypCrypto {
  public:
    TypCrypto() = default;
    TypCrypto(const TypCrypto&) = delete;
    TypCrypto& operator=(const TypCrypto&) = delete;

    // The virtual slot order is part of the design: do not reorder.

    // Keeps the utility object (not owned) for every allocation, copy and byte-order question.
    virtual int32_t InitCreate(TypUtils* theUtils);
    // Does nothing; the creator deletes the object afterwards.
    virtual int32_t Kill();
    // Ignores the input. Hands over a new 20-byte block (all spaces but for "ZELMOR" at its
    // start) with *outLength 10, and copies "ZELMOR" into text (at least 7 bytes). kMemErr,
    // with *out null and *outLength 0, when the block cannot be allocated.
    virtual int32_t DecrypterPJ(const unsigned char* input, uint32_t inputLength,
                                unsigned char** out, uint32_t* outLength, char* text);
    // Fills buffer (224 + n bytes) with the key file's header, big-endian, followed by n bytes
    // of key stream.
    //   advance non-zero (encryption use): the stream starts at the key file's keyOffset; the
    //   key file is held through veldoran::LockedKeyFile: opened once for update without waiting,
    //   refused unless a regular file at least 224 + keyLen bytes long, and held under an
    //   exclusive advisory lock from the header read to the rewrite; the header is rewritten with
    //   keyOffset advanced by n (modulo keyLen) and useCount raised (0 after the largest count),
    //   and put on stable storage before the call returns. The buffer's header records the starting
    //   keyOffset and the raised useCount. advance 0 (decryption use): the stream starts at
    //   startPosition; nothing is written and the buffer's header is the key file's own.
    // Results: 0; -1 when the key file cannot be opened, locked, read in full (a short header
    // or a short key material read) or rewritten, or (encryption use) is not a regular file or
    // is shorter than 224 + keyLen bytes; -6 in encryption use when the key file's
    // version is not 1; -8 when keyLen is below 1, startPosition exceeds keyLen, or (encryption
    // use) the stored keyOffset lies outside 0 to keyLen; -7 when the key stream's window
    // cannot be allocated (before any rewrite). Nothing is written outside the
    // buffer, and after a failure its key stream part is not to be used. Every failure before
    // the rewrite leaves the key file unchanged; when the rewrite itself cannot be confirmed
    // (write, sync or close failing) the key material counts as spent and the result is -1.
    virtual int32_t GetLinearKey(unsigned char* buffer, uint32_t n, TypFileRef* keyFile,
                                 uint32_t startPosition, int32_t advance);
    // Encrypts n bytes into a new frame of n + 224 bytes handed to *frame, *frameLength. The key
    // file reference belongs to the caller. Results as GetLinearKey; on a failure the frame is
    // still handed over but holds neither data nor key stream, and the caller discards it.
    // kMemErr, with *frame null and *frameLength 0 and the key file untouched, when the frame
    // or the key stream's window cannot be allocated.
    virtual int32_t Crypt(const unsigned char* data, uint32_t n, unsigned char** frame,
                          uint32_t* frameLength, TypFileRef* keyFile);
    // Decrypts a frame with the key file its header names (found through the utility object's
    // key folder and checked by veldoran::FrameKeyFile). The caller's frame is only read, so it
    // can be decrypted again. Results: 0 with the data handed over; -4 (frame shorter than 224)
    // or -6 (header version not 1) with *data null and *dataLength 0; -5 when the header's name
    // is not a key name (refused before any file is opened), when the key file is not found, or
    // when the file found holds the header of another key (id, name or year differ), or -1 or
    // -8 as GetLinearKey's, with a block of length - 224 bytes handed over that holds no data;
    // kMemErr with *data null and *dataLength 0 when memory is short. Never writes to a key file.
    virtual int32_t UnCrypt(const unsigned char* frame, uint32_t length, unsigned char** data,
                            uint32_t* dataLength);
    // Reads a key file's header into the record, converted to host order. The file is opened,
    // read and closed again. 0; the open's code with the record untouched; -1 when the file is
    // shorter than 224 bytes (the record is then not to be used).
    virtual int32_t GetKeyKeyHeader(TypKeyHeader* header, TypFileRef* keyFile);
    // Reorder the seven numeric fields in place (a no-op on a big-endian host): stored order to
    // host order, and host order to stored order. id, name and reserve are never moved.
    virtual void ConvertHeaderForLocalOS(TypKeyHeader* header);
    virtual void ConvertHeaderToStandard(TypKeyHeader* header);
    // Writes the key's one-line description into comment (at least 107 bytes):
    // "$VELDORAN initial, clef v<version> <name>.<year - 1900> MID <useCount>" and a line feed.
    // When the header cannot be read (its code is returned) or its nameLen is below 1 (0 is
    // returned), the comment is "Erreur Clef" and a line feed.
    virtual int32_t GetKeyComment(char* comment, TypFileRef* keyFile);
    // Copies the name of the key that made a frame (at most 40 bytes) into name (at least 41
    // bytes), NUL-terminated; the frame is only read. 0, or -4 for a frame shorter than 224.
    virtual int32_t GetCryptedFor(const unsigned char* frame, uint32_t length, char* name);

    virtual ~TypCrypto() = default;

    // The comment line of GetKeyComment for a header record in host order, without reading any
    // file: an encryption takes it from the header it wrote, never from a later read that
    // another run may already have advanced.
    void MakeKeyComment(const TypKeyHeader& header, char* comment);

    // Not owned; handed to InitCreate.
    TypUtils* utils = nullptr;

  private:
    // The one-layer work of GetLinearKey and Crypt: the key header (standard order) goes to
    // headerCopy, and n bytes to body: the key stream itself when data is null, else data XOR
    // the key stream. Results, checks and the header rewrite as GetLinearKey for n bytes.
    int32_t CoverWithKeyStream(unsigned char* headerCopy, unsigned char* body,
                               const unsigned char* data, uint32_t n, TypFileRef* keyFile,
                               uint32_t startPosition, int32_t advance);
    // The encryption use of CoverWithKeyStream: the key file held through
    // veldoran::LockedKeyFile, checked, its stream used, its header rewritten and released.
    int32_t SpendKeyStream(unsigned char* headerCopy, unsigned char* body,
                           const unsigned char* data, uint32_t n, TypFileRef* keyFile,
                           uint32_t startPosition);
    // A host-order copy of a frame's key header; kFrameTooShort below 224 bytes.
    int32_t ReadFrameHeader(const unsigned char* frame, uint32_t length, TypKeyHeader* header);
};

#endif
