// Both key layers over a message in chunks, one pass per chunk.
#include "pipelines/TwoKeyStream.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "crypto/KeyStreamXor.h"
#include "crypto/TypCrypto.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/TwoKeyEncryption.h"
#include "platform/FailureRecord.h"
#include "platform/ResultCodes.h"
#include "platform/TypFileRef.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtils.h"

namespace veldoran {

KeyStreamSource SpentStream(const LockedKeyFile& key) {
    return {key.KeyFile(), static_cast<uint32_t>(key.Header().keyLen), key.StreamStart()};
}

namespace {

// The key file a frame header names, for a report, when the name is one no key can have: no
// file of that name is ever opened. "" for a header of another version, which names no file.
std::string NamedPath(TypUtils* utils, const TypKeyHeader& frameHeader) {
    if (frameHeader.version != kVersion) {
        return "";
    }
    TypKeyHeader naming = frameHeader;
    TypFileRef* named = utils->GetKeyFileRef(&naming);
    const auto* unixNamed = dynamic_cast<const TypFileRefUnix*>(named);
    const std::string path = unixNamed != nullptr ? unixNamed->path : "";
    if (named != nullptr) {
        named->Kill();
        delete named;
    }
    return path;
}

}  // namespace

int32_t FrameKey::Open(TypUtils* utils, TypCrypto* crypto, const unsigned char* frameHeader) {
    TypKeyHeader header;
    memcpy(&header, frameHeader, kKeyHeaderSize);
    crypto->ConvertHeaderForLocalOS(&header);
    const int32_t result = keyFile_.Open(utils, header);
    if (result != kNoErr) {
        const auto* keyFile = dynamic_cast<const TypFileRefUnix*>(keyFile_.KeyFile());
        if (keyFile != nullptr) {
            return RecordFailure(kVeldoranRoleFrameKey, result, keyFile->path);
        }
        // Refused before any open: at the open step, no system call to blame.
        return RecordFailure(kVeldoranRoleFrameKey, result, NamedPath(utils, header).c_str(),
                             kVeldoranStepOpen, 0);
    }
    open_ = true;
    source_ = {keyFile_.KeyFile(), keyFile_.KeyLen(), keyFile_.Start()};
    return kNoErr;
}

bool FrameKey::Names(const char* path) const {
    const auto* keyFile = dynamic_cast<const TypFileRefUnix*>(keyFile_.KeyFile());
    struct stat key {};
    return keyFile != nullptr && open_ && keyFile->GetInfo(&key) == kNoErr &&
           NamesKeyFile(path, keyFile->path, key);
}

int32_t TwoKeyStream::Open(const KeyStreamSource& master, const KeyStreamSource& user,
                           uint64_t messageLength, uint32_t window) {
    const int32_t result = Reserve(master, user, messageLength, window);
    return result == kNoErr ? Load() : result;
}

int32_t TwoKeyStream::Reserve(const KeyStreamSource& master, const KeyStreamSource& user,
                              uint64_t messageLength, uint32_t window) {
    const int32_t result = master_.Reserve(master.keyFile->utils, master.keyFile, master.keyLen,
                                           master.start, messageLength, window);
    return result == kNoErr ? user_.Reserve(user.keyFile->utils, user.keyFile, user.keyLen,
                                            user.start, messageLength + kKeyHeaderSize, window)
                            : result;
}

int32_t TwoKeyStream::Load() {
    const int32_t result = master_.Load();
    return result == kNoErr ? user_.Load() : result;
}

int32_t TwoKeyStream::OpenUser(const KeyStreamSource& user, uint64_t messageLength,
                               uint32_t window) {
    return OpenUserFrame(user, messageLength + kKeyHeaderSize, window);
}

int32_t TwoKeyStream::OpenUserFrame(const KeyStreamSource& user, uint64_t innerLength,
                                    uint32_t window) {
    return user_.Open(user.keyFile->utils, user.keyFile, user.keyLen, user.start, innerLength,
                      window);
}

int32_t TwoKeyStream::UserLayerInto(unsigned char* target, const unsigned char* source,
                                    uint32_t count, uint64_t innerPosition) {
    return user_.XorInto(target, source, count, innerPosition);
}

int32_t TwoKeyStream::MasterLayer(unsigned char* data, uint32_t count, uint64_t position) {
    return master_.Xor(data, count, position);
}

int32_t TwoKeyStream::OpenMaster(const KeyStreamSource& master, uint64_t messageLength,
                                 uint32_t window) {
    return master_.Open(master.keyFile->utils, master.keyFile, master.keyLen, master.start,
                        messageLength, window);
}

int32_t TwoKeyStream::CoverInnerHeader(unsigned char* innerHeader) {
    return user_.Xor(innerHeader, kKeyHeaderSize, 0);
}

template <class Step>
int32_t TwoKeyStream::Walk(uint32_t count, uint64_t position, Step step) {
    // A key read from its file is fetched a window at a time (one read each); a held key only
    // a piece at a time, which is all its wrapped tail allows.
    const uint32_t inner = master_.Piece() < user_.Piece() ? master_.Piece() : user_.Piece();
    uint32_t outer = 0;
    for (const KeyStreamWindow* stream : {&master_, &user_}) {
        if (!stream->Held() && (outer == 0 || stream->Window() < outer)) {
            outer = stream->Window();
        }
    }
    outer = outer == 0 ? inner : outer;
    for (uint32_t done = 0; done < count;) {
        const uint32_t span = count - done < outer ? count - done : outer;
        const unsigned char* masterRead = nullptr;
        const unsigned char* userRead = nullptr;
        int32_t result =
            master_.Held() ? kNoErr : master_.Fetch(position + done, span, &masterRead);
        if (result == kNoErr && !user_.Held()) {
            result = user_.Fetch(kKeyHeaderSize + position + done, span, &userRead);
        }
        for (uint32_t within = 0; result == kNoErr && within < span;) {
            const uint32_t piece = span - within < inner ? span - within : inner;
            const uint64_t at = position + done + within;
            const unsigned char* master = nullptr;
            const unsigned char* user = nullptr;
            if (master_.Held()) {
                result = master_.Fetch(at, piece, &master);
            } else {
                master = masterRead + within;
            }
            if (user_.Held()) {
                result = result == kNoErr ? user_.Fetch(kKeyHeaderSize + at, piece, &user) : result;
            } else {
                user = userRead + within;
            }
            if (result == kNoErr) {
                step(done + within, master, user, piece);
            }
            within += piece;
        }
        if (result != kNoErr) {
            return result;
        }
        done += span;
    }
    return kNoErr;
}

int32_t TwoKeyStream::Layer(unsigned char* data, uint32_t count, uint64_t position) {
    return Walk(
        count, position,
        [data](uint32_t done, const unsigned char* master, const unsigned char* user,
               uint32_t piece) { keystream::XorTwoInPlace(data + done, master, user, piece); });
}

int32_t TwoKeyStream::LayerInto(unsigned char* target, const unsigned char* source, uint32_t count,
                                uint64_t position) {
    return Walk(count, position,
                [target, source](uint32_t done, const unsigned char* master,
                                 const unsigned char* user, uint32_t piece) {
                    keystream::XorTwoInto(target + done, source + done, master, user, piece);
                });
}

}  // namespace veldoran
