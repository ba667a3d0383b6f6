/* A C host includes the public header and calls the pipeline entry points by their C names.
 * Compiled as C by the test suite; it must build without a warning. */
#include <stdint.h>

#include "veldoran.h"

typedef int32_t (*Crypter3)(const char*, const char*, const char*, const char*, const char*,
                            const char*, const char*, int32_t);
typedef int32_t (*Crypter2)(const char*, const char*, const char*, const char*, const char*,
                            const char*, int32_t);
typedef int32_t (*Crypter)(const char*, const char*, const char*, const char*, const char*);
typedef int32_t (*CrypterBinaire2)(const char*, const char*, const char*, const char*, int32_t);
typedef int32_t (*CrypterBinaire)(const char*, const char*, const char*, int32_t);
typedef int32_t (*CrypterBinaireMem2)(const unsigned char*, uint32_t, unsigned char**, uint32_t*,
                                      const char*, const char*, int32_t);
typedef int32_t (*DecrypterBinaire)(const char*, const char*, int32_t);
typedef int32_t (*DecrypterBinaireMem2)(const unsigned char*, uint32_t, unsigned char**,
                                        uint32_t*, const char*, int32_t);

int main(void) {
    Crypter3 three = crypter3;
    Crypter2 two = crypter2;
    Crypter one = crypter;
    CrypterBinaire2 binaryFileToFile = crypterbinaire2;
    CrypterBinaire binaryFile = crypterbinaire;
    CrypterBinaireMem2 binaryBuffer = crypterbinaireMem2;
    DecrypterBinaire binaryFileBack = decrypterbinaire;
    DecrypterBinaireMem2 binaryBufferBack = decrypterbinaireMem2;
    (void)three;
    (void)two;
    (void)one;
    (void)binaryFileToFile;
    (void)binaryFile;
    (void)binaryBuffer;
    (void)binaryFileBack;
    (void)binaryBufferBack;
    return kNoErr;
}
