// veldoran-tool decrypt of whole received mails, one table row per form a mail client gives,
// each read from a saved file and from the standard input; the display filter decrypt --inline;
// and the mails a stranger can send to break the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mail/MailMaker.h"
#include "shell/ToolRun.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;
using toolrun::RunResult;
using toolrun::RunTool;

const std::string kDocument1 = "Bonjour Paul,\nla réunion est à 10 h.\n";
const std::string kDocument2 = "Second letter: <b>not a tag</b> & 5 > 3\n";
const std::string kDocument3 = "Third,\n\nwith a gap.\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Every line of text behind prefix.
std::string Quote(const std::string& text, const std::string& prefix) {
    std::string quoted;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        quoted += prefix;
        quoted.append(text, at, end - at);
        at = end;
    }
    return quoted;
}

// text as a format=flowed sender with delsp=yes writes it: each line longer than 12 characters
// broken after its 12th (a soft break: a space added before the line end), every line that
// begins with a space, ">" or "From " stuffed with a space.
std::string Flow(const std::string& text) {
    std::string flowed;
    auto put = [&](const std::string& line) {
        if (!line.empty() &&
            (line[0] == ' ' || line[0] == '>' || line.compare(0, 5, "From ") == 0)) {
            flowed += ' ';
        }
        flowed += line;
    };
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        while (line.size() > 12) {
            put(line.substr(0, 12) + " \n");
            line.erase(0, 12);
        }
        put(line + "\n");
        at = end + 1;
    }
    return flowed;
}

// text as a webmail's rich editor sends it: one <div> per line, the markup's own characters,
// "$" and every space as character references.
std::string Html(const std::string& text) {
    std::string html = "<html><head><style>div { color: #333 }</style></head><body>";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        line = Replace(line, "&", "&amp;");
        line = Replace(line, "<", "&lt;");
        line = Replace(line, ">", "&gt;");
        line = Replace(line, "$", "&#36;");
        line = Replace(line, " ", "&nbsp;");
        html += line.empty() ? "<div><br></div>\n" : "<div>" + line + "</div>\n";
        at = end + 1;
    }
    return html + "</body></html>\n";
}

// The exit status of a library result code.
int ExitStatusOf(int32_t code) {
    return code & 0xff;
}

class ToolMail : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        toolrun::MakeKeys(*folder_);
        ASSERT_FALSE(
            testsupport::WriteCurrentYearKey(folder_->File("keys/"), "martin", 65536, 0, 13)
                .empty());
        message1_ = Encrypt("dupont", kDocument1);
        message2_ = Encrypt("dupont", kDocument2);
        message3_ = Encrypt("dupont", kDocument3);
        messageOfMartin_ = Encrypt("martin", "lost\n");
        std::filesystem::remove(folder_->File("keys/Clefs/martin." + toolrun::kYear));
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    static std::string Encrypt(const std::string& user, const std::string& document) {
        const RunResult run =
            RunTool(folder_->path(), {"encrypt", "-u", user, "-k", "keys"}, document);
        EXPECT_EQ(run.status, 0) << run.err;
        return run.out;
    }

    // The line "--- message N of M: <sender key's comment> ---" for message.
    static std::string Heading(int number, int count, const std::string& message) {
        const size_t second = message.find('\n') + 1;
        const std::string comment = message.substr(second, message.find('\n', second) - second);
        return "--- message " + std::to_string(number) + " of " + std::to_string(count) + ": " +
               comment + " ---\n";
    }

    static TempDir* folder_;
    static std::string message1_;
    static std::string message2_;
    static std::string message3_;
    static std::string messageOfMartin_;
};

TempDir* ToolMail::folder_ = nullptr;
std::string ToolMail::message1_;
std::string ToolMail::message2_;
std::string ToolMail::message3_;
std::string ToolMail::messageOfMartin_;

struct MailForm {
    const char* name;
    std::function<std::string()> mail;
    std::function<std::string()> expected;  // the standard output
    int status;
    const char* errorHas;  // a text the standard error holds ("" for none expected)
};

