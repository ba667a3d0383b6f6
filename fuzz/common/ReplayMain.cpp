// Runs a fuzz target without libFuzzer: every file named on the command line, and every file
// inside a folder named there (in name order), is one input. Lets any compiler build the targets,
// so that the ordinary test run replays their seeds and saved crashes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "common/FuzzTarget.h"

namespace {

namespace fs = std::filesystem;

// The input in a heap block of exactly its size (one byte for an empty input), so that a read
// one past its end is caught by the address sanitizer as it would be under libFuzzer.
bool RunFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    auto* block = static_cast<uint8_t*>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (block == nullptr) {
        fprintf(stderr, "replay: no memory for %s\n", path.c_str());
        return false;
    }
    if (!bytes.empty()) {
        memcpy(block, bytes.data(), bytes.size());
    }
    // Named before the run, so that the input behind a crash is the last one printed.
    printf("replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    fflush(stdout);
    LLVMFuzzerTestOneInput(block, bytes.size());
    free(block);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <input file or folder>...\n", argv[0]);
        return 2;
    }
    size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path argument = argv[i];
        std::error_code error;
        if (fs::is_directory(argument, error)) {
            std::vector<fs::path> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            if (error) {
                fprintf(stderr, "replay: cannot list %s\n", argv[i]);
                return 1;
            }
            std::sort(files.begin(), files.end());
            for (const fs::path& file : files) {
                if (!RunFile(file)) {
                    return 1;
                }
                ++inputs;
            }
        } else {
            if (!RunFile(argument)) {
                return 1;
            }
            ++inputs;
        }
    }
    // A seed folder that lost its files would otherwise pass without testing anything.
    if (inputs == 0) {
        fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    printf("replay: %zu inputs, every property held\n", inputs);
    return 0;
}
