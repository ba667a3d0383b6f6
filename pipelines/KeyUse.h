/* Key use, for a host that wants a say before key material is spent: every encrypting pipeline
 * (the text and binary ones, on files and on buffers) calls the hook once per run, on the
 * calling thread, once both key files are locked and checked and before anything of the run is
 * prepared or spent, with what each layer is about to take. The headers it is shown are the
 * ones the run spends from: no other run can move them until this one has finished, so a
 * decision taken there (refusing a run that would wrap around a key, say) holds even for runs
 * at the same time in other threads or processes. Plain C. */
#ifndef VELDORAN_PIPELINES_KEYUSE_H
#define VELDORAN_PIPELINES_KEYUSE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One key layer of a run. */
typedef struct VeldoranKeyLayer {
    const char* path;            /* the key file: <key folder>Clefs/<name>.<year text> */
    const unsigned char* header; /* its 224-byte header as locked, in stored (big-endian) order */
    int32_t keyLen;              /* from that header: bytes of key material */
    int32_t keyOffset;           /* where this run's key stream begins, 0 to keyLen */
    int32_t useCount;            /* encryptions made with the key before this one */
    uint64_t streamLength;       /* bytes of key stream this run takes from the key */
} VeldoranKeyLayer;

/* layers[0] is the year's master key (its stream covers the message), layers[1] the sender's
 * key (the master key's frame: the message and one 224-byte header); count is 2. The pointers
 * are valid during the call only. 0 lets the run go on; any other value ends it with that
 * result, no key material spent and nothing written. A hook that refuses a run returns
 * veldoranRefuseKeyUse(the layer concerned), which is kKeyUseRefused (-19) and puts that key
 * in the thread's failure report (platform/FailureReport.h). The key files are locked while the
 * hook runs: it must not open them or run a pipeline itself. */
typedef int32_t (*VeldoranKeyUseHook)(void* context, const VeldoranKeyLayer* layers,
                                      uint32_t count);

/* Sets the hook, and the context it is given, for the pipelines the calling thread runs from now
 * on; a null hook lets every run go on unasked. Each thread has its own hook. */
void veldoranSetKeyUseHook(VeldoranKeyUseHook hook, void* context);

/* For a hook to return when it refuses a run because of one of the layers it was shown (a
 * pointer into its layers): kKeyUseRefused, with that layer's key (master or sender's) and path
 * recorded in the failure report. */
int32_t veldoranRefuseKeyUse(const VeldoranKeyLayer* layer);

#ifdef __cplusplus
}
#endif

#endif
