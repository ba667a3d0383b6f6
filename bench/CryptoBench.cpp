// Crypt of a 64 MiB message with a 100-byte key and with a 64 MiB key: a short key is repeated
// in memory, so both should cost about the same, close to a few passes over memory. A memcpy of
// the same size is the yardstick. SHA-256 of the same 64 MiB, as every frame read is hashed.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/Sha256.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

constexpr uint32_t kMessageBytes = 64u << 20;

// The key folder and the message, made once for the whole program run.
struct CryptoBenchSetup {
    CryptoBenchSetup() : message(kMessageBytes) {
        for (size_t k = 0; k < message.size(); ++k) {
            message[k] = static_cast<unsigned char>(k * 131 + 7);
        }
        mkdir((folder.path() + "Clefs").c_str(), 0700);
        WriteKey("Short.126", "Short", 100);
        WriteKey("Long.126", "Long", kMessageBytes);
    }

    void WriteKey(const std::string& fileName, const std::string& name, size_t keyLen) {
        testsupport::KeyFileContents contents;
        contents.name = name;
        contents.material = testsupport::RandomBytes(keyLen, 2026);
        testsupport::WriteKeyFile(folder.path() + "Clefs/" + fileName, contents);
    }

    testsupport::TempDir folder;
    std::vector<unsigned char> message;
};

CryptoBenchSetup& Setup() {
    static CryptoBenchSetup setup;
    return setup;
}

void CryptWithKey(benchmark::State& state, const char* fileName) {
    CryptoBenchSetup& setup = Setup();
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    const std::string path = setup.folder.path() + "Clefs/" + fileName;
    for (auto _ : state) {
        TypFileRefUnix keyFile;
        keyFile.InitCreate(&utils);
        keyFile.SetPath(path.c_str());
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        if (crypto.Crypt(setup.message.data(), kMessageBytes, &frame, &frameLength, &keyFile) !=
            kNoErr) {
            state.SkipWithError("Crypt failed");
        }
        benchmark::DoNotOptimize(frame);
        utils.MyDisposeptr(&frame, frameLength);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

void BM_CryptShortKey(benchmark::State& state) {
    CryptWithKey(state, "Short.126");
}
void BM_CryptLongKey(benchmark::State& state) {
    CryptWithKey(state, "Long.126");
}

void BM_Memcpy64MiB(benchmark::State& state) {
    CryptoBenchSetup& setup = Setup();
    std::vector<unsigned char> target(kMessageBytes);
    for (auto _ : state) {
        memcpy(target.data(), setup.message.data(), kMessageBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

}  // namespace

BENCHMARK(BM_CryptShortKey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CryptLongKey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {

// The floor under every Crypt: a fresh 64 MiB block from MyNewPtr, filled with spaces.
void BM_NewBlock64MiB(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    for (auto _ : state) {
        unsigned char* block = utils.MyNewPtr(kMessageBytes + 224);
        benchmark::DoNotOptimize(block);
        utils.MyDisposeptr(&block, kMessageBytes + 224);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

}  // namespace

BENCHMARK(BM_NewBlock64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {

// What hashing a 64 MiB frame as it is read costs.
void BM_Sha256_64MiB(benchmark::State& state) {
    CryptoBenchSetup& setup = Setup();
    unsigned char digest[veldoran::kSha256Size];
    for (auto _ : state) {
        veldoran::Sha256Digest(setup.message.data(), kMessageBytes, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

}  // namespace

BENCHMARK(BM_Sha256_64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
