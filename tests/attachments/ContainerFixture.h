// Shared by the container tests: a block writer built from the container format's description,
// independently of the library, and a fixture whose utility object counts live blocks.
#ifndef VELDORAN_TESTS_ATTACHMENTS_CONTAINERFIXTURE_H
#define VELDORAN_TESTS_ATTACHMENTS_CONTAINERFIXTURE_H

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/FailingUtils.h"
#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace containertest {

using Bytes = std::vector<unsigned char>;

inline Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline void PutBE32(Bytes* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<unsigned char>(value >> shift));
    }
}

inline void PutBE16(Bytes* out, uint16_t value) {
    out->push_back(static_cast<unsigned char>(value >> 8));
    out->push_back(static_cast<unsigned char>(value));
}

inline uint32_t GetBE32(const Bytes& bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

inline void SetBE32(Bytes* bytes, size_t at, uint32_t value) {
    for (size_t k = 0; k < 4; ++k) {
        (*bytes)[at + k] = static_cast<unsigned char>(value >> (24 - 8 * k));
    }
}

// Every field different, two of them negative, so a swapped, moved or dropped byte shows.
inline TypInfo DistinctInfo(int seed) {
    TypInfo info;
    info.short1 = static_cast<int16_t>(0x0102 + seed);
    info.short2 = static_cast<int16_t>(-2 - seed);
    info.short3 = static_cast<int16_t>(0x0304 + seed);
    info.long1 = 0x05060708 + seed;
    info.short4 = static_cast<int16_t>(0x090A + seed);
    info.short5 = static_cast<int16_t>(0x0B0C + seed);
    info.short6 = static_cast<int16_t>(0x0D0E + seed);
    info.long2 = 0x11121314 + seed;
    info.long3 = -0x15161718 - seed;
    info.long4 = 0x191A1B1C + seed;
    info.long5 = 0x21222324 + seed;
    info.long6 = 0x25262728 + seed;
    info.storedSize = 0x292A2B2C;  // AddBlock replaces it
    info.long7 = 0x31323334 + seed;
    return info;
}

// The 48-byte record form: big-endian fields, zero at 6-7 and 18-19.
inline Bytes RecordForm(const TypInfo& info, int32_t storedSize) {
    Bytes out;
    PutBE16(&out, static_cast<uint16_t>(info.short1));
    PutBE16(&out, static_cast<uint16_t>(info.short2));
    PutBE16(&out, static_cast<uint16_t>(info.short3));
    PutBE16(&out, 0);
    PutBE32(&out, static_cast<uint32_t>(info.long1));
    PutBE16(&out, static_cast<uint16_t>(info.short4));
    PutBE16(&out, static_cast<uint16_t>(info.short5));
    PutBE16(&out, static_cast<uint16_t>(info.short6));
    PutBE16(&out, 0);
    for (int32_t value :
         {info.long2, info.long3, info.long4, info.long5, info.long6, storedSize, info.long7}) {
        PutBE32(&out, static_cast<uint32_t>(value));
    }
    return out;
}

struct Entry {
    TypInfo info;
    std::string name;
    Bytes stored;  // the bytes the block carries
};

struct BlockContents {
    int32_t format = 1;
    std::string sender;
    std::string recipient;
    std::vector<Entry> entries;
};

// The container block as the format describes it; the sender field is the text, then zeros.
inline Bytes ReferenceBlock(const BlockContents& contents, bool endMarker = true) {
    Bytes out = B("VELD-200");
    PutBE32(&out, static_cast<uint32_t>(contents.format));
    Bytes sender(64, 0);
    memcpy(sender.data(), contents.sender.data(), contents.sender.size());
    out.insert(out.end(), sender.begin(), sender.end());
    PutBE32(&out, static_cast<uint32_t>(contents.recipient.size()));
    out.insert(out.end(), contents.recipient.begin(), contents.recipient.end());
    PutBE32(&out, static_cast<uint32_t>(contents.entries.size()));
    for (const Entry& entry : contents.entries) {
        const Bytes record = RecordForm(entry.info, static_cast<int32_t>(entry.stored.size()));
        out.insert(out.end(), record.begin(), record.end());
        PutBE32(&out, static_cast<uint32_t>(entry.name.size()));
        out.insert(out.end(), entry.name.begin(), entry.name.end());
        out.insert(out.end(), entry.stored.begin(), entry.stored.end());
    }
    if (endMarker) {
        PutBE32(&out, 0);
    }
    return out;
}

// LZO1X-1 called directly, as an independent producer of the expected streams.
inline Bytes LzoCompressDirect(const Bytes& data) {
    EXPECT_EQ(lzo_init(), LZO_E_OK);
    Bytes out(data.size() + data.size() / 16 + 64 + 3);
    std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
    lzo_uint produced = 0;
    static const unsigned char kNone = 0;
    EXPECT_EQ(lzo1x_1_compress(data.empty() ? &kNone : data.data(), data.size(), out.data(),
                               &produced, work.data()),
              LZO_E_OK);
    out.resize(produced);
    return out;
}

// lzo1x_decompress_safe called directly; false when the stream does not decode within capacity.
inline bool LzoDecompressDirect(const unsigned char* stream, size_t length, size_t capacity,
                                Bytes* data) {
    data->assign(capacity, 0);
    lzo_uint produced = capacity;
    if (lzo1x_decompress_safe(stream, length, data->data(), &produced, nullptr) != LZO_E_OK) {
        return false;
    }
    data->resize(produced);
    return true;
}

inline Bytes TextLike(size_t count, uint32_t seed) {
    static const char* const kWords[] = {
        "le ",  "courrier ",      "chiffre ", "de ",    "la ",     "clef ", "annuelle ", "pour ",
        "les ", "destinataires ", "texte\n",  "piece ", "jointe ", "2026 ", "envoi "};
    Bytes out;
    out.reserve(count + 16);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < count) {
        state = state * 1103515245u + 12345u;
        const char* word = kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
        out.insert(out.end(), word, word + strlen(word));
    }
    out.resize(count);
    return out;
}

