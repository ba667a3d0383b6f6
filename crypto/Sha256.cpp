// SHA-256 as FIPS 180-4 defines it, one 64-byte block at a time.
#include "crypto/Sha256.h"

#include <cstring>

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

}  // namespace

veldoran::Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      pending_{} {}

void veldoran::Sha256::Block(const unsigned char* block) {
    uint32_t w[64];
    for (int k = 0; k < 16; ++k) {
        w[k] = static_cast<uint32_t>(block[4 * k]) << 24 |
               static_cast<uint32_t>(block[4 * k + 1]) << 16 |
               static_cast<uint32_t>(block[4 * k + 2]) << 8 | block[4 * k + 3];
    }
    for (int k = 16; k < 64; ++k) {
        const uint32_t s0 = Rotate(w[k - 15], 7) ^ Rotate(w[k - 15], 18) ^ (w[k - 15] >> 3);
        const uint32_t s1 = Rotate(w[k - 2], 17) ^ Rotate(w[k - 2], 19) ^ (w[k - 2] >> 10);
        w[k] = w[k - 16] + s0 + w[k - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int k = 0; k < 64; ++k) {
        const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                            ((e & f) ^ (~e & g)) + kRound[k] + w[k];
        const uint32_t t2 =
            (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void veldoran::Sha256::Add(const unsigned char* data, size_t length) {
    totalLength_ += length;
    while (length > 0) {
        const size_t taken = length < 64 - pendingLength_ ? length : 64 - pendingLength_;
        memcpy(pending_ + pendingLength_, data, taken);
        pendingLength_ += taken;
        data += taken;
        length -= taken;
        if (pendingLength_ == 64) {
            Block(pending_);
            pendingLength_ = 0;
        }
    }
}

void veldoran::Sha256::Finish(unsigned char* digest) {
    const uint64_t bits = totalLength_ * 8;
    const unsigned char one = 0x80;
    Add(&one, 1);
    const unsigned char zero = 0;
    while (pendingLength_ != 56) {
        Add(&zero, 1);
    }
    unsigned char length[8];
    for (int k = 0; k < 8; ++k) {
        length[k] = static_cast<unsigned char>(bits >> (56 - 8 * k));
    }
    Add(length, 8);
    for (int k = 0; k < 8; ++k) {
        digest[4 * k] = static_cast<unsigned char>(state_[k] >> 24);
        digest[4 * k + 1] = static_cast<unsigned char>(state_[k] >> 16);
        digest[4 * k + 2] = static_cast<unsigned char>(state_[k] >> 8);
        digest[4 * k + 3] = static_cast<unsigned char>(state_[k]);
    }
}

void veldoran::Sha256Digest(const unsigned char* data, size_t length, unsigned char* digest) {
    Sha256 sha;
    sha.Add(data, length);
    sha.Finish(digest);
}
