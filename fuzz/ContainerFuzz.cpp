// Property: for any block, TypPieceJointe::LoadStruct (formats 1 and 2) reads nothing outside
// it, leaves it as it was and returns 0, -4, -7, -10, -11, -14 or -15 (-10 only when the
// entries' lengths together pass the load bound, set here to kLoadBound, and then with no entry
// and no allocation); the container then holds 0 to
// knbmaxpj entries, GetDataN lends each one's data (readable to its length, null only when
// empty) and refuses an index outside them with -1, GetNameN lends each one's name, and a block
// for which HoldsContainer is false loads nothing with 0; Kill releases every block it took.
// Round trip: when the block loads (result 0), GetStruct writes a block that loads again with 0
// into the same sender, the same entries and data, and GetStruct of that gives the same block.
// LoadIndex of the block gives LoadStruct's result (unless -10 or -7), the same names and, through
// GetLengthN and ReadEntryN, the same lengths and data. The block read as one LZO stream:
// LzoDecompressedLength and LzoDecompress accept and refuse it alike, with the same length.
// Short of memory at the allocation the first input byte names (1 to 255; 0 none), LoadStruct
// gives -7 or the result it gives with memory to spare, and still leaks nothing.
// The rest of the input is the block.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "attachments/LzoCodec.h"
#include "common/FuzzTarget.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using fuzzsupport::IsResult;
using Bytes = std::vector<unsigned char>;

constexpr size_t kSenderBuffer = 200;
// Low, so that a block declaring a lot is refused rather than slowly allocated.
constexpr int64_t kLoadBound = int64_t{1} << 24;
constexpr size_t kStreamCapacity = 1u << 16;

struct Loaded {
    int32_t result = 0;
    Bytes sender;
    std::vector<Bytes> entries;
    std::vector<Bytes> names;
};

// Loads block into a fresh container over utils, checks what holds for any block and returns
// what the container holds; with written set, also the block GetStruct writes from it.
Loaded Load(testsupport::FailingUtils& utils, const Bytes& block, Bytes* written) {
    // A heap block of exactly the bytes, so that a read past them is caught.
    std::vector<unsigned char> exact(block);
    auto* container = new TypPieceJointe;
    Check(container->InitCreate(&utils) == kNoErr);
    Loaded loaded;
    container->SetLoadBound(kLoadBound);
    const bool holds = container->HoldsContainer(exact.data(), static_cast<int32_t>(exact.size()));
    const int callsBefore = utils.calls();
    loaded.result = container->LoadStruct(exact.data(), static_cast<int32_t>(exact.size()));
    Check(holds || (loaded.result == kNoErr && container->GetNbFiles() == 0));
    Check(IsResult(loaded.result, {kNoErr, kFrameTooShort, kMemErr, kAttachmentToBig,
                                   kNonVeldoranedAttachement, kErrLZOCompress, kErrLZOInit}));
    Check(loaded.result != kAttachmentToBig ||
          (container->GetNbFiles() == 0 && utils.calls() == callsBefore));
    Check(exact == block);

    const int32_t count = container->GetNbFiles();
    Check(count >= 0 && count <= knbmaxpj);
    for (int32_t index = 0; index < count; ++index) {
        unsigned char* data = nullptr;
        int32_t length = -1;
        Check(container->GetDataN(index, &data, &length) == kNoErr);
        Check(length >= 0 && (data != nullptr || length == 0));
        loaded.entries.emplace_back(data, data + length);
        int32_t heldLength = -1;
        Check(container->GetLengthN(index, &heldLength) == kNoErr && heldLength == length);
        const char* name = nullptr;
        int32_t nameLength = -1;
        Check(container->GetNameN(index, &name, &nameLength, nullptr) == kNoErr && name != nullptr);
        Check(nameLength >= 0 && static_cast<size_t>(nameLength) < exact.size());
        Check(name[nameLength] == '\0' && strlen(name) <= static_cast<size_t>(nameLength));
        loaded.names.emplace_back(name, name + nameLength);
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

// LoadIndex and ReadEntryN against what Load found with LoadStruct.
void CheckIndex(testsupport::FailingUtils& utils, const Bytes& block, const Loaded& whole) {
    std::vector<unsigned char> exact(block);
    const auto length = static_cast<int32_t>(exact.size());
    auto* container = new TypPieceJointe;
    Check(container->InitCreate(&utils) == kNoErr);
    const int32_t result = container->LoadIndex(exact.data(), length);
    Check(result != kAttachmentToBig);
    if (whole.result != kAttachmentToBig && whole.result != kMemErr) {
        Check(result == whole.result);
        Check(static_cast<size_t>(container->GetNbFiles()) == whole.entries.size());
    }
    std::vector<unsigned char> buffer;
    for (int32_t index = 0; index < container->GetNbFiles(); ++index) {
        const char* name = nullptr;
        int32_t nameLength = -1;
        Check(container->GetNameN(index, &name, &nameLength, nullptr) == kNoErr);
        int32_t entryLength = -1;
        Check(container->GetLengthN(index, &entryLength) == kNoErr && entryLength >= 0);
        const bool compared = static_cast<size_t>(index) < whole.entries.size();
        if (compared) {
            Check(Bytes(name, name + nameLength) == whole.names[static_cast<size_t>(index)]);
            Check(static_cast<size_t>(entryLength) ==
                  whole.entries[static_cast<size_t>(index)].size());
        }
        // Read only what stays small, so that a block declaring a lot costs no time.
        if (static_cast<size_t>(entryLength) > kStreamCapacity) {
            continue;
        }
        buffer.assign(static_cast<size_t>(entryLength) + 1, 0);
        int32_t produced = -1;
        const int32_t read = container->ReadEntryN(exact.data(), length, index, buffer.data(),
                                                   entryLength, &produced);
        Check(IsResult(read, {kNoErr, kErrLZOCompress, kErrLZOInit}));
        if (read == kNoErr) {
            Check(produced == entryLength);
            if (compared) {
                Check(Bytes(buffer.begin(), buffer.begin() + produced) ==
                      whole.entries[static_cast<size_t>(index)]);
            }
        }
        Check(container->ReadEntryN(exact.data(), length, index, buffer.data(), entryLength - 1,
                                    &produced) == kOtherErr);
    }
    Check(exact == block);
    Check(container->Kill() == kNoErr);
    delete container;
    Check(utils.liveBlocks() == 0);
}

// The measure against the decompressor, on any bytes.
void CheckStreamLength(const Bytes& stream) {
    static unsigned char output[kStreamCapacity];
    std::vector<unsigned char> exact(stream);
    size_t measured = 0;
    veldoran::LzoScratch scratch;
    const int32_t measure = veldoran::LzoDecompressedLength(exact.data(), exact.size(),
                                                            kStreamCapacity, &scratch, &measured);
    size_t decompressed = 0;
    const int32_t real =
        veldoran::LzoDecompress(exact.data(), exact.size(), output, kStreamCapacity, &decompressed);
    Check((measure == kNoErr) == (real == kNoErr));
    Check(measure != kNoErr || measured == decompressed);
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

    CheckIndex(utils, block, first);
    CheckStreamLength(block);

    if (first.result == kNoErr) {
        Bytes rewritten;
        const Loaded second = Load(utils, written, &rewritten);
        Check(second.result == kNoErr);
        Check(second.sender == first.sender);
        Check(second.entries == first.entries);
        Check(second.names == first.names);
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
