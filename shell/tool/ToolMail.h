// Received mails in veldoran-tool: decrypt of a whole mail or mailbox (every armour in it, each
// once), decrypt --inline (the display filter) and the reading that open shares with them.
#ifndef VELDORAN_SHELL_TOOL_TOOLMAIL_H
#define VELDORAN_SHELL_TOOL_TOOLMAIL_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "mail/MailReader.h"

namespace tool {

// Whether text is a mail or a mailbox rather than a bare message.
bool IsMailText(const std::string& text);
// The same for the file at path, from its first bytes; false when it cannot be read.
bool IsMailFile(const std::string& path);

struct CommonOptions;

struct MailDecryptOptions {
    // The run's options; when set, each message decrypted is noted in the reader's journal.
    const CommonOptions* common = nullptr;
    std::string shownInput;  // the input's name for reports
    std::string output;      // as OutputFor gives it
    std::string keyPrefix;
    bool first = false;  // the first armour only, as a bare message gives it
    // When set, takes each decrypted message's tail (its recipient block and parameter text).
    std::function<void(const char* tail)> tail;
};

// A mail to read: a text in memory (released once read), or a regular file open at fd (taken
// over), which is mapped rather than copied: only a file the tool alone holds, its own unnamed
// copy of an input, so that nothing can cut it short while it is mapped.
struct MailSource {
    std::string* text = nullptr;
    int fd = -1;
};

// Decrypts every armour of the mail or mailbox (or the bare message) from source to the output:
// one armour's document alone, several each behind a line "--- message N of M: <comment> ---".
// Each failing armour gets a line on the standard error stream and the others are still
// written. attachment, when set, sees every leaf part that holds no armour and is a file sent
// along, and tells whether it was an encrypted one: a mail that holds one needs no armour. 0
// when every armour decrypted, else the first failure's code.
int32_t DecryptMail(const MailDecryptOptions& options, MailSource source,
                    const std::function<bool(veldoran::MailPart&)>& attachment = nullptr);

// The display filter: the standard input to the standard output, every armour with its key
// comment lines replaced by its document where it stands, quoting kept. 0 unless the input
// cannot be read or the output written.
int32_t DecryptInline(const std::string& keyPrefix);

}  // namespace tool

#endif
