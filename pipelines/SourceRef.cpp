// Every file pipeline's source opened one way.
#include "pipelines/SourceRef.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/FailureRecord.h"

namespace {

int32_t OpenSource(TypUtils* utils, const char* path, const veldoran::SourceRules& rules,
                   int32_t trace, veldoran::Owned<TypFileRefUnix>* ref, uint32_t* length) {
    int32_t result = veldoran::MakeSourceRef(utils, path, ref);
    if (result != kNoErr) {
        return result;
    }
    TypFileRefUnix* source = ref->get();
    if (source->Exists() != kNoErr) {
        return kOtherErr;
    }
    result = source->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    struct stat info {};
    if (rules.regularOnly && (source->GetInfo(&info) != kNoErr || !S_ISREG(info.st_mode))) {
        return veldoran::RecordFailure(kVeldoranRoleSource, kOtherErr, path, kVeldoranStepOpen, 0);
    }
    int32_t sourceLength = 0;
    result = source->GetLength(&sourceLength);
    if (trace != 0) {
        printf("%s%d\n", rules.lengthLabel, sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    // The query never hands back a negative length with success.
    *length = static_cast<uint32_t>(sourceLength);
    return source->SetFilePos(0);
}

}  // namespace

int32_t veldoran::OpenSourceFile(TypUtils* utils, const char* path, const SourceRules& rules,
                                 int32_t trace, Owned<TypFileRefUnix>* ref, uint32_t* length) {
    const int32_t result = OpenSource(utils, path, rules, trace, ref, length);
    if (result != kNoErr && strlen(path) > kMaxPathLength) {
        return RecordFailure(kVeldoranRoleSource, result, path, kVeldoranStepOpen, ENAMETOOLONG);
    }
    return RecordFailure(kVeldoranRoleSource, result, path);
}

int32_t veldoran::ReadSource(TypFileRefUnix* source, unsigned char* buffer, uint32_t count) {
    return RecordFailure(kVeldoranRoleSource, source->Read(buffer, count), source->path);
}
