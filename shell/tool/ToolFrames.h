// Which key file a failed decryption needed: the frames carry the headers of the keys that made
// them, and the library names the key file of a header. Used to put the path into the message
// when a key file is missing or does not match.
#ifndef VELDORAN_SHELL_TOOL_TOOLFRAMES_H
#define VELDORAN_SHELL_TOOL_TOOLFRAMES_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "shell/tool/ToolErrors.h"

namespace tool {

// The path of the first key file, sender's layer first, that cannot serve the outer frame:
// missing, or failing its layer's decryption. "" when there is none or the frame is unreadable.
std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const unsigned char* frame,
                                 uint32_t length);

// The same for the frame stored in the file at path, of which only the two frame headers at its
// start are read: each layer's key file is found from its header and tried on the next one.
std::string KeyFileOfFailedFrameFile(const std::string& keyPrefix, const std::string& path);

// Hands the frame of the armour in messageText to use; false (use not called) when no whole
// armour decodes.
bool WithFrameOf(const std::string& messageText,
                 const std::function<void(const unsigned char* frame, uint32_t length)>& use);

// The same for an armoured message text: the armour is decoded first.
std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const std::string& messageText);

// Reports a decryption that failed with code against the key file it needed, when code says a
// key file is missing or does not match (-5, -8) and find (called only then) names one. The
// name comes from the sender's frame headers, so it is escaped for the terminal. Whether it
// reported.
bool FailOnKeyFile(int32_t code, const std::function<std::string()>& find, Activity activity);

// Decrypts the outer frame read from input (its name for reports) with the key files under
// keyPrefix. 0 with the result in *data (released with free) and *length; otherwise the
// library's code after a report that names the missing or wrong key file where there is one,
// else input, in the words of activity; notAFrame (when not empty) replaces the words for an
// input that is no frame at all (too short, or no key header in front).
int32_t DecryptFrame(const std::string& input, const unsigned char* frame, size_t frameLength,
                     const std::string& keyPrefix, bool trace, Activity activity,
                     const std::string& notAFrame, unsigned char** data, uint32_t* length);

}  // namespace tool

#endif
