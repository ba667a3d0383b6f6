// Key reuse check: the library's key use hook.
#include "shell/tool/ToolKeyReuse.h"

#include <vector>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

KeyReuseCheck::KeyReuseCheck(bool refuse, const LaterStreams* later)
    : refuse_(refuse), later_(later) {
    veldoranSetKeyUseHook(&KeyReuseCheck::Decide, this);
}

KeyReuseCheck::~KeyReuseCheck() {
    veldoranSetKeyUseHook(nullptr, nullptr);
}

int32_t KeyReuseCheck::Decide(void* context, const VeldoranKeyLayer* layers, uint32_t count) {
    auto* check = static_cast<KeyReuseCheck*>(context);
    struct Layer {
        const VeldoranKeyLayer* shown;
        std::string path;
        uint64_t streamLength;
        uint64_t left;  // material from the position to the end
    };
    std::vector<Layer> checked;
    for (uint32_t k = 0; k < count; ++k) {
        const VeldoranKeyLayer& layer = layers[k];
        checked.push_back({&layer, layer.path, layer.streamLength,
                           static_cast<uint64_t>(static_cast<int64_t>(layer.keyLen) -
                                                 static_cast<int64_t>(layer.keyOffset))});
    }
    // A sender whose key is the master key itself: the second stream follows the first.
    if (checked.size() == 2 && checked[0].path == checked[1].path) {
        checked[1].streamLength += checked[0].streamLength;
        checked.erase(checked.begin());
    }
    bool withLater = false;
    if (check->later_ != nullptr) {
        for (Layer& layer : checked) {
            const auto later = check->later_->find(layer.path);
            if (later != check->later_->end() && later->second > 0) {
                layer.streamLength += later->second;
                withLater = true;
            }
        }
    }
    for (const Layer& layer : checked) {
        if (layer.streamLength <= layer.left) {
            continue;
        }
        const std::string words =
            std::string(withLater ? "the messages of this run need " : "the message needs ") +
            std::to_string(layer.streamLength) + " bytes of key material and " +
            std::to_string(layer.left) + " are left before the key wraps, so " +
            std::to_string(layer.streamLength - layer.left) +
            " bytes of it would be used a second time";
        if (check->refuse_) {
            Fail(kKeyUseRefused, layer.path, words + "; nothing encrypted (--no-reuse)");
            return veldoranRefuseKeyUse(layer.shown);
        }
        Warn(layer.path, words);
    }
    return kNoErr;
}

KeyUseProbe::KeyUseProbe() {
    veldoranSetKeyUseHook(&KeyUseProbe::Note, this);
}

KeyUseProbe::~KeyUseProbe() {
    veldoranSetKeyUseHook(nullptr, nullptr);
}

int32_t KeyUseProbe::Note(void* context, const VeldoranKeyLayer* layers, uint32_t count) {
    auto* probe = static_cast<KeyUseProbe*>(context);
    probe->asked_ = true;
    for (uint32_t k = 0; k < count; ++k) {
        probe->streams_[layers[k].path] += layers[k].streamLength;
    }
    // Any code but 0 ends the run with nothing spent; the caller looks at Asked().
    return kOtherErr;
}

}  // namespace tool
