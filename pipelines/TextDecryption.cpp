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
#include <optional>
#include <string>

#include "armour/ArmourFinder.h"
#include "armour/MessageLayout.h"
#include "armour/StreamSearch.h"
#include "armour/TextForms.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/FileRun.h"
#include "pipelines/FrameReader.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/TextDecryptionCore.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/FailureRecord.h"
#include "platform/Lifetime.h"
#include "platform/OwnedBlock.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

// Bytes of the document that may still be the beginning of the recipient marker.
constexpr size_t kHeldDocument = sizeof veldoran::kRecipientBlockStart - 2;
constexpr size_t kFrameHeaders = veldoran::FrameReader::kFrameHeaders;

// The decrypted message as the document: put in the local form and written up to the first
// recipient marker. The last bytes are held back until the next piece shows whether they begin
// one.
class DocumentSink : public veldoran::ChunkSink {
  public:
    // tail (null for none) takes what follows the document: the recipient block and the
    // parameter text.
    DocumentSink(veldoran::TargetSink* writer, unsigned char lineEnd, std::string* tail)
        : writer_(writer), lineEnd_(lineEnd), tail_(tail) {}

    int32_t Begin(const unsigned char*, uint32_t) override { return kNoErr; }
    // data: count bytes, with kHeldDocument bytes of room in front of them.
    int32_t Put(unsigned char* data, uint32_t count) override {
        veldoran::ToLocalForm(data, data, count, lineEnd_);
        const int64_t found = cut_.Feed(data, count);
        if (done_) {
            KeepTail(data, count);
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
        if (done_) {
            KeepTail(begin + out, available - out);
        }
        return result;
    }
    // No marker: the held tail is document too.
    int32_t Finish() override {
        return done_ ? kNoErr : writer_->Write(held_, static_cast<uint32_t>(heldCount_));
    }

  private:
    void KeepTail(const unsigned char* data, size_t count) {
        if (tail_ != nullptr) {
            tail_->append(reinterpret_cast<const char*>(data), count);
        }
    }

    veldoran::TargetSink* writer_;
    unsigned char lineEnd_;
    std::string* tail_;
    veldoran::StreamSearch cut_{veldoran::kRecipientBlockStart};
    unsigned char held_[kHeldDocument] = {};
    size_t heldCount_ = 0;
    uint64_t written_ = 0;
    bool done_ = false;
};

}  // namespace

namespace veldoran {

// Where a text decryption writes.
struct DecryptionTarget {
    // The target's path, or the name a target the caller opened is known by; null for the
    // source's name with ".txt".
    const char* name = nullptr;
    // A sink the caller opened (nothing written yet), or null for a writer the run opens.
    TargetSink* opened = nullptr;
    // Takes the message's tail when not null.
    std::string* tail = nullptr;
};

}  // namespace veldoran

namespace {

// One text decryption, step by step. What a step obtains lives to the end of the run: a run
// that fails early still traces its target and still cleans up what it entered.
class DecryptionRun {
  public:
    DecryptionRun(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                  const veldoran::DecryptionTarget& where, const veldoran::StreamOptions& settings,
                  int32_t trace)
        : utils_(utils),
          where_(where),
          settings_(settings),
          trace_(trace),
          chunk_(settings.Chunk()),
          input_(utils),
          decoded_(utils),
          armour_(utils) {
        ownWriter_.InitCreate(calls);
        writer_ = where.opened != nullptr ? where.opened : &ownWriter_;
    }

