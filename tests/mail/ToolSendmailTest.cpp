// veldoran-tool sendmail with a stand-in for the real sendmail (a script that saves its standard
// input and its arguments and exits with a chosen status): what leaves holds nothing in clear and
// decrypts to the letter and the attachments; a mail that cannot leave so leaves not at all, and
// spends no key material.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "mail/MailMaker.h"
#include "mail/MailText.h"
#include "shell/ToolRun.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;
using toolrun::ReadText;
using toolrun::RunResult;
using toolrun::RunTool;

const std::string kLetter = "Dear Paul,\nGrüße aus Köln: the façade is done, à bientôt!\nAnne\n";

// A mail as a client writes it for its sendmail: the header fields, an empty line, the body.
std::string RawMail(const std::string& fields, const std::string& body,
                    const std::string& type = "text/plain; charset=utf-8") {
    return "From: Anne Dupont <anne@example.org>\n" + fields +
           "Subject: Plans\nDate: Thu, 10 Dec 2026 10:00:00 +0000\n"
           "Message-ID: <1@example.org>\nMIME-Version: 1.0\nContent-Type: " +
           type + "\nContent-Transfer-Encoding: 8bit\n\n" + body;
}

// text with every line end as CR LF, as some clients hand mails over.
std::string CrLf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

// What a stand-in received, taken apart and decrypted with the library.
struct Delivered {
    std::string raw;
    std::string args;  // its arguments, one a line
    std::map<std::string, std::string> fields;
    std::string letter;                        // the armour's document
    std::string tail;                          // its recipient block
    std::map<std::string, std::string> files;  // the container's entries by name
    std::string problem;                       // "" when it could all be read
};

std::string Field(GMimeObject* object, const char* name) {
    const char* value = g_mime_object_get_header(object, name);
    return value != nullptr ? value : "<none>";
}

Delivered ReadDelivered(const std::string& folder) {
    Delivered out;
    out.raw = ReadText(folder + "sent.eml");
    out.args = ReadText(folder + "sent.eml.args");
    mailmaker::Init();
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(out.raw.data(), out.raw.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    g_object_unref(stream);
    if (message == nullptr) {
        out.problem = "not a mail";
        return out;
    }
    for (const char* name : {"From", "To", "Cc", "Bcc", "Subject", "Date", "Message-ID",
                             "In-Reply-To", "References", "X-Mailer"}) {
        out.fields[name] = Field(GMIME_OBJECT(message), name);
    }
    GMimeObject* body = g_mime_message_get_mime_part(message);
    GMimeObject* text = body;
    GMimeObject* vlb = nullptr;
    if (GMIME_IS_MULTIPART(body)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(body);
        text = g_mime_multipart_get_part(multipart, 0);
        if (g_mime_multipart_get_count(multipart) != 2) {
            out.problem = "a multipart of " +
                          std::to_string(g_mime_multipart_get_count(multipart)) + " parts";
        } else {
            vlb = g_mime_multipart_get_part(multipart, 1);
        }
    }
    char* armour = g_mime_text_part_get_text(GMIME_TEXT_PART(text));
    char* document = nullptr;
    char* tail = nullptr;
    const std::string keys = folder + "keys/";
    if (decrypterMem3(armour, &document, keys.c_str(), &tail) != kNoErr) {
        out.problem = "the letter does not decrypt";
    } else {
        out.letter = document;
        out.tail = tail;
    }
    g_free(armour);
    free(document);
    free(tail);
    if (vlb != nullptr) {
        const char* name = g_mime_part_get_filename(GMIME_PART(vlb));
        if (name == nullptr || std::string(name) != "attachments.vlb" ||
            g_mime_part_get_content_encoding(GMIME_PART(vlb)) != GMIME_CONTENT_ENCODING_BASE64) {
            out.problem = "the attachment is not attachments.vlb in base64";
        }
        GByteArray* array = g_byte_array_new();
        GMimeStream* decoded = g_mime_stream_mem_new_with_byte_array(array);
        g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(vlb)), decoded);
        unsigned char* container = nullptr;
        uint32_t length = 0;
        if (decrypterbinaireMem2(array->data, array->len, &container, &length, keys.c_str(), 0) !=
            kNoErr) {
            out.problem = "attachments.vlb does not decrypt";
        } else {
            TypUtilsUnix utils;
            utils.InitCreate(nullptr);
            TypPieceJointe pieces;
            pieces.InitCreate(&utils);
            if (pieces.LoadStruct(container, static_cast<int32_t>(length)) != kNoErr ||
                pieces.GetFormat() != kformatLZOcompresse) {
                out.problem = "attachments.vlb holds no LZO container";
            }
            for (int32_t i = 0; i < pieces.GetNbFiles(); ++i) {
                const char* entry = nullptr;
                unsigned char* data = nullptr;
                int32_t size = 0;
                pieces.GetNameN(i, &entry, nullptr);
                pieces.GetDataN(i, &data, &size);
                out.files[entry] = std::string(reinterpret_cast<char*>(data), size);
            }
            pieces.Kill();
        }
        free(container);
        g_object_unref(decoded);
    }
    g_object_unref(message);
    return out;
}

