// Key reuse check: key headers read through the library, sizes taken from the library.
#include "shell/tool/ToolKeyReuse.h"

#include <memory>
#include <vector>

#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

struct KeyLayer {
    std::string fileName;  // <name>.<year text>
    std::string path;
    uint64_t streamLength = 0;
    int64_t left = 0;  // material from the position to the end
};

// Fills in the layer's path and what is left of its key; a report and a code on failure.
int32_t ReadLayerKey(TypUtilsUnix* utils, TypCryptoUnix* crypto, KeyLayer* layer) {
    std::unique_ptr<TypFileRef> reference(utils->GetFileRefForKeyName(layer->fileName.c_str()));
    auto* unixReference = dynamic_cast<TypFileRefUnix*>(reference.get());
    if (unixReference == nullptr) {
        return Fail(kOtherErr, layer->fileName, "key file path longer than 255 characters");
    }
    layer->path = unixReference->path;
    if (unixReference->Exists() != kNoErr) {
        return FailWithResult(kFNFErr, layer->path, Activity::kEncryptText);
    }
    TypKeyHeader header{};
    const int32_t read = crypto->GetKeyKeyHeader(&header, unixReference);
    unixReference->Kill();
    if (read != kNoErr) {
        return Fail(read, layer->path, "key file cannot be read, or is shorter than its header");
    }
    if (header.version != kVersion) {
        return FailWithResult(kBadKeyHeader, layer->path, Activity::kEncryptText);
    }
    if (header.keyLen < 1 || header.keyOffset < 0 || header.keyOffset > header.keyLen) {
        return FailWithResult(kOffsetOutOfRangeErr, layer->path, Activity::kEncryptText);
    }
    layer->left = static_cast<int64_t>(header.keyLen) - header.keyOffset;
    return kNoErr;
}

}  // namespace

int32_t CheckKeyReuse(const std::string& keyPrefix, const std::string& user, uint64_t messageLength,
                      bool refuse) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    if (utils.SetKeyFolderPath(keyPrefix.c_str()) != kNoErr) {
        return Fail(kOtherErr, keyPrefix, "key folder path longer than 255 characters");
    }
    char yearText[16] = {};
    utils.GetYearAsText(yearText);
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);

    std::vector<KeyLayer> layers(2);
    layers[0].fileName = std::string("Master.") + yearText;
    layers[0].streamLength = messageLength;
    layers[1].fileName = user + "." + yearText;
    layers[1].streamLength = messageLength + kKeyHeaderSize;
    for (KeyLayer& layer : layers) {
        const int32_t result = ReadLayerKey(&utils, &crypto, &layer);
        if (result != kNoErr) {
            return result;
        }
    }
    // A sender whose key is the master key itself: the second stream follows the first.
    if (layers[0].path == layers[1].path) {
        layers[1].streamLength += layers[0].streamLength;
        layers.erase(layers.begin());
    }
    for (const KeyLayer& layer : layers) {
        const uint64_t left = static_cast<uint64_t>(layer.left);
        if (layer.streamLength <= left) {
            continue;
        }
        const std::string words = "the message needs " + std::to_string(layer.streamLength) +
                                  " bytes of key material and " + std::to_string(left) +
                                  " are left before the key wraps, so " +
                                  std::to_string(layer.streamLength - left) +
                                  " bytes of it would be used a second time";
        if (refuse) {
            return Fail(kFrameTooLong, layer.path, words + "; nothing encrypted (--no-reuse)");
        }
        Warn(layer.path, words);
    }
    return kNoErr;
}

}  // namespace tool
