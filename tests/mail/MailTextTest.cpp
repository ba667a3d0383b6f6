// The mail layer's own transforms, flowed text and HTML to plain text, and its search for every
// armour in a text, on small texts whose result is known byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/MailArmours.h"
#include "mail/MailText.h"

namespace {

struct TextCase {
    const char* name;
    std::string in;
    std::string out;
};

TEST(MailText, UnflowJoinsSoftBreaksAndRemovesStuffing) {
    const std::vector<TextCase> cases = {
        {"soft break joined, its space kept", "one \r\ntwo\r\n", "one two\n"},
        {"hard break kept", "one\r\ntwo\r\n", "one\ntwo\n"},
        {"stuffing removed", " From here\r\n  indented\r\n", "From here\n indented\n"},
        {"quoted soft break joined at its depth", "> a \r\n> b\r\n>> c\r\n", "> a b\n>> c\n"},
        {"a depth change ends the paragraph", "> a \r\n>> b\r\n", "> a \n>> b\n"},
        {"the signature separator stays alone", "text\r\n-- \r\nAnne\r\n", "text\n-- \nAnne\n"},
        {"a last soft line kept", "end ", "end \n"},
        {"LF line ends", "one \ntwo\n", "one two\n"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(veldoran::UnflowText(c.in, false), c.out) << c.name;
    }
    EXPECT_EQ(veldoran::UnflowText("AB \r\nCD \r\nEF\r\n", true), "ABCDEF\n");
}

TEST(MailText, HtmlGivesTheTextAReaderSees) {
    const std::vector<TextCase> cases = {
        {"tags dropped, line tags end lines", "<p>one</p><div>two<br>three</div>",
         "\none\n\ntwo\nthree\n"},
        {"upper case tags and attributes", "<DIV class=\"x\">a</DIV><BR/>", "\na\n\n"},
        {"references", "&lt;&gt;&amp;&quot;&#36;&#x24;&nbsp;&apos;", "<>&\"$$ '"},
        {"non-ASCII references in UTF-8", "&#233;&#x20AC;", "\xc3\xa9\xe2\x82\xac"},
        {"unknown or unfinished references stay", "&bogus; &amp &#xZZ; a & b",
         "&bogus; &amp &#xZZ; a & b"},
        {"out of range reference", "&#99999999;", "\xef\xbf\xbd"},
        {"comments, scripts and styles dropped",
         "a<!-- <br> -->b<script>x<y</script>c<style>p{}</STYLE>d", "abcd"},
        {"a lone < stays", "5 < 6 <", "5 < 6 <"},
        {"a tag never closed ends the text", "a<div class=", "a\n"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(veldoran::HtmlToText(c.in), c.out) << c.name;
    }
}

std::vector<std::string> Armours(const std::string& text) {
    std::vector<std::string> found;
    veldoran::FindArmours(text.data(), text.size(), [&](const veldoran::ArmourPlace& place) {
        found.push_back(text.substr(place.begin, place.end - place.begin));
    });
    return found;
}

TEST(MailArmours, FindsEveryWholeArmourInOrder) {
    const std::string a = "#BINASCII1#abc#ENDBINASCII1#";
    const std::string b = "#BINASCII1#xyz#ENDBINASCII1#";
    EXPECT_EQ(Armours("x " + a + " y\n> " + b + "\n"), (std::vector<std::string>{a, b}));
    // An end marker before any start marker is passed over, and so is a start without an end.
    EXPECT_EQ(Armours("#ENDBINASCII1# " + a + " #BINASCII1# cut"), (std::vector<std::string>{a}));
    EXPECT_EQ(Armours("no armour"), std::vector<std::string>{});
    // Markers that straddle the finder's pieces are found all the same.
    const std::string far = std::string(16383, ' ') + a + std::string(16370, ' ') + b;
    EXPECT_EQ(Armours(far), (std::vector<std::string>{a, b}));
}

TEST(MailArmours, TheSameArmourInAnotherFormCountsOnce) {
    veldoran::MailArmours armours;
    const std::string plain =
        "$VELDORAN initial, clef v1 dupont.126 MID 4\n\n#BINASCII1#\nabcdef\n#ENDBINASCII1#\n";
    armours.Search(plain, 1);
    armours.Search("> #BINASCII1#\n> abc\n> def\n> #ENDBINASCII1#\n", 1);
    armours.Search("#BINASCII1#abcdeg#ENDBINASCII1#", 2);
    ASSERT_EQ(armours.Found().size(), 2u);
    EXPECT_EQ(armours.Found()[0].comment, "$VELDORAN initial, clef v1 dupont.126 MID 4");
    EXPECT_EQ(armours.Found()[1].comment, "");
    EXPECT_EQ(armours.Found()[1].letter, 2u);
}

}  // namespace
