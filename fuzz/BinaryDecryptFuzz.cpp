// Property: for any bytes, decrypterbinaireMem2 against the fuzz key folder reads nothing outside
// them, leaves them as they were, leaks nothing and never writes a key file (every one stays the
// same byte for byte); it returns 0, -1, -4, -5, -6, -7 or -8: exactly -4 below one key header
// (224 bytes), never 0 below two (448), never -4 from two on; on 0 it hands over an owned buffer of
// length - 448 bytes (null only when empty), on failure a null buffer and length 0. Decrypting the
// same bytes again gives the same answer. Round trip: any bytes encrypted with crypterbinaireMem2
// decrypt to the same bytes, and the decryption leaves the two key files it reads unchanged.
//
// The first input byte steers: even, the rest is the frame; odd, the rest is the data of a round
// trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/FuzzKeyFolder.h"
#include "common/FuzzTarget.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using fuzzsupport::IsResult;
using fuzzsupport::KeyFolder;
using fuzzsupport::KeysUnchanged;
using Bytes = std::vector<unsigned char>;

constexpr uint32_t kOneHeader = 224;
constexpr uint32_t kTwoHeaders = 2 * kOneHeader;

// Decrypts frame and checks what holds for any frame; on 0 the bytes go to plain.
int32_t DecryptAndCheck(const KeyFolder& folder, const Bytes& frame, Bytes* plain) {
    // A heap block of exactly the bytes, so that a read past them is caught.
    auto* block = static_cast<unsigned char*>(malloc(frame.empty() ? 1 : frame.size()));
    Check(block != nullptr);
    if (!frame.empty()) {
        memcpy(block, frame.data(), frame.size());
    }
    const auto length = static_cast<uint32_t>(frame.size());
    unsigned char* out = block;  // must be replaced whatever happens
    uint32_t outLength = 1;
    const int32_t result =
        decrypterbinaireMem2(block, length, &out, &outLength, folder.folder.c_str(), 0);
    Check(IsResult(result, {kNoErr, kOtherErr, kFrameTooShort, KeyNotFoundErr, kBadKeyHeader,
                            kMemErr, kOffsetOutOfRangeErr}));
    if (length < kOneHeader) {
        Check(result == kFrameTooShort);
    } else if (length < kTwoHeaders) {
        Check(result != kNoErr);
    } else {
        Check(result != kFrameTooShort);
    }
    if (result == kNoErr) {
        Check(outLength == length - kTwoHeaders && (out != nullptr || outLength == 0));
        plain->assign(out, out + outLength);
    } else {
        Check(out == nullptr && outLength == 0);
    }
    free(out);
    Check(frame.empty() || memcmp(block, frame.data(), frame.size()) == 0);
    free(block);
    return result;
}

void RoundTrip(KeyFolder& folder, const Bytes& data) {
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    Check(crypterbinaireMem2(data.empty() ? nullptr : data.data(),
                             static_cast<uint32_t>(data.size()), &frame, &frameLength,
                             fuzzsupport::kRoundTripSender, folder.folder.c_str(), 0) == kNoErr);
    Check(frame != nullptr && frameLength == data.size() + kTwoHeaders);
    fuzzsupport::Reread(&folder.roundTrip);
    const Bytes encrypted(frame, frame + frameLength);
    free(frame);
    Bytes back;
    Check(DecryptAndCheck(folder, encrypted, &back) == kNoErr);
    Check(back == data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 16)) {
        return 0;
    }
    KeyFolder& folder = fuzzsupport::SharedKeyFolder();
    const Bytes rest(data + 1, data + size);
    if ((data[0] & 0x01u) != 0) {
        RoundTrip(folder, rest);
    } else {
        Bytes first;
        const int32_t result = DecryptAndCheck(folder, rest, &first);
        Bytes second;
        Check(DecryptAndCheck(folder, rest, &second) == result && second == first);
    }
    Check(KeysUnchanged(folder));
    return 0;
}
