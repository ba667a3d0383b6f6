// The document converted into the user's charset on its way to the output.
#include "shell/tool/ToolTextSink.h"

#include "shell/tool/ToolErrors.h"

namespace tool {

std::string UserTextOf(const std::string& document, const std::string& charset) {
    veldoran::UserTextWriter writer;
    if (!writer.Open(charset)) {
        return document;
    }
    std::string text;
    writer.Convert(reinterpret_cast<const unsigned char*>(document.data()), document.size(), &text);
    writer.Finish(&text);
    return text;
}

void WarnOfReplacements(const std::string& shown, const std::string& charset,
                        const veldoran::UserTextWriter& writer) {
    if (writer.Replaced() == 0) {
        return;
    }
    const bool one = writer.Replaced() == 1;
    Warn(shown, std::to_string(writer.Replaced()) + (one ? " character that" : " characters that") +
                    " Windows-1252 leaves unassigned or " + charset + " lacks " +
                    (one ? "was" : "were") + " written as U+FFFD (or ?)");
}

}  // namespace tool
