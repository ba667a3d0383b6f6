// Finding the key file behind a failed decryption, layer by layer, with the library's own
// armour reader, cipher and key naming.
#include "shell/tool/ToolFrames.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolProgress.h"
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

std::string KeyFileOfFailedFrameFile(const std::string& keyPrefix, const std::string& path) {
    // A key layer decrypts any prefix of its frame: the outer header and the inner one behind
    // it are all the key files need to be named and tried.
    // One byte more, so that the inner layer holds data to decrypt.
    unsigned char headers[2 * kKeyHeaderSize + 1];
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    size_t got = 0;
    while (file.IsOpen() && got < sizeof headers) {
        const ssize_t read =
            pread(file.Get(), headers + got, sizeof headers - got, static_cast<off_t>(got));
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            break;
        }
        got += static_cast<size_t>(read);
    }
    return KeyFileOfFailedLayer(keyPrefix, headers, static_cast<uint32_t>(got));
}

bool WithFrameOf(const std::string& messageText,
                 const std::function<void(const unsigned char* frame, uint32_t length)>& use) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    const int32_t decoded =
        armour.ASCIIToBin(reinterpret_cast<const unsigned char*>(messageText.data()),
                          static_cast<uint32_t>(messageText.size()), &frame, &frameLength);
    if (decoded == kNoErr) {
        use(frame, frameLength);
    }
    utils.MyDisposeptr(&frame, frameLength);
    return decoded == kNoErr;
}

std::string KeyFileOfFailedLayer(const std::string& keyPrefix, const std::string& messageText) {
    std::string path;
    WithFrameOf(messageText, [&](const unsigned char* frame, uint32_t length) {
        path = KeyFileOfFailedLayer(keyPrefix, frame, length);
    });
    return path;
}

bool FailOnKeyFile(int32_t code, const std::function<std::string()>& find, Activity activity) {
    if (code != KeyNotFoundErr && code != kOffsetOutOfRangeErr) {
        return false;
    }
    const std::string keyFile = find();
    if (keyFile.empty()) {
        return false;
    }
    FailWithResult(code, EscapeForTerminal(keyFile), activity);
    return true;
}

int32_t DecryptFrame(const std::string& input, const unsigned char* frame, size_t frameLength,
                     const std::string& keyPrefix, bool trace, Activity activity,
                     const std::string& notAFrame, unsigned char** data, uint32_t* length) {
    *data = nullptr;
    *length = 0;
    if (frameLength > static_cast<size_t>(INT32_MAX)) {
        return Fail(kFrameTooLong, input, DescribeResult(kFrameTooLong, activity));
    }
    const auto length32 = static_cast<uint32_t>(frameLength);
    int32_t result = kNoErr;
    {
        Progress progress("decrypting " + DisplayName(input, false), frameLength);
        TraceOnStandardError traceRedirect(trace);
        result =
            decrypterbinaireMem2(frame, length32, data, length, keyPrefix.c_str(), trace ? 1 : 0);
    }
    if (result == kNoErr) {
        return kNoErr;
    }
    free(*data);
    *data = nullptr;
    *length = 0;
    if (FailOnKeyFile(
            result, [&]() { return KeyFileOfFailedLayer(keyPrefix, frame, length32); }, activity)) {
        return result;
    }
    if (!notAFrame.empty() && (result == kFrameTooShort || result == kBadKeyHeader)) {
        return Fail(result, input, notAFrame);
    }
    return FailWithResult(result, input, activity);
}

}  // namespace tool
