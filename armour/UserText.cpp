// The user's text to and from the document form, through glibc's iconv. Characters pass between
// the two as Unicode code points (iconv's WCHAR_T, UCS-4 on glibc), which is where each one is
// looked up: in Windows-1252, then in the text filter's word on how its byte travels.
#include "armour/UserText.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <stdint.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "armour/TextForms.h"

namespace veldoran {

namespace {

static_assert(sizeof(wchar_t) == sizeof(uint32_t), "iconv's WCHAR_T must be UCS-4");

constexpr char kDocumentCharset[] = "WINDOWS-1252";
constexpr char kCodes[] = "WCHAR_T";
constexpr uint32_t kNoCode = UINT32_MAX;
constexpr uint32_t kLineFeed = 0x0A;
constexpr uint32_t kReplacementCharacter = 0xFFFD;
constexpr char kUnknown[] = "?";

// A run of ASCII at least this long is copied rather than handed to iconv.
constexpr size_t kLongAsciiRun = 64;

// How much of the text is converted at a time: the buffers a run keeps.
constexpr size_t kPieceBytes = size_t{64} << 10;

// Whether the eight bytes at bytes are all ASCII.
bool IsAscii8(const unsigned char* bytes) {
    uint64_t eight = 0;
    memcpy(&eight, bytes, sizeof eight);
    return (eight & 0x8080808080808080U) == 0;
}

// One iconv conversion, closed with its owner.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (IsOpen()) {
            iconv_close(cd_);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool IsOpen() const { return cd_ != reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1)); }
    iconv_t Get() const { return cd_; }

    // Converts a short text whole, from the initial state: false when any of it does not
    // convert.
    bool Whole(const void* from, size_t count, std::string* to) const {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        to->clear();
        char* in = static_cast<char*>(const_cast<void*>(from));
        size_t left = count;
        char buffer[64];
        for (;;) {
            char* out = buffer;
            size_t room = sizeof buffer;
            const size_t done = left > 0 ? iconv(cd_, &in, &left, &out, &room)
                                         : iconv(cd_, nullptr, nullptr, &out, &room);
            const int error = done == static_cast<size_t>(-1) ? errno : 0;
            to->append(buffer, static_cast<size_t>(out - buffer));
            if (error == 0 && left == 0) {
                if (in == nullptr) {
                    return true;
                }
                in = nullptr;  // then the shift back to the initial state
            } else if (error != E2BIG) {
                return false;
            }
        }
    }

  private:
    iconv_t cd_;
};

// Windows-1252 as glibc knows it: the code point of each byte, and the byte of each code point.
struct Windows1252 {
    std::array<uint32_t, 256> codeOf{};
    std::vector<std::pair<uint32_t, unsigned char>> byteOf;  // by code point
    std::array<int16_t, 256> byteOfLow{};                    // code points below 256, or -1

    Windows1252() {
        const Iconv toCodes(kCodes, kDocumentCharset);
        for (unsigned value = 0; value < 256; ++value) {
            const auto byte = static_cast<unsigned char>(value);
            std::string code;
            codeOf[byte] = toCodes.Whole(&byte, 1, &code) && code.size() == sizeof(uint32_t)
                               ? Code(code)
                               : kNoCode;
            if (codeOf[byte] != kNoCode) {
                byteOf.emplace_back(codeOf[byte], byte);
            }
        }
        std::sort(byteOf.begin(), byteOf.end());
        byteOfLow.fill(-1);
        for (const auto& [code, byte] : byteOf) {
            if (code < byteOfLow.size()) {
                byteOfLow[code] = byte;
            }
        }
    }

    static uint32_t Code(const std::string& bytes) {
        uint32_t code = 0;
        memcpy(&code, bytes.data(), sizeof code);
        return code;
    }

    // The byte of code, or -1 when Windows-1252 lacks it.
    int ByteOf(uint32_t code) const {
        if (code < byteOfLow.size()) {
            return byteOfLow[code];
        }
        const auto found = std::lower_bound(byteOf.begin(), byteOf.end(),
                                            std::make_pair(code, static_cast<unsigned char>(0)));
        return found != byteOf.end() && found->first == code ? found->second : -1;
    }
};

const Windows1252& TheWindows1252() {
    static const Windows1252 table;
    return table;
}

