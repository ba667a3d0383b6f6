// A document on its way out to the user: a sink in front of the tool's output that writes each
// piece of the Windows-1252 document in the user's charset as it passes, in a buffer kept for
// the run, so that a document of any size is converted in constant memory.
#ifndef VELDORAN_SHELL_TOOL_TOOLTEXTSINK_H
#define VELDORAN_SHELL_TOOL_TOOLTEXTSINK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "shell/tool/ToolChangingSink.h"
#include "veldoran.h"

namespace tool {

class UserTextSink : public ChangingSink {
  public:
    // Writes into next, which must outlive the sink, through writer (opened for the user's
    // charset). The converted text is at least as long as the document in every charset that
    // holds the document's characters, so the document's length sets aside no more than will
    // be written; what ends the text in a charset with shift states goes out before the content
    // is synced.
    UserTextSink(veldoran::UserTextWriter* writer, veldoran::TargetSink* next)
        : ChangingSink(next), writer_(writer) {}

  private:
    void Change(const unsigned char* data, size_t count, std::string* changed) override {
        writer_->Convert(data, count, changed);
    }
    void Finish(std::string* changed) override { writer_->Finish(changed); }

    veldoran::UserTextWriter* writer_;
};

// A short document text (a recipient list) in the user's charset, U+FFFD where it cannot be.
std::string UserTextOf(const std::string& document, const std::string& charset);

// Reports, as a warning naming shown, the characters writer wrote as U+FFFD, if any.
void WarnOfReplacements(const std::string& shown, const std::string& charset,
                        const veldoran::UserTextWriter& writer);

}  // namespace tool

#endif
