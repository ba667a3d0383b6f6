// Makes a key file of the current year for demos and benchmarks: the header names the file
// (<name>.<years since 1900>, full year inside) and the key material is random.
//   veldoran_makekey <key folder> <name> <material bytes>
// writes <key folder>Clefs/<name>.<year text>, creating the Clefs folder when needed.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "veldoran.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <key folder> <name> <material bytes>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string name = argv[2];
    char* end = nullptr;
    const unsigned long long materialBytes = strtoull(argv[3], &end, 10);
    if (*end != '\0' || materialBytes < 1 || materialBytes > 0x7fffffffULL - 224 || name.empty() ||
        name.size() > 40) {
        fprintf(stderr, "%s: a name of 1 to 40 bytes and a material size of at least 1\n", argv[0]);
        return 2;
    }

    const std::string yearText = testsupport::CurrentYearText();

    testsupport::KeyFileContents contents;
    contents.name = name;
    contents.id = "demo";
    contents.year = testsupport::CurrentFullYear();
    std::random_device entropy;
    contents.material = testsupport::RandomBytes(static_cast<size_t>(materialBytes), entropy());

    std::error_code ignored;
    std::filesystem::create_directories(folder + "Clefs", ignored);
    const std::string path = folder + "Clefs/" + name + "." + yearText;
    if (!testsupport::WriteKeyFile(path, contents)) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
        return 1;
    }
    printf("%s\n", path.c_str());
    return 0;
}
