// What the decryption tests share: a key folder of the current year with a master key and the
// sender's key (tiny, so that messages wrap around them), the text form a document comes back
// in, written out from the character table independently of the library, and messages made
// with any key files through the library's own encryption and armour.
#ifndef VELDORAN_TESTS_PIPELINES_MESSAGEFIXTURE_H
#define VELDORAN_TESTS_PIPELINES_MESSAGEFIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "pipelines/TwoKeyEncryption.h"
#include "support/CurrentYear.h"
#include "support/FolderEntries.h"
#include "support/KeyFileWriter.h"
#include "support/KeyPairFixture.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace messagetest {

using Bytes = std::vector<unsigned char>;

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline std::string ToString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// clang-format off
// Local byte to interchange byte, the text filter's table (Windows-1252 to Mac OS Roman).
inline constexpr unsigned char kToInterchange[][2] = {
    {0x0A, 0x0D}, {0x8C, 0xCE}, {0x92, 0x27}, {0x9C, 0xCF}, {0xB0, 0xA1}, {0xE0, 0x88},
    {0xE2, 0x89}, {0xE7, 0x8D}, {0xE8, 0x8F}, {0xE9, 0x8E}, {0xEA, 0x90}, {0xEB, 0x91},
    {0xEE, 0x94}, {0xEF, 0x95}, {0xF4, 0x99}, {0xF9, 0x9D}, {0xFB, 0x9F},
};
// Interchange byte to local byte on the way back: the fifteen letters, and CR to a line feed.
// The apostrophe has no entry: a ’ comes back as '.
inline constexpr unsigned char kToLocal[][2] = {
    {0x0D, 0x0A}, {0xCE, 0x8C}, {0xCF, 0x9C}, {0xA1, 0xB0}, {0x88, 0xE0}, {0x89, 0xE2},
    {0x8D, 0xE7}, {0x8F, 0xE8}, {0x8E, 0xE9}, {0x90, 0xEA}, {0x91, 0xEB}, {0x94, 0xEE},
    {0x95, 0xEF}, {0x99, 0xF4}, {0x9D, 0xF9}, {0x9F, 0xFB},
};
// clang-format on

template <size_t N>
Bytes Translated(Bytes text, const unsigned char (&table)[N][2]) {
    for (unsigned char& byte : text) {
        for (const auto& entry : table) {
            if (byte == entry[0]) {
                byte = entry[1];
                break;
            }
        }
    }
    return text;
}

inline Bytes Interchange(const Bytes& local) {
    return Translated(local, kToInterchange);
}

// What a document is after the way there and the way back.
inline Bytes BackFromInterchange(const Bytes& local) {
    return Translated(Translated(local, kToInterchange), kToLocal);
}

using testsupport::Entries;

inline std::string YearText(int32_t yearsBack) {
    char text[16] = {};
    TypUtilsUnix::FormatYearText(testsupport::CurrentFullYear() - 1900 - yearsBack, text);
    return text;
}

class MessageTest : public testsupport::KeyPairTest {
  protected:
    testsupport::KeyFileContents MasterKey() const override { return Key("Master", 300, 17, 21); }
    // Close to the end, so the outer layer wraps around the key material.
    testsupport::KeyFileContents UserKey() const override { return Key("dupont", 500, 450, 22); }

    static testsupport::KeyFileContents Key(const std::string& name, size_t size, int32_t offset,
                                            uint32_t seed, int32_t yearsBack = 0) {
        testsupport::KeyFileContents key = Described(name, name + "-id", size, offset, seed);
        key.year -= yearsBack;
        return key;
    }

    // Writes keys of the given sizes in place of the pair, positioned so that the outer layer
    // soon wraps; seed makes the master key's material and seed + 1 the user key's.
    void UseKeys(size_t masterSize, size_t userSize, uint32_t seed) {
        master_ = Key("Master", masterSize, static_cast<int32_t>(masterSize / 3), seed);
        user_ = Key("dupont", userSize, static_cast<int32_t>(userSize - 7), seed + 1);
        WriteKeys();
    }

    std::string KeyPath(const std::string& name, int32_t yearsBack = 0) const {
        return keyFolder_ + "Clefs/" + name + "." + YearText(yearsBack);
    }

