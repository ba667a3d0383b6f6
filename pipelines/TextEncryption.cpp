// The text encryption pipeline: source, interchange form and recipient block, both key
// layers, armour, target. Each stage runs only when every earlier one succeeded; the first
// failure's code is the result and every entered stage still cleans up. The target and every
// block the run needs are obtained before the key files are rewritten, so that a run that
// fails spends no key material.
#include "pipelines/TextEncryption.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "armour/ArmourEncoder.h"
#include "armour/MessageLayout.h"
#include "armour/TypBinASCII.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/StreamSearch.h"
#include "pipelines/TextEncryptionCore.h"
#include "pipelines/TwoKeyEncryption.h"
#include "pipelines/TwoKeyStream.h"
#include "platform/Lifetime.h"
#include "platform/ResultCodes.h"
#include "platform/TargetWriter.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtilsUnix.h"

namespace {

using veldoran::OwnedBlock;

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
class MessageSource {
  public:
    MessageSource(TypUtils* utils, TypFileRefUnix* sourceRef, uint32_t textLength,
                  const OwnedBlock* recipients)
        : utils_(utils), sourceRef_(sourceRef), textLength_(textLength), recipients_(recipients) {}

    uint64_t length() const { return uint64_t{textLength_} + recipients_->length(); }

    // The next count bytes of the message into buffer. 0; -1 when the source cannot be read;
    // -16 when the document holds the recipient marker.
    int32_t Next(unsigned char* buffer, uint32_t count) {
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
        int32_t result = sourceRef_->Read(buffer, count);
        read_ += count;
        if (result == kNoErr) {
            uint32_t converted = count;
            result = utils_->FiltrerTexte(&buffer, &converted);
        }
        if (result == kNoErr && marker_.Feed(buffer, count) >= 0) {
            result = kFormatNonDisponible;
        }
        return result;
    }

