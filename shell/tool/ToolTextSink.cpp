// The document converted into the user's charset on its way to the output.
#include "shell/tool/ToolTextSink.h"

#include <algorithm>

#include "shell/tool/ToolErrors.h"

namespace tool {

int32_t UserTextSink::Write(const unsigned char* data, uint32_t count) {
    converted_.clear();
    writer_->Convert(data, count, &converted_);
    return WriteConverted();
}

int32_t UserTextSink::WriteConverted() {
    const auto* bytes = reinterpret_cast<const unsigned char*>(converted_.data());
    for (size_t done = 0; done < converted_.size();) {
        const auto count =
            static_cast<uint32_t>(std::min<size_t>(converted_.size() - done, UINT32_MAX));
        const int32_t result = next_->Write(bytes + done, count);
        if (result != kNoErr) {
            return result;
        }
        done += count;
    }
    return kNoErr;
}

int32_t UserTextSink::FinishText() {
    if (finished_) {
        return kNoErr;
    }
    finished_ = true;
    converted_.clear();
    writer_->Finish(&converted_);
    return WriteConverted();
}

int32_t UserTextSink::SyncContent() {
    const int32_t result = FinishText();
    return result != kNoErr ? result : next_->SyncContent();
}

int32_t UserTextSink::Commit() {
    const int32_t result = FinishText();
    return result != kNoErr ? result : next_->Commit();
}

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
