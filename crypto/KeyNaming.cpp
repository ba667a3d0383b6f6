// Finding a key file again from a key header: its name, a full stop and the year since 1900.
#include "platform/TypUtils.h"

// Not built yet.
TypFileRef* TypUtils::GetKeyFileRef(TypKeyHeader*) {
    return nullptr;
}
void TypUtils::GetKeyNameFromKeyHeader(const TypKeyHeader*, char* name) {
    name[0] = '\0';
}
