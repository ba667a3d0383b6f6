// The attachment container's LZO work against the LZO library called directly on the same
// bytes: AddBlock with format 2 beside lzo1x_1_compress, LoadStruct of a format-2 block beside
// lzo1x_decompress_safe, on 1 MiB and 64 MiB of text-like and of random data, and a block of
// 1000 entries of 1 KiB. One entry holds at most the 32 000 000 bytes a reader decompresses, so
// 64 MiB travel as four entries of 16 MiB, and the direct calls work on the same four pieces.
#include <benchmark/benchmark.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kPieceLimit = 16 * kMiB;

enum class Kind { kText, kRandom };

Bytes TextLike(size_t count) {
    static const char* const kWords[] = {"le ",    "courrier ", "chiffre ", "de ",    "la ",
                                         "clef ",  "annuelle ", "pour ",    "les ",   "texte\n",
                                         "piece ", "jointe ",   "2026 ",    "envoi ", "Paris, "};
    Bytes out;
    out.reserve(count + 16);
    uint32_t state = 12345;
    while (out.size() < count) {
        state = state * 1103515245u + 12345u;
        const char* word = kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
        out.insert(out.end(), word, word + strlen(word));
    }
    out.resize(count);
    return out;
}

// The data cut into the pieces one entry each holds, made once per kind and size.
const std::vector<Bytes>& Pieces(Kind kind, size_t size) {
    static std::map<std::pair<int, size_t>, std::vector<Bytes>> made;
    std::vector<Bytes>& pieces = made[{static_cast<int>(kind), size}];
    if (pieces.empty()) {
        const Bytes all =
            kind == Kind::kText ? TextLike(size) : testsupport::RandomBytes(size, 2026);
        for (size_t at = 0; at < size; at += kPieceLimit) {
            const size_t count = std::min(kPieceLimit, size - at);
            pieces.emplace_back(all.begin() + long(at), all.begin() + long(at + count));
        }
    }
    return pieces;
}

struct KillAndDelete {
    void operator()(TypPieceJointe* container) const {
        container->Kill();
        delete container;
    }
};
using ContainerPtr = std::unique_ptr<TypPieceJointe, KillAndDelete>;

// A format-2 block of the pieces, made once per kind and size.
const Bytes& CompressedBlock(TypUtils* utils, const std::vector<Bytes>& pieces) {
    static std::map<const void*, Bytes> made;
    Bytes& block = made[&pieces];
    if (block.empty()) {
        ContainerPtr built(new TypPieceJointe);
        built->InitCreate2(utils, kformatLZOcompresse);
        for (const Bytes& piece : pieces) {
            unsigned char* data = utils->MyNewPtr(uint32_t(piece.size()));
            memcpy(data, piece.data(), piece.size());
            TypInfo info;
            built->AddBlock(&info, data, int32_t(piece.size()), "piece");
        }
        unsigned char* out = nullptr;
        int32_t length = 0;
        built->GetStruct(&out, &length);
        block.assign(out, out + length);
        utils->MyDisposeptr(&out, uint32_t(length));
    }
    return block;
}

void SetBytes(benchmark::State& state, size_t size) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void BM_AddBlockLzo(benchmark::State& state, Kind kind, size_t size) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    const std::vector<Bytes>& pieces = Pieces(kind, size);
    std::vector<unsigned char*> given(pieces.size());
    for (auto _ : state) {
        state.PauseTiming();
        ContainerPtr container(new TypPieceJointe);
        container->InitCreate2(&utils, kformatLZOcompresse);
        for (size_t k = 0; k < pieces.size(); ++k) {
            given[k] = utils.MyNewPtr(uint32_t(pieces[k].size()));
            memcpy(given[k], pieces[k].data(), pieces[k].size());
        }
        state.ResumeTiming();
        for (size_t k = 0; k < pieces.size(); ++k) {
            TypInfo info;
            if (container->AddBlock(&info, given[k], int32_t(pieces[k].size()), "piece") !=
                kNoErr) {
                state.SkipWithError("AddBlock failed");
            }
        }
        state.PauseTiming();
        container.reset();
        state.ResumeTiming();
    }
    SetBytes(state, size);
}

