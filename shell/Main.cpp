// The veldoran program: gathers five option values and encrypts one text document with them.
// Its exit status is the encryption's result code (the system keeps the low eight bits: 255 for
// -1, 249 for -7, 213 for -43).
//
// Option values are kept as the arguments themselves, so a value of any length is handed on
// whole: it is never cut and never copied into a fixed buffer. Paths that are too long for a
// file reference are refused by the encryption, before any key file is touched.
#include <csignal>
#include <cstdio>

#include "shell/GetOpt.h"
#include "veldoran.h"

namespace {

const char kOptions[] = "s:u:k:d:o:";

void PrintUsage() {
    printf("Veldoran : cryptage de documents texte pour transit en corps d'email\n");
    printf("Veldoran Shell - version 1.01\n");
    printf(
        "usage : veldoran -s fichiersource -o fichierarrivee -u utilisateur [-k cheminclefs] -d "
        "destinataires\n");
}

}  // namespace

int main(int argc, char** argv) {
    // A target pipe whose reader goes away fails the write (-1) instead of ending the program.
    signal(SIGPIPE, SIG_IGN);
    const char* source = "";
    const char* target = "";
    const char* user = "";
    const char* keyFolder = "";
    const char* recipients = "";
    bool anyArgument = false;

    shell::OptionParser parser;
    for (;;) {
        char* optionValue = nullptr;
        const int letter = parser.getopt(argc, argv, kOptions, &optionValue);
        if (letter == -1 && optionValue == nullptr) {
            break;
        }
        anyArgument = true;
        switch (letter) {
            case 's':
            case 'o':
            case 'u':
            case 'k':
            case 'd': {
                if (optionValue == nullptr) {
                    break;
                }
                const char** value = letter == 's'   ? &source
                                     : letter == 'o' ? &target
                                     : letter == 'u' ? &user
                                     : letter == 'k' ? &keyFolder
                                                     : &recipients;
                *value = optionValue;
                break;
            }
            case -1:
                printf("\n%s\n", optionValue);
                break;
            case '?':
                printf("\nWrong choice\n");
                break;
            default:
                break;
        }
    }

    if (!anyArgument) {
        PrintUsage();
        return 0;
    }
    return crypter3(source, target, user, keyFolder, recipients, "", "", 0);
}
