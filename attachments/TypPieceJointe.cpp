// The attachment container: building entries, writing the container block in two passes (one
// to measure, one to copy into a block of exactly that size) and reading a block defensively,
// also in two passes: one locates and measures every entry without allocating any of them (a
// compressed one through a scratch buffer reused for every entry), so that a block
// that would take too much is refused first, the other allocates each entry at its size and
// decompresses straight into it.
#include "attachments/TypPieceJointe.h"

#include <cassert>
#include <cstring>

#include "attachments/LzoCodec.h"
#include "platform/OwnedBlock.h"
#include "platform/TypUtils.h"

namespace {

constexpr int32_t kNumberSize = 4;

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
    veldoran::OwnedBlock name(utils);
    if (name.Allocate(static_cast<uint32_t>(nameLength + 1)) != kNoErr) {
        return kMemErr;
    }
    utils->MyBlockMove(fileName, name.data(), name.length());

    unsigned char* entryData = fileData;
    int32_t entrySize = length;
    int32_t result = kNoErr;
    if (compress) {
        result = Compress(fileData, length, &entryData, &entrySize);
        if (result == kMemErr) {
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
    names[n] = reinterpret_cast<char*>(name.Release());
    nameLengths[n] = static_cast<int32_t>(nameLength);
    located[n] = Located();
    data[n] = entryData;
    sizes[n] = entrySize;
    nbFiles = n + 1;
    return result;
}

int32_t TypPieceJointe::Compress(const unsigned char* fileData, int32_t length,
                                 unsigned char** stored, int32_t* storedLength) {
    // The compressor has no output limit, so the block holds its worst case; it is kept as it
    // is rather than copied into an exact one (only the first *storedLength bytes count).
    veldoran::OwnedBlock output(utils);
    if (output.Allocate(static_cast<uint32_t>(CompressedBound(static_cast<size_t>(length)))) !=
        kNoErr) {
        return kMemErr;
    }
    static const unsigned char kNoData = 0;
    size_t produced = 0;
    const int32_t result =
        veldoran::LzoCompress(fileData != nullptr ? fileData : &kNoData,
                              static_cast<size_t>(length), output.data(), &produced);
    if (result != kNoErr) {
        return result;
    }
    *stored = output.Release();
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
    return GetNameN(index, fileName, nullptr, info);
}

int32_t TypPieceJointe::GetNameN(int32_t index, const char** fileName, int32_t* nameLength,
                                 TypInfo* info) const {
    assert(fileName != nullptr);
    if (index < 0 || index >= nbFiles) {
        return kOtherErr;
    }
    *fileName = names[index] != nullptr ? names[index] : "";
    if (nameLength != nullptr) {
        *nameLength = names[index] != nullptr ? nameLengths[index] : 0;
    }
    if (info != nullptr) {
        *info = infos[index];
    }
    return kNoErr;
}

int32_t TypPieceJointe::LoadStruct(const unsigned char* block, int32_t length) {
    return Load(block, length, true);
}

int32_t TypPieceJointe::LoadIndex(const unsigned char* block, int32_t length) {
    return Load(block, length, false);
}

int32_t TypPieceJointe::Load(const unsigned char* block, int32_t length, bool withData) {
    assert(utils != nullptr);
    int32_t count = 0;
    const int32_t structural = Locate(block, length, &count);
    if (structural == kMemErr) {
        return kMemErr;
    }
    if (withData) {
        int64_t total = 0;
        for (int32_t i = 0; i < count; ++i) {
            total += located[i].length;
        }
        if (total > loadBound) {
            return kAttachmentToBig;
        }
    }
    // The first failure is the load's result; an allocation failure also ends the load.
    int32_t result = kNoErr;
    for (int32_t i = 0; i < count; ++i) {
        int32_t status = kNoErr;
        const int32_t taken = TakeEntry(block, i, withData, &status);
        if (taken != kNoErr) {
            return result != kNoErr ? result : taken;
        }
        if (result == kNoErr) {
            result = status;
        }
        nbFiles = i + 1;
    }
    return result != kNoErr ? result : structural;
}

int32_t TypPieceJointe::Locate(const unsigned char* block, int32_t length, int32_t* count) {
    *count = 0;
    const int32_t magicAt = MagicOffset(block, length);
    if (magicAt < 0) {
        return kNoErr;
    }
    ReleaseEntries();
    nbFiles = 0;
    holdsPlainData = false;
    locatedLength = length;

    int32_t position = magicAt + kMagicSize;
    auto take = [&](void* destination, int32_t size) {
        const int32_t before = position;
        utils->MyExtractFromPtr(block, length, static_cast<unsigned char*>(destination), size,
                                &position);
        return position - before == size;
    };
    auto takeNumber = [&](int32_t* value) {
        if (!take(value, kNumberSize)) {
            return false;
        }
        utils->swaplong(value);
        return true;
    };
    // Sizes are checked against the block before anything is done with them.
    auto skip = [&](int32_t size) {
        if (int64_t{position} + size > length) {
            return false;
        }
        position += size;
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

    int32_t declared = 0;
    if (!takeNumber(&declared)) {
        return kFrameTooShort;
    }
    if (declared < 0 || declared > knbmaxpj) {
        return kNonVeldoranedAttachement;
    }
    holdsPlainData = format == kformatLZOcompresse;

    // One measuring buffer for every entry, as large as the longest entry needs.
    veldoran::LzoScratch scratch;
    for (int32_t i = 0; i < declared; ++i) {
        unsigned char record[kRecordSize];
        int32_t nameLength = 0;
        if (!take(record, kRecordSize) || !takeNumber(&nameLength)) {
            return kFrameTooShort;
        }
        TypInfo info;
        InternalFillInfoFromBuffer(record, &info);
        SwapInfoBlock(&info);
        if (nameLength < 0) {
            return kNonVeldoranedAttachement;
        }
        Located entry;
        entry.nameAt = position;
        if (!skip(nameLength)) {
            return kFrameTooShort;
        }
        if (info.storedSize < 0) {
            return kNonVeldoranedAttachement;
        }
        entry.dataAt = position;
        if (!skip(info.storedSize)) {
            return kFrameTooShort;
        }
        entry.storedLength = info.storedSize;
        entry.length = info.storedSize;
        if (format == kformatLZOcompresse) {
            size_t measured = 0;
            entry.status = veldoran::LzoDecompressedLength(
                block + entry.dataAt, static_cast<size_t>(entry.storedLength), kMaxDecompressedSize,
                &scratch, &measured);
            if (entry.status == kMemErr) {
                return kMemErr;
            }
            if (entry.status == kNoErr) {
                entry.length = static_cast<int32_t>(measured);
            }
        }
        infos[i] = info;
        nameLengths[i] = nameLength;
        located[i] = entry;
        *count = i + 1;
    }
    return kNoErr;
}

int32_t TypPieceJointe::TakeEntry(const unsigned char* block, int32_t index, bool withData,
                                  int32_t* status) {
    const Located& entry = located[index];
    const int32_t nameLength = nameLengths[index];
    veldoran::OwnedBlock name(utils);
    if (name.Allocate(static_cast<uint32_t>(nameLength) + 1) != kNoErr) {
        return kMemErr;
    }
    utils->MyBlockMove(block + entry.nameAt, name.data(), static_cast<uint32_t>(nameLength));
    name.data()[nameLength] = '\0';

    *status = entry.status;
    veldoran::OwnedBlock held(utils);
    if (withData) {
        // Measured, so the entry is allocated once at its size and decompressed straight in.
        if (held.Allocate(static_cast<uint32_t>(entry.length)) != kNoErr) {
            return kMemErr;
        }
        int32_t produced = 0;
        *status = CopyEntry(block, index, held.data(), &produced);
        if (*status != kNoErr) {
            // The entry keeps its stored bytes.
            if (held.length() != static_cast<uint32_t>(entry.storedLength) &&
                held.Allocate(static_cast<uint32_t>(entry.storedLength)) != kNoErr) {
                return kMemErr;
            }
            if (held.length() > 0) {
                utils->MyBlockMove(block + entry.dataAt, held.data(), held.length());
            }
        }
    }
    const auto heldLength = static_cast<int32_t>(held.length());
    infos[index].storedSize = heldLength;
    names[index] = reinterpret_cast<char*>(name.Release());
    data[index] = held.Release();
    sizes[index] = heldLength;
    return kNoErr;
}

int32_t TypPieceJointe::CopyEntry(const unsigned char* block, int32_t index, unsigned char* buffer,
                                  int32_t* produced) const {
    const Located& entry = located[index];
    if (entry.status != kNoErr) {
        return entry.status;
    }
    if (format != kformatLZOcompresse) {
        if (entry.storedLength > 0) {
            utils->MyBlockMove(block + entry.dataAt, buffer,
                               static_cast<uint32_t>(entry.storedLength));
        }
        *produced = entry.storedLength;
        return kNoErr;
    }
    size_t decompressed = 0;
    const int32_t result =
        veldoran::LzoDecompress(block + entry.dataAt, static_cast<size_t>(entry.storedLength),
                                buffer, static_cast<size_t>(entry.length), &decompressed);
    if (result != kNoErr) {
        return result;
    }
    if (decompressed != static_cast<size_t>(entry.length)) {
        return kErrLZOCompress;
    }
    *produced = entry.length;
    return kNoErr;
}

int32_t TypPieceJointe::GetLengthN(int32_t index, int32_t* length) const {
    assert(length != nullptr);
    if (index < 0 || index >= nbFiles) {
        return kOtherErr;
    }
    *length = located[index].nameAt >= 0 ? located[index].length : sizes[index];
    return kNoErr;
}

int32_t TypPieceJointe::ReadEntryN(const unsigned char* block, int32_t length, int32_t index,
                                   unsigned char* buffer, int32_t capacity,
                                   int32_t* produced) const {
    assert(utils != nullptr && produced != nullptr);
    if (index < 0 || index >= nbFiles || located[index].nameAt < 0 || block == nullptr ||
        length != locatedLength || capacity < located[index].length ||
        (buffer == nullptr && located[index].length > 0)) {
        return kOtherErr;
    }
    return CopyEntry(block, index, buffer, produced);
}

int32_t TypPieceJointe::StoredEntryN(const unsigned char* block, int32_t length, int32_t index,
                                     const unsigned char** entryData, int32_t* dataLength) const {
    assert(entryData != nullptr && dataLength != nullptr);
    if (index < 0 || index >= nbFiles || located[index].nameAt < 0 || block == nullptr ||
        length != locatedLength || format == kformatLZOcompresse) {
        return kOtherErr;
    }
    *entryData = located[index].storedLength > 0 ? block + located[index].dataAt : nullptr;
    *dataLength = located[index].storedLength;
    return kNoErr;
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
        const int32_t nameLength = names[i] == nullptr ? 0 : nameLengths[i];
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
        const int32_t nameLength = names[i] == nullptr ? 0 : nameLengths[i];
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
            utils->MyDisposeptr(&name, static_cast<uint32_t>(nameLengths[i]) + 1);
            names[i] = nullptr;
        }
        nameLengths[i] = 0;
        located[i] = Located();
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
    locatedLength = -1;
    return kNoErr;
}