void BM_DirectCompress(benchmark::State& state, Kind kind, size_t size) {
    const std::vector<Bytes>& pieces = Pieces(kind, size);
    lzo_init();
    Bytes output(TypPieceJointe::CompressedBound(kPieceLimit));
    std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
    for (auto _ : state) {
        for (const Bytes& piece : pieces) {
            lzo_uint produced = 0;
            lzo1x_1_compress(piece.data(), piece.size(), output.data(), &produced, work.data());
            benchmark::DoNotOptimize(produced);
        }
        benchmark::ClobberMemory();
    }
    SetBytes(state, size);
}

void LoadBlock(benchmark::State& state, const Bytes& block, size_t size) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    for (auto _ : state) {
        ContainerPtr container(new TypPieceJointe);
        container->InitCreate(&utils);
        if (container->LoadStruct(block.data(), int32_t(block.size())) != kNoErr) {
            state.SkipWithError("LoadStruct failed");
        }
        state.PauseTiming();
        container.reset();
        state.ResumeTiming();
    }
    SetBytes(state, size);
}

void BM_LoadStructLzo(benchmark::State& state, Kind kind, size_t size) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    LoadBlock(state, CompressedBlock(&utils, Pieces(kind, size)), size);
}

// The same streams as the container's block, decompressed into one buffer of the reader's
// capacity.
void DecompressDirect(benchmark::State& state, const std::vector<Bytes>& streams, size_t size) {
    lzo_init();
    Bytes output(size_t{kLZOMacDataSize});
    for (auto _ : state) {
        for (const Bytes& stream : streams) {
            lzo_uint produced = output.size();
            lzo1x_decompress_safe(stream.data(), stream.size(), output.data(), &produced, nullptr);
            benchmark::DoNotOptimize(produced);
        }
        benchmark::ClobberMemory();
    }
    SetBytes(state, size);
}

std::vector<Bytes> StreamsOf(const std::vector<Bytes>& pieces) {
    std::vector<Bytes> streams;
    std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
    lzo_init();
    for (const Bytes& piece : pieces) {
        Bytes stream(TypPieceJointe::CompressedBound(piece.size()));
        lzo_uint produced = 0;
        lzo1x_1_compress(piece.data(), piece.size(), stream.data(), &produced, work.data());
        stream.resize(produced);
        streams.push_back(stream);
    }
    return streams;
}

void BM_DirectDecompress(benchmark::State& state, Kind kind, size_t size) {
    DecompressDirect(state, StreamsOf(Pieces(kind, size)), size);
}

// 1000 entries of 1 KiB of text.
const std::vector<Bytes>& SmallPieces() {
    static std::vector<Bytes> pieces;
    if (pieces.empty()) {
        const Bytes all = TextLike(knbmaxpj * 1024);
        for (size_t at = 0; at < all.size(); at += 1024) {
            pieces.emplace_back(all.begin() + long(at), all.begin() + long(at + 1024));
        }
    }
    return pieces;
}

void BM_LoadStruct1000x1KiB(benchmark::State& state) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    LoadBlock(state, CompressedBlock(&utils, SmallPieces()), knbmaxpj * 1024);
}

void BM_DirectDecompress1000x1KiB(benchmark::State& state) {
    DecompressDirect(state, StreamsOf(SmallPieces()), knbmaxpj * 1024);
}

}  // namespace

#define VELDORAN_LZO_PAIR(name, kind, size)                  \
    BENCHMARK_CAPTURE(BM_AddBlockLzo, name, kind, size)      \
        ->Unit(benchmark::kMillisecond)                      \
        ->UseRealTime();                                     \
    BENCHMARK_CAPTURE(BM_DirectCompress, name, kind, size)   \
        ->Unit(benchmark::kMillisecond)                      \
        ->UseRealTime();                                     \
    BENCHMARK_CAPTURE(BM_LoadStructLzo, name, kind, size)    \
        ->Unit(benchmark::kMillisecond)                      \
        ->UseRealTime();                                     \
    BENCHMARK_CAPTURE(BM_DirectDecompress, name, kind, size) \
        ->Unit(benchmark::kMillisecond)                      \
        ->UseRealTime()

VELDORAN_LZO_PAIR(text_1MiB, Kind::kText, kMiB);
VELDORAN_LZO_PAIR(random_1MiB, Kind::kRandom, kMiB);
VELDORAN_LZO_PAIR(text_64MiB, Kind::kText, 64 * kMiB);
VELDORAN_LZO_PAIR(random_64MiB, Kind::kRandom, 64 * kMiB);
BENCHMARK(BM_LoadStruct1000x1KiB)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DirectDecompress1000x1KiB)->Unit(benchmark::kMicrosecond)->UseRealTime();
