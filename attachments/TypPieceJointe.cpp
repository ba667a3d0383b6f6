// The attachment container: building entries, writing the container block in two passes (one
// to measure, one to copy into a block of exactly that size) and reading a block defensively,
// decompressing its entries through one work buffer per load.
#include "attachments/TypPieceJointe.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "attachments/LzoCodec.h"
#include "platform/TypUtils.h"

namespace {

constexpr int32_t kNumberSize = 4;

struct FreeDeleter {
    void operator()(unsigned char* memory) const { free(memory); }
};

// Copies text into a field of fieldSize bytes, cut so that its zero byte fits, and zeroes the
// rest of the field so that no earlier content travels in a block.
void CopyIntoField(const char* text, char* field, size_t fieldSize) {
    const size_t length = text == nullptr ? 0 : strnlen(text, fieldSize - 1);
    if (length > 0) {
        memcpy(field, text, length);
    }
    memset(field + length, 0, fieldSize - length);
}

}  // namespace

size_t TypPieceJointe::CompressedBound(size_t length) {
    return veldoran::LzoCompressedBound(length);
}

int32_t TypPieceJointe::InitCreate2(TypUtils* theUtils, int32_t theFormat) {
    const int32_t result = InitCreate(theUtils);
    if (result != kNoErr) {
        return result;
    }
    format = theFormat;
    return kNoErr;
}

void TypPieceJointe::SetExpediteur(const char* text) {
    CopyIntoField(text, expediteur, sizeof expediteur);
}

void TypPieceJointe::GetExpediteur(char* text) {
    // The field always ends with a zero byte, so the text fits the caller's 200 bytes.
    const size_t length = strnlen(expediteur, sizeof expediteur - 1);
    memcpy(text, expediteur, length);
    text[length] = '\0';
}

void TypPieceJointe::SetDestinataire(const char* text) {
    CopyIntoField(text, destinataire, sizeof destinataire);
}

int32_t TypPieceJointe::AddBlock(TypInfo* info, unsigned char* fileData, int32_t length,
                                 const char* fileName) {
    assert(utils != nullptr && info != nullptr && fileName != nullptr);
    if (nbFiles >= knbmaxpj || length < 0 || (fileData == nullptr && length > 0)) {
        return kOtherErr;
    }
    const bool compress = format == kformatLZOcompresse && !holdsPlainData;
    if (compress && length > kMaxDecompressedSize) {
        return kAttachmentToBig;
    }
    const size_t nameLength = strlen(fileName);
    if (nameLength >= static_cast<size_t>(INT32_MAX)) {
        return kOtherErr;
    }
    const auto nameSize = static_cast<uint32_t>(nameLength + 1);
    unsigned char* name = utils->MyNewPtr(nameSize);
    if (name == nullptr) {
        return kMemErr;
    }
    utils->MyBlockMove(fileName, name, nameSize);

    unsigned char* entryData = fileData;
    int32_t entrySize = length;
    int32_t result = kNoErr;
    if (compress) {
        result = Compress(fileData, length, &entryData, &entrySize);
        if (result == kMemErr) {
            utils->MyDisposeptr(&name, nameSize);
            return kMemErr;
        }
        if (result != kNoErr) {
            // The entry still counts, without data; the caller keeps its buffer.
            entryData = nullptr;
            entrySize = 0;
        }
    }
    if (result == kNoErr) {
        info->storedSize = entrySize;
        if (compress && fileData != nullptr) {
            utils->MyDisposeptr(&fileData, static_cast<uint32_t>(length));
        }
    }
    const int32_t n = nbFiles;
    infos[n] = *info;
    infos[n].storedSize = entrySize;
    names[n] = reinterpret_cast<char*>(name);
    data[n] = entryData;
    sizes[n] = entrySize;
    nbFiles = n + 1;
    return result;
}

int32_t TypPieceJointe::Compress(const unsigned char* fileData, int32_t length,
                                 unsigned char** stored, int32_t* storedLength) {
    // The compressor has no output limit, so the block holds its worst case; it is kept as it
    // is rather than copied into an exact one (only the first *storedLength bytes count).
    const size_t bound = CompressedBound(static_cast<size_t>(length));
    unsigned char* output = utils->MyNewPtr(static_cast<uint32_t>(bound));
    if (output == nullptr) {
        return kMemErr;
    }
    static const unsigned char kNoData = 0;
    size_t produced = 0;
    const int32_t result = veldoran::LzoCompress(fileData != nullptr ? fileData : &kNoData,
                                                 static_cast<size_t>(length), output, &produced);
    if (result != kNoErr) {
        utils->MyDisposeptr(&output, static_cast<uint32_t>(bound));
        return result;
    }
    *stored = output;
    *storedLength = static_cast<int32_t>(produced);
    return kNoErr;
}

