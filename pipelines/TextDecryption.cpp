// The text decryption pipeline: source, armour, user key layer, master key layer, local text
// form, target. Each stage runs only when every earlier one succeeded; the first failure's code
// is the result and every entered stage still cleans up. Each form of the message is disposed
// of as soon as the next one exists, so at most two forms live at once, and the document is
// written straight from the decrypted message without a copy of its own.
#include "pipelines/TextDecryption.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "armour/ArmourDecoder.h"
#include "armour/ArmourFormat.h"
#include "armour/MessageLayout.h"
#include "armour/TextForms.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/OwnedBlock.h"
#include "pipelines/PipelineUtils.h"
#include "pipelines/SourceRef.h"
#include "pipelines/StreamSearch.h"
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
constexpr size_t kStartLength = sizeof veldoran::armour::kStartMarker - 1;
constexpr size_t kEndLength = sizeof veldoran::armour::kEndMarker - 1;
// Bytes of the stream that may still be the beginning of the end marker.
constexpr size_t kHeldText = kEndLength - 1;
// Bytes of the document that may still be the beginning of the recipient marker.
constexpr size_t kHeldDocument = sizeof veldoran::kRecipientBlockStart - 2;
constexpr size_t kFrameHeaders = 2 * kKeyHeaderSize;

// The source opened for reading, its length known and its position at the start.
int32_t OpenSource(TypFileRefUnix* sourceRef, int32_t trace, uint32_t* length) {
    if (sourceRef->Exists() != kNoErr) {
        return kOtherErr;
    }
    int32_t result = sourceRef->OpenDF(kOpenRead);
    if (result != kNoErr) {
        return result;
    }
    int32_t sourceLength = 0;
    result = sourceRef->GetLength(&sourceLength);
    if (trace != 0) {
        printf("Source Length: %d\n", sourceLength);
    }
    if (result != kNoErr) {
        return result;
    }
    *length = static_cast<uint32_t>(sourceLength);
    return sourceRef->SetFilePos(0);
}

// The decoded outer frame taken apart as it arrives: the two frame headers open the key
// files, the message behind them is unlayered, put in the local form, cut at the recipient
// marker and written. Failures are kept, not acted on, until the armour has been read to its
// end: a changed or cut armour reports its own code first, as when it was decoded whole.
class FrameReader {
  public:
    // target: the path the document goes to, which must not be a key file of the frame.
    FrameReader(TypUtilsUnix* utils, TypCrypto* crypto, veldoran::TargetWriter* writer,
                const char* target, uint32_t window, unsigned char lineEnd)
        : utils_(utils),
          crypto_(crypto),
          writer_(writer),
          target_(target),
          window_(window),
          lineEnd_(lineEnd) {}

    // data: count decoded bytes, with kHeldDocument bytes of room in front of them.
    void Take(uint32_t outerLength, unsigned char* data, size_t count) {
        outerLength_ = outerLength;
        while (count > 0 && keyResult_ == kNoErr && decoded_ < kFrameHeaders) {
            const size_t take = count < kFrameHeaders - decoded_ ? count : kFrameHeaders - decoded_;
            memcpy(headers_ + decoded_, data, take);
            decoded_ += take;
            data += take;
            count -= take;
            if (decoded_ >= kKeyHeaderSize && !userOpen_) {
                OpenUser();
            }
            if (decoded_ == kFrameHeaders && keyResult_ == kNoErr) {
                OpenMaster();
            }
        }
        if (count == 0 || keyResult_ != kNoErr) {
            decoded_ += count;
            return;
        }
        keyResult_ = layers_.Layer(data, static_cast<uint32_t>(count), decoded_ - kFrameHeaders);
        decoded_ += count;
        if (keyResult_ == kNoErr) {
            veldoran::ToLocalForm(data, data, count, lineEnd_);
            Write(data, count);
        }
    }

