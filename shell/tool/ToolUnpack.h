// What open takes from unpack: a container, or a single file, that arrived inside a mail is
// written into a folder under the same rules for names that come from strangers.
#ifndef VELDORAN_SHELL_TOOL_TOOLUNPACK_H
#define VELDORAN_SHELL_TOOL_TOOLUNPACK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "shell/tool/ToolCommand.h"

namespace tool {

// unpack of the container block (plain or encrypted) of size bytes at data, reported as
// shownInput, into folder ("" for the current one).
int32_t UnpackBlock(const std::string& shownInput, const unsigned char* data, size_t size,
                    const std::string& folder, const CommonOptions& common);

// Writes size bytes at data into folder under name, refused as unpack refuses an entry's name;
// an existing file is replaced only with --force, never a key file or through a link.
int32_t WriteIntoFolder(const std::string& folder, const std::string& shownInput,
                        const std::string& name, const unsigned char* data, size_t size,
                        const CommonOptions& common);

}  // namespace tool

#endif
