// The user's text to and from the document form: known answers in UTF-8 and Windows-1252, the
// characters the document form cannot carry, transliteration, pieces cut inside a character,
// and text that is not in its charset.
#include <gtest/gtest.h>
#include <locale.h>

#include <string>
#include <vector>

#include "armour/TextForms.h"
#include "veldoran.h"

namespace {

using veldoran::UntravelledCharacter;
using veldoran::UserTextReader;
using veldoran::UserTextWriter;

// iconv's transliteration follows LC_CTYPE; the tool runs in the user's locale.
class UserText : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr); }
    void TearDown() override { setlocale(LC_CTYPE, "C"); }
};

struct ReadResult {
    bool valid = false;
    std::string document;
    std::vector<UntravelledCharacter> untravelled;
    uint64_t untravelledCount = 0;
    uint64_t transliterated = 0;
    uint64_t invalidOffset = 0;
    bool unchanged = false;
};

// Reads text in pieces of at most piece bytes.
ReadResult Read(const std::string& text, const std::string& charset, bool transliterate,
                size_t piece = SIZE_MAX) {
    UserTextReader reader;
    EXPECT_TRUE(reader.Open(charset, transliterate));
    ReadResult result;
    result.valid = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size() && result.valid; at += piece) {
        result.valid =
            reader.Convert(bytes + at, std::min(piece, text.size() - at), &result.document);
    }
    result.valid = result.valid && reader.Finish(&result.document);
    result.untravelled = reader.Untravelled();
    result.untravelledCount = reader.UntravelledCount();
    result.transliterated = reader.Transliterated();
    result.invalidOffset = reader.InvalidOffset();
    result.unchanged = reader.Unchanged();
    return result;
}

struct WriteResult {
    std::string text;
    uint64_t replaced = 0;
};

WriteResult Write(const std::string& document, const std::string& charset) {
    UserTextWriter writer;
    EXPECT_TRUE(writer.Open(charset));
    WriteResult result;
    writer.Convert(reinterpret_cast<const unsigned char*>(document.data()), document.size(),
                   &result.text);
    writer.Finish(&result.text);
    result.replaced = writer.Replaced();
    return result;
}

// Characters every script of Windows-1252 writes, which travel: UTF-8 in, Windows-1252 out
// (the code charts of both).
struct Carried {
    const char* utf8;
    const char* document;
};
// clang-format off
const Carried kCarried[] = {
    {"plain ASCII, tabs\tand\nlines", "plain ASCII, tabs\tand\nlines"},
    {"\xC3\x89l\xC3\xA8ve \xC3\xA0 l'\xC5\x93uvre",       "\xC9l\xE8ve \xE0 l'\x9Cuvre"},  // Élève à l'œuvre
    {"\xC3\x87\xC3\xA7 \xC3\x94\xC3\x99\xC3\x91\xC3\x8D", "\xC7\xE7 \xD4\xD9\xD1\xCD"},    // Çç ÔÙÑÍ
    {"\xC3\x84\xC3\xB6\xC3\xBC\xC3\x9F",                  "\xC4\xF6\xFC\xDF"},             // Äöüß
    {"\xC3\x85\xC3\x98\xC3\x86\xC3\xA5\xC3\xB8\xC3\xA6",  "\xC5\xD8\xC6\xE5\xF8\xE6"},     // ÅØÆåøæ
    {"\xC5\xA1\xC5\xBE\xC5\xA0",                          "\x9A\x9E\x8A"},                 // šžŠ
    {"\xE2\x82\xAC \xC2\xAB \xC2\xBB \xE2\x80\x94 \xE2\x80\x9C", "\x80 \xAB \xBB \x97 \x93"},  // € « » — “
    {"\xE2\x80\x99",                                      "\x92"},  // ’: an apostrophe, by design
    {"\xC2\xB0 \xC5\x92",                                 "\xB0 \x8C"},                    // ° Œ
};
// clang-format on

TEST_F(UserText, CarriedCharactersBecomeTheirWindows1252Bytes) {
    for (const Carried& row : kCarried) {
        const ReadResult result = Read(row.utf8, "UTF-8", false);
        EXPECT_TRUE(result.valid) << row.utf8;
        EXPECT_EQ(result.document, row.document) << row.utf8;
        EXPECT_EQ(result.untravelledCount, 0U) << row.utf8;
        EXPECT_EQ(Write(row.document, "UTF-8").text, row.utf8);
    }
}

