// SHA-256, for what must name key material without giving any of it away: the key journal's
// fingerprint of a key, its records' checksums and the digest of each frame read. Not used to
// encrypt anything. Nettle computes it (with the processor's SHA instructions where it has
// them); this unit is the library's one door to it and wipes what it hashed through.
#ifndef VELDORAN_CRYPTO_SHA256_H
#define VELDORAN_CRYPTO_SHA256_H

#include <nettle/sha2.h>
#include <stddef.h>
#include <stdint.h>

namespace veldoran {

constexpr size_t kSha256Size = 32;

class Sha256 {
  public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    // Wipes the state, which holds the last block of what was added (key material, for a
    // fingerprint).
    ~Sha256();
    void Add(const unsigned char* data, size_t length);
    // The digest of everything added; the object starts again empty after it.
    void Finish(unsigned char* digest);

  private:
    sha256_ctx context_;
};

// The digest of length bytes at data into digest (kSha256Size bytes).
void Sha256Digest(const unsigned char* data, size_t length, unsigned char* digest);

}  // namespace veldoran

#endif