TEST_F(ToolMail, EveryFormDecryptsFromAFileAndFromTheStandardInputAndAPipe) {
    using mailmaker::File;
    using mailmaker::Forwarded;
    using mailmaker::Mail;
    using mailmaker::Message;
    using mailmaker::Multi;
    using mailmaker::Text;
    const std::string& m1 = message1_;
    const std::string& m2 = message2_;
    const std::string& m3 = message3_;
    const std::string signature = "\n-- \nAnne, café du coin\n";
    const std::vector<MailForm> forms = {
        {"plain", [&] { return Mail(Text(m1)); }, [&] { return kDocument1; }, 0, ""},
        {"CR LF",
         [&] {
             return Replace(Mail(Text(m1, "plain", GMIME_CONTENT_ENCODING_7BIT)), "\n", "\r\n");
         },
         [&] { return kDocument1; }, 0, ""},
        {"quoted", [&] { return Mail(Text("Paul wrote:\n" + Quote(m1, "> "))); },
         [&] { return kDocument1; }, 0, ""},
        {"quoted twice", [&] { return Mail(Text("> Paul wrote:\n" + Quote(m1, "> > "))); },
         [&] { return kDocument1; }, 0, ""},
        {"quoted-printable",
         [&] {
             return Mail(Text(m1 + signature, "plain", GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE));
         },
         [&] { return kDocument1; }, 0, ""},
        {"base64",
         [&] { return Mail(Text(m1 + signature, "plain", GMIME_CONTENT_ENCODING_BASE64)); },
         [&] { return kDocument1; }, 0, ""},
        // Two letters, so that the headings show the key comments the soft breaks cut.
        {"format=flowed, space-stuffed",
         [&] {
             return Mail(Text(Flow(" indented\n" + m1 + "\n" + m2), "plain",
                              GMIME_CONTENT_ENCODING_DEFAULT, true));
         },
         [&] { return Heading(1, 2, m1) + kDocument1 + Heading(2, 2, m2) + kDocument2; }, 0, ""},
        {"HTML only", [&] { return Mail(Text(Html("Hello,\n" + m2), "html")); },
         [&] { return kDocument2; }, 0, ""},
        {"multipart/alternative",
         [&] {
             return Mail(
                 Multi("alternative", {Text(m1, "plain", GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE),
                                       Text(Html(m1), "html", GMIME_CONTENT_ENCODING_BASE64)}));
         },
         [&] { return kDocument1; }, 0, ""},
        {"forwarded message/rfc822",
         [&] {
             return Mail(Multi(
                 "mixed", {Text("See the letter below.\n"),
                           Forwarded(Message(Text(m1, "plain", GMIME_CONTENT_ENCODING_BASE64)))}));
         },
         [&] { return kDocument1; }, 0, ""},
        {".vlx attachment",
         [&] {
             return Mail(Multi("mixed", {Text("Here it is.\n"), File(m2, "lettre.vlx")}));
         },
         [&] { return kDocument2; }, 0, ""},
        {"mbox of three letters",
         [&] {
             return mailmaker::Mailbox({Mail(Text(m1)),
                                        Mail(Text(m2, "plain", GMIME_CONTENT_ENCODING_BASE64)),
                                        Mail(Text("From the desk of Anne:\n" + m3, "plain",
                                                  GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE))});
         },
         [&] {
             return Heading(1, 3, m1) + kDocument1 + Heading(2, 3, m2) + kDocument2 +
                    Heading(3, 3, m3) + kDocument3;
         },
         0, ""},
        {"thread quoting two earlier letters",
         [&] {
             return Mail(Text(m3 + "\nOn Monday Paul wrote:\n" +
                              Quote(m2 + "\nOn Sunday Anne wrote:\n" + Quote(m1, "> "), "> ")));
         },
         [&] {
             return Heading(1, 3, m3) + kDocument3 + Heading(2, 3, m2) + kDocument2 +
                    Heading(3, 3, m1) + kDocument1;
         },
         0, ""},
        // The shape is judged from the header block as a whole: a mail whose first bytes are
        // not a field still decodes (base64, so that its armour is not found as bare text),
        // and a bare armour under a line that looks like a field is not taken for a mail.
        {"byte order mark first",
         [&] { return "\xEF\xBB\xBF" + Mail(Text(m1, "plain", GMIME_CONTENT_ENCODING_BASE64)); },
         [&] { return kDocument1; }, 0, ""},
        {"empty line first",
         [&] { return "\n" + Mail(Text(m1, "plain", GMIME_CONTENT_ENCODING_BASE64)); },
         [&] { return kDocument1; }, 0, ""},
        {"field name of 90 characters",
         [&] {
             return "X-" + std::string(88, 'n') + ": long\n" +
                    Mail(Text(m1, "plain", GMIME_CONTENT_ENCODING_BASE64));
         },
         [&] { return kDocument1; }, 0, ""},
        {"bare armour under a subject line", [&] { return "Re: figures\n" + m1; },
         [&] { return kDocument1; }, 0, ""},
        {"bare armour under a lone field name", [&] { return "Note:\n" + m1; },
         [&] { return kDocument1; }, 0, ""},
        {"NUL byte in the body",
         [&] { return Replace(Mail(Text(m1 + "\nP.S.\n")), "P.S.", std::string("P.\0S.", 4)); },
         [&] { return kDocument1; }, 0, ""},
        {"key file missing among two good ones",
         [&] { return Mail(Text(m1 + "\n" + messageOfMartin_ + "\n" + m3)); },
         [&] { return Heading(1, 3, m1) + kDocument1 + Heading(3, 3, m3) + kDocument3; },
         ExitStatusOf(KeyNotFoundErr), "message 2 of 3: "},
    };
    for (const MailForm& form : forms) {
        SCOPED_TRACE(form.name);
        const std::string mail = form.mail();
        const std::string expected = form.expected();
        ASSERT_TRUE(toolrun::WriteText(folder_->File("saved.eml"), mail));
        const RunResult fromFile = RunTool(folder_->path(), {"decrypt", "-k", "keys", "saved.eml"});
        EXPECT_EQ(fromFile.status, form.status) << fromFile.err;
        EXPECT_EQ(toolrun::ReadText(folder_->File("saved.eml.txt")), expected);
        std::filesystem::remove(folder_->File("saved.eml.txt"));
        // A mail client hands the mail over through a pipe; a shell, from a file.
        for (const toolrun::Input kind : {toolrun::Input::kFile, toolrun::Input::kPipe}) {
            SCOPED_TRACE(kind == toolrun::Input::kPipe ? "through a pipe" : "from a file");
            const RunResult fromInput =
                RunTool(folder_->path(), {"decrypt", "-k", "keys"}, mail, "", kind);
            EXPECT_EQ(fromInput.status, form.status) << fromInput.err;
            EXPECT_EQ(fromInput.out, expected);
            if (*form.errorHas == '\0') {
                EXPECT_EQ(fromInput.err, "");
            } else {
                EXPECT_NE(fromInput.err.find(form.errorHas), std::string::npos) << fromInput.err;
                EXPECT_NE(fromInput.err.find("martin." + toolrun::kYear), std::string::npos)
                    << fromInput.err;
            }
        }
        std::filesystem::remove(folder_->File("saved.eml"));
    }
}

