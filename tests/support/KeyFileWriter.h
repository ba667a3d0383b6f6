// Writes and reads key files for tests, benchmarks and the demo: a 224-byte big-endian header
// followed by key material. Independent of the library, so tests check its bytes against ours.
#ifndef VELDORAN_TESTS_SUPPORT_KEYFILEWRITER_H
#define VELDORAN_TESTS_SUPPORT_KEYFILEWRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

constexpr size_t kKeyHeaderBytes = 224;

struct KeyFileContents {
    int32_t version = 1;
    int32_t year = 2026;
    std::string id = "test-key";
    std::string name = "Dupont";
    // -1: take the material's size.
    int64_t keyLen = -1;
    int32_t keyOffset = 0;
    int32_t useCount = 0;
    // Overrides the name's length when not -1 (for malformed headers).
    int32_t nameLen = -1;
    // Fills the 124 reserved bytes, repeated.
    unsigned char reserveFill = 0;
    // When set, reserved byte k is k instead (every byte differs, so a moved or reordered
    // byte shows).
    bool countingReserve = false;
    // Fills the id and name bytes after their used lengths.
    unsigned char tailFill = 0;
    std::vector<unsigned char> material;
};

// The fields of a header as stored, decoded from big-endian.
struct KeyHeaderFields {
    int32_t version = 0;
    int32_t year = 0;
    int32_t idLen = 0;
    std::string id;
    int32_t nameLen = 0;
    std::string name;
    int32_t keyLen = 0;
    int32_t keyOffset = 0;
    int32_t useCount = 0;
};

std::vector<unsigned char> EncodeKeyHeader(const KeyFileContents& contents);
KeyHeaderFields DecodeKeyHeader(const unsigned char* header);

// Header followed by the material; false when the file cannot be written.
bool WriteKeyFile(const std::string& path, const KeyFileContents& contents);
// Reads the header of a key file; false when it has fewer than 224 bytes.
bool ReadKeyHeader(const std::string& path, KeyHeaderFields* fields);

// Deterministic pseudo-random bytes for a seed.
std::vector<unsigned char> RandomBytes(size_t count, uint32_t seed);

// Whole file contents; empty when missing.
std::vector<unsigned char> ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes);

void PutBigEndian32(unsigned char* destination, uint32_t value);
uint32_t GetBigEndian32(const unsigned char* source);

}  // namespace testsupport

#endif