int32_t TypPieceJointe::MagicOffset(const unsigned char* block, int32_t length) const {
    if (block == nullptr || length <= kMagicSearchSpan) {
        return -1;
    }
    // Within the search span the first match can only start at offsets 0 to kMaxMagicOffset.
    return utils->FindSubString(block, kMagicSearchSpan, kMagic);
}

bool TypPieceJointe::HoldsContainer(const unsigned char* block, int32_t length) const {
    assert(utils != nullptr);
    return MagicOffset(block, length) >= 0;
}

void TypPieceJointe::GetDestinataire(char* text) const {
    const size_t length = strnlen(destinataire, sizeof destinataire - 1);
    memcpy(text, destinataire, length);
    text[length] = '\0';
}

int32_t TypPieceJointe::GetNameN(int32_t index, const char** fileName, TypInfo* info) const {
    assert(fileName != nullptr);
    if (index < 0 || index >= nbFiles) {
        return kOtherErr;
    }
    *fileName = names[index] != nullptr ? names[index] : "";
    if (info != nullptr) {
        *info = infos[index];
    }
    return kNoErr;
}

int32_t TypPieceJointe::LoadStruct(const unsigned char* block, int32_t length) {
    assert(utils != nullptr);
    const int32_t magicAt = MagicOffset(block, length);
    if (magicAt < 0) {
        return kNoErr;
    }
    ReleaseEntries();
    nbFiles = 0;
    holdsPlainData = false;

    int32_t position = magicAt + kMagicSize;
    auto take = [&](void* destination, int32_t count) {
        const int32_t before = position;
        utils->MyExtractFromPtr(block, length, static_cast<unsigned char*>(destination), count,
                                &position);
        return position - before == count;
    };
    auto takeNumber = [&](int32_t* value) {
        if (!take(value, kNumberSize)) {
            return false;
        }
        utils->swaplong(value);
        return true;
    };

    int32_t blockFormat = 0;
    if (!takeNumber(&blockFormat)) {
        return kFrameTooShort;
    }
    format = blockFormat;
    if (!take(expediteur, kSenderFieldSize)) {
        return kFrameTooShort;
    }
    // A field without a zero byte is cut after its 63rd byte.
    expediteur[kSenderFieldSize - 1] = '\0';

    int32_t recipientLength = 0;
    if (!takeNumber(&recipientLength)) {
        return kFrameTooShort;
    }
    if (recipientLength < 0 || recipientLength >= klenmaxdest) {
        return kNonVeldoranedAttachement;
    }
    if (!take(destinataire, recipientLength)) {
        return kFrameTooShort;
    }
    destinataire[recipientLength] = '\0';

    int32_t count = 0;
    if (!takeNumber(&count)) {
        return kFrameTooShort;
    }
    if (count < 0 || count > knbmaxpj) {
        return kNonVeldoranedAttachement;
    }
    holdsPlainData = format == kformatLZOcompresse;
    return LoadEntries(block, length, &position, count);
}

