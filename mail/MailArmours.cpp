// Armours one after the other: a fresh ArmourFinder from behind the last one, fed in chunks so
// that each search stops soon after its end marker.
#include "mail/MailArmours.h"

#include <cstring>
#include <memory>

#include "armour/ArmourFinder.h"
#include "crypto/TypCrypto.h"
#include "platform/TypUtilsUnix.h"

namespace {

// Text handed to the finder at once: small, so that the search for one armour reads little
// past its end marker.
constexpr size_t kChunk = 16384;

}  // namespace

void veldoran::FindArmours(const char* text, size_t length,
                           const std::function<void(const ArmourPlace&)>& found) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    std::unique_ptr<unsigned char[]> decoded(
        new unsigned char[ArmourFinder::MaxFeedLength(kChunk)]);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t from = 0;
    while (from < length) {
        ArmourFinder finder(&utils);
        uint64_t digest = 14695981039346656037ull;  // FNV-1a over the decoded bytes
        size_t decodedLength = 0;
        size_t at = from;
        while (at < length && !finder.Ended()) {
            const size_t count = length - at < kChunk ? length - at : kChunk;
            const size_t stored = finder.Feed(bytes + at, count, decoded.get());
            for (size_t i = 0; i < stored; ++i) {
                digest = (digest ^ decoded[i]) * 1099511628211ull;
            }
            decodedLength += stored;
            at += count;
        }
        if (!finder.Ended()) {
            return;  // no end marker behind from
        }
        const size_t endMarker = from + static_cast<size_t>(finder.EndMarkerAt());
        if (finder.Found()) {
            if (decodedLength == 0) {
                // Nothing decoded (a broken length field): the armour's own letters tell it
                // from another, whatever quoting and line ends surround them.
                const size_t begin = from + static_cast<size_t>(finder.StartMarkerAt());
                for (size_t i = begin; i < endMarker; ++i) {
                    if (bytes[i] > ' ' && bytes[i] != '>') {
                        digest = (digest ^ bytes[i]) * 1099511628211ull;
                    }
                }
            }
            ArmourPlace place;
            place.begin = from + static_cast<size_t>(finder.StartMarkerAt());
            place.end = endMarker + armour::kEndMarkerLength;
            place.digest = digest;
            place.decodedLength = decodedLength;
            found(place);
        }
        from = endMarker + armour::kEndMarkerLength;
    }
}

std::string veldoran::LastKeyComment(const char* text, size_t from, size_t to) {
    const size_t markLength = sizeof veldoran::kKeyCommentStart - 1;
    const char* last = nullptr;
    for (const char* at = text + from; at + markLength <= text + to;) {
        const void* hit =
            memmem(at, static_cast<size_t>(text + to - at), veldoran::kKeyCommentStart, markLength);
        if (hit == nullptr) {
            break;
        }
        last = static_cast<const char*>(hit);
        at = last + markLength;
    }
    if (last == nullptr) {
        return std::string();
    }
    const char* end = last;
    while (end < text + to && *end != '\n' && *end != '\r') {
        ++end;
    }
    return std::string(last, end);
}

void veldoran::MailArmours::Search(std::string text, size_t letter) {
    const auto shared = std::make_shared<std::string>(std::move(text));
    size_t previousEnd = 0;
    FindArmours(shared->data(), shared->size(), [&](const ArmourPlace& place) {
        const size_t from = previousEnd;
        previousEnd = place.end;
        if (!seen_.insert({place.digest, place.decodedLength}).second) {
            return;
        }
        MailArmour armour;
        armour.text = shared;
        armour.begin = place.begin;
        armour.end = place.end;
        armour.comment = LastKeyComment(shared->data(), from, place.begin);
        armour.letter = letter;
        found_.push_back(std::move(armour));
    });
}
