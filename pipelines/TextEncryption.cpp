// The text encryption pipeline: source, interchange form and recipient block, both key
// layers, armour, target. Each stage runs only when every earlier one succeeded; the first
// failure's code is the result and every entered stage still cleans up. The target and every
// block the run needs are obtained before the key files are rewritten, so that a run that
// fails spends no key material: the file run of pipelines/FileRun keeps that order, with the
// message being made as its source and the armour as its sink.
#include "pipelines/TextEncryption.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "armour/ArmourEncoder.h"
#include "armour/MessageLayout.h"
#include "armour/StreamSearch.h"
#include "armour/TextForms.h"
#include "armour/TypBinASCII.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/FileRun.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/TextEncryptionCore.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/Lifetime.h"
#include "platform/OwnedBlock.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

constexpr auto kMarkerStart = static_cast<unsigned char>(veldoran::kRecipientBlockStart[0]);

// The longest target for an outer frame of outerLength bytes: both comments at their longest,
// the empty line and the armour.
uint64_t TargetLengthBound(uint64_t outerLength, uint64_t eolLength) {
    return 2 * veldoran::kKeyCommentMaxLength + eolLength +
           veldoran::ArmouredLength(outerLength, eolLength);
}

// The stored lengths are 32-bit and every length must stay below 2^31.
bool FitsLengths(uint64_t length) {
    return length <= static_cast<uint64_t>(INT32_MAX);
}

// The message as it is made, chunk by chunk: the source's bytes in interchange form, watched
// for the recipient marker, then the recipient block.
class MessageSource : public veldoran::ChunkSource {
  public:
    explicit MessageSource(const OwnedBlock* recipients) : recipients_(recipients) {}

    // The document: textLength bytes of sourceRef, read from its first byte.
    void Start(TypFileRefUnix* sourceRef, uint32_t textLength) {
        sourceRef_ = sourceRef;
        textLength_ = textLength;
    }

    uint32_t textLength() const { return textLength_; }
    uint64_t length() const { return uint64_t{textLength_} + recipients_->length(); }

    // The next count bytes of the message into buffer. 0; -1 when the source cannot be read;
    // -16 when the document holds the recipient marker.
    int32_t Next(unsigned char* buffer, uint32_t count) override {
        const uint32_t fromText = textLength_ - read_ < count ? textLength_ - read_ : count;
        const int32_t result = ReadText(buffer, fromText);
        if (result == kNoErr && fromText < count) {
            memcpy(buffer + fromText, recipients_->data() + delivered_, count - fromText);
            delivered_ += count - fromText;
        }
        return result;
    }

    // Reads what is left of the document through buffer (capacity bytes) only to look for the
    // recipient marker: -16 when it is there, -1 when the source cannot be read, else 0. A run
    // that fails for another reason reports these first, as when the document was read whole
    // before anything else.
    int32_t ScanRest(unsigned char* buffer, uint32_t capacity) {
        int32_t result = kNoErr;
        while (result == kNoErr && read_ < textLength_) {
            const uint32_t count = textLength_ - read_ < capacity ? textLength_ - read_ : capacity;
            result = ReadText(buffer, count);
        }
        return result;
    }

    // Starts again at the first byte (for a pass that only looks for the marker).
    int32_t Rewind() {
        read_ = 0;
        delivered_ = 0;
        marker_ = veldoran::StreamSearch(veldoran::kRecipientBlockStart);
        return sourceRef_->SetFilePos(0);
    }

  private:
    int32_t ReadText(unsigned char* buffer, uint32_t count) {
        if (count == 0) {
            return kNoErr;
        }
        const int32_t result = veldoran::ReadSource(sourceRef_, buffer, count);
        read_ += count;
        if (result != kNoErr) {
            return result;
        }
        // The conversion also tells where the marker could first begin, so that it is looked
        // for without a pass of its own over the chunk.
        const size_t from = veldoran::ToInterchangeForm(buffer, count, kMarkerStart);
        int64_t found = marker_.Feed(buffer, count, from);
        if (found < 0 && read_ == textLength_) {
            // The recipient block's own marker must be the first one: a document that ends
            // with the start of a marker would come back cut there.
            found = marker_.Feed(recipients_->data(), recipients_->length());
            found = found < static_cast<int64_t>(textLength_) ? found : -1;
        }
        return found >= 0 ? kFormatNonDisponible : kNoErr;
    }