class ToolSendmail : public ::testing::Test {
  protected:
    void SetUp() override {
        toolrun::MakeKeys(folder_);
        ASSERT_TRUE(toolrun::WriteText(folder_.File("stand-in"),
                                       "#!/bin/sh\nprintf '%s\\n' \"$@\" > sent.eml.args\n"
                                       "cat > sent.eml\nexit $(cat status)\n"));
        ASSERT_TRUE(toolrun::WriteText(folder_.File("status"), "0"));
        std::filesystem::permissions(folder_.File("stand-in"), std::filesystem::perms::owner_all);
    }

    // sendmail as dupont with the options given, the stand-in behind "--" with args, exiting
    // with status (which it reads from a file, so that its arguments are the client's alone).
    RunResult Send(const std::string& mail, std::vector<std::string> options = {},
                   const std::string& status = "0", std::vector<std::string> args = {}) {
        EXPECT_TRUE(toolrun::WriteText(folder_.File("status"), status));
        std::vector<std::string> arguments = {"sendmail", "-u", "dupont", "-k", "keys"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {"--", "./stand-in"});
        arguments.insert(arguments.end(), args.begin(), args.end());
        return RunTool(folder_.path(), arguments, mail);
    }

    bool Sent() { return std::filesystem::exists(folder_.File("sent.eml")); }

    std::string Keys() {
        return ReadText(folder_.File(toolrun::kMasterPath)) +
               ReadText(folder_.File(toolrun::kUserPath));
    }

    TempDir folder_;
};

struct Case {
    const char* name;
    std::string mail;
    std::vector<std::string> options;
    std::string letter;                        // the document it decrypts to
    std::string tail;                          // its recipient block
    std::map<std::string, std::string> files;  // the container's entries
    std::string subject;                       // the Subject field that leaves
};

