// The text encryption run behind crypter3, with the utility object and the target's system
// calls given by the caller: tests drive its memory and write failures through them.
#ifndef VELDORAN_PIPELINES_TEXTENCRYPTIONCORE_H
#define VELDORAN_PIPELINES_TEXTENCRYPTIONCORE_H

#include <stdint.h>

#include "pipelines/StreamOptions.h"

class TypUtilsUnix;
struct TypTargetWriterCalls;

// crypter3 after its first trace lines, with utils (not owned, not yet initialised) and calls
// (null for the running system's). Every block it obtains from utils is disposed of before it
// returns. options (null for the defaults) sets the chunk size and the progress hook.
int32_t EncryptTextFile(TypUtilsUnix* utils, const TypTargetWriterCalls* calls, const char* source,
                        const char* target, const char* user, const char* keyFolder, const char* to,
                        const char* cc, const char* bcc, int32_t trace,
                        const veldoran::StreamOptions* options = nullptr);

#endif