    // After the whole armour was read and found sound: the codes of the layers in the order
    // the whole-block decryption met them, with their trace lines.
    int32_t Finish(int32_t trace) {
        if (keyResult_ == kNoErr && !userOpen_) {
            keyResult_ = kFrameTooShort;
        }
        if (userOpen_ && trace != 0) {
            printf("UnCrypt datalen2: %d\n", static_cast<int>(outerLength_ - kKeyHeaderSize));
        }
        if (keyResult_ == kNoErr && !masterOpen_) {
            keyResult_ = kFrameTooShort;
        }
        if (keyResult_ != kNoErr) {
            return keyResult_;
        }
        if (trace != 0) {
            printf("UnCrypt datalen: %d\n", static_cast<int>(outerLength_ - kFrameHeaders));
        }
        // No marker: the held tail is document too.
        if (!done_ && writeResult_ == kNoErr) {
            writeResult_ = writer_->Write(held_, static_cast<uint32_t>(heldCount_));
        }
        return kNoErr;
    }
    int32_t writeResult() const { return writeResult_; }
    // The message length a whole-block decryption would hold once the master layer was tried:
    // the inner frame less its header, also after a key failure for which the cipher hands
    // back a block of that length (a missing key file, a position outside the key material, a
    // key read); 0 when decryption did not get that far or the failure hands back nothing.
    uint32_t MessageLengthHandedBack() const {
        if (!masterTried_ || keyResult_ == kFrameTooShort || keyResult_ == kBadKeyHeader ||
            keyResult_ == kMemErr) {
            return 0;
        }
        return outerLength_ - kFrameHeaders;
    }

  private:
    void OpenUser() {
        userOpen_ = true;
        keyResult_ = user_.Open(utils_, crypto_, headers_);
        // A frame too short for the inner header fails at the master layer.
        if (keyResult_ == kNoErr && outerLength_ >= kFrameHeaders) {
            keyResult_ = layers_.OpenUser(user_.source(), outerLength_ - kFrameHeaders, window_);
        }
        if (keyResult_ != kNoErr) {
            userOpen_ = false;
        }
    }
    void OpenMaster() {
        keyResult_ = layers_.CoverInnerHeader(headers_ + kKeyHeaderSize);
        if (keyResult_ == kNoErr) {
            masterTried_ = true;
            keyResult_ = master_.Open(utils_, crypto_, headers_ + kKeyHeaderSize);
        }
        // Writing the document over a key file the frame names would destroy that key; found
        // out before a byte of the document is written.
        if (keyResult_ == kNoErr && (user_.Names(target_) || master_.Names(target_))) {
            keyResult_ = kOtherErr;
        }
        if (keyResult_ == kNoErr) {
            keyResult_ =
                layers_.OpenMaster(master_.source(), outerLength_ - kFrameHeaders, window_);
        }
        masterOpen_ = keyResult_ == kNoErr;
    }

