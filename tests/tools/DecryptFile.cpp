// Decrypts a message file for the whole-process benchmark, through the library's decrypter2
// alone: the document goes to <message file>.txt.
//   veldoran_decrypt <message file> <key folder>
// Exits with 0 on success; otherwise prints the result code and exits with 1.
#include <cstdio>

#include "veldoran.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <message file> <key folder>\n", argv[0]);
        return 2;
    }
    const int32_t result = decrypter2(argv[1], argv[2], 0);
    if (result != kNoErr) {
        fprintf(stderr, "%s: decrypter2 gave %d\n", argv[0], static_cast<int>(result));
        return 1;
    }
    return 0;
}
