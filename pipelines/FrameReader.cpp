// An outer frame taken apart as it arrives, with the checks of the whole-block decryption in
// their order.
#include "pipelines/FrameReader.h"

#include <cstdio>
#include <cstring>

#include "platform/TypUtilsUnix.h"

int32_t veldoran::StartDecryption(TypUtilsUnix* utils, const char* keyFolder, int32_t trace,
                                  const char* banner) {
    utils->InitCreate(nullptr);
    const int32_t result = utils->SetKeyFolderPath(keyFolder) == kNoErr ? kNoErr : kOtherErr;
    if (trace != 0) {
        printf("%s\n", banner);
    }
    return result;
}

void veldoran::FrameReader::Take(uint32_t outerLength, unsigned char* data, size_t count) {
    outerLength_ = outerLength;
    note_.Add(data, count);
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
    if (keyResult_ == kNoErr && writeResult_ == kNoErr) {
        writeResult_ = sink_->Put(data, static_cast<uint32_t>(count));
    }
}

int32_t veldoran::FrameReader::Finish(int32_t trace) {
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
    note_.Note(utils_, headers_, user_, master_, outerLength_);
    if (writeResult_ == kNoErr) {
        writeResult_ = sink_->Finish();
    }
    return kNoErr;
}

uint32_t veldoran::FrameReader::MessageLengthHandedBack() const {
    if (!masterTried_ || keyResult_ == kFrameTooShort || keyResult_ == kBadKeyHeader ||
        keyResult_ == kMemErr) {
        return 0;
    }
    return outerLength_ - kFrameHeaders;
}

void veldoran::FrameReader::OpenUser() {
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

void veldoran::FrameReader::OpenMaster() {
    keyResult_ = layers_.CoverInnerHeader(headers_ + kKeyHeaderSize);
    if (keyResult_ == kNoErr) {
        masterTried_ = true;
        keyResult_ = master_.Open(utils_, crypto_, headers_ + kKeyHeaderSize);
    }
    // Writing the message over a key file the frame names would destroy that key; found out
    // before a byte of it is written.
    if (keyResult_ == kNoErr && (user_.Names(target_) || master_.Names(target_))) {
        refusedTarget_ = true;
        keyResult_ = kOtherErr;
    }
    if (keyResult_ == kNoErr) {
        keyResult_ = layers_.OpenMaster(master_.source(), outerLength_ - kFrameHeaders, window_);
    }
    masterOpen_ = keyResult_ == kNoErr;
}
