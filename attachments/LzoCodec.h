// The container's access to LZO1X-1: one compressed stream per entry. Safe to call from several
// threads at once: the compressor's work memory belongs to the calling thread.
#ifndef VELDORAN_ATTACHMENTS_LZOCODEC_H
#define VELDORAN_ATTACHMENTS_LZOCODEC_H

#include <stddef.h>
#include <stdint.h>

#include "platform/OwnedBlock.h"

namespace veldoran {

// The most bytes LZO1X-1 can make of length input bytes (LZO's documented worst case for
// incompressible data).
constexpr size_t LzoCompressedBound(size_t length) {
    return length + length / 16 + 64 + 3;
}

// Compresses length bytes into output, which holds LzoCompressedBound(length) bytes; the stream's
// length goes to *outputLength. kNoErr; kErrLZOInit when the library refuses to start; kMemErr
// when this thread's work memory cannot be allocated; kErrLZOCompress when the compressor fails.
int32_t LzoCompress(const unsigned char* input, size_t length, unsigned char* output,
                    size_t* outputLength);

// Decompresses one stream of length bytes into output, never reading past the stream nor writing
// past capacity; the decompressed length goes to *outputLength. kNoErr; kErrLZOInit; or
// kErrLZOCompress for a stream that is damaged, cut short, has bytes after its end or would
// decompress to more than capacity bytes.
int32_t LzoDecompress(const unsigned char* input, size_t length, unsigned char* output,
                      size_t capacity, size_t* outputLength);

// Output room for measuring streams, reused for every stream of a load: it grows only as far
// as the longest stream measured needs. Its bytes are not to be used.
class LzoScratch {
  public:
    // At least size bytes of room. kNoErr, or kMemErr with the room as it was.
    int32_t Reserve(size_t size);
    unsigned char* data() { return buffer_.data(); }
    // One byte is held past the room asked for, so that room for nothing is still a block.
    size_t size() const { return buffer_.length() == 0 ? 0 : buffer_.length() - 1; }

  private:
    // What a measurement decompressed: parts of an attachment, wiped when given back.
    OwnedBlock buffer_;
};

// The length one stream decompresses to. An LZO1X stream records no such length, so the stream
// is decompressed by LZO's own safe decompressor into scratch, which grows (doubling, never past
// capacity) while the stream needs more room. kNoErr with *outputLength exactly what
// LzoDecompress gives for the stream with that capacity; kErrLZOCompress exactly where
// LzoDecompress fails (damaged, cut short, bytes after its end, more than capacity bytes);
// kErrLZOInit; kMemErr when the scratch cannot grow. Reads nothing outside the stream, so a
// reader can learn what an entry holds, or refuse it, before allocating anything for the entry.
int32_t LzoDecompressedLength(const unsigned char* input, size_t length, size_t capacity,
                              LzoScratch* scratch, size_t* outputLength);

// The compressor call, replaceable so that tests can make compression fail (the real one never
// does on valid arguments). Arguments and result as lzo1x_1_compress; null restores it.
using LzoCompressorFunction = int (*)(const unsigned char* input, unsigned long length,
                                      unsigned char* output, unsigned long* outputLength,
                                      void* workMemory);
void SetLzoCompressorForTesting(LzoCompressorFunction compressor);

}  // namespace veldoran

#endif
