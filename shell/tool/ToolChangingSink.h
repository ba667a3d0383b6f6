// A sink in front of another that changes each piece on its way through (a conversion, an
// escaping) in a buffer kept for the run, so that a document of any size passes in constant
// memory; what the change holds back at the end goes out before the content is synced.
#ifndef VELDORAN_SHELL_TOOL_TOOLCHANGINGSINK_H
#define VELDORAN_SHELL_TOOL_TOOLCHANGINGSINK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "veldoran.h"

namespace tool {

class ChangingSink : public veldoran::TargetSink {
  public:
    // Writes into next, which must outlive the sink.
    explicit ChangingSink(veldoran::TargetSink* next) : next_(next) {}

    // The document's length: what is set aside is the next sink's to judge.
    int32_t Reserve(uint64_t length) override { return next_->Reserve(length); }
    int32_t Write(const unsigned char* data, uint32_t count) override;
    int32_t SyncContent() override;
    int32_t Commit() override;
    int32_t Kill() override { return next_->Kill(); }
    bool InPlace() const override { return next_->InPlace(); }

  protected:
    // Appends the changed form of count bytes at data to *changed.
    virtual void Change(const unsigned char* data, size_t count, std::string* changed) = 0;
    // Appends what ends the changed text.
    virtual void Finish(std::string* changed) = 0;

  private:
    int32_t WriteChanged();
    int32_t FinishText();

    veldoran::TargetSink* next_;
    std::string changed_;
    bool finished_ = false;
};

}  // namespace tool

#endif