    // The key folder taken, the target's path made and the line end checked: all found out
    // before any file is opened.
    int32_t Start(const char* source, const char* keyFolder) {
        source_ = source;
        int32_t result = veldoran::StartDecryption(utils_, keyFolder, trace_,
                                                   "VELDORAN DECRYPTAGE - v1.01 - ZELMOR");
        // The target's path must fit a file reference like any other.
        const char* base = where_.name != nullptr ? where_.name : source;
        const char* suffix = where_.name != nullptr ? "" : veldoran::kDocumentSuffix;
        const size_t baseLength = strlen(base);
        if (baseLength + strlen(suffix) <= kMaxPathLength) {
            memcpy(target_, base, baseLength);
            memcpy(target_ + baseLength, suffix, strlen(suffix) + 1);
        } else if (result == kNoErr) {
            result = kOtherErr;
        }
        // The stream puts the text in the local form a byte for a byte.
        const char* eol = utils_->GetEOLCar();
        if (result == kNoErr && strlen(eol) != 1) {
            result = kOtherErr;
        }
        lineEnd_ = static_cast<unsigned char>(eol[0]);
        return result;
    }

    // The source opened and every block obtained.
    int32_t Prepare() {
        int32_t result = veldoran::OpenSourceFile(utils_, source_, veldoran::SourceRules(), trace_,
                                                  &sourceRef_, &textLength_);
        if (result == kNoErr) {
            result = input_.Allocate(chunk_);
        }
        if (result == kNoErr) {
            result = decoded_.Allocate(static_cast<uint32_t>(
                kHeldDocument + veldoran::ArmourFinder::MaxFeedLength(chunk_)));
        }
        if (result == kNoErr && veldoran::Create(&crypto_, utils_) != kNoErr) {
            result = kOtherErr;
        }
        return result;
    }

    // The target opened unnamed (a failure there counts only once the message is known to be
    // sound), then the message read through the armour and both layers into it; the target
    // replaces the old one only once the whole armour has been checked.
    int32_t Decrypt() {
        openResult_ =
            where_.opened != nullptr ? kNoErr : veldoran::OpenTarget(&ownWriter_, target_);
        SetTargetFailureAside();
        document_.emplace(writer_, lineEnd_, where_.tail);
        frame_.emplace(utils_, crypto_.get(), target_, chunk_, &*document_);
        return ReadArmour();
    }

    // The armour alone read through and checked, nothing decrypted: 0 when a whole armour was
    // found and is sound, else the code Finish would put first.
    int32_t CheckArmour() {
        const int32_t result = ReadArmour();
        return result == kNoErr ? armour_.Finish() : result;
    }

    // The codes in the order the whole-block decryption met them (the armour's, the layers',
    // then the target's), the trace's last lines, and the target put in place.
    int32_t Finish(int32_t result) {
        const int32_t armourResult = armour_.Finish();
        if (result == kNoErr) {
            result = armourResult;
        }
        if (result == kNoErr) {
            result = frame_->Finish(trace_);
        }
        if (trace_ != 0) {
            // A changed or cut armour fails before any key is tried, as the whole-block run
            // does.
            const uint32_t handedBack =
                armourResult == kNoErr && frame_ ? frame_->MessageLengthHandedBack() : 0;
            printf("Target File: %s\n", target_);
            printf("Target File Length: %d\n", static_cast<int>(handedBack));
        }
        if (result == kNoErr && openResult_ != kNoErr) {
            veldoran::AdoptFailure(targetFailure_);
            result = openResult_;
        }
        if (result == kNoErr) {
            result = frame_->writeResult();
        }
        return result == kNoErr ? writer_->Commit() : result;
    }

  private:
    void SetTargetFailureAside() {
        if (openResult_ != kNoErr) {
            targetFailure_ = veldoran::SetFailureAside();
        }
    }

    // The message read through the armour, and through both layers into the target once
    // Decrypt has set them up.
    int32_t ReadArmour() {
        bool reserved = false;
        for (uint64_t position = 0; !armour_.Ended() && position < textLength_;) {
            const uint32_t count = textLength_ - position < chunk_
                                       ? static_cast<uint32_t>(textLength_ - position)
                                       : chunk_;
            const int32_t result = veldoran::ReadSource(sourceRef_.get(), input_.data(), count);
            if (result != kNoErr) {
                return result;
            }
            unsigned char* out = decoded_.data() + kHeldDocument;
            const size_t stored = armour_.Feed(input_.data(), count, out);
            if (armour_.Ended() && !armour_.Found()) {
                // No armour in front of the first end marker: nothing of this piece was taken.
                break;
            }
            if (!frame_) {
                position += count;
                continue;
            }
            if (armour_.LengthKnown() && !reserved) {
                reserved = true;
                if (openResult_ == kNoErr && armour_.DataLength() > kFrameHeaders) {
                    openResult_ = writer_->Reserve(armour_.DataLength() - kFrameHeaders);
                    SetTargetFailureAside();
                }
            }
            if (stored > 0) {
                frame_->Take(armour_.DataLength(), out, stored);
            }
            position += count;
            settings_.Report(position, textLength_);
        }
        return kNoErr;
    }

