// Internal: how a streaming file pipeline runs, for the programs on the library and for tests:
// the chunk it reads at a time and a progress hook.
#ifndef VELDORAN_PIPELINES_STREAMOPTIONS_H
#define VELDORAN_PIPELINES_STREAMOPTIONS_H

#include <stdint.h>

namespace veldoran {

// About 1 MiB, a whole number of armour lines' input (45 bytes), so that a chunk is encoded in
// whole lines.
inline constexpr uint32_t kDefaultChunkSize = 45u * 23302u;

struct StreamOptions {
    // Bytes of the document per chunk; rounded down to a multiple of 45, at least 450 (the
    // two frame headers fit one window). Tests make it small to cross chunk edges cheaply.
    uint32_t chunkSize = kDefaultChunkSize;
    // Called after each chunk with the bytes of the document done so far and the total.
    void (*progress)(void* context, uint64_t done, uint64_t total) = nullptr;
    void* progressContext = nullptr;

    uint32_t Chunk() const {
        constexpr uint32_t kLine = 45;
        const uint32_t rounded = chunkSize / kLine * kLine;
        return rounded < 10 * kLine ? 10 * kLine : rounded;
    }
    // Chunk() for a document of length bytes: no more than its whole lines need, so that a
    // letter does not pay for blocks a thousand times its size (still at least 450).
    uint32_t ChunkFor(uint64_t length) const {
        constexpr uint64_t kLine = 45;
        const uint32_t most = Chunk();
        const uint64_t lines = (length + kLine - 1) / kLine * kLine;
        return lines >= most        ? most
               : lines < 10 * kLine ? 10 * kLine
                                    : static_cast<uint32_t>(lines);
    }
    void Report(uint64_t done, uint64_t total) const {
        if (progress != nullptr) {
            progress(progressContext, done, total);
        }
    }
};

// The defaults, with the progress hook the calling thread set (veldoranSetProgress): what the
// entry functions run with.
StreamOptions CallersStreamOptions();

// options when given, else the caller's: what a file run takes its options as.
inline StreamOptions GivenOrCallersOptions(const StreamOptions* options) {
    return options != nullptr ? *options : CallersStreamOptions();
}

}  // namespace veldoran

#endif
