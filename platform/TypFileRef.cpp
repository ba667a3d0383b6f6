// Placeholder operations of the abstract file reference: each succeeds without doing anything.
#include "platform/TypFileRef.h"

#include "platform/ResultCodes.h"

int32_t TypFileRef::InitCreate(TypUtils* theUtils) {
    utils = theUtils;
    return kNoErr;
}

int32_t TypFileRef::Kill() {
    return kNoErr;
}
int32_t TypFileRef::OpenDF(int32_t) {
    return kNoErr;
}

int32_t TypFileRef::GetLength(int32_t* length) {
    *length = 0;
    return kNoErr;
}

int32_t TypFileRef::SetFilePos(uint32_t) {
    return kNoErr;
}
int32_t TypFileRef::Read(unsigned char*, uint32_t) {
    return kNoErr;
}
int32_t TypFileRef::Write(const unsigned char*, uint32_t) {
    return kNoErr;
}
int32_t TypFileRef::CloseDF() {
    return kNoErr;
}
int32_t TypFileRef::Exists() {
    return kNoErr;
}
int32_t TypFileRef::Delete() {
    return kNoErr;
}
int32_t TypFileRef::IsOpend() {
    return kNoErr;
}