struct KillAndDelete {
    void operator()(TypPieceJointe* container) const {
        container->Kill();
        delete container;
    }
};
using ContainerPtr = std::unique_ptr<TypPieceJointe, KillAndDelete>;

class ContainerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(container->InitCreate(&utils), kNoErr); }
    void TearDown() override {
        container.reset();
        fresh.clear();
        EXPECT_EQ(utils.liveBlocks(), 0) << "a block was lost or released twice";
    }

    // A copy of bytes in a block of the utility object, as AddBlock wants its data.
    unsigned char* Owned(const Bytes& bytes) {
        unsigned char* block = utils.MyNewPtr(static_cast<uint32_t>(bytes.size()));
        if (block != nullptr && !bytes.empty()) {
            memcpy(block, bytes.data(), bytes.size());
        }
        return block;
    }

    int32_t Add(TypPieceJointe* target, const Bytes& bytes, const std::string& name,
                TypInfo info = DistinctInfo(0)) {
        return target->AddBlock(&info, Owned(bytes), static_cast<int32_t>(bytes.size()),
                                name.c_str());
    }

    Bytes Write(TypPieceJointe* source) {
        unsigned char* block = nullptr;
        int32_t length = -1;
        EXPECT_EQ(source->GetStruct(&block, &length), kNoErr);
        Bytes out(block, block + length);
        utils.MyDisposeptr(&block, static_cast<uint32_t>(length));
        return out;
    }

    // A new container, released at the end of the test.
    TypPieceJointe* Fresh(int32_t format = kformatnoncompresse) {
        fresh.emplace_back(new TypPieceJointe);
        EXPECT_EQ(fresh.back()->InitCreate2(&utils, format), kNoErr);
        return fresh.back().get();
    }

    TypPieceJointe* Loaded(const Bytes& block, int32_t* result) {
        TypPieceJointe* target = Fresh();
        *result = target->LoadStruct(block.data(), static_cast<int32_t>(block.size()));
        return target;
    }

    Bytes Data(TypPieceJointe* source, int32_t index) {
        unsigned char* bytes = nullptr;
        int32_t length = -1;
        EXPECT_EQ(source->GetDataN(index, &bytes, &length), kNoErr);
        return length > 0 ? Bytes(bytes, bytes + length) : Bytes();
    }

    testsupport::FailingUtils utils;
    ContainerPtr container{new TypPieceJointe};
    std::vector<ContainerPtr> fresh;
};

// A utility object that records the bytes a load asks of it.
class CountingUtils : public testsupport::FailingUtils {
  public:
    unsigned char* MyNewPtr(uint32_t size) override {
        bytesAsked += size;
        return FailingUtils::MyNewPtr(size);
    }
    uint64_t bytesAsked = 0;
};

}  // namespace containertest

#endif
