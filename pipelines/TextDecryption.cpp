// The text decryption pipeline: source, armour, user key layer, master key layer, local text
// form, target. Each stage runs only when every earlier one succeeded; the first failure's code
// is the result and every entered stage still cleans up. Each form of the message is disposed
// of as soon as the next one exists, so at most two forms live at once, and the document is
// written straight from the decrypted message without a copy of its own: the armour finder
// feeds the frame reader, whose sink is the document.
#include "pipelines/TextDecryption.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "armour/ArmourFinder.h"
#include "armour/MessageLayout.h"
#include "armour/StreamSearch.h"
#include "armour/TextForms.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/FrameReader.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/TextDecryptionCore.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

constexpr char kTargetSuffix[] = ".txt";
// Bytes of the document that may still be the beginning of the recipient marker.
constexpr size_t kHeldDocument = sizeof veldoran::kRecipientBlockStart - 2;
constexpr size_t kFrameHeaders = veldoran::FrameReader::kFrameHeaders;

// The decrypted message as the document: put in the local form and written up to the first
// recipient marker. The last bytes are held back until the next piece shows whether they begin
// one.
class DocumentSink : public veldoran::ChunkSink {
  public:
    DocumentSink(veldoran::TargetWriter* writer, unsigned char lineEnd)
        : writer_(writer), lineEnd_(lineEnd) {}

    int32_t Begin(const unsigned char*, uint32_t) override { return kNoErr; }
    // data: count bytes, with kHeldDocument bytes of room in front of them.
    int32_t Put(unsigned char* data, uint32_t count) override {
        veldoran::ToLocalForm(data, data, count, lineEnd_);
        const int64_t found = cut_.Feed(data, count);
        if (done_) {
            return kNoErr;
        }
        // The held bytes go in front of data (room was left there).
        unsigned char* begin = data - heldCount_;
        memcpy(begin, held_, heldCount_);
        size_t available = heldCount_ + count;
        size_t out = available > kHeldDocument ? available - kHeldDocument : 0;
        if (found >= 0) {
            out = static_cast<size_t>(static_cast<uint64_t>(found) - written_);
            done_ = true;
        }
        const int32_t result = writer_->Write(begin, static_cast<uint32_t>(out));
        written_ += out;
        heldCount_ = done_ ? 0 : available - out;
        memmove(held_, begin + out, heldCount_);
        return result;
    }
    // No marker: the held tail is document too.
    int32_t Finish() override {
        return done_ ? kNoErr : writer_->Write(held_, static_cast<uint32_t>(heldCount_));
    }

  private:
    veldoran::TargetWriter* writer_;
    unsigned char lineEnd_;
    veldoran::StreamSearch cut_{veldoran::kRecipientBlockStart};
    unsigned char held_[kHeldDocument] = {};
    size_t heldCount_ = 0;
    uint64_t written_ = 0;
    bool done_ = false;
};

}  // namespace

int32_t DecryptTextFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const char* keyFolder, int32_t trace,
                        const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions settings = veldoran::GivenOrCallersOptions(options);
    int32_t result =
        veldoran::StartDecryption(utils, keyFolder, trace, "VELDORAN DECRYPTAGE - v1.01 - ZELMOR");

    // The target's path must fit a file reference like any other; found out before any file
    // is opened.
    const size_t sourceLength = strlen(source);
    char target[kMaxPathLength + 1] = {};
    if (sourceLength + strlen(kTargetSuffix) <= kMaxPathLength) {
        memcpy(target, source, sourceLength);
        memcpy(target + sourceLength, kTargetSuffix, sizeof kTargetSuffix);
    } else if (result == kNoErr) {
        result = kOtherErr;
    }
    // The stream puts the text in the local form a byte for a byte.
    const char* eol = utils->GetEOLCar();
    if (result == kNoErr && strlen(eol) != 1) {
        result = kOtherErr;
    }

    veldoran::Owned<TypFileRefUnix> sourceRef;
    uint32_t textLength = 0;
    if (result == kNoErr) {
        result = veldoran::OpenSourceFile(utils, source, veldoran::SourceRules(), trace, &sourceRef,
                                          &textLength);
    }
    const uint32_t chunk = settings.Chunk();
    OwnedBlock input(utils);
    OwnedBlock decoded(utils);
    if (result == kNoErr) {
        result = input.Allocate(chunk);
    }
    if (result == kNoErr) {
        result = decoded.Allocate(
            static_cast<uint32_t>(kHeldDocument + veldoran::ArmourFinder::MaxFeedLength(chunk)));
    }
    veldoran::Owned<TypCryptoUnix> crypto;
    if (result == kNoErr && veldoran::Create(&crypto, utils) != kNoErr) {
        result = kOtherErr;
    }

    // The target is written as the message is read; it replaces the old one only once the
    // whole armour has been checked.
    veldoran::TargetWriter writer;
    writer.InitCreate(calls);
    int32_t openResult = kOtherErr;
    if (result == kNoErr) {
        openResult = writer.Open(target);
    }
    DocumentSink document(&writer, static_cast<unsigned char>(eol[0]));
    veldoran::FrameReader frame(utils, crypto.get(), target, chunk, &document);
    veldoran::ArmourFinder armour(utils);
    bool reserved = false;
    for (uint64_t position = 0; result == kNoErr && !armour.Ended() && position < textLength;) {
        const uint32_t count =
            textLength - position < chunk ? static_cast<uint32_t>(textLength - position) : chunk;
        result = sourceRef->Read(input.data(), count);
        if (result != kNoErr) {
            break;
        }
        unsigned char* out = decoded.data() + kHeldDocument;
        const size_t stored = armour.Feed(input.data(), count, out);
        if (armour.Ended() && !armour.Found()) {
            // No armour in front of the first end marker: nothing of this piece was taken.
            break;
        }
        if (armour.LengthKnown() && !reserved) {
            reserved = true;
            if (openResult == kNoErr && armour.DataLength() > kFrameHeaders) {
                openResult = writer.Reserve(armour.DataLength() - kFrameHeaders);
            }
        }
        if (stored > 0) {
            frame.Take(armour.DataLength(), out, stored);
        }
        position += count;
        settings.Report(position, textLength);
    }
    const int32_t armourResult = armour.Finish();
    if (result == kNoErr) {
        result = armourResult;
    }
    if (result == kNoErr) {
        result = frame.Finish(trace);
    }
    if (trace != 0) {
        printf("Target File: %s%s\n", source, kTargetSuffix);
        // A changed or cut armour fails before any key is tried, as the whole-block run does.
        printf("Target File Length: %d\n",
               armourResult == kNoErr ? static_cast<int>(frame.MessageLengthHandedBack()) : 0);
    }
    if (result == kNoErr) {
        result = openResult;
    }
    if (result == kNoErr) {
        result = frame.writeResult();
    }
    return result == kNoErr ? writer.Commit() : result;
}

extern "C" int32_t decrypter2(const char* source, const char* keyFolder, int32_t trace) {
    if (source == nullptr || keyFolder == nullptr) {
        return kOtherErr;
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptTextFile(utils, nullptr, source, keyFolder, trace);
    });
}

extern "C" int32_t decrypter(const char* source) {
    return decrypter2(source, "", 0);
}
