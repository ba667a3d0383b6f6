// A document on its way to a terminal: the control characters a terminal would act on (C0 but
// tab and line ends, DEL, C1) written as \xNN, so that a stranger's letter cannot set the window
// title, clear the screen or hide text. It sits after the conversion into the user's charset,
// a piece at a time, in a buffer kept for the run.
#ifndef VELDORAN_SHELL_TOOL_TOOLTERMINALSINK_H
#define VELDORAN_SHELL_TOOL_TOOLTERMINALSINK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "shell/tool/ToolChangingSink.h"
#include "shell/tool/ToolControls.h"
#include "veldoran.h"

namespace tool {

// The escaping itself, for text in one charset: Escape each piece in order, then Finish.
class TerminalText {
  public:
    explicit TerminalText(const std::string& charset) : controls_(charset) {}

    // Appends the escaped form of count bytes at data to *shown; a byte whose meaning the next
    // piece decides waits for it.
    void Escape(const unsigned char* data, size_t count, std::string* shown);
    // Appends what waits, at the end of the text.
    void Finish(std::string* shown);

  private:
    size_t ResolveHeld(const unsigned char* data, size_t count, std::string* shown);

    TerminalControls controls_;
    // A carriage return, or the start of a possible control character, that ended the last
    // piece: what follows decides whether it is a line end, a control or text.
    std::string held_;
};

class TerminalTextSink : public ChangingSink {
  public:
    // Writes text in charset into next, which must outlive the sink. The escaped text is longer
    // than the document; a terminal sets nothing aside anyway.
    TerminalTextSink(const std::string& charset, veldoran::TargetSink* next)
        : ChangingSink(next), text_(charset) {}

  private:
    void Change(const unsigned char* data, size_t count, std::string* changed) override {
        text_.Escape(data, count, changed);
    }
    void Finish(std::string* changed) override { text_.Finish(changed); }

    TerminalText text_;
};

}  // namespace tool

#endif
