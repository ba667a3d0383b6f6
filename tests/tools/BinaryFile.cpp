// Encrypts or decrypts one binary file through the library's binary pipelines, for the
// whole-process benchmark:
//   veldoran_binaryfile encrypt <source> <user> <key folder>   writes <source>.vlb
//   veldoran_binaryfile decrypt <source> <key folder>          writes <source> less 4 characters
// The exit status is the result code in its low eight bits (0 on success), 2 for bad usage.
#include <cstdio>
#include <cstring>

#include "veldoran.h"

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "encrypt") == 0) {
        return crypterbinaire(argv[2], argv[3], argv[4], 0) & 0xFF;
    }
    if (argc == 4 && strcmp(argv[1], "decrypt") == 0) {
        return decrypterbinaire(argv[2], argv[3], 0) & 0xFF;
    }
    fprintf(stderr,
            "usage: %s encrypt <source> <user> <key folder>\n"
            "       %s decrypt <source> <key folder>\n",
            argv[0], argv[0]);
    return 2;
}