TEST_F(ToolMail, FirstKeepsTheSingleDocumentOutput) {
    const std::string thread =
        mailmaker::Mail(mailmaker::Text(message3_ + "\nOn Monday:\n" + Quote(message1_, "> ")));
    const RunResult run = RunTool(folder_->path(), {"decrypt", "-k", "keys", "--first"}, thread);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kDocument3);
}

TEST_F(ToolMail, RecipientsOfEveryLetterInTheirUsualForm) {
    const RunResult encrypted =
        RunTool(folder_->path(), {"encrypt", "-u", "dupont", "-k", "keys", "--to", "helene@x.org"},
                "for Helene\n");
    ASSERT_EQ(encrypted.status, 0) << encrypted.err;
    const std::string box = mailmaker::Mailbox({mailmaker::Mail(mailmaker::Text(encrypted.out)),
                                                mailmaker::Mail(mailmaker::Text(message1_))});
    const RunResult run = RunTool(folder_->path(), {"decrypt", "-k", "keys", "--recipients"}, box);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "to: helene@x.org\ncc: \nbcc: \nto: \ncc: \nbcc: \n");
}

TEST_F(ToolMail, AMailWithoutArmourIsAnErrorAndWritesNothing) {
    const std::string mail = mailmaker::Mail(mailmaker::Text("Nothing encrypted here.\n"));
    ASSERT_TRUE(toolrun::WriteText(folder_->File("empty.eml"), mail));
    const RunResult run = RunTool(folder_->path(), {"decrypt", "-k", "keys", "empty.eml"});
    EXPECT_EQ(run.status, ExitStatusOf(kPbErr));
    EXPECT_NE(run.err.find("empty.eml"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(folder_->File("empty.eml.txt")));
    std::filesystem::remove(folder_->File("empty.eml"));
}

// The display filter changes the armours it decrypts and nothing else: quoted armours become
// quoted documents, an armour it cannot decrypt stays byte for byte with a line saying why, and
// the text around (CR LF line ends, a last line without its end) passes as it is.
TEST_F(ToolMail, InlineReplacesArmoursAndKeepsEveryOtherByte) {
    std::string broken = Replace(message2_, "\n", "\r\n");
    const size_t inArmour = broken.find("#BINASCII1#") + 11 + 2 + 20;
    broken[inArmour] = broken[inArmour] == 'A' ? 'B' : 'A';
    const std::string before = "Subject: re: the meeting\r\n\r\nPaul wrote:\n";
    const std::string middle = "> \n> Regards\n\nMy answer:\n";
    const std::string input = before + Quote(message1_, "> ") + middle + message3_ + "\r\n" +
                              broken + "Last line without its end";
    const RunResult run = RunTool(folder_->path(), {"decrypt", "--inline", "-k", "keys"}, input);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string kept =
        before + Quote(kDocument1, "> ") + middle + kDocument3 + "\r\n" + broken;
    ASSERT_EQ(run.out.substr(0, kept.size()), kept);
    const std::string rest = run.out.substr(kept.size());
    EXPECT_EQ(rest.compare(0, 31, "[veldoran-tool: not decrypted: "), 0) << rest;
    const size_t lineEnd = rest.find("]\r\n");
    ASSERT_NE(lineEnd, std::string::npos) << rest;
    EXPECT_EQ(rest.find('\n'), lineEnd + 2) << "one line for the failure";
    EXPECT_EQ(rest.substr(lineEnd + 3), "Last line without its end");
}

TEST_F(ToolMail, InlineNamesTheMissingKeyFileAndStillExitsZero) {
    const std::string input = Quote(messageOfMartin_, "> ");
    const RunResult run = RunTool(folder_->path(), {"decrypt", "--inline", "-k", "keys"}, input);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.substr(0, input.size()), input);
    EXPECT_EQ(run.out.compare(input.size(), 33, "> [veldoran-tool: not decrypted: "), 0) << run.out;
    EXPECT_EQ(run.out.find('\n', input.size()), run.out.size() - 1) << run.out;
    EXPECT_NE(run.out.find("martin." + toolrun::kYear, input.size()), std::string::npos) << run.out;
}

