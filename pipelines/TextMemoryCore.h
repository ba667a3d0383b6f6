// The in-memory runs behind crypterMem3 and decrypterMem3, with the utility object given by the
// caller: tests drive its memory failures through it.
#ifndef VELDORAN_PIPELINES_TEXTMEMORYCORE_H
#define VELDORAN_PIPELINES_TEXTMEMORYCORE_H

#include <stdint.h>

#include "pipelines/TextMemory.h"

class TypUtilsUnix;

// crypterMem3 after its null checks, with utils (not owned, not yet initialised). *out is set
// to null first. Every block it obtains from utils but the output is disposed of before it
// returns, and it obtains none once the keys are being spent. With write (not null), the
// message goes to it before the keys are spent and *out stays null.
int32_t EncryptTextInMemory(TypUtilsUnix* utils, const char* document, char** out, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            const char* param, const veldoran::MessageWriter* write = nullptr);

// decrypterMem3 after its null checks, with utils (not owned, not yet initialised). *document
// and *tail are set to null first. Every block it obtains from utils but the two out texts is
// disposed of before it returns.
int32_t DecryptTextInMemory(TypUtilsUnix* utils, const char* message, char** document,
                            const char* keyFolder, char** tail);

#endif
