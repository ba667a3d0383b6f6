// Conversion between the local text form and the interchange form (CR line ends, Mac OS Roman
// accented letters).
#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

// Not built yet.
int32_t TypUtils::FiltrerTexte(unsigned char**, uint32_t*) {
    return kOtherErr;
}
int32_t TypUtils::FiltrerTexteInverse(unsigned char**, uint32_t*) {
    return kOtherErr;
}

char* TypUtils::GetEOLCar() {
    eolField[0] = '\n';
    eolField[1] = '\0';
    return eolField;
}