// Which Windows-1252 bytes the document form carries, asked of the text filter once.
struct Travelling {
    std::array<bool, 256> byte{};
    bool allAscii = true;

    Travelling() {
        for (unsigned value = 0; value < 256; ++value) {
            byte[value] =
                HowLocalByteTravels(static_cast<unsigned char>(value)) != LocalByteTravel::kAnother;
            allAscii = allAscii && (value >= 0x80 || byte[value]);
        }
    }
};

const Travelling& TheTravelling() {
    static const Travelling travelling;
    return travelling;
}

bool Travels(unsigned char byte) {
    return TheTravelling().byte[byte];
}

// The length of the run of bytes below 0x80 at the start of count bytes at data.
size_t AsciiRun(const unsigned char* data, size_t count) {
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    size_t run = 0;
    for (; run + sizeof(uint64_t) <= count; run += sizeof(uint64_t)) {
        uint64_t word = 0;
        memcpy(&word, data + run, sizeof word);
        if ((word & kHighBits) != 0) {
            break;
        }
    }
    while (run < count && data[run] < 0x80) {
        ++run;
    }
    return run;
}

// The length of the run of bytes that travel at the start of count bytes at data.
size_t TravellingRun(const unsigned char* data, size_t count) {
    size_t run = 0;
    while (run < count && Travels(data[run])) {
        ++run;
    }
    return run;
}

// The nearest characters that travel for the Windows-1252 characters the document form gives
// back as others, in Windows-1252.
struct Nearest {
    uint32_t code;
    const char* document;
};
// clang-format off
constexpr Nearest kNearest[] = {
    {0x00A1, "!"},     // ¡
    {0x00CE, "I"},     // Î
    {0x00CF, "I"},     // Ï
    {0x0178, "Y"},     // Ÿ
    {0x017D, "Z"},     // Ž
    {0x02C6, "^"},     // ˆ
    {0x2018, "'"},     // ‘
    {0x201D, "\""},    // ”
    {0x2022, "\xB7"},  // • as the middle dot ·
    {0x2030, "o/oo"},  // ‰
    {0x2122, "TM"},    // ™
};
// clang-format on

}  // namespace

std::string LocaleCharset() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || *codeset == '\0' || strcmp(codeset, "ANSI_X3.4-1968") == 0) {
        return "UTF-8";
    }
    return codeset;
}

bool IsKnownCharset(const std::string& charset) {
    const Iconv in(kDocumentCharset, charset.c_str());
    const Iconv out(charset.c_str(), kDocumentCharset);
    return in.IsOpen() && out.IsOpen();
}

bool IsWindows1252(const std::string& charset) {
    const Iconv given(kDocumentCharset, charset.c_str());
    const Iconv itself(kDocumentCharset, kDocumentCharset);
    if (!given.IsOpen() || !itself.IsOpen()) {
        return false;
    }
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        std::string fromGiven;
        std::string fromItself;
        if (given.Whole(&byte, 1, &fromGiven) != itself.Whole(&byte, 1, &fromItself) ||
            fromGiven != fromItself) {
            return false;
        }
    }
    return true;
}

struct UserTextReader::Conversions {
    explicit Conversions(const std::string& charset)
        : toCodes(kCodes, charset.c_str()),
          fromCodes(charset.c_str(), kCodes),
          nearest((std::string(kDocumentCharset) + "//TRANSLIT").c_str(), kCodes),
          toDocument(kDocumentCharset, charset.c_str()) {}

    Iconv toCodes;
    Iconv fromCodes;  // to show a character in the user's charset
    Iconv nearest;    // iconv's transliteration into Windows-1252
    Iconv toDocument;
};

UserTextReader::UserTextReader() = default;
UserTextReader::~UserTextReader() = default;

