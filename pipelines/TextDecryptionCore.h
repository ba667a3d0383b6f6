// The text decryption run behind decrypter2, with the utility object and the target's system
// calls given by the caller: tests drive its memory and write failures through them.
#ifndef VELDORAN_PIPELINES_TEXTDECRYPTIONCORE_H
#define VELDORAN_PIPELINES_TEXTDECRYPTIONCORE_H

#include <stdint.h>

#include "pipelines/StreamOptions.h"

class TypUtilsUnix;
struct TypTargetWriterCalls;

// decrypter2 after its null checks, with utils (not owned, not yet initialised) and calls
// (null for the running system's). Every block it obtains from utils is disposed of before it
// returns. options (null for the defaults) sets the chunk size and the progress hook.
int32_t DecryptTextFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls, const char* source,
                        const char* keyFolder, int32_t trace,
                        const veldoran::StreamOptions* options = nullptr);

#endif
