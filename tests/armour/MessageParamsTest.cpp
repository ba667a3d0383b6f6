// The recipient block, parameter texts, pattern search and hexadecimal number fields.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "armour/MessageLayout.h"
#include "support/FailingUtils.h"
#include "veldoran.h"

namespace {

const unsigned char* U(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}
uint32_t Len(const std::string& text) {
    return static_cast<uint32_t>(text.size());
}

class MessageParams : public ::testing::Test {
  protected:
    // Runs a producing operation and returns its block as text, releasing the block.
    std::string Produce(const std::function<int32_t(unsigned char**, uint32_t*)>& operation) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        EXPECT_EQ(operation(&out, &outLength), kNoErr);
        EXPECT_NE(out, nullptr);
        std::string result(reinterpret_cast<char*>(out), outLength);
        utils.MyDisposeptr(&out, outLength);
        return result;
    }

    testsupport::FailingUtils utils;
};

TEST_F(MessageParams, RecipientBlockLayout) {
    struct Case {
        const char* message;
        const char* to;
        const char* cc;
        const char* bcc;
        std::string expected;
    };
    const Case cases[] = {
        // The 7-byte message and the 13-byte recipient text of the command line: 42 bytes.
        {"Bonjour", "dupont,durand", "", "", "Bonjour#DESTBEGIN#dupont,durand,,#DESTEND#"},
        // All three recipient texts empty: a 22-byte block.
        {"", "", "", "", "#DESTBEGIN#,,#DESTEND#"},
        // Copy and blind-copy recipients, commas inside a text left as they are.
        {"x", "a", "b,c", "d", "x#DESTBEGIN#a,b,c,d#DESTEND#"},
    };
    for (const Case& c : cases) {
        const std::string message = c.message;
        const std::string block = Produce([&](unsigned char** out, uint32_t* outLength) {
            return utils.AddDestToMessage(U(message), Len(message), out, outLength, c.to, c.cc,
                                          c.bcc);
        });
        EXPECT_EQ(block, c.expected);
        EXPECT_EQ(block.size(), message.size() + veldoran::RecipientBlockLength(c.to, c.cc, c.bcc));
    }
    EXPECT_EQ(utils.liveBlocks(), 0);
}

// The lists a block is written with read back from the tail decryption hands over, or the check
// names the list that would not; a tail of another shape reads as what it holds.
TEST_F(MessageParams, RecipientListsReadBackOrTheirFaultIsNamed) {
    struct Case {
        const char* to;
        const char* cc;
        const char* bcc;
        const char* fault;  // the list named, "" when all three read back
    };
    const Case cases[] = {
        {"a@x,b@x", "c@x", "d@x", ""},         // To may hold commas
        {"", "", "", ""},                      // the command line's empty lists
        {"#DESTBEGIN#", "DESTEND#", "#", ""},  // nothing here makes an end marker
        {"a#DESTEND#", "", "", "to"},
        {"a", "x#DESTEND#y", "", "cc"},
        {"a", "", "#DESTEND#", "bcc"},
        {"a", "", "d#DESTEND", "bcc"},  // its end and the block's make an end marker
        {"a", "c,d", "", "cc"},
        {"a", "", "c,d", "bcc"},
        {"a,b", ",", ",", "cc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.to) + "|" + c.cc + "|" + c.bcc);
        const veldoran::RecipientListFault fault = veldoran::CheckRecipientLists(c.to, c.cc, c.bcc);
        EXPECT_STREQ(fault.list, c.fault);
        EXPECT_EQ(fault.why.empty(), *c.fault == '\0');
        const std::string message = Produce([&](unsigned char** out, uint32_t* length) {
            return utils.AddDestToMessage(U("doc"), 3, out, length, c.to, c.cc, c.bcc);
        });
        const std::string tail = Produce([&](unsigned char** out, uint32_t* length) {
            return utils.GetAllParamFromMessage(U(message), Len(message), out, length);
        });
        veldoran::RecipientLists read;
        EXPECT_EQ(veldoran::ReadRecipientBlock(tail + "p", &read) ==
                          veldoran::RecipientBlockShape::kThreeLists &&
                      read.to == c.to && read.cc == c.cc && read.bcc == c.bcc &&
                      read.parameters == "p",
                  *c.fault == '\0');
    }

    const struct {
        std::string tail;
        veldoran::RecipientBlockShape shape;
        std::string to, parameters;
    } shapes[] = {
        {"", veldoran::RecipientBlockShape::kNone, "", ""},
        {"#DESTBEGIN#a,,", veldoran::RecipientBlockShape::kNone, "", ""},
        {"x#DESTBEGIN#a,,#DESTEND#", veldoran::RecipientBlockShape::kNone, "", ""},
        {"#DESTBEGIN#a,b#DESTEND#p", veldoran::RecipientBlockShape::kOneList, "a,b", "p"},
        {"#DESTBEGIN#,a#DESTEND#", veldoran::RecipientBlockShape::kOneList, ",a", ""},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.tail);
        veldoran::RecipientLists read;
        EXPECT_EQ(veldoran::ReadRecipientBlock(s.tail, &read), s.shape);
        EXPECT_EQ(read.to, s.to);
        EXPECT_EQ(read.parameters, s.parameters);
    }
}

