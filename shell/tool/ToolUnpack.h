// What open takes from unpack: a container, or a single file, that arrived inside a mail is
// written into a folder under the same rules for names that come from strangers.
#ifndef VELDORAN_SHELL_TOOL_TOOLUNPACK_H
#define VELDORAN_SHELL_TOOL_TOOLUNPACK_H

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <set>
#include <string>

#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"

namespace tool {

// The names a run has written into its folder: a later file of one of them takes the first free
// name "stem (N).ext" (N from 2) instead, never replacing the run's own, with a line saying so.
struct WrittenNames {
    std::set<std::string> names;
};

// unpack of the container block (plain or encrypted) of size bytes at data, reported as
// shownInput, into folder ("" for the current one); runNames (may be null) as above.
int32_t UnpackBlock(const std::string& shownInput, const unsigned char* data, size_t size,
                    const std::string& folder, const CommonOptions& common, WrittenNames* runNames);

// unpack --list of the container (not encrypted) of size bytes at data, onto out. 0, or the
// library's code after a report.
int32_t ListContainer(const std::string& shownInput, const unsigned char* data, size_t size,
                      FILE* out);

// Decrypts the outer frame read from input (its name for reports) with the key files under
// keyPrefix, in memory. 0 with the result in *data (released with free) and *length; otherwise
// the library's code after a report (FailFromReport) in the words of activity; notAFrame (when
// not empty) replaces the words for an input that is no frame at all (too short, or no key
// header in front).
int32_t DecryptFrame(const std::string& input, const unsigned char* frame, size_t frameLength,
                     const std::string& keyPrefix, bool trace, Activity activity,
                     const std::string& notAFrame, unsigned char** data, uint32_t* length);

// Writes size bytes at data into folder under name, refused as unpack refuses an entry's name;
// an existing file is replaced only with --force, never a key file or through a link, and never
// one of runNames (may be null).
int32_t WriteIntoFolder(const std::string& folder, const std::string& shownInput,
                        const std::string& name, const unsigned char* data, size_t size,
                        const CommonOptions& common, WrittenNames* runNames);

}  // namespace tool

#endif
