// Internal: how the library fills the thread's failure report (platform/FailureReport.h). The
// lowest layers know a failing call's path, errno and step but not what the file is to the run:
// they Note it. The layer that knows the role (a pipeline for its source and keys, the target
// writer for the target, the journal) Records the failure, taking the noted details when they
// concern the same file. The first failure recorded after Start stays.
#ifndef VELDORAN_PLATFORM_FAILURERECORD_H
#define VELDORAN_PLATFORM_FAILURERECORD_H

#include <stdint.h>

#include "platform/FailureReport.h"

namespace veldoran {

// Empties the calling thread's report: the first thing every entry function does.
void StartFailureReport();

// A system call on path failed with systemError at step (or, with systemError 0, its data did
// not do). Kept until a later note or a Record; nothing once a failure is recorded.
void NoteFailure(const char* path, VeldoranFailureStep step, int systemError);

// Records that the run fails with code because of the file at path in role, and returns code.
// The errno and step are the last note's when it was about path (or path is null, taking the
// note's path); otherwise the data was at fault: errno 0 and step check. Nothing changes once a
// failure is recorded.
int32_t RecordFailure(VeldoranFailureRole role, int32_t code, const char* path);

// The same with every detail given.
int32_t RecordFailure(VeldoranFailureRole role, int32_t code, const char* path,
                      VeldoranFailureStep step, int systemError);

// Sets the step of the failure recorded, when it is role's: for a caller that knows better what
// was being done to the file than the layer that recorded it.
void CorrectFailureStep(VeldoranFailureRole role, VeldoranFailureStep step);

// Ends an entry function's report with the run's result, and returns it: a run that succeeded
// leaves the report empty, whatever was noted on the way; a failure no layer recorded is
// recorded without a file; a recorded one takes result as its code, the code the caller sees.
int32_t FinishFailureReport(int32_t result);

// The calling thread's report as it stands: the failure recorded, or (with code 0) the last
// note, for a step run on a thread of its own to hand back to the thread whose run it is.
VeldoranFailure CarryFailure();
// CarryFailure, then the report emptied: for a failure that counts only if nothing fails after
// it, adopted again when the run comes to it.
VeldoranFailure SetFailureAside();
// Takes over what another thread carried (or what was set aside), unless this thread has recorded a
// failure already.
void AdoptFailure(const VeldoranFailure& carried);

// Whether a failure is recorded since the last Start.
bool FailureRecorded();

}  // namespace veldoran

#endif