int32_t TypPieceJointe::LoadEntries(const unsigned char* block, int32_t length, int32_t* position,
                                    int32_t count) {
    // The first failure is the load's result; a structural one also ends the load.
    int32_t result = kNoErr;
    auto fail = [&result](int32_t code) { return result != kNoErr ? result : code; };
    auto take = [&](void* destination, int32_t size) {
        const int32_t before = *position;
        utils->MyExtractFromPtr(block, length, static_cast<unsigned char*>(destination), size,
                                position);
        return *position - before == size;
    };
    auto fits = [&](int32_t size) { return int64_t{*position} + size <= length; };

    // Decompressed entries pass through one work buffer per load. It never leaves the object
    // and the decompressor writes every byte that is copied out, so it comes straight from the
    // heap: no space fill, and only the pages a stream actually reaches are ever touched.
    std::unique_ptr<unsigned char, FreeDeleter> workBuffer;

    for (int32_t i = 0; i < count; ++i) {
        unsigned char record[kRecordSize];
        int32_t nameLength = 0;
        if (!take(record, kRecordSize) || !take(&nameLength, kNumberSize)) {
            return fail(kFrameTooShort);
        }
        TypInfo info;
        InternalFillInfoFromBuffer(record, &info);
        SwapInfoBlock(&info);
        utils->swaplong(&nameLength);
        if (nameLength < 0) {
            return fail(kNonVeldoranedAttachement);
        }
        // Sizes are checked against the block before anything is allocated for them.
        if (!fits(nameLength)) {
            return fail(kFrameTooShort);
        }
        const auto nameSize = static_cast<uint32_t>(nameLength) + 1;
        unsigned char* name = utils->MyNewPtr(nameSize);
        if (name == nullptr) {
            return fail(kMemErr);
        }
        name[nameLength] = '\0';
        take(name, nameLength);

        const int32_t storedSize = info.storedSize;
        int32_t status = kNoErr;
        if (storedSize < 0) {
            status = kNonVeldoranedAttachement;
        } else if (!fits(storedSize)) {
            status = kFrameTooShort;
        }
        if (status != kNoErr) {
            utils->MyDisposeptr(&name, nameSize);
            return fail(status);
        }
        const unsigned char* stored = block + *position;

        unsigned char* entryData = nullptr;
        int32_t entrySize = storedSize;
        if (format == kformatLZOcompresse) {
            if (!workBuffer) {
                workBuffer.reset(static_cast<unsigned char*>(malloc(kMaxDecompressedSize)));
                if (!workBuffer) {
                    utils->MyDisposeptr(&name, nameSize);
                    return fail(kMemErr);
                }
            }
            size_t produced = 0;
            const int32_t decompressed =
                veldoran::LzoDecompress(stored, static_cast<size_t>(storedSize), workBuffer.get(),
                                        kMaxDecompressedSize, &produced);
            if (decompressed == kNoErr) {
                entrySize = static_cast<int32_t>(produced);
                entryData = utils->MyNewPtr(static_cast<uint32_t>(entrySize));
                if (entryData == nullptr) {
                    utils->MyDisposeptr(&name, nameSize);
                    return fail(kMemErr);
                }
                utils->MyBlockMove(workBuffer.get(), entryData, static_cast<uint32_t>(entrySize));
            } else {
                // The entry keeps its stored bytes; later entries still load.
                result = fail(decompressed);
            }
        }
        if (entryData == nullptr) {
            entryData = utils->MyNewPtr(static_cast<uint32_t>(storedSize));
            if (entryData == nullptr) {
                utils->MyDisposeptr(&name, nameSize);
                return fail(kMemErr);
            }
            take(entryData, storedSize);
        } else {
            take(nullptr, storedSize);
        }

        info.storedSize = entrySize;
        infos[i] = info;
        names[i] = reinterpret_cast<char*>(name);
        data[i] = entryData;
        sizes[i] = entrySize;
        nbFiles = i + 1;
    }
    return result;
}

int32_t TypPieceJointe::WrittenFormat() const {
    return format == kformatLZOcompresse && holdsPlainData ? kformatnoncompresse : format;
}

int32_t TypPieceJointe::GetStruct(unsigned char** block, int32_t* length) {
    assert(utils != nullptr);
    *block = nullptr;
    *length = 0;
    int64_t total = kEmptyBlockSize + static_cast<int64_t>(strlen(destinataire));
    for (int32_t i = 0; i < nbFiles; ++i) {
        const size_t nameLength = names[i] == nullptr ? 0 : strlen(names[i]);
        total += kEntryHeaderSize + static_cast<int64_t>(nameLength) + infos[i].storedSize;
    }
    if (total > INT32_MAX) {
        return kAttachmentToBig;
    }

    int32_t measured = 0;
    AppendBlock(nullptr, &measured, 0);
    unsigned char* out = utils->MyNewPtr(static_cast<uint32_t>(measured));
    if (out == nullptr) {
        return kMemErr;
    }
    int32_t written = 0;
    AppendBlock(out, &written, 1);
    *block = out;
    *length = written;
    return kNoErr;
}

void TypPieceJointe::AppendBlock(unsigned char* block, int32_t* position, int32_t copySwitch) {
    auto append = [&](const void* source, int32_t count) {
        utils->MyAppendToPtr(static_cast<const unsigned char*>(source), count, block, position,
                             copySwitch);
    };
    auto appendNumber = [&](int32_t value) {
        utils->swaplong(&value);
        append(&value, kNumberSize);
    };

    append(kMagic, kMagicSize);
    appendNumber(WrittenFormat());
    append(expediteur, kSenderFieldSize);
    const auto recipientLength = static_cast<int32_t>(strlen(destinataire));
    appendNumber(recipientLength);
    append(destinataire, recipientLength);
    appendNumber(nbFiles);
    for (int32_t i = 0; i < nbFiles; ++i) {
        unsigned char recordForm[kRecordSize] = {};
        if (copySwitch == 1) {
            TypInfo stored = infos[i];
            SwapInfoBlock(&stored);
            InternalFillBufferFromInfo(&stored, recordForm);
        }
        append(recordForm, kRecordSize);
        const auto nameLength = static_cast<int32_t>(names[i] == nullptr ? 0 : strlen(names[i]));
        appendNumber(nameLength);
        append(names[i], nameLength);
        append(data[i], infos[i].storedSize);
    }
    appendNumber(0);
}

