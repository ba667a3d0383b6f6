// The in-memory text pipelines: round trips through crypterMem3 and decrypterMem3 against the
// character table, the message they carry, the refusal of a document holding the recipient
// marker, both failure tables, and every allocation failure: out texts null or owned, nothing
// leaked, and no allocation left to fail once key material is spent.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <utility>

#include "MessageFixture.h"
#include "pipelines/ReservingUtils.h"
#include "pipelines/TextMemoryCore.h"
#include "platform/UnfilledBlock.h"
#include "support/AllocationSweep.h"
#include "support/FailingUtils.h"

namespace {

using messagetest::Bytes;
using messagetest::ToBytes;
using messagetest::ToString;
using testsupport::ReadWholeFile;

// An out text, freed as the header tells hosts to.
class OutText {
  public:
    OutText() = default;
    ~OutText() { free(text_); }
    OutText(const OutText&) = delete;
    OutText& operator=(const OutText&) = delete;

    char** operator&() { return &text_; }
    char* get() const { return text_; }
    std::string str() const { return text_ == nullptr ? "(null)" : text_; }

  private:
    char* text_ = nullptr;
};

std::string AsText(const Bytes& bytes) {
    return ToString(bytes);
}

Bytes Concat(Bytes left, const Bytes& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// A document for the memory pipelines: no NUL, which would end it.
Bytes WithoutNul(Bytes bytes) {
    std::replace(bytes.begin(), bytes.end(), static_cast<unsigned char>(0),
                 static_cast<unsigned char>('0'));
    return bytes;
}

class TextMemory : public messagetest::MessageTest {
  protected:
    int32_t Encrypt(const std::string& document, char** out, const char* param = "",
                    const char* user = "dupont") {
        return crypterMem3(document.c_str(), out, user, keyFolder_.c_str(), "a@example.org",
                           "b@example.org", "c@example.org", param);
    }
    int32_t Decrypt(const std::string& message, char** document, char** tail) {
        return decrypterMem3(message.c_str(), document, keyFolder_.c_str(), tail);
    }

    // The message inside an encrypted text, both layers off, before any conversion back.
    Bytes MessageInside(const std::string& text) {
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        EXPECT_EQ(utils.SetKeyFolderPath(keyFolder_.c_str()), kNoErr);
        TypCryptoUnix crypto;
        crypto.InitCreate(&utils);
        const Bytes outer = OuterFrame(text);
        unsigned char* inner = nullptr;
        uint32_t innerLength = 0;
        EXPECT_EQ(
            crypto.UnCrypt(outer.data(), static_cast<uint32_t>(outer.size()), &inner, &innerLength),
            kNoErr);
        unsigned char* message = nullptr;
        uint32_t messageLength = 0;
        EXPECT_EQ(crypto.UnCrypt(inner, innerLength, &message, &messageLength), kNoErr);
        Bytes result(message, message + messageLength);
        utils.MyDisposeptr(&inner, innerLength);
        utils.MyDisposeptr(&message, messageLength);
        return result;
    }
};

const char kTail[] = "#DESTBEGIN#a@example.org,b@example.org,c@example.org#DESTEND#";

TEST_F(TextMemory, RoundTripsComeBackInLocalForm) {
    for (const messagetest::RoundTripCase& testCase : messagetest::RoundTripCases()) {
        SCOPED_TRACE(testCase.label);
        const Bytes document = WithoutNul(testCase.document);
        const Bytes expected = WithoutNul(testCase.expected);
        OutText message;
        ASSERT_EQ(Encrypt(AsText(document), &message), kNoErr);
        const Bytes keysAfterEncryption = ReadWholeFile(KeyPath("Master"));
        OutText back;
        OutText tail;
        ASSERT_EQ(Decrypt(message.get(), &back, &tail), kNoErr);
        EXPECT_EQ(ToBytes(back.get()), expected);
        EXPECT_EQ(tail.str(), kTail);
        EXPECT_EQ(ReadWholeFile(KeyPath("Master")), keysAfterEncryption);
    }
}

TEST_F(TextMemory, TheMessageIsConvertedWholeAndLaidOutAsAFile) {
    // "é\n" with the parameter "p\né": the recipient block and the parameter text are converted
    // with the document.
    const std::string param = "p\n\xE9";
    OutText message;
    ASSERT_EQ(Encrypt("\xE9\n", &message, param.c_str()), kNoErr);
    EXPECT_EQ(MessageInside(message.get()),
              Concat(messagetest::Interchange(WithRecipients(ToBytes("\xE9\n"), "a@example.org",
                                                             "b@example.org", "c@example.org")),
                     {'p', 0x0D, 0x8E}));

    // The comments with the counts after this encryption, an empty line, the armour; no NUL
    // but the last.
    const std::string text = message.get();
    const std::string year = testsupport::CurrentYearText();
    EXPECT_EQ(text.substr(0, text.find("#BINASCII1#")),
              "$VELDORAN initial, clef v1 Master." + year + " MID 1\n" +
                  "$VELDORAN initial, clef v1 dupont." + year + " MID 1\n\n");
    EXPECT_EQ(text.substr(text.size() - 16), "\n#ENDBINASCII1#\n");

    OutText back;
    OutText tail;
    ASSERT_EQ(Decrypt(text, &back, &tail), kNoErr);
    EXPECT_EQ(back.str(), "\xE9\n");
    EXPECT_EQ(tail.str(), std::string(kTail) + param);
}

TEST_F(TextMemory, TheShortEntryPointsFillInTheirDefaults) {
    OutText message;
    ASSERT_EQ(crypterMem2("lettre\n", &message, "dupont", keyFolder_.c_str(), "a", "b", "c"),
              kNoErr);
    OutText back;
    OutText tail;
    ASSERT_EQ(Decrypt(message.get(), &back, &tail), kNoErr);
    EXPECT_EQ(tail.str(), "#DESTBEGIN#a,b,c#DESTEND#");

    OutText document;
    EXPECT_EQ(decrypterMem2(message.get(), &document, keyFolder_.c_str()), kNoErr);
    EXPECT_EQ(document.str(), "lettre\n");

    // crypterMem and decrypterMem take the key files from Clefs/ under the current directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(keyFolder_);
    OutText local;
    const int32_t encrypted = crypterMem("note\n", &local, "dupont", "x", "", "");
    OutText localBack;
    const int32_t decrypted = decrypterMem(local.get() != nullptr ? local.get() : "", &localBack);
    std::filesystem::current_path(previous);
    EXPECT_EQ(encrypted, kNoErr);
    EXPECT_EQ(decrypted, kNoErr);
    EXPECT_EQ(localBack.str(), "note\n");
}

TEST_F(TextMemory, AMessagePastedIntoAMailDecrypts) {
    OutText message;
    ASSERT_EQ(Encrypt("Cher ami,\n\xE0 bient\xF4t.\n", &message), kNoErr);
    const std::string text = message.get();
    const std::string mail = "From: Dupont <dupont@example.org>\r\nSubject: lettre\r\n\r\n";
    // Quoted with "> ", CR LF line ends, the armour's lines re-wrapped at 45 characters and
    // indented; both markers stay whole, since a marker cut in two is no longer found.
    std::string quoted = "> " + text.substr(0, text.find("#BINASCII1#") + 12);
    const size_t dataStart = text.find("#BINASCII1#") + 12;
    const size_t dataEnd = text.find("#ENDBINASCII1#");
    std::string data;
    for (char c : text.substr(dataStart, dataEnd - dataStart)) {
        if (c != '\n') {
            data += c;
        }
    }
    for (size_t i = 0; i < data.size(); i += 45) {
        quoted += "\r\n>  " + data.substr(i, 45);
    }
    quoted += "\r\n> #ENDBINASCII1#\r\n";
    OutText back;
    OutText tail;
    ASSERT_EQ(Decrypt(mail + quoted + "\r\n-- \r\nJean\r\n", &back, &tail), kNoErr);
    EXPECT_EQ(back.str(), "Cher ami,\n\xE0 bient\xF4t.\n");
    EXPECT_EQ(tail.str(), kTail);
}

TEST_F(TextMemory, ADocumentHoldingTheMarkerIsRefusedBeforeAnyKey) {
    struct Case {
        const char* label;
        std::string document;
    };
    const std::vector<Case> cases = {
        {"the marker alone", "#DESTBEGIN#"},
        {"the marker inside", "avant #DESTBEGIN# apr\xE8s\n"},
        // With the recipient block behind it, the first marker would start in the document.
        {"the start of the marker at the end", "fin #DESTBEGIN"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        OutText message;
        EXPECT_EQ(Encrypt(testCase.document, &message), kFormatNonDisponible);
        EXPECT_EQ(message.get(), nullptr);
        EXPECT_TRUE(KeysUntouched());
    }
    // Pieces of it, or the end marker, are only text.
    for (const std::string document : {"#DESTBEG", "#DESTEND#", "#DESTBEGI"}) {
        SCOPED_TRACE(document);
        OutText message;
        ASSERT_EQ(Encrypt(document + "#", &message), kNoErr);
        OutText back;
        OutText tail;
        ASSERT_EQ(Decrypt(message.get(), &back, &tail), kNoErr);
        EXPECT_EQ(back.str(), document + "#");
    }
}

TEST_F(TextMemory, EncryptionFailureTable) {
    const std::string longName(300, 'n');
    const std::string emptyFolder = folder_.File("empty/");
    std::filesystem::create_directories(emptyFolder + "Clefs");
    struct Case {
        const char* label;
        std::string keyFolder;
        std::string user;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"master key missing", emptyFolder, "dupont", kFNFErr},
        {"key folder without its slash", keyFolder_.substr(0, keyFolder_.size() - 1), "dupont",
         kFNFErr},
        {"user key path too long", keyFolder_, longName, kOtherErr},
        {"key folder too long", std::string(300, 'k') + "/", "dupont", kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        char* out = reinterpret_cast<char*>(&out);
        EXPECT_EQ(crypterMem3("lettre", &out, testCase.user.c_str(), testCase.keyFolder.c_str(),
                              "a", "", "", ""),
                  testCase.result);
        EXPECT_EQ(out, nullptr);
        EXPECT_TRUE(KeysUntouched());
    }

    // The user key missing: the user key is found missing with out null; whether the master key
    // was used first is the two-layer encryption's own rule.
    char* out = nullptr;
    EXPECT_EQ(crypterMem3("lettre", &out, "durand", keyFolder_.c_str(), "a", "", "", ""), kFNFErr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userBefore_);
    RestoreKeys();

    // Null arguments: nothing written through a null out pointer.
    EXPECT_EQ(crypterMem3("d", nullptr, "dupont", "", "", "", "", ""), kOtherErr);
    out = reinterpret_cast<char*>(&out);
    EXPECT_EQ(crypterMem3(nullptr, &out, "dupont", "", "", "", "", ""), kOtherErr);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<char*>(&out);
    EXPECT_EQ(crypterMem3("d", &out, "dupont", "", "", "", "", nullptr), kOtherErr);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(KeysUntouched());
}

Bytes WithHeaderField(Bytes frame, size_t offset, uint32_t value) {
    testsupport::PutBigEndian32(frame.data() + offset, value);
    return frame;
}

TEST_F(TextMemory, DecryptionFailureTable) {
    OutText good;
    ASSERT_EQ(Encrypt("lettre\n", &good), kNoErr);
    const std::string text = good.get();
    const Bytes outer = OuterFrame(text);
    std::string wrongChecksum = text;
    const size_t firstData = wrongChecksum.find("#BINASCII1#") + 12 + 8;
    wrongChecksum[firstData] = wrongChecksum[firstData] == 'A' ? 'B' : 'A';
    const std::string emptyFolder = folder_.File("empty/");
    std::filesystem::create_directories(emptyFolder + "Clefs");

    struct Case {
        const char* label;
        std::string message;
        std::string keyFolder;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"no armour", "Bonjour\n", keyFolder_, kPbErr},
        {"empty text", "", keyFolder_, kPbErr},
        {"armour cut off", text.substr(0, text.size() - 40), keyFolder_, kPbErr},
        {"armour too short", "#BINASCII1#\n00000001\n#ENDBINASCII1#\n", keyFolder_, kPbErr},
        {"wrong checksum", wrongChecksum, keyFolder_, kCRCErr},
        {"frame shorter than a key header", Armoured(Bytes(10, 1)), keyFolder_, kFrameTooShort},
        {"key header not of version 1", Armoured(WithHeaderField(outer, 0, 0)), keyFolder_,
         kBadKeyHeader},
        {"key files missing", text, emptyFolder, KeyNotFoundErr},
        {"start beyond the key material", Armoured(WithHeaderField(outer, 92, 9999)), keyFolder_,
         kOffsetOutOfRangeErr},
        {"key folder too long", text, std::string(300, 'k') + "/", kOtherErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        char* document = reinterpret_cast<char*>(&document);
        char* tail = reinterpret_cast<char*>(&tail);
        EXPECT_EQ(
            decrypterMem3(testCase.message.c_str(), &document, testCase.keyFolder.c_str(), &tail),
            testCase.result);
        EXPECT_EQ(document, nullptr);
        EXPECT_EQ(tail, nullptr);
        OutText viaTwo;
        EXPECT_EQ(decrypterMem2(testCase.message.c_str(), &viaTwo, testCase.keyFolder.c_str()),
                  testCase.result);
        EXPECT_EQ(viaTwo.get(), nullptr);
    }

    // A key file that cannot be read in full.
    std::filesystem::resize_file(KeyPath("Master"), 100);
    OutText document;
    OutText tail;
    EXPECT_EQ(Decrypt(text, &document, &tail), kOtherErr);
    EXPECT_EQ(document.get(), nullptr);
    EXPECT_EQ(tail.get(), nullptr);

    // Null pointers: nothing written through them, the other out text set to null.
    char* only = reinterpret_cast<char*>(&only);
    EXPECT_EQ(decrypterMem3(text.c_str(), nullptr, keyFolder_.c_str(), &only), kOtherErr);
    EXPECT_EQ(only, nullptr);
    only = reinterpret_cast<char*>(&only);
    EXPECT_EQ(decrypterMem3(text.c_str(), &only, keyFolder_.c_str(), nullptr), kOtherErr);
    EXPECT_EQ(only, nullptr);
    only = reinterpret_cast<char*>(&only);
    EXPECT_EQ(decrypterMem3(nullptr, &only, keyFolder_.c_str(), &only), kOtherErr);
    EXPECT_EQ(only, nullptr);
    EXPECT_EQ(decrypterMem(nullptr, nullptr), kOtherErr);
}

// A utility object that refuses every allocation once both key files have changed on disk:
// the in-memory encryption must need none by then.
class NothingAfterTheKeys : public testsupport::FailingUtils {
  public:
    explicit NothingAfterTheKeys(std::function<bool()> keysSpent)
        : keysSpent_(std::move(keysSpent)) {}
    unsigned char* MyNewPtr(uint32_t size) override {
        if (keysSpent_()) {
            ++refused_;
            return nullptr;
        }
        return FailingUtils::MyNewPtr(size);
    }
    int refused() const { return refused_; }

  private:
    std::function<bool()> keysSpent_;
    int refused_ = 0;
};

TEST_F(TextMemory, OnceTheKeysAreSpentNothingIsLeftToAllocate) {
    veldoran::ReservingUtils<NothingAfterTheKeys> utils([this] {
        return ReadWholeFile(KeyPath("Master")) != masterBefore_ &&
               ReadWholeFile(KeyPath("dupont")) != userBefore_;
    });
    OutText message;
    EXPECT_EQ(EncryptTextInMemory(&utils, "Cher ami,\n", &message, "dupont", keyFolder_.c_str(),
                                  "a", "", "", ""),
              kNoErr);
    EXPECT_EQ(utils.refused(), 0);
    EXPECT_FALSE(KeysUntouched());
    ASSERT_NE(message.get(), nullptr);
    // The text is the caller's; the utility object holds nothing else.
    EXPECT_EQ(utils.liveBlocks(), 1);
    OutText back;
    OutText tail;
    ASSERT_EQ(Decrypt(message.get(), &back, &tail), kNoErr);
    EXPECT_EQ(back.str(), "Cher ami,\n");
}

TEST_F(TextMemory, EveryEncryptionAllocationFailureIsReportedAndLeaksNothing) {
    const char* document = "Cher ami,\n\xE0 bient\xF4t.\n";
    // The allocations made before any key is used, counted on a run that stops at the master
    // key missing.
    const std::string emptyFolder = folder_.File("empty/");
    std::filesystem::create_directories(emptyFolder + "Clefs");
    veldoran::ReservingUtils<testsupport::FailingUtils> beforeKeys;
    char* none = nullptr;
    ASSERT_EQ(EncryptTextInMemory(&beforeKeys, document, &none, "dupont", emptyFolder.c_str(), "a",
                                  "", "", ""),
              kFNFErr);
    const int callsBeforeKeys = beforeKeys.calls();

    veldoran::ReservingUtils<testsupport::FailingUtils> counting;
    OutText message;
    ASSERT_EQ(EncryptTextInMemory(&counting, document, &message, "dupont", keyFolder_.c_str(), "a",
                                  "", "", ""),
              kNoErr);
    const int calls = counting.calls();
    ASSERT_GT(calls, callsBeforeKeys);
    RestoreKeys();

    using Reserving = veldoran::ReservingUtils<testsupport::FailingUtils>;
    testsupport::SweepAllocationFailures<Reserving>(calls, [&](Reserving& utils, int failing) {
        char* out = reinterpret_cast<char*>(&out);
        EXPECT_EQ(EncryptTextInMemory(&utils, document, &out, "dupont", keyFolder_.c_str(), "a", "",
                                      "", ""),
                  kMemErr);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(utils.liveBlocks(), 0);
        EXPECT_EQ(ReadWholeFile(KeyPath("dupont")), userBefore_);
        if (failing <= callsBeforeKeys) {
            EXPECT_TRUE(KeysUntouched());
        }
        RestoreKeys();
    });
}

TEST_F(TextMemory, EveryDecryptionAllocationFailureLeavesNullOrOwnedTexts) {
    OutText message;
    ASSERT_EQ(Encrypt("Cher ami,\n\xE0 bient\xF4t.\n", &message, "param"), kNoErr);
    testsupport::FailingUtils counting;
    char* document = nullptr;
    char* tail = nullptr;
    ASSERT_EQ(DecryptTextInMemory(&counting, message.get(), &document, keyFolder_.c_str(), &tail),
              kNoErr);
    free(document);
    free(tail);
    const int calls = counting.calls();
    ASSERT_GT(calls, 0);

    bool documentWithoutTail = false;
    testsupport::SweepAllocationFailures(calls, [&](testsupport::FailingUtils& utils, int) {
        document = reinterpret_cast<char*>(&document);
        tail = reinterpret_cast<char*>(&tail);
        EXPECT_EQ(DecryptTextInMemory(&utils, message.get(), &document, keyFolder_.c_str(), &tail),
                  kMemErr);
        // Every block still live is an out text, and each out text is complete.
        EXPECT_EQ(utils.liveBlocks(), (document != nullptr ? 1 : 0) + (tail != nullptr ? 1 : 0));
        if (document != nullptr) {
            EXPECT_STREQ(document, "Cher ami,\n\xE0 bient\xF4t.\n");
            documentWithoutTail = documentWithoutTail || tail == nullptr;
        }
        if (tail != nullptr) {
            EXPECT_EQ(std::string(tail), std::string(kTail) + "param");
        }
        free(document);
        free(tail);
    });
    // The document is handed over even when the tail cannot be.
    EXPECT_TRUE(documentWithoutTail);
}

// A document takes one block for the message with its frame and one for the text: no copy of
// the document that the result does not need, and no block filled with spaces only to be
// written over.
TEST_F(TextMemory, ADocumentIsNeitherCopiedNorFilledMoreThanItsResultNeeds) {
    UseKeys(1 << 20, 1 << 20, 9);
    const size_t size = 1 << 20;
    std::string document(size, 'x');
    for (size_t i = 0; i < size; i += 61) {
        document[i] = '\n';
    }
    testsupport::FailingUtils encrypting;
    OutText message;
    ASSERT_EQ(EncryptTextInMemory(&encrypting, document.c_str(), &message, "dupont",
                                  keyFolder_.c_str(), "a", "", "", "param"),
              kNoErr);
    const uint64_t text = strlen(message.get());
    // The frame (the message and 448 bytes), the text with room for the longest comments, and
    // each key's stream window: its 1 MiB period repeated over a 1 MiB window.
    EXPECT_LE(encrypting.askedBytes(), size + text + 2 * (2 << 20) + (16 << 10));
    EXPECT_LE(encrypting.filledBytes(), uint64_t{16} << 10);
    EXPECT_EQ(encrypting.liveBlocks(), 1);

    testsupport::FailingUtils decrypting;
    char* back = nullptr;
    char* tail = nullptr;
    ASSERT_EQ(DecryptTextInMemory(&decrypting, message.get(), &back, keyFolder_.c_str(), &tail),
              kNoErr);
    EXPECT_EQ(std::string(back), document);
    free(back);
    free(tail);
    EXPECT_LE(decrypting.filledBytes(), uint64_t{16} << 10);
}

TEST(UnfilledBlock, OnlyTheRequestAskedThroughItIsLeftUnfilled) {
    testsupport::FailingUtils utils;
    unsigned char* unfilled = veldoran::NewUnfilledBlock(&utils, 64);
    ASSERT_NE(unfilled, nullptr);
    EXPECT_EQ(utils.calls(), 1);
    EXPECT_FALSE(veldoran::FillLeftOut());
    // The next plain request keeps MyNewPtr's contract.
    unsigned char* filled = utils.MyNewPtr(64);
    ASSERT_NE(filled, nullptr);
    EXPECT_EQ(Bytes(filled, filled + 64), Bytes(64, ' '));
    utils.MyDisposeptr(&filled, 64);
    utils.MyDisposeptr(&unfilled, 64);
    // A refused request is refused through it too.
    utils.FailCall(1);
    EXPECT_EQ(veldoran::NewUnfilledBlock(&utils, 64), nullptr);
    EXPECT_FALSE(veldoran::FillLeftOut());
}

TEST(ReservingUtils, HandsTheReserveOnlyToARequestOfItsSize) {
    veldoran::ReservingUtils<testsupport::FailingUtils> utils;
    ASSERT_EQ(utils.Reserve(64), kNoErr);
    utils.FailCall(1, true);
    // Other sizes go to the base, which now refuses them; the reserve waits for its own size.
    EXPECT_EQ(utils.MyNewPtr(63), nullptr);
    unsigned char* block = utils.MyNewPtr(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Bytes(block, block + 64), Bytes(64, ' '));
    EXPECT_EQ(utils.MyNewPtr(64), nullptr);
    utils.MyDisposeptr(&block, 64);
    EXPECT_EQ(utils.liveBlocks(), 0);
    // A reserve never asked for is given back.
    utils.FailCall(0);
    ASSERT_EQ(utils.Reserve(8), kNoErr);
    EXPECT_EQ(utils.liveBlocks(), 1);
    utils.ReleaseReserve();
    EXPECT_EQ(utils.liveBlocks(), 0);
}

}  // namespace