TEST_F(MessageParams, ParameterTextAndTail) {
    const std::string message = "Bonjour#DESTBEGIN#a,,#DESTEND#";
    auto add = [&](const char* param) {
        return Produce([&](unsigned char** out, uint32_t* outLength) {
            return utils.AddParamToMessage(U(message), Len(message), out, outLength, param);
        });
    };
    auto remove = [&](const std::string& text) {
        return Produce([&](unsigned char** out, uint32_t* outLength) {
            return utils.RemoveParamFromMessage(U(text), Len(text), out, outLength);
        });
    };
    auto tail = [&](const std::string& text) {
        return Produce([&](unsigned char** out, uint32_t* outLength) {
            return utils.GetAllParamFromMessage(U(text), Len(text), out, outLength);
        });
    };
    EXPECT_EQ(add(""), message);
    const std::string withParam = add("langBEGIN#frlangEND#");
    EXPECT_EQ(withParam, message + "langBEGIN#frlangEND#");
    EXPECT_EQ(remove(withParam), "Bonjour");
    EXPECT_EQ(tail(withParam), "#DESTBEGIN#a,,#DESTEND#langBEGIN#frlangEND#");
    // A document holding the marker itself is cut at its first occurrence.
    const std::string twice = "ab#DESTBEGIN#cd#DESTBEGIN#x,,#DESTEND#";
    EXPECT_EQ(remove(twice), "ab");
    EXPECT_EQ(tail(twice), "#DESTBEGIN#cd#DESTBEGIN#x,,#DESTEND#");
    // No marker: the whole message is the document and the tail is empty.
    EXPECT_EQ(remove("plain"), "plain");
    EXPECT_EQ(tail("plain"), "");
    EXPECT_EQ(remove(""), "");
    EXPECT_EQ(tail(""), "");
    EXPECT_EQ(utils.liveBlocks(), 0);
}

TEST_F(MessageParams, FailedAllocationReportsMemErrAndLeavesNothing) {
    // A 30-byte message: a 7-byte document and a 23-byte tail.
    const std::string message = "Bonjour#DESTBEGIN#a,,#DESTEND#";
    struct Case {
        const char* label;
        std::function<int32_t(unsigned char**, uint32_t*)> operation;
        uint32_t requested;
    };
    const Case cases[] = {
        {"AddDestToMessage",
         [&](unsigned char** out, uint32_t* len) {
             return utils.AddDestToMessage(U(message), Len(message), out, len, "a", "b", "c");
         },
         55},  // 30 + 11 + 3 + 2 + 9
        {"AddParamToMessage",
         [&](unsigned char** out, uint32_t* len) {
             return utils.AddParamToMessage(U(message), Len(message), out, len, "p");
         },
         31},
        {"RemoveParamFromMessage",
         [&](unsigned char** out, uint32_t* len) {
             return utils.RemoveParamFromMessage(U(message), Len(message), out, len);
         },
         7},
        {"GetAllParamFromMessage",
         [&](unsigned char** out, uint32_t* len) {
             return utils.GetAllParamFromMessage(U(message), Len(message), out, len);
         },
         23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        unsigned char sentinel = 0;
        unsigned char* out = &sentinel;
        uint32_t outLength = 0;
        utils.FailCall(1);
        EXPECT_EQ(c.operation(&out, &outLength), kMemErr);
        EXPECT_EQ(out, nullptr);
        // The out length already holds the length that was asked for.
        EXPECT_EQ(outLength, c.requested);
        EXPECT_EQ(utils.liveBlocks(), 0);
    }
}

TEST_F(MessageParams, GetParamAndExistParam) {
    char value[250];
    const std::string v249(249, 'v');
    const std::string v250(250, 'v');
    const std::string longName(113, 'n');
    const std::string tooLong(114, 'n');
    struct Case {
        const char* label;
        std::string message;
        std::string name;
        int32_t result;
        std::string value;
        int32_t exists;
    };
    const Case cases[] = {
        {"found", "doc#DESTEND#langBEGIN#frlangEND#", "lang", 2, "fr", 1},
        {"empty value", "langBEGIN#langEND#", "lang", 0, "", 1},
        {"249 bytes fit", "kBEGIN#" + v249 + "kEND#", "k", 249, v249, 1},
        {"250 bytes are too many", "kBEGIN#" + v250 + "kEND#", "k", 250, "", 1},
        {"no start marker", "langEND#", "lang", -1, "", 0},
        {"no end marker", "langBEGIN#fr", "lang", -1, "", 0},
        // The end marker searched from the start stands before the value: nothing copied.
        {"end before start", "kEND#kBEGIN#value", "k", -1, "", 1},
        // The end marker "#END#" begins on the last byte of the start marker "#BEGIN#".
        {"end marker inside the start marker", "#BEGIN#END#", "#", -1, "", 1},
        {"113-character name", longName + "BEGIN#v" + longName + "END#", longName, 1, "v", 1},
        // A name too long for the marker text is reported missing, even when present.
        {"114-character name", tooLong + "BEGIN#v" + tooLong + "END#", tooLong, -1, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        memset(value, 'X', sizeof value);
        EXPECT_EQ(utils.GetParam(U(c.message), Len(c.message), c.name.c_str(), value), c.result);
        EXPECT_EQ(std::string(value), c.value);
        EXPECT_EQ(utils.ExistParam(U(c.message), Len(c.message), c.name.c_str()), c.exists);
    }
}

TEST(FindSubString, FirstAndLastOccurrence) {
    struct Case {
        std::string buffer;
        const char* pattern;
        int32_t first;
        int32_t last;
    };
    const Case cases[] = {
        {"abcabc", "abc", 0, 3},                           // from the edge cases
        {"abc", "", 0, 3},                                 // empty pattern: 0 and the length
        {"", "", 0, 0},                                    //
        {"ab", "abc", -1, -1},                             // pattern longer than the buffer
        {"", "a", -1, -1},                                 //
        {"xyz", "q", -1, -1},                              //
        {"aaaa", "aa", 0, 2},                              // overlapping occurrences
        {"aab", "ab", 1, 1},                               // first byte matches before
        {"abab", "abab", 0, 0},                            // pattern fills the buffer
        {std::string("a\0b\0b", 5), "b", 2, 4},            // NUL bytes in the buffer
        {"\xE9t\xE9", "\xE9", 0, 2},                       // bytes above 0x7F
        {"x#BINASCII#BINASCII1#", "#BINASCII1#", 10, 10},  // near-miss before the match
    };
    TypUtilsUnix utils;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer + " / " + c.pattern);
        EXPECT_EQ(utils.FindSubString(U(c.buffer), Len(c.buffer), c.pattern), c.first);
        EXPECT_EQ(utils.FindSubStringFromEnd(U(c.buffer), Len(c.buffer), c.pattern), c.last);
    }
}

