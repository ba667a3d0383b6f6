// Every file pipeline's source opened one way.
#include "pipelines/SourceRef.h"

#include <sys/stat.h>

#include <cstdio>

int32_t veldoran::OpenSourceFile(TypUtils* utils, const char* path, const SourceRules& rules,
                                 int32_t trace, Owned<TypFileRefUnix>* ref, uint32_t* length) {
    int32_t result = MakeSourceRef(utils, path, ref);
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
        return kOtherErr;
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