    // Writes the document up to the first recipient marker; the last bytes are held back until
    // the next piece shows whether they begin one.
    void Write(unsigned char* data, size_t count) {
        const int64_t found = cut_.Feed(data, count);
        if (writeResult_ != kNoErr || done_) {
            return;
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
        writeResult_ = writer_->Write(begin, static_cast<uint32_t>(out));
        written_ += out;
        heldCount_ = done_ ? 0 : available - out;
        memmove(held_, begin + out, heldCount_);
    }

    TypUtilsUnix* utils_;
    TypCrypto* crypto_;
    veldoran::TargetWriter* writer_;
    const char* target_;
    uint32_t window_;
    unsigned char lineEnd_;
    uint32_t outerLength_ = 0;
    uint64_t decoded_ = 0;
    unsigned char headers_[kFrameHeaders] = {};
    veldoran::FrameKey user_;
    veldoran::FrameKey master_;
    veldoran::TwoKeyStream layers_;
    bool userOpen_ = false;
    bool masterOpen_ = false;
    bool masterTried_ = false;
    int32_t keyResult_ = kNoErr;
    int32_t writeResult_ = kNoErr;
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
    const veldoran::StreamOptions defaults = veldoran::CallersStreamOptions();
    if (options == nullptr) {
        options = &defaults;
    }
    utils->InitCreate(nullptr);
    int32_t result = utils->SetKeyFolderPath(keyFolder) == kNoErr ? kNoErr : kOtherErr;
    if (trace != 0) {
        printf("VELDORAN DECRYPTAGE - v1.01 - ZELMOR\n");
    }

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
        result = veldoran::MakeSourceRef(utils, source, &sourceRef);
        if (result == kNoErr) {
            result = OpenSource(sourceRef.get(), trace, &textLength);
        }
    }
    const uint32_t chunk = options->Chunk();
    OwnedBlock input(utils);
    OwnedBlock decoded(utils);
    if (result == kNoErr) {
        *input.Length() = chunk;
        *input.Pointer() = utils->MyNewPtr(chunk);
        const auto decodedSize =
            static_cast<uint32_t>(kHeldDocument + veldoran::ArmourDecoder::MaxPutLength(kHeldText) +
                                  veldoran::ArmourDecoder::MaxPutLength(chunk));
        *decoded.Length() = decodedSize;
        *decoded.Pointer() = utils->MyNewPtr(decodedSize);
        if (input.data() == nullptr || decoded.data() == nullptr) {
            result = kMemErr;
        }
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
    FrameReader frame(utils, crypto.get(), &writer, target, chunk,
                      static_cast<unsigned char>(eol[0]));
    veldoran::ArmourDecoder decoder(utils);
    veldoran::StreamSearch startSearch(veldoran::armour::kStartMarker);
    veldoran::StreamSearch endSearch(veldoran::armour::kEndMarker);
    // The kHeldText bytes before the chunk, still to be read as armour.
    unsigned char held[kHeldText] = {};
    int32_t armourResult = kPbErr;
    bool armourEnded = false;
    bool reserved = false;
    uint64_t bodyDone = 0;  // stream position up to which the armour's text went to the decoder
    for (uint64_t position = 0; result == kNoErr && !armourEnded && position < textLength;) {
        const uint32_t count =
            textLength - position < chunk ? static_cast<uint32_t>(textLength - position) : chunk;
        unsigned char* text = input.data();
        result = sourceRef->Read(text, count);
        if (result != kNoErr) {
            break;
        }
        const int64_t start = startSearch.Feed(text, count);
        const int64_t end = endSearch.Feed(text, count);
        const uint64_t chunkEnd = position + count;
        if (end >= 0 && (start < 0 || end < start + static_cast<int64_t>(kStartLength))) {
            // The first end marker stands before the end of the first start marker.
            armourEnded = true;
            break;
        }
        if (start >= 0) {
            const uint64_t bodyBegin = static_cast<uint64_t>(start) + kStartLength;
            const uint64_t limit = end >= 0 ? static_cast<uint64_t>(end)
                                            : (chunkEnd > kHeldText ? chunkEnd - kHeldText : 0);
            const uint64_t from = bodyDone > bodyBegin ? bodyDone : bodyBegin;
            unsigned char* out = decoded.data() + kHeldDocument;
            size_t stored = 0;
            if (from < limit) {
                // What lies in the held bytes of the last chunk, then in this one.
                const uint64_t heldBegin = position - kHeldText;
                if (from < position) {
                    const uint64_t heldEnd = limit < position ? limit : position;
                    stored += decoder.Put(held + (from - heldBegin), heldEnd - from, out);
                }
                if (limit > position) {
                    const uint64_t inChunk = from > position ? from - position : 0;
                    stored += decoder.Put(text + inChunk, limit - position - inChunk, out + stored);
                }
                bodyDone = limit;
            }
            if (decoder.LengthKnown() && !reserved) {
                reserved = true;
                if (openResult == kNoErr && decoder.DataLength() > kFrameHeaders) {
                    openResult = writer.Reserve(decoder.DataLength() - kFrameHeaders);
                }
            }
            if (stored > 0) {
                frame.Take(decoder.DataLength(), out, stored);
            }
            if (end >= 0) {
                armourEnded = true;
                armourResult = decoder.Finish();
            }
        }
        if (count >= kHeldText) {
            memcpy(held, text + count - kHeldText, kHeldText);
        }
        position = chunkEnd;
        options->Report(position, textLength);
    }
    if (result == kNoErr) {
        result = armourResult;
    }
    if (result == kNoErr) {
        result = frame.Finish(trace);
    }
    if (trace != 0) {
        printf("Target File: %s%s\n", source, kTargetSuffix);
        // A changed or cut armour fails before any key is tried, as the whole-block run does.
        const bool armourSound = armourEnded && armourResult == kNoErr;
        printf("Target File Length: %d\n",
               armourSound ? static_cast<int>(frame.MessageLengthHandedBack()) : 0);
    }
    if (result == kNoErr) {
        result = openResult;
    }
    if (result == kNoErr) {
        result = frame.writeResult();
    }
    if (result == kNoErr) {
        result = writer.Commit();
    }
    writer.Kill();
    if (sourceRef != nullptr) {
        sourceRef->CloseDF();
    }
    return result;
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