// Every mail that can leave encrypted: the letter and the attachments come back whole, the
// recipient block holds To and Cc, and nothing of them stands in clear in what left.
TEST_F(ToolSendmail, WhatLeavesDecryptsToTheLetterAndTheAttachments) {
    using mailmaker::File;
    using mailmaker::Mail;
    using mailmaker::Multi;
    using mailmaker::Text;
    std::string binary;
    for (int i = 0; i < 4096; ++i) {
        binary.push_back(static_cast<char>(i * 7 % 256));
    }
    const std::string block = "#DESTBEGIN#paul@example.org,,#DESTEND#";
    const std::vector<Case> cases = {
        {"plain",
         RawMail("To: Paul <paul@example.org>\n", kLetter),
         {},
         kLetter,
         block,
         {},
         "Plans"},
        {"To, Cc and Bcc",
         RawMail("To: paul@example.org, Marie <marie@example.org>\nCc: Team: luc@example.org;\n"
                 "Bcc: secret@example.org\n",
                 kLetter),
         {},
         kLetter,
         "#DESTBEGIN#paul@example.org; marie@example.org,luc@example.org,#DESTEND#",
         {},
         "Plans"},
        {"CR LF",
         CrLf(RawMail("To: paul@example.org\n", kLetter)),
         {},
         kLetter,
         block,
         {},
         "Plans"},
        {"no To",
         RawMail("Bcc: paul@example.org\n", kLetter),
         {},
         kLetter,
         "#DESTBEGIN#,,#DESTEND#",
         {},
         "Plans"},
        {"empty body", RawMail("To: paul@example.org\n", ""), {}, "", block, {}, "Plans"},
        {"8-bit header fields",
         "To: Paul Müller <paul@example.org>\nSubject: Grüße für Köln\n\n" + kLetter,
         {},
         kLetter,
         block,
         {},
         "Grüße für Köln"},
        {"format=flowed",
         RawMail("To: paul@example.org\n", "Dear Paul, this line goes \non.\n> quoted \n> too\n",
                 "text/plain; charset=utf-8; format=flowed"),
         {},
         "Dear Paul, this line goes on.\n> quoted too\n",
         block,
         {},
         "Plans"},
        {"quoted-printable Latin-1",
         "To: paul@example.org\nSubject: Plans\nMIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=iso-8859-1\n"
         "Content-Transfer-Encoding: quoted-printable\n\nGr=FC=DFe\n",
         {},
         "Grüße\n",
         block,
         {},
         "Plans"},
        // Not UTF-8: taken as the system's text form already.
        {"8-bit letter without a charset",
         RawMail("To: paul@example.org\n",
                 "Gr\xfc\xdf"
                 "e\n",
                 "text/plain"),
         {},
         "Grüße\n",
         block,
         {},
         "Plans"},
        {"--hide-subject",
         RawMail("To: paul@example.org\n", kLetter),
         {"--hide-subject"},
         "Subject: Plans\n\n" + kLetter,
         block,
         {},
         "..."},
        {"attachments, their names made safe, one without a name",
         Mail(Multi("mixed", {Text(kLetter), File(binary, "../evil\x01name.bin"),
                              File("one", "same.txt", "text", "plain"),
                              File("two", "same.txt", "text", "plain"), File("..", "..")})),
         {},
         kLetter,
         block,
         {{"evil_name.bin", binary}, {"same.txt", "one"}, {"same-2.txt", "two"}, {"part-4", ".."}},
         "letter"},
        {"the HTML alternative dropped",
         Mail(Multi("mixed", {Multi("alternative", {Text(kLetter), Text("<p>Dear</p>", "html")}),
                              File(binary, "plan.bin")})),
         {},
         kLetter,
         block,
         {{"plan.bin", binary}},
         "letter"},
        {"no text body",
         Mail(Multi("mixed", {File(binary, "plan.bin")})),
         {},
         "",
         block,
         {{"plan.bin", binary}},
         "letter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(folder_.File("sent.eml"));
        const RunResult run = Send(c.mail, c.options);
        ASSERT_EQ(run.status, 0) << run.err;
        const Delivered sent = ReadDelivered(folder_.path());
        ASSERT_EQ(sent.problem, "") << sent.raw;
        EXPECT_EQ(veldoran::DocumentForReading(sent.letter), c.letter);
        EXPECT_EQ(sent.tail, c.tail);
        EXPECT_EQ(sent.files, c.files);
        EXPECT_EQ(sent.fields.at("Subject"), c.subject);
        EXPECT_EQ(sent.fields.at("Bcc"), "<none>");
        const std::string body = sent.raw.substr(sent.raw.find("\n\n"));
        for (const char* clear : {"Dear Paul", "Köln", "<p>", "plan.bin", "same.txt", "evil"}) {
            EXPECT_EQ(body.find(clear), std::string::npos) << clear << " in clear:\n" << body;
        }
        if (c.subject == "...") {
            EXPECT_EQ(sent.raw.find("Plans"), std::string::npos) << sent.raw;
        }
    }
}

// Bytes that LZO cannot shrink, as a string.
std::string RandomContent(size_t count) {
    const std::vector<unsigned char> bytes = testsupport::RandomBytes(count, 5);
    return std::string(bytes.begin(), bytes.end());
}

struct Refusal {
    const char* name;
    std::string mail;
    std::vector<std::string> options;
    std::string command;  // "" for the stand-in
    int status;
    const char* errorHas;
    const char* user = "dupont";
};

// A mail that cannot leave with nothing in clear, keys that cannot be used, a COMMAND that
// cannot run: one line says why, the status is not 0, the stand-in never runs and the key
// files are as they were.
TEST_F(ToolSendmail, ARefusedMailIsNotSentAndSpendsNothing) {
    using mailmaker::File;
    using mailmaker::Mail;
    using mailmaker::Multi;
    using mailmaker::Text;
    const std::string plain = RawMail("To: paul@example.org\n", kLetter);
    // Past the 64 KiB keys: the message would wrap both.
    const std::string wrapping = RawMail("To: paul@example.org\n", std::string(70000, 'a'));
    const std::vector<Refusal> refusals = {
        {"HTML only", Mail(Text("<p>Dear Paul</p>", "html")), {}, "", 255, "without a text/plain"},
        {"HTML and an attachment",
         Mail(Multi("mixed", {Text("<p>Dear Paul</p>", "html"), File("x", "plan.bin")})),
         {},
         "",
         255,
         "without a text/plain"},
        {"a part held elsewhere",
         Mail(Multi("mixed", {Text(kLetter), File("", "x", "message", "external-body")})),
         {},
         "",
         255,
         "message/external-body"},
        {"a letter outside Windows-1252",
         RawMail("To: paul@example.org\n", "Καλημέρα\n"),
         {},
         "",
         255,
         "U+039A"},
        {"a NUL in the letter",
         RawMail("To: paul@example.org\n", std::string("a\0b\n", 4)),
         {},
         "",
         255,
         "NUL"},
        {"not a mail", "\n\nDear Paul\n", {}, "", 255, "not a mail"},
        {"the sender's key missing", plain, {}, "", 213, "nobody", "nobody"},
        {"--no-reuse and a key that would wrap", wrapping, {"--no-reuse"}, "", 3, "wrap"},
        // Refusals that only the letter's own encryption finds: the attachments must not have
        // been encrypted by then.
        {"a letter holding the recipient marker, and an attachment",
         Mail(Multi("mixed", {Text("See #DESTBEGIN# there.\n"), File("plan", "plan.txt")})),
         {},
         "",
         240,
         "#DESTBEGIN#"},
        {"--no-reuse and a letter and attachments that only together would wrap",
         Mail(Multi("mixed", {Text(std::string(40000, 'a') + "\n"),
                              File(RandomContent(30000), "noise.bin")})),
         {"--no-reuse"},
         "",
         3,
         "wrap"},
        {"COMMAND not found", plain, {}, "no-such-sendmail", 127, "nothing encrypted"},
        {"COMMAND not a program", plain, {}, "./keys", 127, "nothing encrypted"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove(folder_.File("sent.eml"));
        const std::string keys = Keys();
        std::vector<std::string> arguments = {"sendmail", "-u", r.user, "-k", "keys"};
        arguments.insert(arguments.end(), r.options.begin(), r.options.end());
        arguments.insert(arguments.end(), {"--", r.command.empty() ? "./stand-in" : r.command});
        const RunResult run = RunTool(folder_.path(), arguments, r.mail);
        EXPECT_EQ(run.status, r.status) << run.err;
        EXPECT_NE(run.err.find(r.errorHas), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(Sent());
        EXPECT_TRUE(Keys() == keys) << "key material spent";
    }
}

// sendmail spends key material like encrypt, so it is held to the key journal like encrypt: a
// key folder put back as it was before a mail left is refused, and nothing is sent.
TEST_F(ToolSendmail, AKeyFolderThatWentBackInTimeIsRefusedAndNothingIsSent) {
    const std::string mail = RawMail("To: paul@example.org\n", kLetter);
    const std::string master = ReadText(folder_.File(toolrun::kMasterPath));
    const std::string user = ReadText(folder_.File(toolrun::kUserPath));
    ASSERT_EQ(Send(mail).status, 0);
    std::filesystem::remove(folder_.File("sent.eml"));
    ASSERT_TRUE(toolrun::WriteText(folder_.File(toolrun::kMasterPath), master));
    ASSERT_TRUE(toolrun::WriteText(folder_.File(toolrun::kUserPath), user));

    const RunResult run = Send(mail);
    EXPECT_EQ(run.status, 239) << run.err;
    EXPECT_NE(run.err.find("key check"), std::string::npos) << run.err;
    EXPECT_FALSE(Sent());
    EXPECT_EQ(Keys(), master + user);
}

// The letter travels in the system's text form (Windows-1252); the display filter and open
// show it as the UTF-8 it was written in, every letter of it (ß and É have UTF-8 bytes that the
// text form's table would otherwise turn into others).
TEST_F(ToolSendmail, TheRecipientReadsTheLetterAsWritten) {
    const std::string letter = "Grüße, Élodie: ½ € œ — «à bientôt»\n";
    ASSERT_EQ(Send(RawMail("To: paul@example.org\n", letter)).status, 0);
    const std::string sent = ReadText(folder_.File("sent.eml"));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"decrypt", "--inline", "-k", "keys"},
          std::vector<std::string>{"open", "-k", "keys"}}) {
        SCOPED_TRACE(command.front());
        const RunResult run = RunTool(folder_.path(), command, sent);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(letter), std::string::npos) << run.out;
    }
}

