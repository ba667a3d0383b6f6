// Property: for any message text, decrypterMem3 against the fuzz key folder reads nothing outside
// the text, leaks nothing, never writes a key file (every one stays the same byte for byte) and
// leaves the text as it was; it returns 0, -1, -3, -4, -5, -6, -7 or -8; on 0 it hands over two
// owned texts, a document without "#DESTBEGIN#" and without CR, and a tail that is empty or
// starts with "#DESTBEGIN#"; on any failure but -7 it hands over neither.
// Round trip: a document of printable ASCII and LF (without "#DESTBEGIN#") encrypted with
// crypterMem3 decrypts to the same document and the tail "#DESTBEGIN#" to "," cc "," bcc
// "#DESTEND#" param; one ending with "#DESTBEGIN" is refused with -16 (see EndsWithMarkerStem).
//
// The first input byte steers: even, the rest is the message; odd, the rest is the document of a
// round trip (inputs outside its domain are skipped), and bit 0x02 adds a parameter text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/FuzzKeyFolder.h"
#include "common/FuzzTarget.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using fuzzsupport::IsResult;
using fuzzsupport::KeyFolder;
using fuzzsupport::KeysUnchanged;

constexpr char kDestBegin[] = "#DESTBEGIN#";

bool Contains(const char* text, const char* pattern) {
    return strstr(text, pattern) != nullptr;
}

// Decrypts message (NUL-terminated) and checks what holds for any message. On 0 the two texts
// are handed back through document and tail; the caller frees them.
int32_t DecryptAndCheck(const char* message, const std::string& keyFolder, char** document,
                        char** tail) {
    const std::string before(message);
    const int32_t result = decrypterMem3(message, document, keyFolder.c_str(), tail);
    Check(IsResult(result, {kNoErr, kOtherErr, kCRCErr, kPbErr, KeyNotFoundErr, kBadKeyHeader,
                            kMemErr, kOffsetOutOfRangeErr}));
    Check(before == message);
    if (result == kNoErr) {
        Check(*document != nullptr && *tail != nullptr);
        Check(!Contains(*document, kDestBegin) && !Contains(*document, "\r"));
        Check(**tail == '\0' || strncmp(*tail, kDestBegin, strlen(kDestBegin)) == 0);
    } else if (result != kMemErr) {
        Check(*document == nullptr && *tail == nullptr);
    }
    return result;
}

bool InRoundTripDomain(const std::string& document) {
    for (const char byte : document) {
        if (byte != '\n' && (byte < 0x20 || byte > 0x7E)) {
            return false;
        }
    }
    return document.find(kDestBegin) == std::string::npos;
}

// A document ending with the marker less its last '#' runs into the recipient block's marker:
// the message would hold "#DESTBEGIN#" inside the document, and decryption would cut it there,
// so crypterMem3 refuses it with -16 as it refuses a document holding the whole marker.
bool EndsWithMarkerStem(const std::string& document) {
    const std::string stem(kDestBegin, strlen(kDestBegin) - 1);
    return document.size() >= stem.size() &&
           document.compare(document.size() - stem.size(), stem.size(), stem) == 0;
}

void RoundTrip(KeyFolder& folder, const std::string& document, bool withParam) {
    const char* to = "dupont,durand";
    const char* cc = "martin";
    const char* bcc = "";
    const std::string param = withParam ? "SujetBEGIN#Essai#SujetEND#" : "";
    const bool cutShort = EndsWithMarkerStem(document);
    char* message = nullptr;
    const int32_t encrypted = crypterMem3(document.c_str(), &message, fuzzsupport::kRoundTripSender,
                                          folder.folder.c_str(), to, cc, bcc, param.c_str());
    Check(encrypted == (cutShort ? kFormatNonDisponible : kNoErr));
    Check((encrypted == kNoErr) == (message != nullptr));
    if (encrypted != kNoErr) {
        return;
    }
    fuzzsupport::Reread(&folder.roundTrip);

    char* back = nullptr;
    char* tail = nullptr;
    Check(DecryptAndCheck(message, folder.folder, &back, &tail) == kNoErr);
    Check(document == back);
    Check(std::string(tail) ==
          std::string(kDestBegin) + to + "," + cc + "," + bcc + "#DESTEND#" + param);
    Check(KeysUnchanged(folder));
    free(back);
    free(tail);
    free(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 16)) {
        return 0;
    }
    KeyFolder& folder = fuzzsupport::SharedKeyFolder();
    const uint8_t steer = data[0];
    // The text as a caller holds it: up to its first NUL, in a block of exactly that size.
    const std::string text(reinterpret_cast<const char*>(data + 1),
                           strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
    if ((steer & 0x01u) != 0) {
        if (InRoundTripDomain(text)) {
            RoundTrip(folder, text, (steer & 0x02u) != 0);
        }
        return 0;
    }
    auto* message = static_cast<char*>(malloc(text.size() + 1));
    Check(message != nullptr);
    memcpy(message, text.c_str(), text.size() + 1);
    char* document = nullptr;
    char* tail = nullptr;
    DecryptAndCheck(message, folder.folder, &document, &tail);
    free(document);
    free(tail);
    free(message);
    Check(KeysUnchanged(folder));
    return 0;
}
