// SHA-256, for what must name key material without giving any of it away: the key journal's
// fingerprint of a key and its records' checksums. Not used to encrypt anything.
#ifndef VELDORAN_CRYPTO_SHA256_H
#define VELDORAN_CRYPTO_SHA256_H

#include <stddef.h>
#include <stdint.h>

namespace veldoran {

constexpr size_t kSha256Size = 32;

class Sha256 {
  public:
    Sha256();
    void Add(const unsigned char* data, size_t length);
    // The digest of everything added; the object is not to be used after.
    void Finish(unsigned char* digest);

  private:
    void Block(const unsigned char* block);

    uint32_t state_[8];
    unsigned char pending_[64];
    size_t pendingLength_ = 0;
    uint64_t totalLength_ = 0;
};

// The digest of length bytes at data into digest (kSha256Size bytes).
void Sha256Digest(const unsigned char* data, size_t length, unsigned char* digest);

}  // namespace veldoran

#endif
