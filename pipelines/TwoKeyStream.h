// Internal: both key layers of a message, for every pipeline: chunk by chunk in the streaming
// file pipelines, the whole message as one chunk in the whole-block ones. The same XOR serves
// both ways: encryption and decryption cover message byte p with
// master stream byte p and user stream byte 224 + p (the user layer also covers the inner
// frame's header, its first 224 bytes).
#ifndef VELDORAN_PIPELINES_TWOKEYSTREAM_H
#define VELDORAN_PIPELINES_TWOKEYSTREAM_H

#include <stdint.h>

#include "crypto/FrameKeyFile.h"
#include "crypto/KeyStreamWindow.h"
#include "crypto/LockedKeyFile.h"

class TypCrypto;
class TypFileRef;
class TypUtils;

namespace veldoran {

// Where one layer's key stream comes from: a key file open for reading (not owned; its utility
// object provides the stream's window), the length of its key material and the material
// position the stream begins at.
struct KeyStreamSource {
    TypFileRef* keyFile = nullptr;
    uint32_t keyLen = 0;
    uint32_t start = 0;
};

// The key stream an encryption spends from a held key file.
KeyStreamSource SpentStream(const LockedKeyFile& key);

// The key file a frame's header names, opened for reading for a decryption through
// veldoran::FrameKeyFile, with the checks UnCrypt makes in its order. Never writes to it.
class FrameKey {
  public:
    // frameHeader: the 224 bytes in stored order. Results: 0 with source() usable; -6 when the
    // header's version is not 1; -5 when its name is not a key name, the key file is not found
    // or holds the header of another key; the open's or read's code (-1); -8 when the key
    // file's keyLen is below 1 or the frame's keyOffset exceeds it.
    int32_t Open(TypUtils* utils, TypCrypto* crypto, const unsigned char* frameHeader);
    const KeyStreamSource& source() const { return source_; }
    // After a successful Open: whether path names this key file, by its path or as the same
    // file, so that a decryption never writes over a key it reads.
    bool Names(const char* path) const;

  private:
    FrameKeyFile keyFile_;
    bool open_ = false;
    KeyStreamSource source_;
};

class TwoKeyStream {
  public:
    // Prepares both streams for a message of messageLength bytes, in windows of window bytes
    // (at least 224). 0, -7, or the key read's code.
    int32_t Open(const KeyStreamSource& master, const KeyStreamSource& user, uint64_t messageLength,
                 uint32_t window);
    // Open in two steps, for a run that must hold all its memory before it reads any key:
    // Reserve allocates both windows (0 or -7) and reads nothing, Load then reads (0 or the
    // key read's code).
    int32_t Reserve(const KeyStreamSource& master, const KeyStreamSource& user,
                    uint64_t messageLength, uint32_t window);
    int32_t Load();
    // The same one layer at a time: decryption learns the master key only from the inner
    // frame's header, which the user layer covers.
    int32_t OpenUser(const KeyStreamSource& user, uint64_t messageLength, uint32_t window);
    int32_t OpenMaster(const KeyStreamSource& master, uint64_t messageLength, uint32_t window);
    // OpenUser for an inner frame of innerLength bytes, whatever its length.
    int32_t OpenUserFrame(const KeyStreamSource& user, uint64_t innerLength, uint32_t window);
    // One layer at a time over blocks of any length, for a whole-block decryption that finishes
    // the user layer before the inner frame's header names the master key:
    // target[j] = source[j] ^ user stream [innerPosition + j] (the blocks do not overlap), and
    // data[j] ^= master stream [position + j]. 0 or the key read's code.
    int32_t UserLayerInto(unsigned char* target, const unsigned char* source, uint32_t count,
                          uint64_t innerPosition);
    int32_t MasterLayer(unsigned char* data, uint32_t count, uint64_t position);
    // innerHeader[0, 224) ^= user stream [0, 224): the inner frame's header under the user
    // layer. 0 or the key read's code.
    int32_t CoverInnerHeader(unsigned char* innerHeader);
    // data[j] ^= master stream [position + j] ^ user stream [224 + position + j] for count
    // bytes (a chunk of any length). 0 or the key read's code.
    int32_t Layer(unsigned char* data, uint32_t count, uint64_t position);
    // The same from a separate source: target[j] = source[j] ^ both streams; the two blocks do
    // not overlap.
    int32_t LayerInto(unsigned char* target, const unsigned char* source, uint32_t count,
                      uint64_t position);

  private:
    // step(done, master, user, piece) over count bytes from position, window by window.
    template <class Step>
    int32_t Walk(uint32_t count, uint64_t position, Step step);

    KeyStreamWindow master_;
    KeyStreamWindow user_;
};

}  // namespace veldoran

#endif
