// The binary pipelines' runs with the utility object, and for files the target's system calls,
// given by the caller: tests drive their memory and write failures through them.
#ifndef VELDORAN_PIPELINES_BINARYPIPELINESCORE_H
#define VELDORAN_PIPELINES_BINARYPIPELINESCORE_H

#include <stdint.h>

#include "pipelines/BinaryPipelines.h"
#include "pipelines/StreamOptions.h"

class TypUtilsUnix;
namespace veldoran {
struct TargetWriterCalls;
}  // namespace veldoran

// Each takes utils not yet initialised and not owned, and calls (null for the running
// system's); arguments are not null. Every block obtained from utils is disposed of before
// the run returns, but for the buffer a successful memory run hands to *out. The file runs
// stream in chunks; options (null for the defaults) sets the chunk size and the progress hook.

// crypterbinaire2 after its banner lines.
int32_t EncryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* target, const char* user,
                          const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options = nullptr);
// decrypterbinaire.
int32_t DecryptBinaryFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                          const char* source, const char* keyFolder, int32_t trace,
                          const veldoran::StreamOptions* options = nullptr);
// crypterbinaireMem2 without its closing line; *out and *outLength already cleared. With write
// (not null) the frame goes to it before the keys are spent and is not handed back.
int32_t EncryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* user,
                            const char* keyFolder, int32_t trace,
                            const veldoran::FrameWriter* write = nullptr);
// decrypterbinaireMem2; *out and *outLength already cleared.
int32_t DecryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* keyFolder,
                            int32_t trace);

#endif
