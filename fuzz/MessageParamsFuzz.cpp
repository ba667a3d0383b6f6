// Property: on any decrypted text and any parameter name, the message operations read nothing
// outside the message, leave the message and the name as they were, leak nothing, and answer
// as the message's bytes say, checked against a plain search written here:
// - RemoveParamFromMessage and GetAllParamFromMessage return kNoErr with an owned block (or
//   kMemErr with a null block): the bytes before the first "#DESTBEGIN#" (all of them without
//   one) and the bytes from there on; the two together are the message again.
// - ExistParam is 1 exactly when name + "BEGIN#" and name + "END#" both occur and the name has
//   at most 113 bytes, else 0.
// - GetParam writes only into its 250-byte value buffer and returns -1 when a marker is
//   missing, the name is too long or the end marker starts before the value does; otherwise the
//   distance k from the end of the first start marker to the first end marker, with the value
//   those k bytes and a NUL when k <= 249, and left empty when k > 249.
// - A message without "#DESTBEGIN#" before its end gets its recipient block back whole:
//   AddDestToMessage then RemoveParamFromMessage gives the message again.
//
// The input is the name, a NUL byte, then the message; without a NUL the name is "Sujet" and
// the whole input is the message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/FuzzTarget.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using fuzzsupport::IsResult;
using Bytes = std::vector<unsigned char>;

constexpr char kDestBegin[] = "#DESTBEGIN#";
constexpr size_t kValueBuffer = 250;
constexpr size_t kMaxName = 113;
constexpr int64_t kMaxValue = 249;

// First position of pattern in bytes, or -1. The pattern's bytes are compared unsigned, as the
// library compares them (a char above 0x7F would not equal the same byte otherwise).
int64_t Find(const Bytes& bytes, const std::string& text) {
    const Bytes pattern(text.begin(), text.end());
    const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
    return at == bytes.end() && !pattern.empty() ? -1 : at - bytes.begin();
}

// A heap block of exactly the bytes, so that a read past them is caught.
unsigned char* ExactCopy(const Bytes& bytes) {
    auto* block = static_cast<unsigned char*>(malloc(bytes.empty() ? 1 : bytes.size()));
    Check(block != nullptr);
    if (!bytes.empty()) {
        memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

// Runs a producing operation; the bytes it hands over, and whether it handed any over.
template <typename Operation>
bool Produce(testsupport::FailingUtils& utils, Operation operation, Bytes* produced) {
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    const int32_t result = operation(&out, &outLength);
    Check(IsResult(result, {kNoErr, kMemErr}));
    Check((result == kNoErr) == (out != nullptr));
    if (out == nullptr) {
        return false;
    }
    produced->assign(out, out + outLength);
    utils.MyDisposeptr(&out, outLength);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const auto* separator = static_cast<const uint8_t*>(memchr(data, 0, size));
    const std::string name = separator != nullptr
                                 ? std::string(reinterpret_cast<const char*>(data),
                                               static_cast<size_t>(separator - data))
                                 : std::string("Sujet");
    const Bytes message(separator != nullptr ? separator + 1 : data, data + size);
    const auto length = static_cast<uint32_t>(message.size());
    unsigned char* block = ExactCopy(message);
    char* nameBlock = static_cast<char*>(malloc(name.size() + 1));
    Check(nameBlock != nullptr);
    memcpy(nameBlock, name.c_str(), name.size() + 1);

    testsupport::FailingUtils utils;
    utils.InitCreate(nullptr);

    // The document and the tail, cut at the first recipient marker.
    const int64_t marker = Find(message, kDestBegin);
    const size_t cut = marker < 0 ? message.size() : static_cast<size_t>(marker);
    Bytes document;
    Bytes tail;
    Check(Produce(
        utils,
        [&](unsigned char** out, uint32_t* outLength) {
            return utils.RemoveParamFromMessage(block, length, out, outLength);
        },
        &document));
    Check(Produce(
        utils,
        [&](unsigned char** out, uint32_t* outLength) {
            return utils.GetAllParamFromMessage(block, length, out, outLength);
        },
        &tail));
    Check(document == Bytes(message.begin(), message.begin() + static_cast<ptrdiff_t>(cut)));
    Check(tail == Bytes(message.begin() + static_cast<ptrdiff_t>(cut), message.end()));

    // A named parameter, against the same search done here.
    const bool nameFits = name.size() <= kMaxName;
    const int64_t begin = nameFits ? Find(message, name + "BEGIN#") : -1;
    const int64_t end = nameFits ? Find(message, name + "END#") : -1;
    const int32_t exists = utils.ExistParam(block, length, nameBlock);
    Check(exists == ((begin >= 0 && end >= 0) ? 1 : 0));

    auto* value = static_cast<char*>(malloc(kValueBuffer));
    Check(value != nullptr);
    memset(value, 'x', kValueBuffer);
    const int32_t found = utils.GetParam(block, length, nameBlock, value);
    const int64_t valueStart = begin + static_cast<int64_t>(name.size() + strlen("BEGIN#"));
    const int64_t k = end - valueStart;
    if (begin < 0 || end < 0 || k < 0) {
        Check(found == -1 && value[0] == '\0');
    } else if (k > kMaxValue) {
        Check(found == k && value[0] == '\0');
    } else {
        Check(found == k && value[k] == '\0' &&
              memcmp(value, message.data() + valueStart, static_cast<size_t>(k)) == 0);
    }
    free(value);

    // The recipient block added and cut off again, when its marker is the first one.
    Bytes withBlock;
    Check(Produce(
        utils,
        [&](unsigned char** out, uint32_t* outLength) {
            return utils.AddDestToMessage(block, length, out, outLength, "dupont,durand", "", "");
        },
        &withBlock));
    if (Find(withBlock, kDestBegin) == static_cast<int64_t>(message.size())) {
        unsigned char* copy = ExactCopy(withBlock);
        Bytes back;
        Check(Produce(
            utils,
            [&](unsigned char** out, uint32_t* outLength) {
                return utils.RemoveParamFromMessage(copy, static_cast<uint32_t>(withBlock.size()),
                                                    out, outLength);
            },
            &back));
        Check(back == message);
        free(copy);
    }

    // Short of memory, the producing operations hand over nothing and report it.
    utils.FailCall(1, true);
    unsigned char* out = block;
    uint32_t outLength = 0;
    Check(utils.RemoveParamFromMessage(block, length, &out, &outLength) == kMemErr &&
          out == nullptr && outLength == cut);
    out = block;
    Check(utils.GetAllParamFromMessage(block, length, &out, &outLength) == kMemErr &&
          out == nullptr && outLength == message.size() - cut);

    Check(utils.liveBlocks() == 0);
    Check(message.empty() || memcmp(block, message.data(), message.size()) == 0);
    Check(name == nameBlock);
    free(nameBlock);
    free(block);
    return 0;
}
