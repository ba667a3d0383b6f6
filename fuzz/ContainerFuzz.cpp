// Property: for any block, TypPieceJointe::LoadStruct (formats 1 and 2) reads nothing outside
// it, leaves it as it was and returns 0, -4, -7, -11, -14 or -15; the container then holds 0 to
// knbmaxpj entries, GetDataN lends each one's data (readable to its length, null only when
// empty) and refuses an index outside them with -1, GetNameN lends each one's name, and a block
// for which HoldsContainer is false loads nothing with 0; Kill releases every block it took.
// Round trip: when the block loads (result 0), GetStruct writes a block that loads again with 0
// into the same sender, the same entries and data, and GetStruct of that gives the same block.
// Short of memory at the allocation the first input byte names (1 to 255; 0 none), LoadStruct
// gives -7 or the result it gives with memory to spare, and still leaks nothing.
// The rest of the input is the block.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/FuzzTarget.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using fuzzsupport::IsResult;
using Bytes = std::vector<unsigned char>;

constexpr size_t kSenderBuffer = 200;

struct Loaded {
    int32_t result = 0;
    Bytes sender;
    std::vector<Bytes> entries;
};

// Loads block into a fresh container over utils, checks what holds for any block and returns
// what the container holds; with written set, also the block GetStruct writes from it.
Loaded Load(testsupport::FailingUtils& utils, const Bytes& block, Bytes* written) {
    // A heap block of exactly the bytes, so that a read past them is caught.
    std::vector<unsigned char> exact(block);
    auto* container = new TypPieceJointe;
    Check(container->InitCreate(&utils) == kNoErr);
    Loaded loaded;
    const bool holds = container->HoldsContainer(exact.data(), static_cast<int32_t>(exact.size()));
    loaded.result = container->LoadStruct(exact.data(), static_cast<int32_t>(exact.size()));
    Check(holds || (loaded.result == kNoErr && container->GetNbFiles() == 0));
    Check(IsResult(loaded.result, {kNoErr, kFrameTooShort, kMemErr, kNonVeldoranedAttachement,
                                   kErrLZOCompress, kErrLZOInit}));
    Check(exact == block);

    const int32_t count = container->GetNbFiles();
    Check(count >= 0 && count <= knbmaxpj);
    for (int32_t index = 0; index < count; ++index) {
        unsigned char* data = nullptr;
        int32_t length = -1;
        Check(container->GetDataN(index, &data, &length) == kNoErr);
        Check(length >= 0 && (data != nullptr || length == 0));
        loaded.entries.emplace_back(data, data + length);
        const char* name = nullptr;
        Check(container->GetNameN(index, &name, nullptr) == kNoErr && name != nullptr);
        Check(strlen(name) < static_cast<size_t>(exact.size()));
    }
    unsigned char* untouched = nullptr;
    int32_t untouchedLength = -2;
    Check(container->GetDataN(count, &untouched, &untouchedLength) == kOtherErr);
    Check(container->GetDataN(-1, &untouched, &untouchedLength) == kOtherErr);
    Check(untouched == nullptr && untouchedLength == -2);
    const char* untouchedName = nullptr;
    Check(container->GetNameN(count, &untouchedName, nullptr) == kOtherErr);
    Check(untouchedName == nullptr);

    char sender[kSenderBuffer];
    container->GetExpediteur(sender);
    loaded.sender.assign(sender, sender + strnlen(sender, kSenderBuffer));

    if (written != nullptr) {
        unsigned char* out = nullptr;
        int32_t outLength = 0;
        Check(container->GetStruct(&out, &outLength) == kNoErr);
        Check(out != nullptr && outLength > 0);
        written->assign(out, out + outLength);
        utils.MyDisposeptr(&out, static_cast<uint32_t>(outLength));
    }
    Check(container->Kill() == kNoErr);
    Check(container->Kill() == kNoErr);
    delete container;
    Check(utils.liveBlocks() == 0);
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) {
        return 0;
    }
    const uint8_t failingAllocation = data[0];
    const Bytes block(data + 1, data + size);

    testsupport::FailingUtils utils;
    utils.InitCreate(nullptr);
    Bytes written;
    const Loaded first = Load(utils, block, &written);

    if (first.result == kNoErr) {
        Bytes rewritten;
        const Loaded second = Load(utils, written, &rewritten);
        Check(second.result == kNoErr);
        Check(second.sender == first.sender);
        Check(second.entries == first.entries);
        Check(rewritten == written);
    }

    if (failingAllocation != 0) {
        utils.FailCall(failingAllocation);
        const Loaded shortOfMemory = Load(utils, block, nullptr);
        Check(shortOfMemory.result == kMemErr || shortOfMemory.result == first.result);
        utils.FailCall(0);
    }
    return 0;
}