    TypUtilsUnix* utils_;
    const veldoran::DecryptionTarget& where_;
    const veldoran::StreamOptions& settings_;
    int32_t trace_;
    uint32_t chunk_;
    const char* source_ = nullptr;
    char target_[kMaxPathLength + 1] = {};
    unsigned char lineEnd_ = '\n';
    veldoran::Owned<TypFileRefUnix> sourceRef_;
    uint32_t textLength_ = 0;
    OwnedBlock input_;
    OwnedBlock decoded_;
    veldoran::Owned<TypCryptoUnix> crypto_;
    veldoran::TargetWriter ownWriter_;
    veldoran::TargetSink* writer_;
    int32_t openResult_ = kOtherErr;
    // The target's failure, which counts only once the message has proved sound.
    VeldoranFailure targetFailure_{};
    std::optional<DocumentSink> document_;
    std::optional<veldoran::FrameReader> frame_;
    veldoran::ArmourFinder armour_;
};

}  // namespace

namespace {

int32_t DecryptText(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                    const char* source, const veldoran::DecryptionTarget& where,
                    const char* keyFolder, int32_t trace, const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions settings = veldoran::GivenOrCallersOptions(options);
    DecryptionRun run(utils, calls, where, settings, trace);
    int32_t result = run.Start(source, keyFolder);
    if (result == kNoErr) {
        result = run.Prepare();
    }
    if (result == kNoErr) {
        result = run.Decrypt();
    }
    return run.Finish(result);
}

}  // namespace

int32_t DecryptTextFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const char* keyFolder, int32_t trace,
                        const veldoran::StreamOptions* options) {
    return DecryptText(utils, calls, source, veldoran::DecryptionTarget(), keyFolder, trace,
                       options);
}

int32_t veldoran::DecryptTextFileInto(const char* source, TargetSink* writer,
                                      const char* targetName, const char* keyFolder, int32_t trace,
                                      std::string* tail) {
    if (source == nullptr || writer == nullptr || targetName == nullptr || keyFolder == nullptr) {
        return RefuseCall();
    }
    DecryptionTarget where;
    where.name = targetName;
    where.opened = writer;
    where.tail = tail;
    return RunIntoSink(writer, [&](PipelineUtils* utils) {
        return DecryptText(utils, nullptr, source, where, keyFolder, trace, nullptr);
    });
}

int32_t veldoran::CheckTextArmour(const char* source) {
    if (source == nullptr) {
        return RefuseCall();
    }
    return RunWithUtils([&](PipelineUtils* utils) {
        const StreamOptions settings = GivenOrCallersOptions(nullptr);
        // The run keeps a reference to where it writes: a named object, living as long as it.
        const DecryptionTarget nowhere;
        DecryptionRun run(utils, nullptr, nowhere, settings, 0);
        int32_t result = run.Start(source, "");
        if (result == kNoErr) {
            result = run.Prepare();
        }
        return result == kNoErr ? run.CheckArmour() : result;
    });
}

extern "C" int32_t decrypter2(const char* source, const char* keyFolder, int32_t trace) {
    if (source == nullptr || keyFolder == nullptr) {
        return veldoran::RefuseCall();
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return DecryptTextFile(utils, nullptr, source, keyFolder, trace);
    });
}

extern "C" int32_t decrypter(const char* source) {
    return decrypter2(source, "", 0);
}
