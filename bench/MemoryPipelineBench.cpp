// The in-memory text pipelines on a 4 KiB letter, the common case of a host program: one
// crypterMem3 call (both key files read, advanced and synced) and one decrypterMem3 call, each
// with key files of 64 KiB and of 64 MiB, so that any cost growing with the key files shows.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

// A French letter in Windows-1252 with line feeds, 4 KiB long.
std::string Letter() {
    const std::string line =
        "Ch\xE8re amie, voici la le\xE7on d\x92"
        "aujourd\x92"
        "hui : \xE0 bient\xF4t, o\xF9 que tu sois.\n";
    std::string text;
    while (text.size() < 4096) {
        text += line;
    }
    return text.substr(0, 4096);
}

// A key folder with this year's master key and dupont's key of keyBytes bytes of material each.
class KeyFolder {
  public:
    explicit KeyFolder(size_t keyBytes) {
        std::filesystem::create_directories(folder_.path() + "Clefs");
        for (const char* name : {"Master", "dupont"}) {
            testsupport::KeyFileContents contents;
            contents.name = name;
            contents.year = testsupport::CurrentFullYear();
            contents.material = testsupport::RandomBytes(keyBytes, 2026);
            testsupport::WriteKeyFile(
                folder_.path() + "Clefs/" + name + "." + testsupport::CurrentYearText(), contents);
        }
    }
    const char* path() const { return folder_.path().c_str(); }

  private:
    testsupport::TempDir folder_;
};

void CrypterMem3(benchmark::State& state) {
    const KeyFolder keys(static_cast<size_t>(state.range(0)));
    const std::string letter = Letter();
    for (auto _ : state) {
        char* message = nullptr;
        if (crypterMem3(letter.c_str(), &message, "dupont", keys.path(), "a@example.org", "", "",
                        "") != kNoErr) {
            state.SkipWithError("crypterMem3 failed");
        }
        benchmark::DoNotOptimize(message);
        free(message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void DecrypterMem3(benchmark::State& state) {
    const KeyFolder keys(static_cast<size_t>(state.range(0)));
    char* message = nullptr;
    if (crypterMem3(Letter().c_str(), &message, "dupont", keys.path(), "a@example.org", "", "",
                    "") != kNoErr) {
        state.SkipWithError("crypterMem3 failed");
        return;
    }
    for (auto _ : state) {
        char* document = nullptr;
        char* tail = nullptr;
        if (decrypterMem3(message, &document, keys.path(), &tail) != kNoErr) {
            state.SkipWithError("decrypterMem3 failed");
        }
        benchmark::DoNotOptimize(document);
        free(document);
        free(tail);
    }
    free(message);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void KeySizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(64 << 10)->Arg(64 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

}  // namespace

BENCHMARK(CrypterMem3)->Apply(KeySizes);
BENCHMARK(DecrypterMem3)->Apply(KeySizes);
