// Which key file a failed decryption needed: the frames carry the headers of the keys that made
// them, and the library names the key file of a header. Used to put the path into the message
// when a key file is missing or does not match.
#ifndef VELDORAN_SHELL_TOOL_TOOLFRAMES_H
#define VELDORAN_SHELL_TOOL_TOOLFRAMES_H

#include <stdint.h>

#include <string>

namespace tool {

// The path of the first key file, sender's layer first, that cannot serve the outer frame:
// missing, or failing its layer's decryption. "" when there is none or the frame is unreadable.
std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const unsigned char* frame,
                                 uint32_t length);

// The same for an armoured message text: the armour is decoded first.
std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const std::string& messageText);

}  // namespace tool

#endif