    TypUtils* utils_;
    TypFileRefUnix* sourceRef_;
    uint32_t textLength_;
    const OwnedBlock* recipients_;
    uint32_t read_ = 0;
    uint32_t delivered_ = 0;
    veldoran::StreamSearch marker_{veldoran::kRecipientBlockStart};
};

// Source stage: the source opened for reading and its length checked.
int32_t OpenSource(TypUtilsUnix* utils, TypFileRefUnix* sourceRef, uint64_t recipientsLength,
                   int32_t trace, uint32_t* textLength) {
    if (sourceRef->Exists() != kNoErr) {
        return kOtherErr;
    }
    // Only read: a source the user may read but not write is still encrypted.
    int32_t result = sourceRef->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    // A device or anything else that is not a plain file has no document of known length.
    struct stat info {};
    if (sourceRef->GetInfo(&info) != kNoErr || !S_ISREG(info.st_mode)) {
        return kOtherErr;
    }
    int32_t sourceLength = 0;
    result = sourceRef->GetLength(&sourceLength);
    if (trace != 0) {
        printf("Source Length: %d\n", sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    if (sourceLength < 0 ||
        !FitsLengths(TargetLengthBound(
            static_cast<uint64_t>(sourceLength) + recipientsLength + veldoran::TwoLayerOverhead(),
            strlen(utils->GetEOLCar())))) {
        return kFrameTooLong;
    }
    *textLength = static_cast<uint32_t>(sourceLength);
    return sourceRef->SetFilePos(0);
}

// The buffers of one run, obtained once and reused for every chunk.
struct Buffers {
    explicit Buffers(TypUtils* utils) : input(utils), output(utils) {}

    int32_t Allocate(TypUtils* utils, uint32_t chunk, size_t outputSize) {
        *input.Length() = chunk;
        *input.Pointer() = utils->MyNewPtr(chunk);
        *output.Length() = static_cast<uint32_t>(outputSize);
        *output.Pointer() = utils->MyNewPtr(static_cast<uint32_t>(outputSize));
        return input.data() != nullptr && output.data() != nullptr ? kNoErr : kMemErr;
    }

    OwnedBlock input;
    OwnedBlock output;
};

// Everything of one streaming run that the stages share.
struct EncryptionRun {
    TypUtilsUnix* utils;
    const veldoran::StreamOptions* options;
    MessageSource* message;
    veldoran::HeldKeys* keys;
    veldoran::TargetWriter* writer;
    Buffers* buffers;
    const char* comments;
    uint32_t commentsLength;
};

// Writes the comments and the armour of the outer frame, the message encrypted chunk by chunk
// on the way.
int32_t StreamMessage(const EncryptionRun& run) {
    const uint32_t chunk = run.options->Chunk();
    const uint64_t messageLength = run.message->length();
    veldoran::TwoKeyStream layers;
    veldoran::LockedKeyFile& master = run.keys->master();
    veldoran::LockedKeyFile& user = run.keys->user();
    int32_t result = layers.Open(
        {master.KeyFile(), static_cast<uint32_t>(master.Header().keyLen), master.StreamStart()},
        {user.KeyFile(), static_cast<uint32_t>(user.Header().keyLen), user.StreamStart()},
        messageLength, chunk);
    if (result == kNoErr) {
        result = run.writer->Write(reinterpret_cast<const unsigned char*>(run.comments),
                                   run.commentsLength);
    }
    veldoran::ArmourEncoder encoder(run.utils, run.utils->GetEOLCar());
    unsigned char* out = run.buffers->output.data();
    unsigned char* in = run.buffers->input.data();
    if (result == kNoErr) {
        unsigned char headers[2 * kKeyHeaderSize];
        run.keys->FrameHeaders(headers);
        result = layers.CoverInnerHeader(headers + kKeyHeaderSize);
        size_t written =
            encoder.Begin(static_cast<uint32_t>(messageLength + veldoran::TwoLayerOverhead()), out);
        written += encoder.Put(headers, sizeof headers, out + written);
        if (result == kNoErr) {
            result = run.writer->Write(out, static_cast<uint32_t>(written));
        }
    }
    for (uint64_t done = 0; result == kNoErr && done < messageLength;) {
        const auto count =
            static_cast<uint32_t>(messageLength - done < chunk ? messageLength - done : chunk);
        result = run.message->Next(in, count);
        if (result == kNoErr) {
            result = layers.Layer(in, count, done);
        }
        if (result == kNoErr) {
            const size_t written = encoder.Put(in, count, out);
            result = run.writer->Write(out, static_cast<uint32_t>(written));
        }
        done += count;
        run.options->Report(done, messageLength);
    }
    if (result == kNoErr) {
        const size_t written = encoder.Finish(out);
        result = run.writer->Write(out, static_cast<uint32_t>(written));
    }
    return result;
}

}  // namespace

int32_t EncryptTextFile(TypUtilsUnix* utils, const veldoran::TargetWriterCalls* calls,
                        const char* source, const char* target, const char* user,
                        const char* keyFolder, const char* to, const char* cc, const char* bcc,
                        int32_t trace, const veldoran::StreamOptions* options) {
    const veldoran::StreamOptions defaults = veldoran::CallersStreamOptions();
    if (options == nullptr) {
        options = &defaults;
    }
    utils->InitCreate(nullptr);
    char yearText[16] = {};
    utils->GetYearAsText(yearText);
    const char* eol = utils->GetEOLCar();
    const size_t eolLength = strlen(eol);
    if (trace != 0) {
        printf("Len EOL=%d\n", static_cast<int>(eolLength));
        printf("Year-1900: %s\n", yearText);
    }

    veldoran::TwoKeyRequest request;
    request.keyFolder = keyFolder;
    request.user = user;
    request.yearText = yearText;
    request.trace = trace;
    int32_t result = veldoran::CheckFilePaths(request, source, target);

    veldoran::Owned<TypFileRefUnix> sourceRef;
    uint32_t textLength = 0;
    if (result == kNoErr) {
        result = veldoran::MakeSourceRef(utils, source, &sourceRef);
        if (result == kNoErr) {
            result = OpenSource(utils, sourceRef.get(), veldoran::RecipientBlockLength(to, cc, bcc),
                                trace, &textLength);
        }
    }

    // The recipient block, the library's own layout of it (for an empty document).
    OwnedBlock recipients(utils);
    if (result == kNoErr) {
        const unsigned char none = 0;
        result = utils->AddDestToMessage(&none, 0, recipients.Pointer(), recipients.Length(), to,
                                         cc, bcc);
    }
    MessageSource message(utils, sourceRef.get(), textLength, &recipients);
    const uint32_t chunk = options->Chunk();
    veldoran::ArmourEncoder sizing(utils, eol);
    Buffers buffers(utils);
    if (result == kNoErr) {
        result = buffers.Allocate(utils, chunk,
                                  sizing.MaxPutLength(chunk) + sizing.MaxEdgeLength() +
                                      sizing.MaxPutLength(2 * kKeyHeaderSize));
    }

    const auto messageLength = static_cast<uint32_t>(message.length());
    veldoran::HeldKeys keys(utils);
    if (result == kNoErr) {
        result = keys.Open(request, messageLength);
    }
    const uint32_t outerLength = messageLength + veldoran::TwoLayerOverhead();
    char masterComment[veldoran::kKeyCommentSize] = {};
    char userComment[veldoran::kKeyCommentSize] = {};
    // Both comments and the empty line: at most 2 * 255 + 8 characters.
    char comments[2 * veldoran::kKeyCommentSize + 8] = {};
    uint32_t commentsLength = 0;
    if (result == kNoErr) {
        keys.Comments(messageLength, masterComment, userComment);
        commentsLength = static_cast<uint32_t>(
            snprintf(comments, sizeof comments, "%s%s%s", masterComment, userComment, eol));
    }
    const uint64_t total = commentsLength + veldoran::ArmouredLength(outerLength, eolLength);

    veldoran::TargetWriter writer;
    writer.InitCreate(calls);
    if (result == kNoErr) {
        result = writer.Open(target);
    }
    if (result == kNoErr) {
        result = writer.Reserve(total);
    }
    // A device or a pipe cannot take back what it was given: the whole document is looked
    // through first and the keys are spent before anything is written, as when the message
    // was made whole.
    bool committed = false;
    if (result == kNoErr && writer.InPlace()) {
        result = message.ScanRest(buffers.input.data(), chunk);
        if (result == kNoErr) {
            result = message.Rewind();
        }
        if (result == kNoErr) {
            result = keys.Commit(messageLength);
            committed = true;
        }
    }
    bool traced = false;
    const auto traceTarget = [&]() {
        traced = true;
        keys.Trace(true, messageLength, masterComment, userComment);
        if (trace != 0) {
            printf("End of encoding process\n");
            printf("Target File: %s\n", target);
            printf("Target File Length: %d\n", static_cast<int>(total));
        }
    };
    if (result == kNoErr && committed) {
        traceTarget();
    }
    if (result == kNoErr) {
        const EncryptionRun run{utils,   options,  &message, &keys,
                                &writer, &buffers, comments, commentsLength};
        result = StreamMessage(run);
    }
    // The keys are spent only once the whole message waits, synced, in the temporary file;
    // and the target appears only once they are.
    if (result == kNoErr && !committed) {
        result = keys.Commit(messageLength);
        if (result == kNoErr) {
            traceTarget();
        }
    }
    if (result == kNoErr) {
        result = writer.Commit();
    }
    const int32_t closed = keys.Close();
    if (result == kNoErr) {
        result = closed;
    }
    if (result != kNoErr && result != kFormatNonDisponible && textLength > 0 &&
        buffers.input.data() != nullptr && !committed) {
        // A document that cannot be read or holds the marker is refused before any other
        // failure counts.
        const int32_t scanned = message.ScanRest(buffers.input.data(), chunk);
        if (scanned != kNoErr) {
            result = scanned;
        }
    }
    if (result != kNoErr && !traced) {
        keys.Trace(false, messageLength, masterComment, userComment);
        if (trace != 0) {
            printf("End of encoding process\n");
        }
    }
    if (sourceRef != nullptr) {
        sourceRef->CloseDF();
    }
    writer.Kill();
    return result;
}

extern "C" int32_t crypter3(const char* source, const char* target, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            int32_t trace) {
    if (source == nullptr || target == nullptr || user == nullptr || keyFolder == nullptr ||
        to == nullptr || cc == nullptr || bcc == nullptr) {
        return kOtherErr;
    }
    if (trace != 0) {
        printf("Veldoran Shell - version 1.01 - ZELMOR\n");
        printf("Source filename: %s\n", source);
        printf("Username       : %s\n", user);
        printf("keyFolderPath       : %s\n", keyFolder);
        printf("fieldto       : %s\n", to);
        printf("fieldcc       : %s\n", cc);
        printf("fieldbcc       : %s\n", bcc);
    }
    return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
        return EncryptTextFile(utils, nullptr, source, target, user, keyFolder, to, cc, bcc, trace);
    });
}

extern "C" int32_t crypter2(const char* source, const char* user, const char* keyFolder,
                            const char* to, const char* cc, const char* bcc, int32_t trace) {
    return veldoran::RunWithSuffixedTarget(source, ".vlx", [&](const char* target) {
        return crypter3(source, target, user, keyFolder, to, cc, bcc, trace);
    });
}

extern "C" int32_t crypter(const char* source, const char* user, const char* to, const char* cc,
                           const char* bcc) {
    return crypter2(source, user, "", to, cc, bcc, 0);
}
