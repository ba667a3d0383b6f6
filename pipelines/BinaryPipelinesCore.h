// The binary pipelines' runs with the utility object, and for files the target's system calls,
// given by the caller: tests drive their memory and write failures through them.
#ifndef VELDORAN_PIPELINES_BINARYPIPELINESCORE_H
#define VELDORAN_PIPELINES_BINARYPIPELINESCORE_H

#include <stdint.h>

class TypUtilsUnix;
struct TypTargetWriterCalls;

// Each takes utils not yet initialised and not owned, and calls (null for the running
// system's); arguments are not null. Every block obtained from utils is disposed of before
// the run returns, but for the buffer a successful memory run hands to *out.

// crypterbinaire2 after its banner lines.
int32_t EncryptBinaryFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls,
                          const char* source, const char* target, const char* user,
                          const char* keyFolder, int32_t trace);
// decrypterbinaire.
int32_t DecryptBinaryFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls,
                          const char* source, const char* keyFolder, int32_t trace);
// crypterbinaireMem2 without its closing line; *out and *outLength already cleared.
int32_t EncryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* user,
                            const char* keyFolder, int32_t trace);
// decrypterbinaireMem2; *out and *outLength already cleared.
int32_t DecryptBinaryBuffer(TypUtilsUnix* utils, const unsigned char* data, uint32_t length,
                            unsigned char** out, uint32_t* outLength, const char* keyFolder,
                            int32_t trace);

#endif