// The characters the document form cannot carry: the fifteen Windows-1252 characters it gives
// back as others, and some outside Windows-1252; what transliteration makes of each.
struct Untravelled {
    const char* utf8;
    uint32_t code;
    const char* nearestUtf8;
    const char* nearestDocument;
};
// clang-format off
const Untravelled kUntravelled[] = {
    {"\xCB\x86",         0x02C6,  "^",      "^"},         // ˆ comes back as à
    {"\xE2\x80\xB0",     0x2030,  "o/oo",   "o/oo"},      // ‰ as â
    {"\xC5\xBD",         0x017D,  "Z",      "Z"},         // Ž as é
    {"\xE2\x80\x98",     0x2018,  "'",      "'"},         // ‘ as ë
    {"\xE2\x80\x9D",     0x201D,  "\"",     "\""},        // ” as î
    {"\xE2\x80\xA2",     0x2022,  "\xC2\xB7", "\xB7"},    // • as ï; the middle dot travels
    {"\xE2\x84\xA2",     0x2122,  "TM",     "TM"},        // ™ as ô
    {"\xC5\xB8",         0x0178,  "Y",      "Y"},         // Ÿ as û
    {"\xC2\xA1",         0x00A1,  "!",      "!"},         // ¡ as °
    {"\xC3\x8E",         0x00CE,  "I",      "I"},         // Î as Œ
    {"\xC3\x8F",         0x00CF,  "I",      "I"},         // Ï as œ
    {"\xC5\x9B",         0x015B,  "s",      "s"},         // ś: outside, iconv transliterates
    {"\xD0\x94",         0x0414,  "?",      "?"},         // Cyrillic Д: outside, none here
    {"\xF0\x9F\x99\x82", 0x1F642, "?",      "?"},         // 🙂: outside, no transliteration
};
// clang-format on

TEST_F(UserText, UntravelledCharactersAreRefusedWhereTheyStand) {
    for (const Untravelled& row : kUntravelled) {
        const std::string text = std::string("ab\ncd") + row.utf8 + "e";
        const ReadResult result = Read(text, "UTF-8", false);
        EXPECT_TRUE(result.valid) << row.utf8;
        ASSERT_EQ(result.untravelled.size(), 1U) << row.utf8;
        const UntravelledCharacter& found = result.untravelled[0];
        EXPECT_EQ(found.line, 2U) << row.utf8;
        EXPECT_EQ(found.column, 3U) << row.utf8;
        EXPECT_EQ(found.character, row.utf8);
        EXPECT_EQ(found.code, row.code) << row.utf8;
        EXPECT_FALSE(found.unassigned);
        EXPECT_EQ(found.replacement, row.nearestUtf8) << row.utf8;
        EXPECT_FALSE(result.unchanged);
    }
}

TEST_F(UserText, TransliterationPutsTheNearestCharacterThatTravels) {
    for (const Untravelled& row : kUntravelled) {
        const ReadResult result = Read(std::string("<") + row.utf8 + ">", "UTF-8", true);
        EXPECT_TRUE(result.valid) << row.utf8;
        EXPECT_EQ(result.document, std::string("<") + row.nearestDocument + ">") << row.utf8;
        EXPECT_EQ(result.untravelledCount, 0U);
        EXPECT_EQ(result.transliterated, 1U) << row.utf8;
    }
}

TEST_F(UserText, ColumnsCountCharactersAndTheFirstScreenfulIsKept) {
    // "é" is two bytes and one column; the tab is one column.
    const ReadResult one = Read("\xC3\xA9\t\xC3\x8E", "UTF-8", false);
    ASSERT_EQ(one.untravelled.size(), 1U);
    EXPECT_EQ(one.untravelled[0].line, 1U);
    EXPECT_EQ(one.untravelled[0].column, 3U);

    std::string many;
    for (int line = 0; line < 25; ++line) {
        many += "\xE2\x84\xA2\n";
    }
    const ReadResult result = Read(many, "UTF-8", false);
    EXPECT_EQ(result.untravelledCount, 25U);
    ASSERT_EQ(result.untravelled.size(), UserTextReader::kKeptCharacters);
    EXPECT_EQ(result.untravelled.back().line, UserTextReader::kKeptCharacters);
}