TEST_F(ToolMail, InlineTakesNoFileAndNoOutput) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"decrypt", "--inline", "mail.eml"},
          std::vector<std::string>{"decrypt", "--inline", "-o", "out.txt"}}) {
        const RunResult run = RunTool(folder_->path(), arguments, message1_);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// A part nested depth levels deep in multiparts, holding text.
GMimeObject* Nested(int depth, const std::string& text) {
    GMimeObject* part = mailmaker::Text(text);
    for (int level = 0; level < depth; ++level) {
        part = mailmaker::Multi("mixed", {part});
    }
    return part;
}

struct BadMail {
    const char* name;
    std::function<std::string()> mail;
    int status;
    bool decrypts;          // the standard output is the first letter's document
    const char* errorHas;   // "" when the standard error stays empty
    size_t errorLines = 1;  // lines on the standard error when errorHas is set
};

// Mails come from strangers: none of these may crash the reader, hang it or read outside the
// input; each decrypts what can be found or says in one line what it passed over.
TEST_F(ToolMail, BrokenMailsGiveOneLineOrAreSkipped) {
    using mailmaker::Mail;
    using mailmaker::Text;
    const std::string& m1 = message1_;
    const int noArmour = ExitStatusOf(kPbErr);
    const std::vector<BadMail> mails = {
        {"broken boundary",
         [&] {
             return Replace(Mail(mailmaker::Multi("mixed", {Text("a\n"), Text(m1)})), "boundary=\"",
                            "boundary=\"x");
         },
         0, true, ""},
        {"truncated base64",
         [&] {
             const std::string whole = Mail(Text(m1, "plain", GMIME_CONTENT_ENCODING_BASE64));
             return whole.substr(0, whole.size() / 2);
         },
         noArmour, false, "no"},
        {"invalid quoted-printable",
         [&] { return "Content-Transfer-Encoding: quoted-printable\n\n=ZZ=\n=4" + m1 + "=G=\n"; },
         0, true, ""},
        {"part without headers",
         [&] {
             return "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\n" + m1 +
                    "\n--b--\n";
         },
         0, true, ""},
        {"10 000 parts",
         [&] {
             std::vector<GMimeObject*> parts;
             for (int k = 0; k < 10000; ++k) {
                 parts.push_back(Text("part " + std::to_string(k) + "\n"));
             }
             parts.push_back(Text(m1));
             return Mail(mailmaker::Multi("mixed", parts));
         },
         0, true, ""},
        {"nesting 100 deep", [&] { return Mail(Nested(100, m1)); }, 0, true, ""},
        // The part passed over, then the mail found empty.
        {"nesting 1000 deep", [&] { return Mail(Nested(1000, m1)); }, noArmour, false, "nested", 2},
        {"a 1 MB header line", [&] { return "X-Long: " + std::string(1 << 20, 'h') + "\n\n" + m1; },
         0, true, ""},
        {"NUL bytes around the armour",
         [&] {
             return std::string("Subject: nul\nContent-Transfer-Encoding: 8bit\n\n\0\0x\n", 48) +
                    m1 + std::string("\0", 1);
         },
         0, true, ""},
        {"NUL byte inside the armour",
         [&] {
             std::string text = "Subject: nul\nContent-Transfer-Encoding: 8bit\n\n" + m1;
             text[text.find("#BINASCII1#") + 20] = '\0';
             return text;
         },
         noArmour, false, "standard input"},
        {"unknown charset",
         [&] { return "Content-Type: text/plain; charset=x-nobody-knows\n\n" + m1; }, 0, true,
         "charset x-nobody-knows unknown"},
    };
    for (const BadMail& bad : mails) {
        SCOPED_TRACE(bad.name);
        const RunResult run = RunTool(folder_->path(), {"decrypt", "-k", "keys"}, bad.mail());
        EXPECT_EQ(run.status, bad.status) << run.err;
        EXPECT_EQ(run.out, bad.decrypts ? kDocument1 : "");
        if (*bad.errorHas == '\0') {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(bad.errorHas), std::string::npos) << run.err;
            EXPECT_EQ(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')),
                      bad.errorLines)
                << run.err;
            EXPECT_EQ(run.err.back(), '\n');
        }
    }
}

