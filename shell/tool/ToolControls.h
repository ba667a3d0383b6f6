// The characters of a text that a terminal acts on rather than shows: C0 (with DEL) and C1, the
// latter as code points U+0080 to U+009F in UTF-8 and as the bytes that stand for them (or for
// nothing) in any other charset. Whatever a stranger wrote is looked at through this before it
// reaches a terminal or becomes a file name.
#ifndef VELDORAN_SHELL_TOOL_TOOLCONTROLS_H
#define VELDORAN_SHELL_TOOL_TOOLCONTROLS_H

#include <stddef.h>

#include <array>
#include <string>

namespace tool {

class TerminalControls {
  public:
    // What At answers when the bytes end inside what may be a control character.
    static constexpr size_t kCut = static_cast<size_t>(-1);

    // For text in charset (any name iconv takes; one it does not know is taken for ASCII with
    // every byte above 0x7F shown).
    explicit TerminalControls(const std::string& charset);

    // The length in bytes of the control character that begins at data (count > 0 bytes
    // there): 0 when none does, kCut when the bytes end inside a possible one.
    size_t At(const unsigned char* data, size_t count) const;
    // Whether text holds a control character anywhere.
    bool AnyIn(const std::string& text) const;

  private:
    bool utf8_ = false;
    std::array<bool, 256> control_{};  // by the byte
};

// The controls of the user's locale, the charset the terminal and the file names are in.
const TerminalControls& LocaleControls();

}  // namespace tool

#endif