    // A message text (comments, empty line, armour) for message bytes taken as they are (already
    // in interchange form, recipient block included), made with the key files of yearsBack years
    // ago through the library's two-layer encryption and armour.
    std::string MakeMessage(const Bytes& message, int32_t yearsBack = 0,
                            const char* user = "dupont") {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        const std::string year = YearText(yearsBack);
        veldoran::TwoKeyRequest request;
        request.keyFolder = keyFolder_.c_str();
        request.user = user;
        request.yearText = year.c_str();
        unsigned char* outer = nullptr;
        uint32_t outerLength = 0;
        char masterComment[veldoran::kKeyCommentSize] = {};
        char userComment[veldoran::kKeyCommentSize] = {};
        EXPECT_EQ(veldoran::EncryptWithBothKeys(&utils, request, message.data(),
                                                static_cast<uint32_t>(message.size()), nullptr,
                                                &outer, &outerLength, masterComment, userComment),
                  kNoErr);
        const std::string armour = Armoured(Bytes(outer, outer + outerLength));
        utils.MyDisposeptr(&outer, outerLength);
        return std::string(masterComment) + userComment + "\n" + armour;
    }

    // The library's armour of any bytes (a frame made or spoilt by a test).
    static std::string Armoured(const Bytes& data) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        TypBinASCII binASCII;
        binASCII.InitCreate(&utils);
        unsigned char* text = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(
            binASCII.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &text, &length),
            kNoErr);
        std::string armour(text, text + length);
        utils.MyDisposeptr(&text, length);
        return armour;
    }

    // The outer frame inside a message text.
    static Bytes OuterFrame(const std::string& messageText) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        TypBinASCII binASCII;
        binASCII.InitCreate(&utils);
        unsigned char* frame = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(binASCII.ASCIIToBin(reinterpret_cast<const unsigned char*>(messageText.data()),
                                      static_cast<uint32_t>(messageText.size()), &frame, &length),
                  kNoErr);
        Bytes bytes(frame, frame + length);
        utils.MyDisposeptr(&frame, length);
        return bytes;
    }

    // Document, "#DESTBEGIN#", to, ",", cc, ",", bcc, "#DESTEND#".
    static Bytes WithRecipients(Bytes document, const std::string& to, const std::string& cc,
                                const std::string& bcc) {
        const std::string block = "#DESTBEGIN#" + to + "," + cc + "," + bcc + "#DESTEND#";
        document.insert(document.end(), block.begin(), block.end());
        return document;
    }
};

// Documents every round trip is tried on, with what must come back: written out by hand from
// the character table, or for the large one taken from the table above.
struct RoundTripCase {
    const char* label;
    Bytes document;
    Bytes expected;
};

inline std::vector<RoundTripCase> RoundTripCases() {
    // Every local letter of the table, then ’.
    Bytes accented;
    for (const auto& entry : kToInterchange) {
        if (entry[0] != 0x0A) {
            accented.push_back(entry[0]);
        }
    }
    Bytes accentedBack = accented;
    for (unsigned char& byte : accentedBack) {
        if (byte == 0x92) {
            byte = '\'';
        }
    }
    const uint32_t seed = 20260214;
    Bytes large = testsupport::RandomBytes(200000, seed);
    // "Élève à l’école" over two lines, in Windows-1252.
    const Bytes letter = {'L',  0x92, 0xE9, 'l', 0xE8, 'v', 'e',
                          '\n', 0xE0, ' ',  'l', 'u',  'i', '\n'};
    return {
        {"LF line ends",
         letter,
         {'L', '\'', 0xE9, 'l', 0xE8, 'v', 'e', '\n', 0xE0, ' ', 'l', 'u', 'i', '\n'}},
        // Each CR and each LF becomes a CR on the way there and a line feed on the way back.
        {"CR LF line ends", ToBytes("un\r\ndeux\r\n"), ToBytes("un\n\ndeux\n\n")},
        {"a lone CR", ToBytes("a\rb"), ToBytes("a\nb")},
        {"every accented letter of the table", accented, accentedBack},
        {"right single quotation mark", {0x92}, ToBytes("'")},
        // Already an interchange value on the local side: comes back as the mapped letter.
        {"local bytes holding interchange values", {0xCE, 0x88}, {0x8C, 0xE0}},
        {"empty", {}, {}},
        {"one byte", ToBytes("x"), ToBytes("x")},
        // Many armour lines and many wraps of both keys; the seed replays it.
        {"large (seed 20260214)", large, BackFromInterchange(large)},
    };
}

}  // namespace messagetest

#endif
