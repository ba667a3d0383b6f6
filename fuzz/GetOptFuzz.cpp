// Property: for any argument vector, the shell's option parser (option string "s:u:k:d:o:")
// reads nothing past argv[argc] or past the terminator of any argument, always ends (-1 with a
// null value) within 4 calls per argument byte plus argc plus 4, returns only -1, 0, '?' or a
// character of the option string, and every value it hands over points inside one of the
// arguments after the program name: a letter that takes a value gets a value not beginning
// with "-", a non-option argument (-1 with a value) does not begin with "-", and the position
// never moves back. Once ended, it stays ended.
//
// The input is split on NUL bytes into the arguments after the program name; each argument,
// the program name and argv itself are exactly-sized heap blocks, so the address sanitizer
// stops any read past one of them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/FuzzTarget.h"
#include "shell/GetOpt.h"

namespace {

constexpr char kOptionString[] = "s:u:k:d:o:";
constexpr char kProgramName[] = "veldoran";

using fuzzsupport::Fail;

char* CopyToHeap(const char* bytes, size_t length) {
    auto* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr) {
        Fail();
    }
    if (length != 0) {
        memcpy(copy, bytes, length);
    }
    copy[length] = '\0';
    return copy;
}

bool PointsIntoArgument(const char* value, char* const* argv, int argc) {
    for (int i = 1; i < argc; ++i) {
        const char* begin = argv[i];
        if (value >= begin && value <= begin + strlen(begin)) {
            return true;
        }
    }
    return false;
}

// The parser's messages go to stderr; libFuzzer and the sanitizers report elsewhere (libFuzzer
// through the stream it kept at start-up, the sanitizers straight to descriptor 2), so only the
// parser is silenced by pointing the stream variable at /dev/null for the parse.
FILE* NullStream() {
    static FILE* stream = fopen("/dev/null", "w");
    if (stream == nullptr) {
        Fail();
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) {
        return 0;
    }
    const auto* text = reinterpret_cast<const char*>(data);
    std::vector<char*> arguments;
    arguments.push_back(CopyToHeap(kProgramName, strlen(kProgramName)));
    if (size != 0) {
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || text[i] == '\0') {
                arguments.push_back(CopyToHeap(text + start, i - start));
                start = i + 1;
            }
        }
    }
    const int argc = static_cast<int>(arguments.size());
    auto** argv = static_cast<char**>(malloc((arguments.size() + 1) * sizeof(char*)));
    if (argv == nullptr) {
        Fail();
    }
    memcpy(argv, arguments.data(), arguments.size() * sizeof(char*));
    argv[argc] = nullptr;
    char* optionString = CopyToHeap(kOptionString, strlen(kOptionString));

    // The input bytes are the arguments after the program name and their separators.
    const size_t bound = 4 * size + static_cast<size_t>(argc) + 4;
    FILE* const savedStderr = stderr;
    stderr = NullStream();
    shell::OptionParser parser;
    size_t calls = 0;
    int lastIndex = parser.optind;
    for (;;) {
        if (++calls > bound) {
            Fail();
        }
        char* value = reinterpret_cast<char*>(&calls);  // must be overwritten on every call
        const int letter = parser.getopt(argc, argv, optionString, &value);
        if (parser.optind < lastIndex) {
            Fail();
        }
        lastIndex = parser.optind;
        if (value != nullptr && !PointsIntoArgument(value, argv, argc)) {
            Fail();
        }
        if (letter == -1 && value == nullptr) {
            if (parser.optind < argc) {
                Fail();
            }
            break;
        }
        if (letter == -1 || (letter > 0 && letter != '?' && letter != ':')) {
            // A non-option argument, or a letter that takes a value: a value that does not
            // begin with "-".
            if (value == nullptr || value[0] == '-') {
                Fail();
            }
            if (letter != -1 && strchr(kOptionString, letter) == nullptr) {
                Fail();
            }
        } else if (letter == 0 || letter == ':') {
            // An empty letter position, or ':' read as a letter without value.
            if (value != nullptr) {
                Fail();
            }
        } else if (letter != '?') {
            Fail();
        }
    }
    char* value = nullptr;
    if (parser.getopt(argc, argv, optionString, &value) != -1 || value != nullptr) {
        Fail();
    }
    stderr = savedStderr;

    free(optionString);
    for (char* argument : arguments) {
        free(argument);
    }
    free(argv);
    return 0;
}
