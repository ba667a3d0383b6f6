/* A C host includes the public header and calls the encryption entry points by their C names.
 * Compiled as C by the test suite; it must build without a warning. */
#include <stdint.h>

#include "veldoran.h"

typedef int32_t (*Crypter3)(const char*, const char*, const char*, const char*, const char*,
                            const char*, const char*, int32_t);
typedef int32_t (*Crypter2)(const char*, const char*, const char*, const char*, const char*,
                            const char*, int32_t);
typedef int32_t (*Crypter)(const char*, const char*, const char*, const char*, const char*);

int main(void) {
    Crypter3 three = crypter3;
    Crypter2 two = crypter2;
    Crypter one = crypter;
    (void)three;
    (void)two;
    (void)one;
    return kNoErr;
}
