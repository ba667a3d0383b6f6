// Reuse seen by the reader: the frames' ranges against those of every message read before.
#include "shell/tool/ToolReading.h"

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/OwnedBlock.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "veldoran.h"

namespace tool {

namespace {

// Hands the frame of the armour in messageText to use; use is not called when no whole armour
// decodes.
void WithFrameOf(const std::string& messageText,
                 const std::function<void(const unsigned char* frame, uint32_t length)>& use) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII armour;
    armour.InitCreate(&utils);
    veldoran::OwnedBlock frame(&utils);
    const int32_t decoded = armour.ASCIIToBin(
        reinterpret_cast<const unsigned char*>(messageText.data()),
        static_cast<uint32_t>(messageText.size()), frame.Pointer(), frame.Length());
    if (decoded == kNoErr) {
        use(frame.data(), frame.length());
    }
}

using veldoran::JournalRecord;

// The largest message, in bytes of armour, that a decryption notes in the reader's journal.
constexpr off_t kMostNotedMessage = off_t{8} << 20;

struct Layer {
    KeyOnDisk key;
    JournalRecord record;
};

// The bytes of the key material two ranges share, as the first and last of the overlap; false
// when none. Ranges wrap around the material.
bool Overlap(const JournalRecord& a, const JournalRecord& b, uint64_t* first, uint64_t* last) {
    const uint64_t keyLen = a.keyLen == 0 ? 1 : a.keyLen;
    const auto pieces = [keyLen](const JournalRecord& r) {
        std::vector<std::pair<uint64_t, uint64_t>> list;
        const uint64_t start = r.start % keyLen;
        if (r.length >= keyLen) {
            list.emplace_back(0, keyLen);
        } else if (start + r.length <= keyLen) {
            list.emplace_back(start, start + r.length);
        } else {
            list.emplace_back(start, keyLen);
            list.emplace_back(0, start + r.length - keyLen);
        }
        return list;
    };
    for (const auto& p : pieces(a)) {
        for (const auto& q : pieces(b)) {
            const uint64_t from = std::max(p.first, q.first);
            const uint64_t to = std::min(p.second, q.second);
            if (from < to) {
                *first = from;
                *last = to - 1;
                return true;
            }
        }
    }
    return false;
}

// Both layers of the frame: the sender's key from the outer header, the master key from the
// inner one, which the sender's layer covers. false when a key file cannot be read.
bool FrameLayers(const std::string& keyPrefix, const unsigned char* frame, uint32_t length,
                 Layer* layers) {
    if (length < 2 * kKeyHeaderSize) {
        return false;
    }
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    if (utils.SetKeyFolderPath(keyPrefix.c_str()) != kNoErr) {
        return false;
    }
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    TypKeyHeader headers[2] = {};
    veldoran::DecodeKeyHeader(frame, &headers[0]);
    // A key layer decrypts any prefix of its frame: the inner header and one byte.
    veldoran::OwnedBlock inner(&utils);
    bool read =
        crypto.UnCrypt(frame, 2 * kKeyHeaderSize + 1, inner.Pointer(), inner.Length()) == kNoErr &&
        inner.length() >= kKeyHeaderSize;
    if (read) {
        veldoran::DecodeKeyHeader(inner.data(), &headers[1]);
    }
    const uint32_t lengths[2] = {length - kKeyHeaderSize, length - 2 * kKeyHeaderSize};
    for (int k = 0; read && k < 2; ++k) {
        std::unique_ptr<TypFileRef> reference(utils.GetKeyFileRef(&headers[k]));
        auto* unixReference = dynamic_cast<TypFileRefUnix*>(reference.get());
        read = unixReference != nullptr &&
               ReadKeyOnDisk(unixReference->path, &layers[k].key) == kNoErr;
        if (!read) {
            break;
        }
        JournalRecord& record = layers[k].record;
        record.kind = veldoran::kJournalRead;
        record.year = headers[k].year;
        memcpy(record.fingerprint, layers[k].key.fingerprint, sizeof record.fingerprint);
        memcpy(record.name, headers[k].name, kLenMaxName);
        record.keyLen = static_cast<uint32_t>(headers[k].keyLen);
        record.start = static_cast<uint32_t>(headers[k].keyOffset);
        record.length = lengths[k];
        record.offsetAfter = static_cast<uint32_t>((uint64_t{record.start} + record.length) %
                                                   (record.keyLen == 0 ? 1 : record.keyLen));
        record.useCountAfter = headers[k].useCount;
    }
    crypto.Kill();
    return read;
}

void NoteFrame(const CommonOptions& common, const std::string& keyPrefix,
               const unsigned char* frame, uint32_t length, const std::string& shownInput) {
    Layer layers[2];
    if (!FrameLayers(keyPrefix, frame, length, layers)) {
        return;
    }
    veldoran::SetJournalMessage(frame, length, &layers[0].record);
    memcpy(layers[1].record.message, layers[0].record.message, sizeof layers[1].record.message);
    const std::string path = PrepareJournal(common);
    veldoran::JournalFile journal;
    if (path.empty() || journal.Open(path, true) != kNoErr) {
        Warn(shownInput, "this message was not noted in the key journal: " + journal.Problem());
        return;
    }
    bool known[2] = {false, false};
    const int32_t scanned = journal.Scan([&](uint64_t, const JournalRecord& before) {
        for (int k = 0; k < 2; ++k) {
            const JournalRecord& now = layers[k].record;
            if (before.kind != veldoran::kJournalRead ||
                memcmp(before.fingerprint, now.fingerprint, sizeof now.fingerprint) != 0) {
                continue;
            }
            // The same message read again is no reuse; another of the same length from the same
            // place is.
            if (memcmp(before.message, now.message, sizeof now.message) == 0 &&
                before.start == now.start && before.length == now.length) {
                known[k] = true;
                continue;
            }
            uint64_t first = 0;
            uint64_t last = 0;
            if (Overlap(now, before, &first, &last)) {
                Warn(shownInput,
                     "key material used twice: bytes " + std::to_string(first) + " to " +
                         std::to_string(last) + " of " + EscapeForTerminal(layers[k].key.path) +
                         " made this message (use " + std::to_string(now.useCountAfter) +
                         ") and a message read before (use " +
                         std::to_string(before.useCountAfter) + ", read " + TimeText(before.time) +
                         "); the sender's key went back in time or is used in two places");
            }
        }
        return true;
    });
    if (scanned != kNoErr) {
        Warn(shownInput,
             "this message was not checked against the key journal: " + journal.Problem());
        return;
    }
    JournalRecord fresh[2];
    uint32_t count = 0;
    for (int k = 0; k < 2; ++k) {
        if (!known[k]) {
            fresh[count++] = layers[k].record;
        }
    }
    if (count > 0 &&
        journal.Append(fresh, count, veldoran::JournalFile::Mode::kOwnUnsynced) != kNoErr) {
        Warn(shownInput, "this message was not noted in the key journal: " + journal.Problem());
    }
}

}  // namespace

void NoteMessageRead(const CommonOptions& common, const std::string& keyPrefix,
                     const std::string& messageText, const std::string& shownInput) {
    if (common.noJournal) {
        return;
    }
    WithFrameOf(messageText, [&](const unsigned char* frame, uint32_t length) {
        NoteFrame(common, keyPrefix, frame, length, shownInput);
    });
}

void NoteMessageFileRead(const CommonOptions& common, const std::string& keyPrefix,
                         const std::string& path) {
    if (common.noJournal) {
        return;
    }
    // The message is read whole to be noted: past a letter's size that would undo the constant
    // memory of a streamed decryption, so a large message is only reported as not noted.
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && status.st_size > kMostNotedMessage) {
        Warn(DisplayName(path, false),
             "this message was not noted in the key journal: larger than " +
                 std::to_string(kMostNotedMessage >> 20) + " MiB");
        return;
    }
    std::string text;
    if (ReadWholeInput(path, &text) == kNoErr) {
        NoteMessageRead(common, keyPrefix, text, DisplayName(path, false));
    }
}

}  // namespace tool
