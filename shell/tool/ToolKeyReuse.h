// The key reuse check made before every encryption: reads the headers of the year's master key
// and the sender's key with the library, and finds out whether the message's key streams would
// run past the end of either key's material.
//
// A key stream starts at the key's recorded position and reads the material cyclically. The
// material from the position to the end has not been used yet; a stream longer than that wraps
// to the start of the material, whose bytes earlier messages used (or, for a stream longer than
// the whole material, this stream itself). So a layer of n bytes reuses n - (keyLen - keyOffset)
// bytes when that is positive, whatever the use count says. The master layer takes the message
// (n bytes), the sender's layer the master's frame (n + one key header).
#ifndef VELDORAN_SHELL_TOOL_TOOLKEYREUSE_H
#define VELDORAN_SHELL_TOOL_TOOLKEYREUSE_H

#include <stdint.h>

#include <string>

namespace tool {

// Checks both keys for a message of messageLength bytes. keyPrefix is the key folder as the
// library takes it. Returns 0 when encryption may go on, having warned on the standard error
// stream for each key that would wrap; with refuse set, returns kFrameTooLong (-9) instead for
// such a key. kFNFErr for a missing key file and the library's code for an unreadable one, each
// reported with the key file's path. Writes to no file.
int32_t CheckKeyReuse(const std::string& keyPrefix, const std::string& user, uint64_t messageLength,
                      bool refuse);

}  // namespace tool

#endif