// decrypt --recipients reads the block's last two comma-separated fields as Cc and Bcc: the
// addresses of a list are joined without a comma, so that two Cc addresses stay Cc.
TEST_F(ToolSendmail, TheRecipientsReadBackAsToAndCc) {
    const std::string mail = RawMail(
        "To: paul@example.org, marie@example.org\nCc: luc@example.org, Eve <eve@example.org>\n"
        "Bcc: secret@example.org\n",
        kLetter);
    ASSERT_EQ(Send(mail).status, 0);
    const RunResult run = RunTool(folder_.path(), {"decrypt", "--recipients", "-k", "keys"},
                                  ReadText(folder_.File("sent.eml")));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err,
              "to: paul@example.org; marie@example.org\ncc: luc@example.org; eve@example.org\n"
              "bcc: \n");
}

// Once COMMAND runs the keys are spent: its failure is the tool's status, and the line says
// the mail may not have left.
TEST_F(ToolSendmail, AFailingCommandGivesItsStatusAndSaysTheMailMayNotHaveLeft) {
    const std::string keys = Keys();
    const RunResult run = Send(RawMail("To: paul@example.org\n", kLetter), {}, "75");
    EXPECT_EQ(run.status, 75);
    EXPECT_NE(run.err.find("may not have left"), std::string::npos) << run.err;
    EXPECT_TRUE(Sent());
    EXPECT_FALSE(Keys() == keys);
}

