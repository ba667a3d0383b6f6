// SHA-256 through Nettle, its state wiped when the object goes.
#include "crypto/Sha256.h"

#include <string.h>

veldoran::Sha256::Sha256() {
    sha256_init(&context_);
}

veldoran::Sha256::~Sha256() {
    explicit_bzero(&context_, sizeof context_);
}

void veldoran::Sha256::Add(const unsigned char* data, size_t length) {
    sha256_update(&context_, length, data);
}

void veldoran::Sha256::Finish(unsigned char* digest) {
    // Nettle starts the context again after a digest.
    sha256_digest(&context_, kSha256Size, digest);
}

void veldoran::Sha256Digest(const unsigned char* data, size_t length, unsigned char* digest) {
    Sha256 sha;
    sha.Add(data, length);
    sha.Finish(digest);
}
