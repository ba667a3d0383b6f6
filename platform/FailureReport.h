/* What failed, for a host that wants to say more than a result code: every entry function of
 * the library starts the calling thread's report afresh, and the first failure of its run is
 * recorded where it happens (a failure while cleaning up after it does not replace it): which
 * file it concerned, in which role, the errno of the system call that failed (0 when the data
 * was at fault: a key of another key, a header out of range, a damaged message) and the step.
 * Plain C. */
#ifndef VELDORAN_PLATFORM_FAILUREREPORT_H
#define VELDORAN_PLATFORM_FAILUREREPORT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The file a failure concerned, by the part it played in the run. */
typedef enum VeldoranFailureRole {
    kVeldoranRoleNone = 0,          /* nothing failed, or no one file is concerned (memory short) */
    kVeldoranRoleSource = 1,        /* the document, message or file read */
    kVeldoranRoleTarget = 2,        /* the file written */
    kVeldoranRoleMasterKey = 3,     /* the year's master key file an encryption spends from */
    kVeldoranRoleUserKey = 4,       /* the sender's key file an encryption spends from */
    kVeldoranRoleFrameKey = 5,      /* a key file a message's frame names, read to decrypt it */
    kVeldoranRoleJournal = 6,       /* the key journal (pipelines/KeyJournal.h) */
    kVeldoranRoleContainerEntry = 7 /* an attachment container's entry; the container class,
                                        which works on blocks in memory, records none yet */
} VeldoranFailureRole;

/* What was being done to the file. */
typedef enum VeldoranFailureStep {
    kVeldoranStepNone = 0,
    kVeldoranStepOpen = 1, /* opening, or finding out what the file is */
    kVeldoranStepRead = 2,
    kVeldoranStepWrite = 3,
    kVeldoranStepLock = 4,
    kVeldoranStepSync = 5,    /* putting it on stable storage */
    kVeldoranStepReplace = 6, /* giving the new content the file's name */
    kVeldoranStepCheck = 7    /* checking its content: a header, a length, a checksum */
} VeldoranFailureStep;

/* Longest path the report holds, its NUL included; a longer one is cut. */
#define VELDORAN_FAILURE_PATH_SIZE 4096

typedef struct VeldoranFailure {
    int32_t code;        /* the result code the run returned; 0 when nothing failed */
    int32_t role;        /* a VeldoranFailureRole */
    int32_t step;        /* a VeldoranFailureStep */
    int32_t systemError; /* errno of the failing system call; 0 when the data was at fault */
    /* The file, as the run named it (a key file as <key folder>Clefs/<name>.<year text>); ""
     * when no file is concerned. A frame key's name comes from the message: a host shows it
     * escaped. */
    char path[VELDORAN_FAILURE_PATH_SIZE];
} VeldoranFailure;

/* Copies the calling thread's report of its last library call into *failure: all zero (code 0,
 * path "") after a call that succeeded. The copy is the caller's and stays valid. Returns the
 * report's code. */
int32_t veldoranLastFailure(VeldoranFailure* failure);

#ifdef __cplusplus
}
#endif

#endif