bool UserTextReader::Open(const std::string& charset, bool transliterate) {
    conversions_ = std::make_unique<Conversions>(charset);
    if (!conversions_->toCodes.IsOpen() || !conversions_->fromCodes.IsOpen() ||
        !conversions_->nearest.IsOpen() || !conversions_->toDocument.IsOpen()) {
        conversions_.reset();
        return false;
    }
    transliterate_ = transliterate;
    sameBytes_ = IsWindows1252(charset);
    asciiStays_ = true;
    for (unsigned char byte = 0; byte < 0x80 && asciiStays_; ++byte) {
        std::string document;
        asciiStays_ = conversions_->toDocument.Whole(&byte, 1, &document) &&
                      document == std::string(1, static_cast<char>(byte));
    }
    asciiStays_ = asciiStays_ && TheTravelling().allAscii;
    pending_.clear();
    pending_.reserve(kPieceBytes);
    codes_.assign(kPieceBytes, 0);
    offset_ = 0;
    line_ = 1;
    column_ = 1;
    invalid_ = false;
    invalidOffset_ = 0;
    untravelled_.clear();
    untravelledCount_ = 0;
    transliterated_ = 0;
    unchanged_ = true;
    return true;
}

bool UserTextReader::Convert(const unsigned char* data, size_t count, std::string* document) {
    if (invalid_) {
        return false;
    }
    if (sameBytes_) {
        while (count > 0) {
            const size_t run = TravellingRun(data, count);
            TakeRun(data, run, document);
            if (run < count) {
                TakeUntravelledByte(data[run], document);
            }
            const size_t taken = std::min(count, run + 1);
            data += taken;
            count -= taken;
        }
        return true;
    }
    while (count > 0) {
        const size_t taken = std::min(count, kPieceBytes - pending_.size());
        pending_.insert(pending_.end(), data, data + taken);
        data += taken;
        count -= taken;
        if (!ConvertBuffered(false, document)) {
            return false;
        }
    }
    return true;
}

bool UserTextReader::Finish(std::string* document) {
    if (invalid_) {
        return false;
    }
    return sameBytes_ || ConvertBuffered(true, document);
}

bool UserTextReader::ConvertBuffered(bool atEnd, std::string* document) {
    unsigned char* const start = pending_.data();
    unsigned char* const end = start + pending_.size();
    unsigned char* at = start;
    while (at < end) {
        // A long run of ASCII in a charset that keeps it is the document's own bytes.
        const size_t ascii = asciiStays_ ? AsciiRun(at, static_cast<size_t>(end - at)) : 0;
        if (ascii >= kLongAsciiRun || at + ascii == end) {
            TakeRun(at, ascii, document);
            at += ascii;
        }
        // The rest up to the next long run goes through iconv, which costs less than a call for
        // each accented letter between short words; a character iconv finds cut there (a trail
        // byte below 0x80) takes more of the piece.
        unsigned char* stretchEnd = asciiStays_ ? at : end;
        while (stretchEnd < end) {
            const size_t run = AsciiRun(stretchEnd, static_cast<size_t>(end - stretchEnd));
            if (run >= kLongAsciiRun) {
                break;
            }
            stretchEnd += run == 0 ? 1 : run;
        }
        for (;;) {
            const int error = ConvertStretch(&at, static_cast<size_t>(stretchEnd - at), document);
            if (error == 0) {
                break;
            }
            if (error == EINVAL && stretchEnd < end) {
                ++stretchEnd;
                continue;
            }
            if (error == EINVAL && !atEnd) {
                // A character cut at the end of the piece: the next piece completes it.
                offset_ += static_cast<uint64_t>(at - start);
                pending_.erase(pending_.begin(), pending_.begin() + (at - start));
                return true;
            }
            invalid_ = true;
            invalidOffset_ = offset_ + static_cast<uint64_t>(at - start);
            return false;
        }
    }
    offset_ += pending_.size();
    pending_.clear();
    return true;
}

int UserTextReader::ConvertStretch(unsigned char** at, size_t count, std::string* document) {
    char* in = reinterpret_cast<char*>(*at);
    size_t left = count;
    int error = 0;
    while (left > 0) {
        char* const codesStart = reinterpret_cast<char*>(codes_.data());
        char* out = codesStart;
        size_t room = codes_.size() * sizeof(uint32_t);
        char* const before = in;
        const size_t done = iconv(conversions_->toCodes.Get(), &in, &left, &out, &room);
        error = done == static_cast<size_t>(-1) ? errno : 0;
        const auto made = static_cast<size_t>(out - codesStart) / sizeof(uint32_t);
        if (static_cast<size_t>(in - before) != made) {
            unchanged_ = false;
        }
        for (size_t i = 0; i < made; ++i) {
            const uint32_t code = codes_[i];
            if (code < 0x80 && asciiStays_) {
                // Most characters of most letters: the byte, and the place moves on.
                document->push_back(static_cast<char>(code));
                column_ = code == kLineFeed ? 1 : column_ + 1;
                line_ += code == kLineFeed ? 1 : 0;
            } else {
                TakeCharacter(code, document);
            }
        }
        if (error != 0 && error != E2BIG) {
            break;
        }
        error = 0;
    }
    *at = reinterpret_cast<unsigned char*>(in);
    return error;
}

