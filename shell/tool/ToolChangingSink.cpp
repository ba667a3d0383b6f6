// The piece changed, then written on in pieces the next sink takes.
#include "shell/tool/ToolChangingSink.h"

#include <algorithm>

namespace tool {

int32_t ChangingSink::Write(const unsigned char* data, uint32_t count) {
    changed_.clear();
    Change(data, count, &changed_);
    return WriteChanged();
}

int32_t ChangingSink::WriteChanged() {
    const auto* bytes = reinterpret_cast<const unsigned char*>(changed_.data());
    for (size_t done = 0; done < changed_.size();) {
        const auto count =
            static_cast<uint32_t>(std::min<size_t>(changed_.size() - done, UINT32_MAX));
        const int32_t result = next_->Write(bytes + done, count);
        if (result != kNoErr) {
            return result;
        }
        done += count;
    }
    return kNoErr;
}

int32_t ChangingSink::FinishText() {
    if (finished_) {
        return kNoErr;
    }
    finished_ = true;
    changed_.clear();
    Finish(&changed_);
    return WriteChanged();
}

int32_t ChangingSink::SyncContent() {
    const int32_t result = FinishText();
    return result != kNoErr ? result : next_->SyncContent();
}

int32_t ChangingSink::Commit() {
    const int32_t result = FinishText();
    return result != kNoErr ? result : next_->Commit();
}

}  // namespace tool
