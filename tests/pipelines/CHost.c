/* A C host includes the public header and calls the pipelines' entry points by their C names.
 * Compiled as C by the test suite; it must build without a warning. */
#include <stdint.h>

#include "veldoran.h"

typedef int32_t (*Crypter3)(const char*, const char*, const char*, const char*, const char*,
                            const char*, const char*, int32_t);
typedef int32_t (*Crypter2)(const char*, const char*, const char*, const char*, const char*,
                            const char*, int32_t);
typedef int32_t (*Crypter)(const char*, const char*, const char*, const char*, const char*);
typedef int32_t (*Decrypter2)(const char*, const char*, int32_t);
typedef int32_t (*Decrypter)(const char*);
typedef int32_t (*CrypterMem3)(const char*, char**, const char*, const char*, const char*,
                               const char*, const char*, const char*);
typedef int32_t (*CrypterMem2)(const char*, char**, const char*, const char*, const char*,
                               const char*, const char*);
typedef int32_t (*CrypterMem)(const char*, char**, const char*, const char*, const char*,
                              const char*);
typedef int32_t (*DecrypterMem3)(const char*, char**, const char*, char**);
typedef int32_t (*DecrypterMem2)(const char*, char**, const char*);
typedef int32_t (*DecrypterMem)(const char*, char**);
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
    (void)three;
    (void)two;
    (void)one;
    {
        Decrypter2 decrypt2 = decrypter2;
        Decrypter decrypt = decrypter;
        CrypterMem3 mem3 = crypterMem3;
        CrypterMem2 mem2 = crypterMem2;
        CrypterMem mem = crypterMem;
        DecrypterMem3 back3 = decrypterMem3;
        DecrypterMem2 back2 = decrypterMem2;
        DecrypterMem back = decrypterMem;
        (void)decrypt2;
        (void)decrypt;
        (void)mem3;
        (void)mem2;
        (void)mem;
        (void)back3;
        (void)back2;
        (void)back;
    }
    {
        CrypterBinaire2 binaryFileToFile = crypterbinaire2;
        CrypterBinaire binaryFile = crypterbinaire;
        CrypterBinaireMem2 binaryBuffer = crypterbinaireMem2;
        DecrypterBinaire binaryFileBack = decrypterbinaire;
        DecrypterBinaireMem2 binaryBufferBack = decrypterbinaireMem2;
        (void)binaryFileToFile;
        (void)binaryFile;
        (void)binaryBuffer;
        (void)binaryFileBack;
        (void)binaryBufferBack;
    }
    {
        VeldoranFailure failure;
        int32_t (*lastFailure)(VeldoranFailure*) = veldoranLastFailure;
        int32_t (*refuse)(const VeldoranKeyLayer*) = veldoranRefuseKeyUse;
        failure.role = kVeldoranRoleFrameKey;
        failure.step = kVeldoranStepCheck;
        (void)failure;
        (void)lastFailure;
        (void)refuse;
    }
    {
        int32_t (*reads)(int32_t) = veldoranSetKeyJournalReads;
        int32_t (*findings)(void) = veldoranKeyJournalFindings;
        const VeldoranFinding* (*finding)(int32_t) = veldoranKeyJournalFinding;
        int32_t (*audit)(const char* const*, int32_t) = veldoranAuditKeyFiles;
        int32_t (*accept)(const char*, int32_t, uint32_t*, int32_t*) = veldoranAcceptKeyFile;
        int32_t (*merge)(const char*, uint64_t*, uint64_t*) = veldoranMergeKeyJournal;
        VeldoranFinding seen = {kVeldoranFindingProblem, 0, "", ""};
        (void)reads;
        (void)findings;
        (void)finding;
        (void)audit;
        (void)accept;
        (void)merge;
        (void)seen;
    }
    return kNoErr;
}
