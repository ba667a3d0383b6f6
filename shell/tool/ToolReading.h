// The reader's side of the key journal: each message decrypt reads is noted in the reader's
// journal by its sender's key and the two ranges its frames name, and a message whose range
// overlaps one already read from the same key is warned about, naming both messages. Only the
// reader sees two machines' messages side by side, and only the reader can catch a sender's
// whole machine rolled back. The document is still written and the run still succeeds: the
// harm is done, and the reader must know.
#ifndef VELDORAN_SHELL_TOOL_TOOLREADING_H
#define VELDORAN_SHELL_TOOL_TOOLREADING_H

#include <string>

namespace tool {

struct CommonOptions;

// After messageText (armoured; shownInput names it) was decrypted with the keys under
// keyPrefix. Never fails the run: what cannot be noted is warned about.
void NoteMessageRead(const CommonOptions& common, const std::string& keyPrefix,
                     const std::string& messageText, const std::string& shownInput);

// The same for the message in the file at path.
void NoteMessageFileRead(const CommonOptions& common, const std::string& keyPrefix,
                         const std::string& path);

}  // namespace tool

#endif
