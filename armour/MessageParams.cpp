// Message framing: the recipient block, parameter texts, byte-pattern search and hexadecimal
// number fields.
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

// Not built yet.
void TypUtils::PushLongHexaAtAddress(uint32_t, unsigned char**) {}
uint32_t TypUtils::PopHexaFromAddress(const unsigned char**) {
    return 0;
}
int32_t TypUtils::FindSubString(const unsigned char*, uint32_t, const char*) {
    return -1;
}
int32_t TypUtils::FindSubStringFromEnd(const unsigned char*, uint32_t, const char*) {
    return -1;
}
int32_t TypUtils::GetParam(const unsigned char*, uint32_t, const char*, char*) {
    return -1;
}
int32_t TypUtils::ExistParam(const unsigned char*, uint32_t, const char*) {
    return 0;
}
int32_t TypUtils::RemoveParamFromMessage(const unsigned char*, uint32_t, unsigned char**,
                                         uint32_t*) {
    return kOtherErr;
}
int32_t TypUtils::GetAllParamFromMessage(const unsigned char*, uint32_t, unsigned char**,
                                         uint32_t*) {
    return kOtherErr;
}
int32_t TypUtils::AddDestToMessage(const unsigned char*, uint32_t, unsigned char**, uint32_t*,
                                   const char*, const char*, const char*) {
    return kOtherErr;
}
int32_t TypUtils::AddParamToMessage(const unsigned char*, uint32_t, unsigned char**, uint32_t*,
                                    const char*) {
    return kOtherErr;
}
