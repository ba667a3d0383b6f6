// Finding the key file behind a failed decryption, layer by layer, with the library's own
// armour reader, cipher and key naming.
#include "shell/tool/ToolFrames.h"

#include <string.h>

#include <memory>

#include "veldoran.h"

namespace tool {

std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const unsigned char* frame,
                                 uint32_t length) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    if (utils.SetKeyFolderPath(keyPrefix.c_str()) != kNoErr) {
        return "";
    }
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    // Two layers: the sender's key, then the master key.
    const unsigned char* layer = frame;
    uint32_t layerLength = length;
    unsigned char* inner = nullptr;
    uint32_t innerLength = 0;
    std::string failedPath;
    for (int depth = 0; depth < 2 && layerLength >= kKeyHeaderSize; ++depth) {
        TypKeyHeader header{};
        memcpy(&header, layer, sizeof header);
        crypto.ConvertHeaderForLocalOS(&header);
        std::unique_ptr<TypFileRef> reference(utils.GetKeyFileRef(&header));
        auto* unixReference = dynamic_cast<TypFileRefUnix*>(reference.get());
        if (unixReference == nullptr) {
            break;
        }
        unsigned char* next = nullptr;
        uint32_t nextLength = 0;
        if (unixReference->Exists() != kNoErr ||
            crypto.UnCrypt(layer, layerLength, &next, &nextLength) != kNoErr) {
            failedPath = unixReference->path;
            utils.MyDisposeptr(&next, nextLength);
            break;
        }
        utils.MyDisposeptr(&inner, innerLength);
        inner = next;
        innerLength = nextLength;
        layer = inner;
        layerLength = innerLength;
    }
    utils.MyDisposeptr(&inner, innerLength);
    return failedPath;
}

std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const std::string& messageText) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    const int32_t decoded =
        armour.ASCIIToBin(reinterpret_cast<const unsigned char*>(messageText.data()),
                          static_cast<uint32_t>(messageText.size()), &frame, &frameLength);
    std::string path;
    if (decoded == kNoErr) {
        path = KeyFileOfFailedLayer(keyPrefix, frame, frameLength);
    }
    utils.MyDisposeptr(&frame, frameLength);
    return path;
}

}  // namespace tool
