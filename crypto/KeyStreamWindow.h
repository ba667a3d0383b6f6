// Windows on one layer's key stream for an encryption or a decryption that runs in chunks: the
// bytes of the stream from any position, up to the window's size at once, always contiguous.
// A key whose stream period fits is read once and kept with a wrapped tail (the period followed
// by its own start again), so no window ever needs a copy; a longer key is read window by
// window, each byte of key material once.
#ifndef VELDORAN_CRYPTO_KEYSTREAMWINDOW_H
#define VELDORAN_CRYPTO_KEYSTREAMWINDOW_H

#include <stdint.h>

class TypFileRef;

namespace veldoran {

class KeyStreamWindow {
  public:
    KeyStreamWindow() = default;
    KeyStreamWindow(const KeyStreamWindow&) = delete;
    KeyStreamWindow& operator=(const KeyStreamWindow&) = delete;
    // Wipes and releases the buffer.
    ~KeyStreamWindow();

    // Prepares windows of at most window bytes (at least 1) over the streamLength-byte key
    // stream that starts at key material position start of keyFile (open for reading, not
    // owned, keyLen bytes of material behind its 224-byte header; 1 <= keyLen, start <=
    // keyLen). A short key's period is read here. 0; -7 when the buffer cannot be allocated;
    // the read's code (-1) when the key material cannot be read.
    int32_t Open(TypFileRef* keyFile, uint32_t keyLen, uint32_t start, uint64_t streamLength,
                 uint32_t window);
    // Points *stream at count (at most the window) key stream bytes from position on; valid
    // until the next Fetch. 0, or the read's code.
    int32_t Fetch(uint64_t position, uint32_t count, const unsigned char** stream);

  private:
    int32_t ReadMaterial(unsigned char* destination, uint32_t first, uint32_t count);

    TypFileRef* keyFile_ = nullptr;
    uint32_t keyLen_ = 0;
    uint32_t start_ = 0;
    // Non-zero when the whole period is held: buffer_ holds period_ + window bytes.
    uint32_t period_ = 0;
    unsigned char* buffer_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace veldoran

#endif
