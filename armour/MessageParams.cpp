// Message framing: the recipient block and parameter texts appended to a message and cut off
// again.
#include <cstring>

#include "armour/MessageLayout.h"
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

namespace {

using veldoran::kRecipientBlockEnd;
using veldoran::kRecipientBlockStart;
constexpr char kParamBegin[] = "BEGIN#";
constexpr char kParamEnd[] = "END#";

// A parameter name and its longer suffix, with the NUL, fit in this many bytes.
constexpr size_t kMarkerCapacity = 120;
constexpr size_t kMaxNameLength = kMarkerCapacity - sizeof kParamBegin;  // 113
constexpr int32_t kMaxValueLength = 249;

size_t TextLength(const char* text) {
    return text != nullptr ? strlen(text) : 0;
}

// name followed by suffix, NUL-terminated, in marker; false when it does not fit.
bool MakeMarker(const char* name, const char* suffix, char (&marker)[kMarkerCapacity]) {
    const size_t nameLength = strlen(name);
    if (nameLength > kMaxNameLength) {
        return false;
    }
    memcpy(marker, name, nameLength);
    memcpy(marker + nameLength, suffix, strlen(suffix) + 1);
    return true;
}

// Copies pieces one after another into a block.
class BlockFiller {
  public:
    BlockFiller(TypUtils* utils, unsigned char* block) : utils_(utils), cursor_(block) {}
    void Put(const void* source, size_t count) {
        utils_->MyBlockMove(source, cursor_, static_cast<uint32_t>(count));
        cursor_ += count;
    }
    void Put(const char* text) { Put(text, TextLength(text)); }

  private:
    TypUtils* utils_;
    unsigned char* cursor_;
};

// Allocates the block of a growing message: the caller's out pointer stays null until the
// block is filled, its out length holds the length asked for. kMemErr when that length does
// not fit 32 bits or memory is short.
int32_t NewMessageBlock(TypUtils* utils, uint64_t total, unsigned char** out, uint32_t* outLength,
                        unsigned char** block) {
    *out = nullptr;
    if (total > UINT32_MAX) {
        return kMemErr;
    }
    *outLength = static_cast<uint32_t>(total);
    *block = utils->MyNewPtr(static_cast<uint32_t>(total));
    return *block == nullptr ? kMemErr : kNoErr;
}

// Hands the caller a new block holding count bytes from source; kMemErr, with *out null and
// *outLength the length asked for, when memory is short.
int32_t CopyToNewBlock(TypUtils* utils, const unsigned char* source, uint32_t count,
                       unsigned char** out, uint32_t* outLength) {
    *outLength = count;
    *out = utils->MyNewPtr(count);
    if (*out == nullptr) {
        return kMemErr;
    }
    utils->MyBlockMove(source, *out, count);
    return kNoErr;
}

}  // namespace

int32_t TypUtils::GetParam(const unsigned char* message, uint32_t length, const char* name,
                           char* value) {
    value[0] = '\0';
    char beginMarker[kMarkerCapacity];
    char endMarker[kMarkerCapacity];
    if (!MakeMarker(name, kParamBegin, beginMarker) || !MakeMarker(name, kParamEnd, endMarker)) {
        return -1;
    }
    const int32_t begin = FindSubString(message, length, beginMarker);
    if (begin < 0) {
        return -1;
    }
    const int64_t valueStart = int64_t{begin} + static_cast<int64_t>(strlen(beginMarker));
    const int32_t end = FindSubString(message, length, endMarker);
    if (end < 0) {
        return -1;
    }
    const int64_t valueLength = end - valueStart;
    // An end marker before the end of the start marker frames no value.
    if (valueLength < 0) {
        return -1;
    }
    if (valueLength > kMaxValueLength) {
        return static_cast<int32_t>(valueLength);
    }
    MyBlockMove(message + valueStart, value, static_cast<uint32_t>(valueLength));
    value[valueLength] = '\0';
    return static_cast<int32_t>(valueLength);
}

int32_t TypUtils::ExistParam(const unsigned char* message, uint32_t length, const char* name) {
    char beginMarker[kMarkerCapacity];
    char endMarker[kMarkerCapacity];
    if (!MakeMarker(name, kParamBegin, beginMarker) || !MakeMarker(name, kParamEnd, endMarker)) {
        return 0;
    }
    return FindSubString(message, length, beginMarker) >= 0 &&
                   FindSubString(message, length, endMarker) >= 0
               ? 1
               : 0;
}

int32_t TypUtils::RemoveParamFromMessage(const unsigned char* message, uint32_t length,
                                         unsigned char** out, uint32_t* outLength) {
    const int32_t found = FindSubString(message, length, kRecipientBlockStart);
    const uint32_t documentLength = found < 0 ? length : static_cast<uint32_t>(found);
    return CopyToNewBlock(this, message, documentLength, out, outLength);
}

int32_t TypUtils::GetAllParamFromMessage(const unsigned char* message, uint32_t length,
                                         unsigned char** out, uint32_t* outLength) {
    const int32_t found = FindSubString(message, length, kRecipientBlockStart);
    const uint32_t tailStart = found < 0 ? length : static_cast<uint32_t>(found);
    return CopyToNewBlock(this, message + tailStart, length - tailStart, out, outLength);
}

uint64_t veldoran::RecipientBlockLength(const char* to, const char* cc, const char* bcc) {
    return (sizeof kRecipientBlockStart - 1) + TextLength(to) + 1 + TextLength(cc) + 1 +
           TextLength(bcc) + (sizeof kRecipientBlockEnd - 1);
}

int32_t TypUtils::AddDestToMessage(const unsigned char* message, uint32_t length,
                                   unsigned char** out, uint32_t* outLength, const char* to,
                                   const char* cc, const char* bcc) {
    const uint64_t total = uint64_t{length} + veldoran::RecipientBlockLength(to, cc, bcc);
    unsigned char* block = nullptr;
    if (NewMessageBlock(this, total, out, outLength, &block) != kNoErr) {
        return kMemErr;
    }
    BlockFiller filler(this, block);
    filler.Put(message, length);
    filler.Put(kRecipientBlockStart);
    filler.Put(to);
    filler.Put(",");
    filler.Put(cc);
    filler.Put(",");
    filler.Put(bcc);
    filler.Put(kRecipientBlockEnd);
    *out = block;
    return kNoErr;
}

int32_t TypUtils::AddParamToMessage(const unsigned char* message, uint32_t length,
                                    unsigned char** out, uint32_t* outLength, const char* param) {
    const uint64_t total = uint64_t{length} + TextLength(param);
    unsigned char* block = nullptr;
    if (NewMessageBlock(this, total, out, outLength, &block) != kNoErr) {
        return kMemErr;
    }
    BlockFiller filler(this, block);
    filler.Put(message, length);
    filler.Put(param);
    *out = block;
    return kNoErr;
}