// Bcc leaves the header for a sendmail that takes the recipients as arguments (the client
// puts them there, and the stand-in sees them unchanged); a sendmail -t reads them from the
// header and gets the field.
TEST_F(ToolSendmail, BccStaysOnlyForASendmailThatReadsTheHeader) {
    const std::string mail = RawMail(
        "To: paul@example.org\nBcc: secret@example.org\nIn-Reply-To: <0@example.org>\n"
        "References: <00@example.org> <0@example.org>\nX-Mailer: neomutt\n",
        kLetter);
    RunResult run = Send(mail, {}, "0", {"-oi", "--", "paul@example.org", "secret@example.org"});
    ASSERT_EQ(run.status, 0) << run.err;
    Delivered sent = ReadDelivered(folder_.path());
    EXPECT_EQ(sent.fields.at("Bcc"), "<none>");
    EXPECT_EQ(sent.raw.find("secret"), std::string::npos);
    EXPECT_EQ(sent.args, "-oi\n--\npaul@example.org\nsecret@example.org\n");
    EXPECT_EQ(sent.fields.at("Message-ID"), "<1@example.org>");
    EXPECT_EQ(sent.fields.at("Date"), "Thu, 10 Dec 2026 10:00:00 +0000");
    EXPECT_EQ(sent.fields.at("In-Reply-To"), "<0@example.org>");
    EXPECT_EQ(sent.fields.at("References"), "<00@example.org> <0@example.org>");
    EXPECT_EQ(sent.fields.at("X-Mailer"), "neomutt");

    run = Send(mail, {}, "0", {"-oi", "-t"});
    ASSERT_EQ(run.status, 0) << run.err;
    sent = ReadDelivered(folder_.path());
    EXPECT_EQ(sent.fields.at("Bcc"), "secret@example.org");
    EXPECT_EQ(sent.tail, "#DESTBEGIN#paul@example.org,,#DESTEND#");
}