void UserTextReader::TakeRun(const unsigned char* run, size_t count, std::string* document) {
    document->append(reinterpret_cast<const char*>(run), count);
    const unsigned char* const end = run + count;
    const unsigned char* lineStart = nullptr;
    for (const void* found = memchr(run, kLineFeed, count); found != nullptr;
         found = memchr(lineStart, kLineFeed, static_cast<size_t>(end - lineStart))) {
        ++line_;
        lineStart = static_cast<const unsigned char*>(found) + 1;
    }
    column_ = lineStart == nullptr ? column_ + count : 1 + static_cast<size_t>(end - lineStart);
}

void UserTextReader::TakeCharacter(uint32_t code, std::string* document) {
    const int byte = TheWindows1252().ByteOf(code);
    if (byte >= 0 && Travels(static_cast<unsigned char>(byte))) {
        document->push_back(static_cast<char>(byte));
        if (code >= 0x80 || !asciiStays_) {
            unchanged_ = false;
        }
    } else {
        Untravelled(code, false, Transliteration(code), document);
    }
    if (code == kLineFeed) {
        ++line_;
        column_ = 1;
    } else {
        ++column_;
    }
}

void UserTextReader::TakeUntravelledByte(unsigned char byte, std::string* document) {
    const uint32_t code = TheWindows1252().codeOf[byte];
    if (code == kNoCode) {
        Untravelled(byte, true, kUnknown, document);
    } else {
        Untravelled(code, false, Transliteration(code), document);
    }
    ++column_;  // a line feed travels
}

void UserTextReader::Untravelled(uint32_t code, bool unassigned, const std::string& replacement,
                                 std::string* document) {
    unchanged_ = false;
    if (transliterate_) {
        document->append(replacement);
        ++transliterated_;
        return;
    }
    ++untravelledCount_;
    if (untravelled_.size() >= kKeptCharacters) {
        return;
    }
    UntravelledCharacter character;
    character.line = line_;
    character.column = column_;
    character.code = code;
    character.unassigned = unassigned;
    if (sameBytes_) {
        character.character =
            unassigned ? std::string(1, static_cast<char>(code))
                       : std::string(1, static_cast<char>(TheWindows1252().ByteOf(code)));
        character.replacement = replacement;
    } else {
        if (!conversions_->fromCodes.Whole(&code, sizeof code, &character.character)) {
            character.character = kUnknown;
        }
        std::vector<uint32_t> codes;
        for (const char byte : replacement) {
            codes.push_back(TheWindows1252().codeOf[static_cast<unsigned char>(byte)]);
        }
        if (!conversions_->fromCodes.Whole(codes.data(), codes.size() * sizeof(uint32_t),
                                           &character.replacement)) {
            character.replacement = kUnknown;
        }
    }
    untravelled_.push_back(std::move(character));
}

std::string UserTextReader::Transliteration(uint32_t code) const {
    for (const Nearest& nearest : kNearest) {
        if (nearest.code == code) {
            return nearest.document;
        }
    }
    std::string document;
    if (!conversions_->nearest.Whole(&code, sizeof code, &document) || document.empty()) {
        return kUnknown;
    }
    for (const char byte : document) {
        if (!Travels(static_cast<unsigned char>(byte))) {
            return kUnknown;
        }
    }
    return document;
}

struct UserTextWriter::Conversion {
    explicit Conversion(const std::string& charset)
        : fromDocument(charset.c_str(), kDocumentCharset), fromCodes(charset.c_str(), kCodes) {}

    Iconv fromDocument;
    Iconv fromCodes;
};

UserTextWriter::UserTextWriter() = default;
UserTextWriter::~UserTextWriter() = default;

