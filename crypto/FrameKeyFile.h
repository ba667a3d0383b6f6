// The key file a frame's header names, opened for reading to decrypt that frame. Every
// decryption, whole-block or streaming, finds its key files through this class, so the two
// rules that keep a frame from choosing any other file live here: the header's name must be a
// key name (veldoran::CheckKeyName) before any file is opened, and the file found must hold the
// header of the same key (version, year, id and name) before any of it is used as key
// material. A file that merely has the right name, or is reached through "..", is never read
// as key material. Never writes to the key file.
#ifndef VELDORAN_CRYPTO_FRAMEKEYFILE_H
#define VELDORAN_CRYPTO_FRAMEKEYFILE_H

#include <stdint.h>

#include "crypto/TypKeyHeader.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

// Whether two headers (either byte order, the same for both) belong to the same key: version,
// year, idLen and the id bytes it covers, nameLen and the name bytes it covers. The position
// and the use count, which every encryption rewrites, play no part.
bool SameKey(const TypKeyHeader& first, const TypKeyHeader& second);

class FrameKeyFile {
  public:
    FrameKeyFile() = default;
    FrameKeyFile(const FrameKeyFile&) = delete;
    FrameKeyFile& operator=(const FrameKeyFile&) = delete;
    // Closes the key file and finishes its reference.
    ~FrameKeyFile();

    // frameHeader: the frame's key header in host order. Results, in the order checked:
    // -6 when its version is not 1; -5 (KeyNotFoundErr) when its name is not a key name (no
    // reference made, no file opened), when the utility object gives no reference, when the key
    // file does not exist, or when it holds the header of another key; the open's or the header
    // read's code (-1); -8 when the key file's keyLen is below 1 or the frame's keyOffset,
    // taken unsigned, exceeds it; 0 with the key file open for reading.
    int32_t Open(TypUtils* utils, const TypKeyHeader& frameHeader);
    // After a successful Open: the key file, its keyLen, and where the frame's stream begins.
    TypFileRef* KeyFile() const { return keyFile_; }
    uint32_t KeyLen() const { return keyLen_; }
    uint32_t Start() const { return start_; }

  private:
    TypFileRef* keyFile_ = nullptr;
    bool open_ = false;
    uint32_t keyLen_ = 0;
    uint32_t start_ = 0;
};

}  // namespace veldoran

#endif
