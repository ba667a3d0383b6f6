// A document on its way out to the user: a sink in front of the tool's output that writes each
// piece of the Windows-1252 document in the user's charset as it passes, in a buffer kept for
// the run, so that a document of any size is converted in constant memory.
#ifndef VELDORAN_SHELL_TOOL_TOOLTEXTSINK_H
#define VELDORAN_SHELL_TOOL_TOOLTEXTSINK_H

#include <stdint.h>

#include <string>

#include "veldoran.h"

namespace tool {

class UserTextSink : public veldoran::TargetSink {
  public:
    // Writes into next, which must outlive the sink, through writer (opened for the user's
    // charset).
    UserTextSink(veldoran::UserTextWriter* writer, veldoran::TargetSink* next)
        : writer_(writer), next_(next) {}

    // The document's length: the converted text is at least as long in every charset that
    // holds the document's characters, so this sets aside no more than will be written.
    int32_t Reserve(uint64_t length) override { return next_->Reserve(length); }
    int32_t Write(const unsigned char* data, uint32_t count) override;
    // What ends the text in a charset with shift states goes out before the content is synced.
    int32_t SyncContent() override;
    int32_t Commit() override;
    int32_t Kill() override { return next_->Kill(); }
    bool InPlace() const override { return next_->InPlace(); }

  private:
    int32_t WriteConverted();
    int32_t FinishText();

    veldoran::UserTextWriter* writer_;
    veldoran::TargetSink* next_;
    std::string converted_;
    bool finished_ = false;
};

// A short document text (a recipient list) in the user's charset, U+FFFD where it cannot be.
std::string UserTextOf(const std::string& document, const std::string& charset);

// Reports, as a warning naming shown, the characters writer wrote as U+FFFD, if any.
void WarnOfReplacements(const std::string& shown, const std::string& charset,
                        const veldoran::UserTextWriter& writer);

}  // namespace tool

#endif