    TypFileRefUnix* sourceRef_ = nullptr;
    uint32_t textLength_ = 0;
    const OwnedBlock* recipients_;
    uint32_t read_ = 0;
    uint32_t delivered_ = 0;
    veldoran::StreamSearch marker_{veldoran::kRecipientBlockStart};
};

// The armour of the outer frame behind the keys' comment lines, written as the frame is made.
class ArmourSink : public veldoran::ChunkSink {
  public:
    // output: room for the armour of one chunk and of the frame headers, with the armour's
    // first and last lines.
    ArmourSink(TypUtilsUnix* utils, veldoran::TargetSink* writer, const OwnedBlock* output,
               const char* comments, uint32_t commentsLength, uint32_t outerLength)
        : encoder_(utils, utils->GetEOLCar()),
          writer_(writer),
          out_(output->data()),
          comments_(comments),
          commentsLength_(commentsLength),
          outerLength_(outerLength) {}

    int32_t Begin(const unsigned char* headers, uint32_t count) override {
        const int32_t result =
            writer_->Write(reinterpret_cast<const unsigned char*>(comments_), commentsLength_);
        if (result != kNoErr) {
            return result;
        }
        size_t written = encoder_.Begin(outerLength_, out_);
        written += encoder_.Put(headers, count, out_ + written);
        return writer_->Write(out_, static_cast<uint32_t>(written));
    }
    int32_t Put(unsigned char* data, uint32_t count) override {
        return writer_->Write(out_, static_cast<uint32_t>(encoder_.Put(data, count, out_)));
    }
    int32_t Finish() override {
        return writer_->Write(out_, static_cast<uint32_t>(encoder_.Finish(out_)));
    }

  private:
    veldoran::ArmourEncoder encoder_;
    veldoran::TargetSink* writer_;
    unsigned char* out_;
    const char* comments_;
    uint32_t commentsLength_;
    uint32_t outerLength_;
};

}  // namespace

namespace veldoran {

// Where a text encryption writes, and how its message ends.
struct TextTarget {
    // The target's path, or the name a target the caller opened is known by (for the check
    // that it is no key file, and for the trace).
    const char* name = nullptr;
    // A sink the caller opened (nothing written yet), or null for a writer the run opens on
    // name.
    TargetSink* opened = nullptr;
    // The parameter text behind the recipient block ("" for none).
    const char* param = "";
    // Whether the recipient block and the parameter text are put in the interchange form too,
    // as the in-memory pipeline puts them.
    bool interchangeTail = false;
};

}  // namespace veldoran

namespace {

// One text encryption, step by step. What a step obtains lives to the end of the run: a run
// that fails still looks through the rest of the document, and still traces its keys.
class TextRun {
  public:
    TextRun(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
            const veldoran::TextTarget& target, int32_t trace,
            const veldoran::StreamOptions& options)
        : utils_(utils),
          target_(target.name),
          where_(target),
          trace_(trace),
          options_(options),
          eol_(utils->GetEOLCar()),
          recipients_(utils),
          message_(&recipients_),
          input_(utils),
          output_(utils),
          keys_(utils) {
        ownWriter_.InitCreate(calls);
        writer_ = target.opened != nullptr ? target.opened : &ownWriter_;
    }

    // The source opened and its length checked, the recipient block made, every block
    // obtained and both keys held and checked.
    int32_t Prepare(const veldoran::TwoKeyRequest& request, const char* source, const char* to,
                    const char* cc, const char* bcc) {
        int32_t result = veldoran::CheckFilePaths(request, source, target_);
        if (result != kNoErr) {
            return result;
        }
        veldoran::SourceRules rules;
        rules.regularOnly = true;
        uint32_t textLength = 0;
        result = veldoran::OpenSourceFile(utils_, source, rules, trace_, &sourceRef_, &textLength);
        if (result != kNoErr) {
            return result;
        }
        if (!FitsLengths(TargetLengthBound(uint64_t{textLength} +
                                               veldoran::RecipientBlockLength(to, cc, bcc) +
                                               strlen(where_.param) + veldoran::TwoLayerOverhead(),
                                           strlen(eol_)))) {
            return kFrameTooLong;
        }
        result = MakeTail(to, cc, bcc);
        if (result != kNoErr) {
            return result;
        }
        message_.Start(sourceRef_.get(), textLength);
        const uint32_t chunk = options_.ChunkFor(message_.length());
        const veldoran::ArmourEncoder sizing(utils_, eol_);
        // Each chunk is read over the input block, and the armour is written over the output
        // block before it goes out: neither needs filling first.
        result = input_.AllocateUnfilled(chunk);
        if (result == kNoErr) {
            result = output_.AllocateUnfilled(
                static_cast<uint32_t>(sizing.MaxPutLength(chunk) + sizing.MaxEdgeLength() +
                                      sizing.MaxPutLength(2 * kKeyHeaderSize)));
        }
        if (result != kNoErr) {
            return result;
        }
        result = keys_.Open(request, MessageLength());
        if (result != kNoErr) {
            return result;
        }
        keys_.Comments(MessageLength(), masterComment_, userComment_);
        commentsLength_ = static_cast<uint32_t>(
            snprintf(comments_, sizeof comments_, "%s%s%s", masterComment_, userComment_, eol_));
        return kNoErr;
    }

