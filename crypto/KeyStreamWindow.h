// The one engine for key streams: every encryption and decryption layer, whole-block or in
// chunks, reads its key material, repeats it past the end of the key and XORs it here. A
// stream is seen through windows: the bytes of the stream from any position, up to the
// window's size at once, always contiguous. A key whose stream period fits is read once and
// kept with a wrapped tail (the period followed by its own start again), so no window ever
// needs a copy; a longer key is read window by window, each byte of key material once. A block
// longer than the window is worked window by window, so a whole message is one call.
#ifndef VELDORAN_CRYPTO_KEYSTREAMWINDOW_H
#define VELDORAN_CRYPTO_KEYSTREAMWINDOW_H

#include <stdint.h>

#include "platform/OwnedBlock.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

// The window a whole block of length bytes is worked through: the block itself up to 1 MiB,
// so that a short message never costs more memory than itself and a long one a fixed amount.
uint32_t BlockWindow(uint64_t length);

class KeyStreamWindow {
  public:
    KeyStreamWindow() = default;
    KeyStreamWindow(const KeyStreamWindow&) = delete;
    KeyStreamWindow& operator=(const KeyStreamWindow&) = delete;

    // Reserve, then Load: the whole preparation of a stream at once.
    int32_t Open(TypUtils* utils, TypFileRef* keyFile, uint32_t keyLen, uint32_t start,
                 uint64_t streamLength, uint32_t window);
    // Obtains the buffer through utils (not owned; it gives the buffer back too) for windows of
    // at most window bytes (at least 1) over the streamLength-byte key stream that starts at key
    // material position start of keyFile (not owned, keyLen bytes of material behind its 224-byte
    // header; 1 <= keyLen, start <= keyLen). Reads nothing. 0, or -7 when the buffer cannot be
    // allocated.
    int32_t Reserve(TypUtils* utils, TypFileRef* keyFile, uint32_t keyLen, uint32_t start,
                    uint64_t streamLength, uint32_t window);
    // After Reserve, with keyFile open for reading: reads a short key's period. 0, or the read's
    // code (-1).
    int32_t Load();
    // Points *stream at count (at most Piece()) key stream bytes from position on; valid
    // until the next call. 0, or the read's code.
    int32_t Fetch(uint64_t position, uint32_t count, const unsigned char** stream);
    // For count bytes of any length, with stream the key stream from position on:
    // target[j] = stream[j] (Copy), data[j] ^= stream[j] (Xor), target[j] = source[j] ^ stream[j]
    // (XorInto; target and source do not overlap). 0, or the read's code (the bytes written
    // are then not to be used).
    int32_t Copy(unsigned char* target, uint64_t count, uint64_t position);
    int32_t Xor(unsigned char* data, uint64_t count, uint64_t position);
    int32_t XorInto(unsigned char* target, const unsigned char* source, uint64_t count,
                    uint64_t position);
    // The most bytes one Fetch gives.
    uint32_t Window() const { return window_; }
    // Whether the whole period is held, so that a Fetch reads nothing.
    bool Held() const { return period_ != 0; }
    // The most bytes a walk over a long block takes at once: the window for a key read window
    // by window (one read each), less for a key held whole (see kCachedPiece).
    uint32_t Piece() const;

  private:
    int32_t ReadMaterial(unsigned char* destination, uint32_t first, uint32_t count);
    // step(done, stream, piece) over count bytes from position, window by window.
    template <class Step>
    int32_t Walk(uint64_t count, uint64_t position, Step step);

    TypFileRef* keyFile_ = nullptr;
    uint32_t keyLen_ = 0;
    uint32_t start_ = 0;
    uint32_t window_ = 0;
    // Non-zero when the whole period is held: the block holds the period and then its start
    // again, Piece() bytes of it.
    uint32_t period_ = 0;
    // Given back through the utility object of Reserve, wiped first.
    OwnedBlock block_{nullptr, BlockContent::kKeyMaterial};
};

}  // namespace veldoran

#endif
