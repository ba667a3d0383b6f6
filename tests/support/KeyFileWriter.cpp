// Key file writing and reading for tests, benchmarks and the demo.
#include "support/KeyFileWriter.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace testsupport {

void PutBigEndian32(unsigned char* destination, uint32_t value) {
    destination[0] = static_cast<unsigned char>(value >> 24);
    destination[1] = static_cast<unsigned char>(value >> 16);
    destination[2] = static_cast<unsigned char>(value >> 8);
    destination[3] = static_cast<unsigned char>(value);
}

uint32_t GetBigEndian32(const unsigned char* source) {
    return (uint32_t{source[0]} << 24) | (uint32_t{source[1]} << 16) | (uint32_t{source[2]} << 8) |
           uint32_t{source[3]};
}

std::vector<unsigned char> EncodeKeyHeader(const KeyFileContents& contents) {
    std::vector<unsigned char> header(kKeyHeaderBytes, 0);
    std::fill(header.begin() + 12, header.begin() + 44, contents.tailFill);
    std::fill(header.begin() + 48, header.begin() + 88, contents.tailFill);
    const auto idLen = static_cast<uint32_t>(std::min<size_t>(contents.id.size(), 32));
    const auto storedNameLen = std::min<size_t>(contents.name.size(), 40);
    const int32_t nameLen =
        contents.nameLen != -1 ? contents.nameLen : static_cast<int32_t>(storedNameLen);
    const auto keyLen = contents.keyLen >= 0 || contents.keyLen < -1
                            ? contents.keyLen
                            : static_cast<int64_t>(contents.material.size());
    PutBigEndian32(&header[0], static_cast<uint32_t>(contents.version));
    PutBigEndian32(&header[4], static_cast<uint32_t>(contents.year));
    PutBigEndian32(&header[8], idLen);
    std::memcpy(&header[12], contents.id.data(), idLen);
    PutBigEndian32(&header[44], static_cast<uint32_t>(nameLen));
    std::memcpy(&header[48], contents.name.data(), storedNameLen);
    PutBigEndian32(&header[88], static_cast<uint32_t>(keyLen));
    PutBigEndian32(&header[92], static_cast<uint32_t>(contents.keyOffset));
    PutBigEndian32(&header[96], static_cast<uint32_t>(contents.useCount));
    std::fill(header.begin() + 100, header.end(), contents.reserveFill);
    if (contents.countingReserve) {
        for (size_t k = 0; k < 124; ++k) {
            header[100 + k] = static_cast<unsigned char>(k);
        }
    }
    return header;
}

KeyHeaderFields DecodeKeyHeader(const unsigned char* header) {
    KeyHeaderFields fields;
    fields.version = static_cast<int32_t>(GetBigEndian32(header));
    fields.year = static_cast<int32_t>(GetBigEndian32(header + 4));
    fields.idLen = static_cast<int32_t>(GetBigEndian32(header + 8));
    fields.id.assign(reinterpret_cast<const char*>(header + 12),
                     static_cast<size_t>(std::clamp(fields.idLen, 0, 32)));
    fields.nameLen = static_cast<int32_t>(GetBigEndian32(header + 44));
    fields.name.assign(reinterpret_cast<const char*>(header + 48),
                       static_cast<size_t>(std::clamp(fields.nameLen, 0, 40)));
    fields.keyLen = static_cast<int32_t>(GetBigEndian32(header + 88));
    fields.keyOffset = static_cast<int32_t>(GetBigEndian32(header + 92));
    fields.useCount = static_cast<int32_t>(GetBigEndian32(header + 96));
    return fields;
}

bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes;
    // In large pieces: byte by byte takes seconds for a few MiB in a sanitizer build.
    std::vector<char> piece(1 << 16);
    while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
        bytes.insert(bytes.end(), piece.begin(), piece.begin() + in.gcount());
    }
    return bytes;
}

bool WriteKeyFile(const std::string& path, const KeyFileContents& contents) {
    std::vector<unsigned char> bytes = EncodeKeyHeader(contents);
    bytes.insert(bytes.end(), contents.material.begin(), contents.material.end());
    return WriteWholeFile(path, bytes);
}

bool ReadKeyHeader(const std::string& path, KeyHeaderFields* fields) {
    const std::vector<unsigned char> bytes = ReadWholeFile(path);
    if (bytes.size() < kKeyHeaderBytes) {
        return false;
    }
    *fields = DecodeKeyHeader(bytes.data());
    return true;
}

std::vector<unsigned char> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(generator());
    }
    return bytes;
}

}  // namespace testsupport