// Bcc and Resent-Bcc, in any case, leave the header for a sendmail that takes the recipients as
// arguments (the client puts them there); a sendmail that reads the recipients from the header
// (-t in any spelling, msmtp's --read-recipients) gets every one of them and removes them itself.
// The client's arguments reach it unchanged, and no blind copy enters the recipient block.
TEST_F(ToolSendmail, EveryBlindCopyFieldLeavesUnlessTheCommandReadsTheHeader) {
    const std::vector<std::string> blind = {
        "Bcc: one@example.org",          "BCC: two@example.org",
        "Resent-Bcc: three@example.org", "RESENT-BCC: four@example.org",
        "resent-bcc: five@example.org",
    };
    std::string fields = "To: paul@example.org\n";
    for (const std::string& field : blind) {
        fields += field + "\n";
    }
    const std::string mail = RawMail(fields, kLetter);
    enum Blind { kRemoved, kKept, kRefused };
    const struct {
        std::vector<std::string> args;  // the client's, for the real sendmail
        Blind blind;
    } cases[] = {
        {{}, kRemoved},
        {{"-oi", "--", "paul@example.org", "one@example.org"}, kRemoved},
        {{"-t"}, kKept},
        {{"-oi", "-t"}, kKept},
        {{"-ti"}, kKept},
        {{"-it"}, kKept},
        {{"-tif", "anne@example.org"}, kKept},
        {{"-fanne@example.org", "-t"}, kKept},
        {{"-F", "Anne Dupont", "-bm", "-t"}, kKept},
        {{"--from", "anne@example.org", "-t"}, kKept},  // msmtp: a long option's value
        // Postfix and Exim take a -t behind a recipient for an address, sendmail and msmtp for
        // the option: the one would send Bcc to everyone, the other to no one.
        {{"-v", "paul@example.org", "-t"}, kRefused},
        {{"--read-recipients"}, kKept},  // msmtp
        {{"--read-rec"}, kKept},         // msmtp takes a long option's unique beginning
        // Letters behind one that takes a value are that value: address test mode, the option
        // i set to t, a sender named -t.
        {{"-bt"}, kRemoved},
        {{"-oit"}, kRemoved},
        {{"-f", "-t"}, kRemoved},
        {{"--read-envelope-from"}, kRemoved},
        {{"--", "-t"}, kRemoved},
    };
    for (const auto& c : cases) {
        std::string args;
        for (const std::string& arg : c.args) {
            args += arg + "\n";
        }
        SCOPED_TRACE(args);
        std::filesystem::remove(folder_.File("sent.eml"));
        const std::string keys = Keys();
        const RunResult run = Send(mail, {}, "0", c.args);
        if (c.blind == kRefused) {
            EXPECT_EQ(run.status, 2);
            EXPECT_NE(run.err.find("put -t before the recipients"), std::string::npos) << run.err;
            EXPECT_FALSE(Sent());
            EXPECT_TRUE(Keys() == keys) << "key material spent";
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        const Delivered sent = ReadDelivered(folder_.path());
        ASSERT_EQ(sent.problem, "") << sent.raw;
        EXPECT_EQ(sent.args, c.args.empty() ? "\n" : args);
        EXPECT_EQ(sent.tail, "#DESTBEGIN#paul@example.org,,#DESTEND#");
        const std::string header = sent.raw.substr(0, sent.raw.find("\n\n") + 1);
        for (const std::string& field : blind) {
            if (c.blind == kKept) {
                EXPECT_NE(header.find(field + "\n"), std::string::npos) << header;
            } else {
                EXPECT_EQ(sent.raw.find(field.substr(field.find(' ') + 1)), std::string::npos)
                    << sent.raw;
            }
        }
    }
}

// The program's own options (the journal, the charset, the trace) stand before sendmail or among
// its options; a word that is the value of one is never taken for COMMAND.
TEST_F(ToolSendmail, TheProgramsOptionsStandBeforeOrAfterTheSubcommand) {
    const std::string journal = folder_.File("named-journal");
    const struct {
        const char* label;
        std::vector<std::string> before, after;
        bool named;  // the journal is the one named
        const char* errHas;
    } cases[] = {
        {"--journal before", {"--journal", journal}, {}, true, ""},
        {"--journal after", {}, {"--journal", journal}, true, ""},
        {"--journal= after", {}, {"--journal=" + journal}, true, ""},
        {"--no-journal before", {"--no-journal"}, {}, false, "--no-journal"},
        {"--no-journal after", {}, {"--no-journal"}, false, "--no-journal"},
        {"--charset before", {"--charset", "UTF-8"}, {}, false, ""},
        {"--charset after", {}, {"--charset", "UTF-8"}, false, ""},
        {"all of them around it",
         {"--trace", "--journal", journal},
         {"--charset", "UTF-8", "--trace"},
         true,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove(journal);
        std::filesystem::remove(folder_.File("sent.eml"));
        std::vector<std::string> arguments = c.before;
        arguments.push_back("sendmail");
        arguments.insert(arguments.end(), c.after.begin(), c.after.end());
        arguments.insert(arguments.end(), {"-u", "dupont", "-k", "keys", "./stand-in", "-oi"});
        const RunResult run =
            RunTool(folder_.path(), arguments, RawMail("To: paul@example.org\n", kLetter));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
        const Delivered sent = ReadDelivered(folder_.path());
        EXPECT_EQ(sent.problem, "");
        EXPECT_EQ(sent.args, "-oi\n");
        EXPECT_EQ(std::filesystem::exists(journal), c.named);
    }
}

// The recipient block escapes nothing: Cc and Bcc are read back as its last two comma-separated
// fields, up to the first end marker. Every mail reads back as sent, or is refused with one line
// before anything is spent.
TEST_F(ToolSendmail, TheRecipientBlockReadsBackAsSentOrTheMailIsRefused) {
    const struct {
        const char* label;
        std::string fields;
        std::string shown;  // what decrypt --recipients shows; "" when the mail is refused
    } cases[] = {
        {"a quoted comma in To", "To: \"a,b\"@example.org, paul@example.org\nCc: luc@example.org\n",
         "to: \"a,b\"@example.org; paul@example.org\ncc: luc@example.org\nbcc: \n"},
        {"commas in display names",
         "To: \"Dupont, Paul\" <paul@example.org>\nCc: \"Roux, Luc\" <luc@example.org>\n",
         "to: paul@example.org\ncc: luc@example.org\nbcc: \n"},
        {"the start marker in To", "To: #DESTBEGIN#@example.org\n",
         "to: #DESTBEGIN#@example.org\ncc: \nbcc: \n"},
        {"a quoted comma in Cc", "To: paul@example.org\nCc: \"a,b\"@example.org, luc@example.org\n",
         ""},
        {"the end marker in To", "To: #DESTEND#@example.org\nCc: luc@example.org\n", ""},
        {"the end marker quoted in Cc", "To: paul@example.org\nCc: \"x#DESTEND#y\"@example.org\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove(folder_.File("sent.eml"));
        const std::string keys = Keys();
        const RunResult run = Send(RawMail(c.fields, kLetter));
        if (c.shown.empty()) {
            EXPECT_EQ(run.status, 255) << run.err;
            EXPECT_NE(run.err.find("recipient block"), std::string::npos) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_FALSE(Sent());
            EXPECT_TRUE(Keys() == keys) << "key material spent";
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        const RunResult shown = RunTool(folder_.path(), {"decrypt", "--recipients", "-k", "keys"},
                                        ReadText(folder_.File("sent.eml")));
        EXPECT_EQ(shown.status, 0) << shown.err;
        EXPECT_EQ(shown.err, c.shown);
    }
}

// The largest attachments a mail client sends: 30 MiB leaves and comes back byte for byte;
// one past what a container holds is refused before anything is spent.
TEST_F(ToolSendmail, ThirtyMebibytesLeaveAndTheContainerBoundIsRefused) {
    std::string big(30u << 20, '\0');
    uint32_t state = 12345;
    for (char& c : big) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    using mailmaker::File;
    using mailmaker::Mail;
    using mailmaker::Multi;
    using mailmaker::Text;
    RunResult run = Send(Mail(Multi("mixed", {Text(kLetter), File(big, "big.bin")})));
    ASSERT_EQ(run.status, 0) << run.err;
    const Delivered sent = ReadDelivered(folder_.path());
    ASSERT_EQ(sent.problem, "");
    ASSERT_EQ(sent.files.size(), 1u);
    EXPECT_TRUE(sent.files.begin()->second == big) << "the attachment changed";

    std::filesystem::remove(folder_.File("sent.eml"));
    const std::string keys = Keys();
    big.resize(32000001);
    run = Send(Mail(Multi("mixed", {Text(kLetter), File(big, "big.bin")})));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("big.bin"), std::string::npos) << run.err;
    EXPECT_FALSE(Sent());
    EXPECT_TRUE(Keys() == keys);
}

}  // namespace
