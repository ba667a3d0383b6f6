// The in-memory text pipelines on a 4 KiB letter, the common case of a host program: one
// crypterMem3 call (both key files read, advanced and synced) and one decrypterMem3 call, each
// with key files of 64 KiB and of 64 MiB, so that any cost growing with the key files shows.
// Then a 64 MiB document through the memory pipelines beside the file pipelines (crypter3,
// decrypter2) on the same document, in CPU time of the whole process: the memory pipelines are
// to stay within 1.3 times the file pipelines'.
#include <benchmark/benchmark.h>

#include <cstdio>
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

// A 64 MiB document of letter lines, written to a file beside its key folder.
class LargeDocument {
  public:
    LargeDocument() : keys_(1 << 20) {
        const std::string letter = Letter();
        text_.reserve(kSize);
        while (text_.size() < kSize) {
            text_ += letter;
        }
        text_.resize(kSize);
        source_ = folder_.path() + "document.txt";
        FILE* file = fopen(source_.c_str(), "wb");
        if (file != nullptr) {
            fwrite(text_.data(), 1, text_.size(), file);
            fclose(file);
        }
    }
    static constexpr size_t kSize = size_t{64} << 20;
    const char* keys() const { return keys_.path(); }
    const std::string& text() const { return text_; }
    const std::string& source() const { return source_; }
    std::string target() const { return source_ + ".vlx"; }

  private:
    KeyFolder keys_;
    testsupport::TempDir folder_;
    std::string text_;
    std::string source_;
};

void Large(benchmark::State& state, bool memory, bool encrypt) {
    const LargeDocument document;
    char* message = nullptr;
    const std::string target = document.target();
    if (crypterMem3(document.text().c_str(), &message, "dupont", document.keys(), "a@example.org",
                    "", "", "") != kNoErr ||
        crypter3(document.source().c_str(), target.c_str(), "dupont", document.keys(),
                 "a@example.org", "", "", 0) != kNoErr) {
        state.SkipWithError("the document could not be encrypted");
        free(message);
        return;
    }
    for (auto _ : state) {
        int32_t result = kNoErr;
        if (memory && encrypt) {
            char* out = nullptr;
            result = crypterMem3(document.text().c_str(), &out, "dupont", document.keys(),
                                 "a@example.org", "", "", "");
            free(out);
        } else if (memory) {
            char* text = nullptr;
            char* tail = nullptr;
            result = decrypterMem3(message, &text, document.keys(), &tail);
            free(text);
            free(tail);
        } else if (encrypt) {
            result = crypter3(document.source().c_str(), target.c_str(), "dupont", document.keys(),
                              "a@example.org", "", "", 0);
        } else {
            result = decrypter2(target.c_str(), document.keys(), 0);
        }
        if (result != kNoErr) {
            state.SkipWithError("a run failed");
        }
    }
    free(message);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LargeDocument::kSize));
}

void KeySizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(64 << 10)->Arg(64 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

}  // namespace

BENCHMARK(CrypterMem3)->Apply(KeySizes);
BENCHMARK(DecrypterMem3)->Apply(KeySizes);
BENCHMARK_CAPTURE(Large, EncryptMemory64MiB, true, true)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Large, EncryptFile64MiB, false, true)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Large, DecryptMemory64MiB, true, false)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(Large, DecryptFile64MiB, false, false)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
