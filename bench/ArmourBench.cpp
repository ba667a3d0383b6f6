// Throughput of the text filter and of the armour in both directions, beside a memcpy of the
// same size so that every figure can be read as a ratio to memory speed in one run. Sizes are
// those of the data: 1 KiB, 1 MiB and 64 MiB; bytes per second count data bytes (for decoding,
// the bytes produced, not the longer armoured text read).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "armour/ArmourEncoder.h"
#include "armour/StreamSearch.h"
#include "armour/TextForms.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomData(size_t size) {
    std::mt19937_64 random(1234);
    Bytes data(size);
    for (auto& b : data) {
        b = static_cast<unsigned char>(random());
    }
    return data;
}

// A French letter in Windows-1252 with line feeds, repeated to the size wanted.
Bytes LocalText(size_t size) {
    const std::string line =
        "Ch\xE8re \xE9l\xE8ve, voici la le\xE7on d\x92"
        "aujourd\x92"
        "hui : \xE0 bient\xF4t, "
        "na\xEFve id\xE9"
        "e, c\x9Cur, 20\xB0, o\xF9 ?\n";
    Bytes text(size);
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<unsigned char>(line[i % line.size()]);
    }
    return text;
}

void Memcpy(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const Bytes source = RandomData(size);
    Bytes destination(size);
    for (auto _ : state) {
        memcpy(destination.data(), source.data(), size);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void FiltrerTexte(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    Bytes text = LocalText(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        unsigned char* pointer = text.data();
        auto length = static_cast<uint32_t>(text.size());
        utils.FiltrerTexte(&pointer, &length);
        benchmark::DoNotOptimize(pointer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BinToASCII(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);
    const Bytes data = RandomData(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        if (armour.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &out, &outLength) !=
            kNoErr) {
            state.SkipWithError("BinToASCII failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        utils.MyDisposeptr(&out, outLength);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void ASCIIToBin(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);
    const Bytes data = RandomData(static_cast<size_t>(state.range(0)));
    unsigned char* text = nullptr;
    uint32_t textLength = 0;
    armour.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &text, &textLength);
    for (auto _ : state) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        if (armour.ASCIIToBin(text, textLength, &out, &outLength) != kNoErr) {
            state.SkipWithError("ASCIIToBin failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        utils.MyDisposeptr(&out, outLength);
    }
    utils.MyDisposeptr(&text, textLength);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The recipient marker searched for at the end of a long document: candidates come from
// memchr, so the cost stays near a memory scan.
void FindSubString(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    Bytes text = LocalText(static_cast<size_t>(state.range(0)));
    const char marker[] = "#DESTBEGIN#";
    memcpy(text.data() + text.size() - (sizeof marker - 1), marker, sizeof marker - 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            utils.FindSubString(text.data(), static_cast<uint32_t>(text.size()), marker));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The floor under BinToASCII: a block of the armoured text's size from MyNewPtr (which fills
// it with spaces) and back, counted against the same data bytes. For large blocks most of it is
// the kernel mapping fresh pages.
void NewArmourBlock(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const auto size = static_cast<uint64_t>(state.range(0));
    const auto armouredSize = static_cast<uint32_t>(4 * ((size + 2) / 3) * 61 / 60 + 64);
    for (auto _ : state) {
        unsigned char* block = utils.MyNewPtr(armouredSize);
        benchmark::DoNotOptimize(block);
        utils.MyDisposeptr(&block, armouredSize);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What the streaming text encryption does to each chunk of a document beside the key layers,
// in its folded passes: the interchange form, which also narrows the recipient marker's search,
// then the armour written straight into the output with its checksum. The document is worked
// in chunks of 1 MiB, as the pipeline reads it.
void TextChunkPasses(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const auto size = static_cast<size_t>(state.range(0));
    const Bytes document = LocalText(size);
    const size_t chunk = size < (1U << 20) ? size : (1U << 20);
    Bytes text(chunk);
    veldoran::ArmourEncoder encoder(&utils, "\n");
    Bytes out(encoder.MaxPutLength(chunk) + encoder.MaxEdgeLength());
    for (auto _ : state) {
        veldoran::StreamSearch marker("#DESTBEGIN#");
        encoder.Begin(static_cast<uint32_t>(size), out.data());
        for (size_t at = 0; at < size; at += chunk) {
            const size_t count = size - at < chunk ? size - at : chunk;
            memcpy(text.data(), document.data() + at, count);
            const size_t from = veldoran::ToInterchangeForm(text.data(), count, '#');
            benchmark::DoNotOptimize(marker.Feed(text.data(), count, from));
            benchmark::DoNotOptimize(encoder.Put(text.data(), count, out.data()));
        }
        benchmark::DoNotOptimize(encoder.Finish(out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(Memcpy)->Apply(Sizes);
BENCHMARK(FiltrerTexte)->Apply(Sizes);
BENCHMARK(BinToASCII)->Apply(Sizes);
BENCHMARK(ASCIIToBin)->Apply(Sizes);
BENCHMARK(NewArmourBlock)->Apply(Sizes);
BENCHMARK(FindSubString)->Apply(Sizes);
BENCHMARK(TextChunkPasses)->Apply(Sizes);
