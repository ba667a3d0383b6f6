// The user's text and the document form: text in the user's charset (any that iconv knows)
// converted to and from the Windows-1252 text that messages are made of, by glibc's iconv, chunk
// by chunk in buffers kept for the run. The way in checks every character against what a message
// carries back exactly and refuses the others (or, when asked, puts the nearest character that
// travels in their place); the way out writes a character the user's charset cannot hold, and a
// byte Windows-1252 leaves unassigned, as U+FFFD, counted. With Windows-1252 itself (under any
// name iconv takes for it) neither way converts anything: the bytes are the document's.
#ifndef VELDORAN_ARMOUR_USERTEXT_H
#define VELDORAN_ARMOUR_USERTEXT_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace veldoran {

// The charset of the user's locale: nl_langinfo(CODESET) once setlocale(LC_CTYPE, "") has run,
// and UTF-8 for the C and POSIX locales, whose "ANSI_X3.4-1968" would refuse every letter.
std::string LocaleCharset();

// Whether iconv converts between charset and Windows-1252 both ways.
bool IsKnownCharset(const std::string& charset);

// Whether charset is Windows-1252 under some name: every byte means what it means there.
bool IsWindows1252(const std::string& charset);

// A character of the user's text that a message cannot carry, where it stands.
struct UntravelledCharacter {
    uint64_t line = 0;        // from 1
    uint64_t column = 0;      // from 1, counted in characters
    std::string character;    // as it stands in the user's text, in the user's charset
    uint32_t code = 0;        // its Unicode code point, or the byte itself when unassigned
    bool unassigned = false;  // a Windows-1252 byte without a character
    std::string replacement;  // what transliteration makes of it, in the user's charset
};

// The way in: the user's text to the document form. Open, then Convert each piece of the text
// in order (a character cut at the end of a piece is completed by the next), then Finish.
class UserTextReader {
  public:
    // The untravelled characters kept for the report; the rest are only counted.
    static constexpr size_t kKeptCharacters = 20;

    UserTextReader();
    ~UserTextReader();
    UserTextReader(const UserTextReader&) = delete;
    UserTextReader& operator=(const UserTextReader&) = delete;

    // Readies a conversion from charset. transliterate: a character that cannot travel is
    // replaced by its nearest character that does (and counted) instead of refused. False when
    // iconv does not know charset.
    bool Open(const std::string& charset, bool transliterate);

    // Appends the document form of count bytes at data to *document (nothing for a character
    // cut at the end, which waits for the next piece). False once the text is found not to be in
    // the charset (InvalidOffset); nothing more is converted then.
    bool Convert(const unsigned char* data, size_t count, std::string* document);
    // The end of the text: false when it ends inside a character.
    bool Finish(std::string* document);

    // Whether the text was found not to be in the charset, and the offset in the text of the
    // first byte that is not.
    bool Invalid() const { return invalid_; }
    uint64_t InvalidOffset() const { return invalidOffset_; }
    // The characters that cannot travel, without transliteration: the first kKeptCharacters,
    // and the count of all.
    const std::vector<UntravelledCharacter>& Untravelled() const { return untravelled_; }
    uint64_t UntravelledCount() const { return untravelledCount_; }
    // The characters transliteration replaced.
    uint64_t Transliterated() const { return transliterated_; }
    // Whether the document form so far is the text itself, byte for byte.
    bool Unchanged() const { return unchanged_; }

  private:
    struct Conversions;

    bool ConvertBuffered(bool atEnd, std::string* document);
    int ConvertStretch(unsigned char** at, size_t count, std::string* document);
    void TakeRun(const unsigned char* run, size_t count, std::string* document);
    void TakeCharacter(uint32_t code, std::string* document);
    void TakeUnassignedByte(unsigned char byte, std::string* document);
    void TakeUntravelledByte(unsigned char byte, std::string* document);
    void Untravelled(uint32_t code, bool unassigned, const std::string& replacement,
                     std::string* document);
    std::string Transliteration(uint32_t code) const;

    std::unique_ptr<Conversions> conversions_;
    bool transliterate_ = false;
    bool sameBytes_ = false;  // Windows-1252: no conversion
    bool asciiStays_ = false;
    std::vector<unsigned char> pending_;  // input not yet converted, a cut character first
    std::vector<uint32_t> codes_;
    uint64_t offset_ = 0;  // of pending_'s first byte in the text
    uint64_t line_ = 1;
    uint64_t column_ = 1;
    bool invalid_ = false;
    uint64_t invalidOffset_ = 0;
    std::vector<UntravelledCharacter> untravelled_;
    uint64_t untravelledCount_ = 0;
    uint64_t transliterated_ = 0;
    bool unchanged_ = true;
};

// The way out: the document form to the user's text. Open, Convert each piece, Finish.
class UserTextWriter {
  public:
    UserTextWriter();
    ~UserTextWriter();
    UserTextWriter(const UserTextWriter&) = delete;
    UserTextWriter& operator=(const UserTextWriter&) = delete;

    // Readies a conversion into charset. False when iconv does not know charset.
    bool Open(const std::string& charset);
    // Whether the document's bytes go out as they are (Windows-1252).
    bool SameBytes() const { return sameBytes_; }
    // Appends the user's form of count document bytes at data to *text.
    void Convert(const unsigned char* data, size_t count, std::string* text);
    // Appends what ends the text in a charset with shift states.
    void Finish(std::string* text);
    // The characters written as U+FFFD (or "?" where the charset has none): bytes Windows-1252
    // leaves unassigned and characters the user's charset lacks.
    uint64_t Replaced() const { return replaced_; }

  private:
    struct Conversion;
    // The longest form of one document byte that the table keeps.
    static constexpr size_t kMostTableBytes = 8;

    bool MakeTable();
    void ConvertByTable(const unsigned char* data, size_t count, std::string* text);

    std::unique_ptr<Conversion> conversion_;
    bool sameBytes_ = false;
    // Each document byte's form in the user's charset, iconv's own answer asked once per byte
    // when the charset has no shift state (its forms simply follow one another).
    bool byTable_ = false;
    std::array<std::array<char, kMostTableBytes>, 256> tableBytes_{};
    std::array<unsigned char, 256> tableLength_{};
    std::array<bool, 256> tableReplaced_{};
    bool asciiStays_ = false;  // the table leaves every ASCII byte as it is
    std::string replacement_;
    std::vector<char> buffer_;
    uint64_t replaced_ = 0;
};

}  // namespace veldoran

#endif