    // What follows the document: the recipient block, the library's own layout of it (for an
    // empty document), and the parameter text.
    int32_t MakeTail(const char* to, const char* cc, const char* bcc) {
        const unsigned char none = 0;
        int32_t result = utils_->AddDestToMessage(&none, 0, recipients_.Pointer(),
                                                  recipients_.Length(), to, cc, bcc);
        if (result == kNoErr && where_.param[0] != '\0') {
            OwnedBlock withParam(utils_);
            result =
                utils_->AddParamToMessage(recipients_.data(), recipients_.length(),
                                          withParam.Pointer(), withParam.Length(), where_.param);
            recipients_.Dispose();
            withParam.HandOver(recipients_.Pointer(), recipients_.Length());
        }
        if (result == kNoErr && where_.interchangeTail) {
            result = utils_->FiltrerTexte(recipients_.Pointer(), recipients_.Length());
        }
        return result;
    }

    // The target written and in place, the keys spent on the way.
    int32_t Write() {
        ArmourSink armour(utils_, writer_, &output_, comments_, commentsLength_,
                          MessageLength() + veldoran::TwoLayerOverhead());
        veldoran::EncryptionRun run;
        run.keys = &keys_;
        run.writer = writer_;
        run.opening = where_.opened != nullptr ? nullptr : &ownWriter_;
        run.target = target_;
        run.targetLength = TargetLength();
        run.messageLength = MessageLength();
        run.buffer = &input_;
        run.source = &message_;
        run.sink = &armour;
        run.options = &options_;
        // A device or a pipe cannot take back what it was given: the whole document is looked
        // through first, as when the message was made whole.
        run.beforeEarlyCommit = [this]() {
            const int32_t result = message_.ScanRest(input_.data(), input_.length());
            return result == kNoErr ? message_.Rewind() : result;
        };
        run.spent = [this]() { TraceTarget(); };
        const int32_t result = veldoran::RunEncryption(run, &spentEarly_);
        return result == kNoErr ? writer_->Commit() : result;
    }

    // The keys released; for a failure, the document's own fault put first and the trace's
    // last lines.
    int32_t Finish(int32_t result) {
        const int32_t closed = keys_.Close();
        if (result == kNoErr) {
            result = closed;
        }
        if (result != kNoErr && result != kFormatNonDisponible && message_.textLength() > 0 &&
            input_.data() != nullptr && !spentEarly_) {
            // A document that cannot be read or holds the marker is refused before any other
            // failure counts.
            const int32_t scanned = message_.ScanRest(input_.data(), input_.length());
            if (scanned != kNoErr) {
                result = scanned;
            }
        }
        if (result != kNoErr && !traced_) {
            keys_.Trace(false, MessageLength(), masterComment_, userComment_);
            if (trace_ != 0) {
                printf("End of encoding process\n");
            }
        }
        return result;
    }

  private:
    uint32_t MessageLength() const { return static_cast<uint32_t>(message_.length()); }
    uint64_t TargetLength() const {
        return commentsLength_ + veldoran::ArmouredLength(
                                     MessageLength() + veldoran::TwoLayerOverhead(), strlen(eol_));
    }
    void TraceTarget() {
        traced_ = true;
        keys_.Trace(true, MessageLength(), masterComment_, userComment_);
        if (trace_ != 0) {
            printf("End of encoding process\n");
            printf("Target File: %s\n", target_);
            printf("Target File Length: %d\n", static_cast<int>(TargetLength()));
        }
    }