// Pieces cut anywhere, inside a character of two, three or four bytes, give the same document
// and the same places as the text whole.
TEST_F(UserText, PiecesCutInsideCharactersGiveTheSameDocument) {
    const std::string text =
        "\xC3\x89t\xC3\xA9 \xE2\x82\xAC\n\xF0\x9F\x99\x82 \xC3\x8E \xE2\x80\x94 \xC5\xA1";
    const ReadResult whole = Read(text, "UTF-8", false);
    for (size_t piece = 1; piece <= 5; ++piece) {
        const ReadResult cut = Read(text, "UTF-8", false, piece);
        EXPECT_TRUE(cut.valid) << piece;
        EXPECT_EQ(cut.document, whole.document) << piece;
        ASSERT_EQ(cut.untravelled.size(), 2U) << piece;
        EXPECT_EQ(cut.untravelled[1].line, 2U);
        EXPECT_EQ(cut.untravelled[1].column, 3U);
    }
    // A charset whose second bytes can be ASCII bytes: 丂 is 0x81 0x40 in GBK.
    for (size_t piece = 1; piece <= 3; ++piece) {
        const ReadResult wide = Read(
            "a\x81\x40"
            "b\\",
            "GBK", false, piece);
        EXPECT_TRUE(wide.valid);
        EXPECT_EQ(wide.document, "ab\\") << piece;
        ASSERT_EQ(wide.untravelled.size(), 1U) << piece;
        EXPECT_EQ(wide.untravelled[0].code, 0x4E02U);
        EXPECT_EQ(wide.untravelled[0].column, 2U);
    }
    // Past the reader's own buffer too.
    std::string large(200000, 'a');
    large += "\xC3\xA9";
    const ReadResult result = Read(large, "UTF-8", false, 65535);
    EXPECT_EQ(result.document, std::string(200000, 'a') + "\xE9");
}

// Text that is not in its charset: the offset of the first byte that is not.
struct Invalid {
    const char* text;
    uint64_t offset;
    const char* why;
};
const Invalid kInvalid[] = {
    {"caf\xE9 ok", 3, "a Windows-1252 text read as UTF-8"},
    {"ab\xC3(", 2, "a lead byte without its continuation"},
    {"abc\xE2\x82", 3, "a character cut by the end of the text"},
    {"\xED\xA0\x80", 0, "a surrogate"},
    {"x\xC0\xAF", 1, "an overlong form"},
};

TEST_F(UserText, TextNotInItsCharsetIsFoundAtItsFirstBadByte) {
    for (const Invalid& row : kInvalid) {
        for (const size_t piece : {size_t{1}, size_t{2}, SIZE_MAX}) {
            const ReadResult result = Read(row.text, "UTF-8", false, piece);
            EXPECT_FALSE(result.valid) << row.why;
            EXPECT_EQ(result.invalidOffset, row.offset) << row.why << ", pieces of " << piece;
        }
    }
}

TEST_F(UserText, Windows1252UnderAnyNameIsTakenByteForByte) {
    for (const char* name : {"windows-1252", "WINDOWS-1252", "CP1252", "cp1252"}) {
        EXPECT_TRUE(veldoran::IsWindows1252(name)) << name;
    }
    for (const char* name : {"ISO-8859-1", "ISO-8859-15", "UTF-8", "CP1250"}) {
        EXPECT_FALSE(veldoran::IsWindows1252(name)) << name;
    }
    // Every byte that travels, 0x81 (unassigned, carried as it is) among them.
    std::string carried;
    for (unsigned value = 1; value < 256; ++value) {
        if (veldoran::HowLocalByteTravels(static_cast<unsigned char>(value)) !=
            veldoran::LocalByteTravel::kAnother) {
            carried.push_back(static_cast<char>(value));
        }
    }
    const ReadResult read = Read(carried, "CP1252", false);
    EXPECT_TRUE(read.valid);
    EXPECT_EQ(read.document, carried);
    EXPECT_TRUE(read.unchanged);
    const WriteResult written = Write(carried, "windows-1252");
    EXPECT_EQ(written.text, carried);
    EXPECT_EQ(written.replaced, 0U);
}

