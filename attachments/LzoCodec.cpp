// LZO1X-1 behind result codes. The library is initialised once per process; its compressor's
// work memory is allocated once per thread, the size the linked library asks for.
#include "attachments/LzoCodec.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <atomic>

#include "platform/ResultCodes.h"

namespace veldoran {

namespace {

int32_t InitResult() {
    // lzo_init only checks that the library agrees with this build's type sizes; the answer
    // cannot change, so one call serves the process (and is thread-safe as a static).
    static const int result = lzo_init();
    return result == LZO_E_OK ? kNoErr : kErrLZOInit;
}

// The compressor's dictionary, per thread so that two threads may compress at once. It holds
// nothing between calls and the compressor clears what it uses, so it is not filled here.
// malloc's alignment suits lzo_align_t.
void* ThreadWorkMemory() {
    thread_local OwnedBlock workMemory;
    if (workMemory.data() == nullptr) {
        workMemory.AllocateUnfilled(LZO1X_1_MEM_COMPRESS);
    }
    return workMemory.data();
}

int RealCompressor(const unsigned char* input, unsigned long length, unsigned char* output,
                   unsigned long* outputLength, void* workMemory) {
    lzo_uint produced = 0;
    const int result = lzo1x_1_compress(input, length, output, &produced, workMemory);
    *outputLength = produced;
    return result;
}

std::atomic<LzoCompressorFunction> compressorCall{RealCompressor};

// The scratch a measurement starts with, before a stream shows it needs more.
constexpr size_t kFirstScratchSize = size_t{64} * 1024;

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

int32_t LzoScratch::Reserve(size_t size) {
    if (size < buffer_.length()) {
        return kNoErr;
    }
    if (size >= UINT32_MAX) {
        return kMemErr;
    }
    // Never filled: the decompressor writes what it measures.
    OwnedBlock larger;
    if (larger.AllocateUnfilled(static_cast<uint32_t>(size + 1)) != kNoErr) {
        return kMemErr;
    }
    buffer_.Adopt(larger.Pointer(), larger.Length());
    return kNoErr;
}

int32_t LzoDecompressedLength(const unsigned char* input, size_t length, size_t capacity,
                              LzoScratch* scratch, size_t* outputLength) {
    const int32_t init = InitResult();
    if (init != kNoErr) {
        return init;
    }
    // A first try that fits most streams: text rarely shrinks to less than an eighth.
    size_t trySize = std::min(capacity, std::max(kFirstScratchSize, length * 8));
    trySize = std::max(trySize, std::min(capacity, scratch->size()));
    for (;;) {
        const int32_t reserved = scratch->Reserve(trySize);
        if (reserved != kNoErr) {
            return reserved;
        }
        lzo_uint produced = trySize;
        const int result =
            lzo1x_decompress_safe(input, length, scratch->data(), &produced, nullptr);
        if (result == LZO_E_OK && produced <= capacity) {
            *outputLength = produced;
            return kNoErr;
        }
        if (result != LZO_E_OUTPUT_OVERRUN || trySize >= capacity) {
            return kErrLZOCompress;
        }
        trySize = capacity / 2 < trySize ? capacity : trySize * 2;
    }
}

}  // namespace veldoran
