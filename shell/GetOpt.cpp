// Option parsing for the shell.
#include "shell/GetOpt.h"

#include <cstdio>
#include <cstring>

namespace shell {

namespace {

void ReportIllegal(const char* program, char letter) {
    fprintf(stderr, "\n%s: illegal option -- %c", program, letter);
}

void ReportMissingValue(const char* program, char letter) {
    fprintf(stderr, "\n%s: option requires an argument -- %c", program, letter);
}

}  // namespace

void OptionParser::NextArgument() {
    ++optind;
    offset = 0;
}

int OptionParser::getopt(int argc, char** argv, const char* optstring, char** optarg) {
    *optarg = nullptr;
    if (optind >= argc || argv[optind] == nullptr) {
        return -1;
    }
    char* arg = argv[optind];
    if (arg[0] != '-') {
        *optarg = arg;
        NextArgument();
        return -1;
    }

    const int len = static_cast<int>(strlen(arg));
    // A value rejected in the next argument leaves the position where the letter stood in its
    // own argument, which can lie past the end of this shorter one: treat it as the end.
    if (offset > len || offset < 0) {
        offset = len;
    }
    char letter;
    if (arg[offset] == '-') {
        // The dash stands before the end, so the character after it is at most the NUL.
        letter = arg[offset + 1];
        offset += 2;
    } else {
        letter = arg[offset];
        offset += 1;
    }

    // The NUL letter (a lone "-", the end of a group) is accepted and takes no value.
    bool takesValue = false;
    if (letter != '\0') {
        const char* found = strchr(optstring, letter);
        if (found == nullptr) {
            ReportIllegal(argv[0], letter);
            return '?';
        }
        takesValue = found[1] == ':';
    }

    if (takesValue) {
        char* value = arg + offset;
        if (*value == '\0') {
            ++optind;
            if (optind >= argc || argv[optind] == nullptr) {
                // Nothing follows: report it and end the pass at the end of argv.
                ReportMissingValue(argv[0], letter);
                offset = 0;
                return '?';
            }
            value = argv[optind];
        }
        if (value[0] == '-') {
            *optarg = value;
            ReportIllegal(argv[0], letter);
            return '?';
        }
        *optarg = value;
        NextArgument();
        return letter;
    }

    if (offset < len) {
        return letter;
    }
    NextArgument();
    return letter;
}

}  // namespace shell