TEST_F(UserText, Windows1252BytesTheFormGivesBackAsOthersAreRefused) {
    const ReadResult result = Read("\xCE\n\x8D", "windows-1252", false);
    ASSERT_EQ(result.untravelled.size(), 2U);
    EXPECT_EQ(result.untravelled[0].character, "\xCE");
    EXPECT_EQ(result.untravelled[0].code, 0xCEU);
    EXPECT_EQ(result.untravelled[0].replacement, "I");
    EXPECT_EQ(result.untravelled[1].line, 2U);
    EXPECT_TRUE(result.untravelled[1].unassigned);
    EXPECT_EQ(result.untravelled[1].code, 0x8DU);
    EXPECT_EQ(result.untravelled[1].replacement, "?");
    EXPECT_EQ(Read("\xCE\n\x8D", "windows-1252", true).document, "I\n?");
}

// The way out: what the user's charset cannot hold, and the bytes Windows-1252 leaves
// unassigned, become U+FFFD, or "?" where the charset has none.
struct Written {
    std::string document;
    const char* charset;
    std::string text;
    uint64_t replaced;
};
// clang-format off
const Written kWritten[] = {
    {"\xC9l\xE8ve \x80 \x92",   "UTF-8",      "\xC3\x89l\xC3\xA8ve \xE2\x82\xAC \xE2\x80\x99", 0},
    {"a\x81" "b\x8D\x8F\x90\x9D", "UTF-8",    "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 5},
    {"\xE9 \x80",               "ISO-8859-1", "\xE9 ?", 1},   // Latin-1 lacks € and U+FFFD
    {"\xE9 \x80",               "ISO-8859-15", "\xE9 \xA4", 0},
    {"\xC9",                    "UTF-16BE",   std::string("\x00\xC9", 2), 0},
    // Charsets with a state between characters: one byte order mark, one shifted run.
    {"\xC9\xE9",                "UTF-16",     std::string("\xFF\xFE\xC9\x00\xE9\x00", 6), 0},
    {"\xC9\xE9",                "UTF-7",      "+AMkA6Q-", 0},
};
// clang-format on

TEST_F(UserText, TheDocumentGoesOutInTheUsersCharset) {
    for (const Written& row : kWritten) {
        const WriteResult result = Write(row.document, row.charset);
        EXPECT_EQ(result.text, row.text) << row.charset << " " << row.document;
        EXPECT_EQ(result.replaced, row.replaced) << row.charset << " " << row.document;
    }
}

// Every Windows-1252 character that travels goes out in UTF-8 and comes back as its byte.
TEST_F(UserText, EveryCarriedCharacterRoundTripsThroughUtf8) {
    for (unsigned value = 1; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        if (veldoran::HowLocalByteTravels(byte) == veldoran::LocalByteTravel::kAnother) {
            continue;
        }
        const std::string document(1, static_cast<char>(byte));
        const WriteResult written = Write(document, "UTF-8");
        if (written.replaced != 0) {
            continue;  // unassigned in Windows-1252: U+FFFD on the way out
        }
        const ReadResult read = Read(written.text, "UTF-8", false);
        EXPECT_EQ(read.document, document) << std::hex << value;
        EXPECT_EQ(read.untravelledCount, 0U) << std::hex << value;
    }
}

TEST_F(UserText, AsciiInAnAsciiCompatibleCharsetIsLeftAsItIs) {
    EXPECT_TRUE(Read("only ASCII\r\n", "UTF-8", false).unchanged);
    EXPECT_FALSE(Read("\xC3\xA9", "UTF-8", false).unchanged);
    EXPECT_TRUE(Read("ASCII", "ISO-8859-15", false).unchanged);
}

TEST_F(UserText, UnknownCharsetsAreRefusedAndTheCLocaleMeansUtf8) {
    UserTextReader reader;
    EXPECT_FALSE(reader.Open("NO-SUCH-CHARSET", false));
    UserTextWriter writer;
    EXPECT_FALSE(writer.Open("NO-SUCH-CHARSET"));
    EXPECT_FALSE(veldoran::IsKnownCharset("NO-SUCH-CHARSET"));
    EXPECT_TRUE(veldoran::IsKnownCharset("latin1"));
    EXPECT_EQ(veldoran::LocaleCharset(), "UTF-8");
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(veldoran::LocaleCharset(), "UTF-8");
}

}  // namespace