TEST(FindSubString, AgreesWithPlainSearchOnRandomText) {
    const unsigned seed = 20261210;
    std::printf("FindSubString random seed %u\n", seed);
    srand(seed);
    TypUtilsUnix utils;
    for (int round = 0; round < 500; ++round) {
        std::string buffer(static_cast<size_t>(rand() % 40), ' ');
        for (char& c : buffer) {
            c = "ab#"[rand() % 3];
        }
        std::string pattern(static_cast<size_t>(1 + rand() % 3), ' ');
        for (char& c : pattern) {
            c = "ab#"[rand() % 3];
        }
        const size_t first = buffer.find(pattern);
        const size_t last = buffer.rfind(pattern);
        EXPECT_EQ(utils.FindSubString(U(buffer), Len(buffer), pattern.c_str()),
                  first == std::string::npos ? -1 : static_cast<int32_t>(first));
        EXPECT_EQ(utils.FindSubStringFromEnd(U(buffer), Len(buffer), pattern.c_str()),
                  last == std::string::npos ? -1 : static_cast<int32_t>(last));
    }
}

TEST(HexaField, PushAndPop) {
    struct Case {
        uint32_t value;
        const char* text;
    };
    const Case cases[] = {
        {255, "000000FF"},  // from the edge cases
        {0, "00000000"},    // from the edge cases
        {0xFFFFFFFFU, "FFFFFFFF"}, {0x12345678U, "12345678"},
        {0xDEADBEEFU, "DEADBEEF"}, {0xA0B0C0D0U, "A0B0C0D0"},
    };
    TypUtilsUnix utils;
    for (const Case& c : cases) {
        unsigned char field[9] = {};
        unsigned char* writeCursor = field;
        utils.PushLongHexaAtAddress(c.value, &writeCursor);
        EXPECT_EQ(writeCursor, field + 8);
        EXPECT_STREQ(reinterpret_cast<char*>(field), c.text);
        const unsigned char* readCursor = field;
        EXPECT_EQ(utils.PopHexaFromAddress(&readCursor), c.value);
        EXPECT_EQ(readCursor, field + 8);
    }
    // Digits are not validated: a lower-case a counts as 42.
    const unsigned char lower[] = "0000000a";
    const unsigned char* readCursor = lower;
    EXPECT_EQ(utils.PopHexaFromAddress(&readCursor), 42U);
}

}  // namespace