    TypUtilsUnix* utils_;
    const char* target_;
    const veldoran::TextTarget& where_;
    int32_t trace_;
    const veldoran::StreamOptions& options_;
    const char* eol_;
    veldoran::Owned<TypFileRefUnix> sourceRef_;
    OwnedBlock recipients_;
    MessageSource message_;
    OwnedBlock input_;
    OwnedBlock output_;
    veldoran::HeldKeys keys_;
    veldoran::TargetWriter ownWriter_;
    veldoran::TargetSink* writer_;
    char masterComment_[veldoran::kKeyCommentSize] = {};
    char userComment_[veldoran::kKeyCommentSize] = {};
    // Both comments and the empty line: at most 2 * 255 + 8 characters.
    char comments_[2 * veldoran::kKeyCommentSize + 8] = {};
    uint32_t commentsLength_ = 0;
    bool spentEarly_ = false;
    bool traced_ = false;
};

}  // namespace

namespace {

int32_t EncryptText(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                    const char* source, const veldoran::TextTarget& target, const char* user,
                    const char* keyFolder, const char* to, const char* cc, const char* bcc,
                    int32_t trace, const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions settings = veldoran::GivenOrCallersOptions(options);
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    if (trace != 0) {
        printf("Len EOL=%d\n", static_cast<int>(strlen(utils->GetEOLCar())));
        printf("Year-1900: %s\n", yearText);
    }
    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder;
    request.user = user;
    request.yearText = yearText;
    request.trace = trace;
    TextRun run(utils, calls, target, trace, settings);
    int32_t result = run.Prepare(request, source, to, cc, bcc);
    if (result == kNoErr) {
        result = run.Write();
    }
    return run.Finish(result);
}

}  // namespace

int32_t EncryptTextFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const char* target, const char* user,
                        const char* keyFolder, const char* to, const char* cc, const char* bcc,
                        int32_t trace, const veldoran::StreamOptions* options) {
    veldoran::TextTarget named;
    named.name = target;
    return EncryptText(utils, calls, source, named, user, keyFolder, to, cc, bcc, trace, options);
}

namespace {

// The trace's first lines: the run's arguments.
void TraceArguments(const char* source, const char* user, const char* keyFolder, const char* to,
                    const char* cc, const char* bcc, int32_t trace) {
    if (trace != 0) {
        printf("Veldoran Shell - version 1.01 - ZELMOR\n");
        printf("Source filename: %s\n", source);
        printf("Username       : %s\n", user);
        printf("keyFolderPath       : %s\n", keyFolder);
        printf("fieldto       : %s\n", to);
        printf("fieldcc       : %s\n", cc);
        printf("fieldbcc       : %s\n", bcc);
    }
}

}  // namespace

int32_t veldoran::EncryptTextFileInto(const char* source, TargetSink* writer,
                                      const char* targetName, const char* user,
                                      const char* keyFolder, const char* to, const char* cc,
                                      const char* bcc, const char* param, int32_t trace) {
    if (source == nullptr || writer == nullptr || targetName == nullptr || user == nullptr ||
        keyFolder == nullptr || to == nullptr || cc == nullptr || bcc == nullptr ||
        param == nullptr) {
        return RefuseCall();
    }
    TextTarget opened;
    opened.name = targetName;
    opened.opened = writer;
    opened.param = param;
    opened.interchangeTail = true;
    TraceArguments(source, user, keyFolder, to, cc, bcc, trace);
    return RunIntoSink(writer, [&](PipelineUtils* utils) {
        return EncryptText(utils, nullptr, source, opened, user, keyFolder, to, cc, bcc, trace,
                           nullptr);
    });
}

extern "C" int32_t crypter3(const char* source, const char* target, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            int32_t trace) {
    if (source == nullptr || target == nullptr || user == nullptr || keyFolder == nullptr ||
        to == nullptr || cc == nullptr || bcc == nullptr) {
        return veldoran::RefuseCall();
    }
    TraceArguments(source, user, keyFolder, to, cc, bcc, trace);
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptTextFile(utils, nullptr, source, target, user, keyFolder, to, cc, bcc, trace);
    });
}

extern "C" int32_t crypter2(const char* source, const char* user, const char* keyFolder,
                            const char* to, const char* cc, const char* bcc, int32_t trace) {
    return veldoran::RunWithSuffixedTarget(
        source, veldoran::kMessageSuffix, [&](const char* target) {
            return crypter3(source, target, user, keyFolder, to, cc, bcc, trace);
        });
}

extern "C" int32_t crypter(const char* source, const char* user, const char* to, const char* cc,
                           const char* bcc) {
    return crypter2(source, user, "", to, cc, bcc, 0);
}