int32_t TypPieceJointe::Kill() {
    ReleaseEntries();
    return kNoErr;
}

void TypPieceJointe::ReleaseEntries() {
    for (int32_t i = 0; i < nbFiles; ++i) {
        if (names[i] != nullptr) {
            auto* name = reinterpret_cast<unsigned char*>(names[i]);
            utils->MyDisposeptr(&name, static_cast<uint32_t>(strlen(names[i]) + 1));
            names[i] = nullptr;
        }
        if (data[i] != nullptr) {
            utils->MyDisposeptr(&data[i], static_cast<uint32_t>(sizes[i]));
        }
        // Keeps the held length equal to what is held, so a later GetStruct stays sound.
        sizes[i] = 0;
        infos[i].storedSize = 0;
    }
}

int32_t TypPieceJointe::GetNbFiles() {
    return nbFiles;
}

int32_t TypPieceJointe::GetDataN(int32_t index, unsigned char** fileData, int32_t* length) {
    if (index < 0 || index >= GetNbFiles()) {
        return kOtherErr;
    }
    *fileData = data[index];
    *length = sizes[index];
    return kNoErr;
}

void TypPieceJointe::InternalFillInfoFromBuffer(const unsigned char* buffer, TypInfo* info) {
    TypInfo record;
    int32_t position = 0;
    auto take = [&](void* field, int32_t size) {
        utils->MyExtractFromPtr(buffer, kRecordSize, static_cast<unsigned char*>(field), size,
                                &position);
    };
    take(&record.short1, 2);
    take(&record.short2, 2);
    take(&record.short3, 2);
    take(nullptr, 2);  // reserved
    take(&record.long1, 4);
    take(&record.short4, 2);
    take(&record.short5, 2);
    take(&record.short6, 2);
    take(nullptr, 2);  // reserved
    take(&record.long2, 4);
    take(&record.long3, 4);
    take(&record.long4, 4);
    take(&record.long5, 4);
    take(&record.long6, 4);
    take(&record.storedSize, 4);
    take(&record.long7, 4);
    *info = record;
}

void TypPieceJointe::InternalFillBufferFromInfo(const TypInfo* info, unsigned char* buffer) {
    int32_t position = 0;
    const int16_t reserved = 0;
    auto put = [&](const void* field, int32_t size) {
        utils->MyAppendToPtr(static_cast<const unsigned char*>(field), size, buffer, &position, 1);
    };
    put(&info->short1, 2);
    put(&info->short2, 2);
    put(&info->short3, 2);
    put(&reserved, 2);
    put(&info->long1, 4);
    put(&info->short4, 2);
    put(&info->short5, 2);
    put(&info->short6, 2);
    put(&reserved, 2);
    put(&info->long2, 4);
    put(&info->long3, 4);
    put(&info->long4, 4);
    put(&info->long5, 4);
    put(&info->long6, 4);
    put(&info->storedSize, 4);
    put(&info->long7, 4);
}

void TypPieceJointe::SwapInfoBlock(TypInfo* info) {
    utils->swapshort(&info->short1);
    utils->swapshort(&info->short2);
    utils->swapshort(&info->short3);
    utils->swaplong(&info->long1);
    utils->swapshort(&info->short4);
    utils->swapshort(&info->short5);
    utils->swapshort(&info->short6);
    utils->swaplong(&info->long2);
    utils->swaplong(&info->long3);
    utils->swaplong(&info->long4);
    utils->swaplong(&info->long5);
    utils->swaplong(&info->long6);
    utils->swaplong(&info->storedSize);
    utils->swaplong(&info->long7);
}

int32_t TypPieceJointe::InitCreate(TypUtils* theUtils) {
    utils = theUtils;
    format = kformatnoncompresse;
    memset(expediteur, 0, sizeof expediteur);
    destinataire[0] = '\0';
    nbFiles = 0;
    holdsPlainData = false;
    return kNoErr;
}