// The line above each letter names the key that decrypted it, from its frame: a key comment
// line, which anyone can edit, is shown only where it names that key, and where it names
// another the line says so rather than show the letter as that key's.
TEST_F(ToolMail, TheHeadingNamesTheKeyThatDecryptedTheLetter) {
    ASSERT_FALSE(
        testsupport::WriteCurrentYearKey(folder_->File("keys/"), "leroy", 65536, 0, 14).empty());
    const std::string ofLeroy = Encrypt("leroy", "from leroy\n");
    const std::string key = "." + toolrun::kYear;
    const std::string& file = key;
    const size_t second = message1_.find('\n') + 1;
    const std::string dupontComment =
        message1_.substr(second, message1_.find('\n', second) - second);
    const size_t leroySecond = ofLeroy.find('\n') + 1;
    const std::string posing = ofLeroy.substr(0, leroySecond) + dupontComment +
                               ofLeroy.substr(ofLeroy.find('\n', leroySecond));
    const std::string bare = message2_.substr(message2_.find("#BINASCII1#"));
    const std::string leroyComment =
        ofLeroy.substr(leroySecond, ofLeroy.find('\n', leroySecond) - leroySecond);
    const std::string edited = Replace(ofLeroy, "leroy" + key, "leroy\x1b]0;x\x07" + key);
    struct Heading2 {
        const char* name;
        std::string second;    // the second letter of the mail
        std::string expected;  // its heading and document
    };
    const std::vector<Heading2> cases = {
        {"comment line agrees", message2_, Heading(2, 2, message2_) + kDocument2},
        {"comment line of another key", posing,
         "--- message 2 of 2: key leroy" + file + " (the comment line above it says \"" +
             dupontComment + "\"; the key is leroy's) ---\nfrom leroy\n"},
        {"comment line with escapes", edited,
         "--- message 2 of 2: key leroy" + file + " (the comment line above it says \"" +
             Replace(leroyComment, "leroy" + key, "leroy\\x1b]0;x\\x07" + key) +
             "\"; the key is leroy's) ---\nfrom leroy\n"},
        {"no comment line", bare,
         "--- message 2 of 2: key dupont" + file + " (no key comment line above it) ---\n" +
             kDocument2},
    };
    for (const Heading2& row : cases) {
        SCOPED_TRACE(row.name);
        const RunResult run =
            RunTool(folder_->path(), {"decrypt", "-k", "keys"},
                    mailmaker::Mail(mailmaker::Text(message1_ + "\n" + row.second)));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, Heading(1, 2, message1_) + kDocument1 + row.expected);
    }
    std::filesystem::remove(folder_->File("keys/Clefs/leroy." + toolrun::kYear));
}

}  // namespace
