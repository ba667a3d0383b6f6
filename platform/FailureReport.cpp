// The calling thread's failure report: the first failure recorded since the entry function
// started it, and the last low-level note waiting for a role.
#include "platform/FailureReport.h"

#include <cstring>

#include "platform/FailureRecord.h"

namespace {

struct Note {
    bool present = false;
    VeldoranFailureStep step = kVeldoranStepNone;
    int systemError = 0;
    char path[VELDORAN_FAILURE_PATH_SIZE] = {};
};

thread_local VeldoranFailure threadReport;
thread_local Note threadNote;

void CopyPath(char* destination, const char* path) {
    if (path == nullptr) {
        destination[0] = '\0';
        return;
    }
    const size_t length = strnlen(path, VELDORAN_FAILURE_PATH_SIZE - 1);
    // The same buffer may be handed back in: memmove.
    memmove(destination, path, length);
    destination[length] = '\0';
}

bool SamePath(const char* first, const char* second) {
    return strncmp(first, second, VELDORAN_FAILURE_PATH_SIZE - 1) == 0;
}

}  // namespace

int32_t veldoranLastFailure(VeldoranFailure* failure) {
    if (failure != nullptr) {
        *failure = threadReport;
    }
    return threadReport.code;
}

namespace veldoran {

void StartFailureReport() {
    memset(&threadReport, 0, sizeof threadReport);
    threadNote.present = false;
}

void NoteFailure(const char* path, VeldoranFailureStep step, int systemError) {
    if (FailureRecorded()) {
        return;
    }
    threadNote.present = true;
    threadNote.step = step;
    threadNote.systemError = systemError;
    CopyPath(threadNote.path, path);
}

int32_t RecordFailure(VeldoranFailureRole role, int32_t code, const char* path) {
    const bool noted = threadNote.present && (path == nullptr || SamePath(path, threadNote.path));
    if (!noted) {
        return RecordFailure(role, code, path, kVeldoranStepCheck, 0);
    }
    return RecordFailure(role, code, path != nullptr ? path : threadNote.path, threadNote.step,
                         threadNote.systemError);
}

int32_t RecordFailure(VeldoranFailureRole role, int32_t code, const char* path,
                      VeldoranFailureStep step, int systemError) {
    if (FailureRecorded() || code == 0) {
        return code;
    }
    threadReport.code = code;
    threadReport.role = role;
    threadReport.step = step;
    threadReport.systemError = systemError;
    CopyPath(threadReport.path, path);
    threadNote.present = false;
    return code;
}

void CorrectFailureStep(VeldoranFailureRole role, VeldoranFailureStep step) {
    if (FailureRecorded() && threadReport.role == role) {
        threadReport.step = step;
    }
}

int32_t FinishFailureReport(int32_t result) {
    if (result == 0) {
        StartFailureReport();
    } else if (!FailureRecorded()) {
        RecordFailure(kVeldoranRoleNone, result, nullptr, kVeldoranStepNone, 0);
    } else {
        threadReport.code = result;
    }
    return result;
}

VeldoranFailure CarryFailure() {
    if (FailureRecorded() || !threadNote.present) {
        return threadReport;
    }
    VeldoranFailure noted{};
    noted.step = threadNote.step;
    noted.systemError = threadNote.systemError;
    CopyPath(noted.path, threadNote.path);
    return noted;
}

VeldoranFailure SetFailureAside() {
    const VeldoranFailure aside = CarryFailure();
    StartFailureReport();
    return aside;
}

void AdoptFailure(const VeldoranFailure& carried) {
    if (carried.code != 0) {
        RecordFailure(static_cast<VeldoranFailureRole>(carried.role), carried.code, carried.path,
                      static_cast<VeldoranFailureStep>(carried.step), carried.systemError);
    } else if (carried.step != kVeldoranStepNone) {
        NoteFailure(carried.path, static_cast<VeldoranFailureStep>(carried.step),
                    carried.systemError);
    }
}

bool FailureRecorded() {
    return threadReport.code != 0;
}

}  // namespace veldoran
