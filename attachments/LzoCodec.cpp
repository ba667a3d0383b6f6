// LZO1X-1 behind result codes. The library is initialised once per process; its compressor's
// work memory is allocated once per thread, the size the linked library asks for.
#include "attachments/LzoCodec.h"

#include <lzo/lzo1x.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "platform/ResultCodes.h"

namespace veldoran {

namespace {

int32_t InitResult() {
    // lzo_init only checks that the library agrees with this build's type sizes; the answer
    // cannot change, so one call serves the process (and is thread-safe as a static).
    static const int result = lzo_init();
    return result == LZO_E_OK ? kNoErr : kErrLZOInit;
}

struct FreeDeleter {
    void operator()(void* memory) const { free(memory); }
};

// The compressor's dictionary, per thread so that two threads may compress at once. It holds
// nothing between calls and the compressor clears what it uses, so it is not filled here.
// malloc's alignment suits lzo_align_t.
void* ThreadWorkMemory() {
    thread_local std::unique_ptr<void, FreeDeleter> workMemory;
    if (!workMemory) {
        workMemory.reset(malloc(LZO1X_1_MEM_COMPRESS));
    }
    return workMemory.get();
}

int RealCompressor(const unsigned char* input, unsigned long length, unsigned char* output,
                   unsigned long* outputLength, void* workMemory) {
    lzo_uint produced = 0;
    const int result = lzo1x_1_compress(input, length, output, &produced, workMemory);
    *outputLength = produced;
    return result;
}

std::atomic<LzoCompressorFunction> compressorCall{RealCompressor};

// LZO1X's fixed offsets: a three-byte match right after a literal run reaches back beyond the
// two-byte matches' window, and a far match beyond the near ones'.
constexpr size_t kNearWindow = 0x0800;
constexpr size_t kFarBase = 0x4000;

}  // namespace

void SetLzoCompressorForTesting(LzoCompressorFunction compressor) {
    compressorCall.store(compressor != nullptr ? compressor : RealCompressor);
}

int32_t LzoCompress(const unsigned char* input, size_t length, unsigned char* output,
                    size_t* outputLength) {
    const int32_t init = InitResult();
    if (init != kNoErr) {
        return init;
    }
    void* workMemory = ThreadWorkMemory();
    if (workMemory == nullptr) {
        return kMemErr;
    }
    unsigned long produced = 0;
    if (compressorCall.load(std::memory_order_relaxed)(input, length, output, &produced,
                                                       workMemory) != LZO_E_OK) {
        return kErrLZOCompress;
    }
    *outputLength = produced;
    return kNoErr;
}

int32_t LzoDecompress(const unsigned char* input, size_t length, unsigned char* output,
                      size_t capacity, size_t* outputLength) {
    const int32_t init = InitResult();
    if (init != kNoErr) {
        return init;
    }
    lzo_uint produced = capacity;
    if (lzo1x_decompress_safe(input, length, output, &produced, nullptr) != LZO_E_OK ||
        produced > capacity) {
        return kErrLZOCompress;
    }
    *outputLength = produced;
    return kNoErr;
}

int32_t LzoDecompressedLength(const unsigned char* input, size_t length, size_t capacity,
                              size_t* outputLength) {
    // The safe decompressor's walk, counting output bytes instead of writing them. Every check
    // stands where the decompressor makes the same one (some ask for more input than the step
    // reads, as it does), so both accept and refuse the same streams; every byte read here lies
    // within what the last check asked for.
    const unsigned char* ip = input;
    const unsigned char* const end = input + length;
    size_t produced = 0;
    auto inputHolds = [&](size_t count) { return static_cast<size_t>(end - ip) >= count; };
    auto outputTakes = [&](size_t count) { return capacity - produced >= count; };
    // A long length is 0 bytes worth 255 each, then a nonzero byte.
    auto extendLength = [&](size_t base, size_t* value) {
        size_t extra = 0;
        while (*ip == 0) {
            extra += 255;
            ++ip;
            if (!inputHolds(1)) {
                return false;
            }
        }
        *value = extra + base + *ip++;
        return true;
    };
    auto littleEndian16 = [&]() {
        const size_t value = ip[0] | size_t{ip[1]} << 8;
        ip += 2;
        return value;
    };

    enum class Step { kInstruction, kAfterLiterals, kMatch, kMatchDone, kTrailingLiterals };
    Step step = Step::kInstruction;
    size_t t = 0;
    if (!inputHolds(1)) {
        return kErrLZOCompress;
    }
    if (*ip > 17) {
        // A stream may open with a literal run coded in its first byte.
        t = static_cast<size_t>(*ip++ - 17);
        if (t < 4) {
            step = Step::kTrailingLiterals;
        } else {
            if (!outputTakes(t) || !inputHolds(t + 3)) {
                return kErrLZOCompress;
            }
            produced += t;
            ip += t;
            step = Step::kAfterLiterals;
        }
    }
    for (;;) {
        size_t distance = 0;
        size_t count = 0;
        switch (step) {
            case Step::kInstruction:
                if (!inputHolds(3)) {
                    return kErrLZOCompress;
                }
                t = *ip++;
                if (t >= 16) {
                    step = Step::kMatch;
                    break;
                }
                if (t == 0 && !extendLength(15, &t)) {
                    return kErrLZOCompress;
                }
                if (!outputTakes(t + 3) || !inputHolds(t + 6)) {
                    return kErrLZOCompress;
                }
                produced += t + 3;
                ip += t + 3;
                step = Step::kAfterLiterals;
                break;
            case Step::kAfterLiterals:
                t = *ip++;
                if (t >= 16) {
                    step = Step::kMatch;
                    break;
                }
                distance = 1 + kNearWindow + (t >> 2) + (size_t{*ip++} << 2);
                if (distance > produced || !outputTakes(3)) {
                    return kErrLZOCompress;
                }
                produced += 3;
                step = Step::kMatchDone;
                break;
            case Step::kMatch:
                if (t >= 64) {
                    distance = 1 + ((t >> 2) & 7) + (size_t{*ip++} << 3);
                    count = (t >> 5) + 1;
                } else if (t >= 32) {
                    t &= 31;
                    if (t == 0 && (!extendLength(31, &t) || !inputHolds(2))) {
                        return kErrLZOCompress;
                    }
                    distance = 1 + (littleEndian16() >> 2);
                    count = t + 2;
                } else if (t >= 16) {
                    size_t offset = (t & 8) << 11;
                    t &= 7;
                    if (t == 0 && (!extendLength(7, &t) || !inputHolds(2))) {
                        return kErrLZOCompress;
                    }
                    offset += littleEndian16() >> 2;
                    if (offset == 0) {
                        // The end-of-stream code: nothing may follow it.
                        if (ip != end) {
                            return kErrLZOCompress;
                        }
                        *outputLength = produced;
                        return kNoErr;
                    }
                    distance = offset + kFarBase;
                    count = t + 2;
                } else {
                    distance = 1 + (t >> 2) + (size_t{*ip++} << 2);
                    count = 2;
                }
                if (distance > produced || !outputTakes(count)) {
                    return kErrLZOCompress;
                }
                produced += count;
                step = Step::kMatchDone;
                break;
            case Step::kMatchDone:
                // Up to three literals follow a match, counted in the low bits of the byte
                // before its last.
                t = ip[-2] & 3u;
                step = t == 0 ? Step::kInstruction : Step::kTrailingLiterals;
                break;
            case Step::kTrailingLiterals:
                if (!outputTakes(t) || !inputHolds(t + 3)) {
                    return kErrLZOCompress;
                }
                produced += t;
                ip += t;
                t = *ip++;
                step = Step::kMatch;
                break;
        }
    }
}

}  // namespace veldoran
