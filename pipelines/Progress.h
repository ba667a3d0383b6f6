/* Progress of the streaming file pipelines, for a host that shows it: crypter2, crypter3,
 * decrypter2, crypterbinaire, crypterbinaire2 and decrypterbinaire call the hook after each
 * chunk they finish (about a mebibyte of the document) with the bytes done so far and the total.
 * The in-memory functions do their work in one piece and call no hook. Plain C. */
#ifndef VELDORAN_PIPELINES_PROGRESS_H
#define VELDORAN_PIPELINES_PROGRESS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the thread that runs the pipeline; it must not call the pipelines itself. */
typedef void (*VeldoranProgressHook)(void* context, uint64_t done, uint64_t total);

/* Sets the hook, and the context it is given, for the pipelines the calling thread runs from now
 * on; a null hook switches progress off. Each thread has its own hook, so concurrent runs on
 * other threads are not reported to it. */
void veldoranSetProgress(VeldoranProgressHook hook, void* context);

#ifdef __cplusplus
}
#endif

#endif