bool UserTextWriter::Open(const std::string& charset) {
    conversion_ = std::make_unique<Conversion>(charset);
    if (!conversion_->fromDocument.IsOpen() || !conversion_->fromCodes.IsOpen()) {
        conversion_.reset();
        return false;
    }
    sameBytes_ = IsWindows1252(charset);
    const uint32_t unknown = static_cast<unsigned char>(kUnknown[0]);
    if (!conversion_->fromCodes.Whole(&kReplacementCharacter, sizeof kReplacementCharacter,
                                      &replacement_) &&
        !conversion_->fromCodes.Whole(&unknown, sizeof unknown, &replacement_)) {
        replacement_ = kUnknown;
    }
    iconv(conversion_->fromDocument.Get(), nullptr, nullptr, nullptr, nullptr);
    buffer_.assign(kPieceBytes, 0);
    replaced_ = 0;
    byTable_ = !sameBytes_ && MakeTable();
    return true;
}

// A single-byte document converts one byte at a time: when iconv's form of each byte, from the
// initial state, put end to end is also its form of all of them at once, the charset keeps no
// state between characters (UTF-16 with its byte order mark, UTF-7 and the ISO-2022 family do)
// and the table gives exactly iconv's text, without a call per stretch of the document.
bool UserTextWriter::MakeTable() {
    std::string assigned;
    std::string oneByOne;
    std::string form;
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        const bool converts = conversion_->fromDocument.Whole(&byte, 1, &form);
        if (converts) {
            assigned.push_back(static_cast<char>(byte));
            oneByOne += form;
        } else {
            form = replacement_;
        }
        if (form.size() > kMostTableBytes) {
            return false;
        }
        std::copy(form.begin(), form.end(), tableBytes_[byte].begin());
        tableLength_[byte] = static_cast<unsigned char>(form.size());
        tableReplaced_[byte] = !converts;
    }
    asciiStays_ = true;
    for (unsigned value = 0; value < 0x80; ++value) {
        asciiStays_ = asciiStays_ && tableLength_[value] == 1 &&
                      tableBytes_[value][0] == static_cast<char>(value);
    }
    return conversion_->fromDocument.Whole(assigned.data(), assigned.size(), &form) &&
           form == oneByOne;
}

void UserTextWriter::ConvertByTable(const unsigned char* data, size_t count, std::string* text) {
    const size_t piece = buffer_.size() / kMostTableBytes - 1;
    for (size_t done = 0; done < count;) {
        const size_t take = std::min(piece, count - done);
        char* out = buffer_.data();
        const unsigned char* byte = data + done;
        const unsigned char* const end = byte + take;
        while (byte != end) {
            if (asciiStays_ && end - byte >= 8 && IsAscii8(byte)) {
                memcpy(out, byte, 8);
                out += 8;
                byte += 8;
                continue;
            }
            // A fixed-size copy is one move; only the form's own length counts.
            memcpy(out, tableBytes_[*byte].data(), kMostTableBytes);
            out += tableLength_[*byte];
            replaced_ += tableReplaced_[*byte] ? 1U : 0U;
            ++byte;
        }
        text->append(buffer_.data(), static_cast<size_t>(out - buffer_.data()));
        done += take;
    }
}

void UserTextWriter::Convert(const unsigned char* data, size_t count, std::string* text) {
    if (sameBytes_) {
        text->append(reinterpret_cast<const char*>(data), count);
        return;
    }
    if (byTable_) {
        ConvertByTable(data, count, text);
        return;
    }
    char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
    size_t left = count;
    while (left > 0) {
        char* out = buffer_.data();
        size_t room = buffer_.size();
        const size_t done = iconv(conversion_->fromDocument.Get(), &in, &left, &out, &room);
        const int error = done == static_cast<size_t>(-1) ? errno : 0;
        text->append(buffer_.data(), static_cast<size_t>(out - buffer_.data()));
        if (error != 0 && error != E2BIG) {
            // One byte is one character here: an unassigned byte, or one the charset lacks.
            text->append(replacement_);
            ++replaced_;
            ++in;
            --left;
        }
    }
}

void UserTextWriter::Finish(std::string* text) {
    if (sameBytes_) {
        return;
    }
    char* out = buffer_.data();
    size_t room = buffer_.size();
    iconv(conversion_->fromDocument.Get(), nullptr, nullptr, &out, &room);
    text->append(buffer_.data(), static_cast<size_t>(out - buffer_.data()));
}

}  // namespace veldoran
