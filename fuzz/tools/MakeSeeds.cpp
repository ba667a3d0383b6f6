// Writes the fuzz targets' seeds into <folder>/<Target>/, each input made by the library's own
// encoders (armour, cipher, recipient block) or written out by hand where it is a plain text.
//   veldoran_fuzz_seeds <tests/fuzz-seeds folder>
// The output is deterministic and committed; run again after a format changes. Saved crash
// inputs live in the same folders under names starting with "crash-" and are left alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/FuzzKeyFolder.h"
#include "common/FuzzTarget.h"
#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace {

using fuzzsupport::Check;
using Bytes = std::vector<unsigned char>;

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Join(std::initializer_list<Bytes> pieces) {
    Bytes joined;
    for (const Bytes& piece : pieces) {
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    return joined;
}

class SeedWriter {
  public:
    explicit SeedWriter(std::string root) : root_(std::move(root)) {}

    void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
        const std::string folder = root_ + "/" + target;
        std::filesystem::create_directories(folder);
        if (!testsupport::WriteWholeFile(folder + "/" + name, bytes)) {
            fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name.c_str());
            exit(1);
        }
        ++written_;
    }
    int written() const { return written_; }

  private:
    std::string root_;
    int written_ = 0;
};

Bytes Armour(TypUtils& utils, const Bytes& data) {
    TypBinASCII armour;
    armour.InitCreate(&utils);
    unsigned char* text = nullptr;
    uint32_t textLength = 0;
    Check(armour.BinToASCII(data.data(), static_cast<uint32_t>(data.size()), &text, &textLength) ==
          kNoErr);
    Bytes result(text, text + textLength);
    utils.MyDisposeptr(&text, textLength);
    armour.Kill();
    return result;
}

void ArmourSeeds(SeedWriter& seeds, TypUtils& utils) {
    const std::string target = "ArmourFuzz";
    // Sizes around the 45-byte line and the 3-byte group.
    for (const size_t size : {0, 1, 2, 3, 44, 45, 46, 90, 200}) {
        seeds.Put(target, "block-" + std::to_string(size),
                  Armour(utils, testsupport::RandomBytes(size, static_cast<uint32_t>(size))));
    }
    const Bytes armoured = Armour(utils, B("Rendez-vous devant la mairie a midi."));
    // As a message file holds it: comment lines before the armour.
    seeds.Put(target, "after-comment-lines",
              Join({B("Crypte pour Dupont le 12/03/2026\nUtilise par Durand\n\n"), armoured}));
    // Wrapped by a mail system: CR LF line ends and a quoting "> ".
    Bytes quoted = B("> ");
    for (const unsigned char byte : armoured) {
        if (byte == '\n') {
            quoted.push_back('\r');
            quoted.push_back('\n');
            quoted.push_back('>');
            quoted.push_back(' ');
        } else {
            quoted.push_back(byte);
        }
    }
    seeds.Put(target, "quoted-crlf", quoted);
    // One data character changed: the checksum no longer agrees.
    Bytes changed = armoured;
    const size_t middle = changed.size() / 2;
    changed[middle] = changed[middle] == 'A' ? 'B' : 'A';
    seeds.Put(target, "changed-character", changed);
    // No end marker.
    seeds.Put(target, "truncated", Bytes(armoured.begin(), armoured.end() - 20));
    seeds.Put(target, "markers-only", B("#BINASCII1#\n#ENDBINASCII1#\n"));
}

// Encrypts data with one key file of a private copy of the fuzz key folder.
Bytes Frame(TypUtilsUnix& utils, const fuzzsupport::FuzzKey& key, const Bytes& data) {
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    auto* keyFile = new TypFileRefUnix;
    keyFile->InitCreate(&utils);
    Check(keyFile->SetPath(key.path.c_str()) == kNoErr);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    const int32_t code = crypto.Crypt(data.data(), static_cast<uint32_t>(data.size()), &frame,
                                      &frameLength, keyFile);
    if (code != kNoErr) {
        fprintf(stderr, "cannot encrypt with %s: %d\n", key.path.c_str(), code);
        exit(1);
    }
    Bytes result(frame, frame + frameLength);
    utils.MyDisposeptr(&frame, frameLength);
    keyFile->Kill();
    delete keyFile;
    crypto.Kill();
    return result;
}

void FrameSeeds(SeedWriter& seeds) {
    const std::string target = "FrameFuzz";
    std::vector<fuzzsupport::FuzzKey> keys = fuzzsupport::FuzzKeys();
    const std::string folder = fuzzsupport::MakeFuzzKeyFolder(&keys);
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    Check(utils.SetKeyFolderPath(folder.c_str()) == kNoErr);

    // The first byte steers (0: the frame as it is); the frames are real ones.
    const Bytes dupont = Frame(utils, keys[0], B("Bonjour Durand, a demain."));
    const Bytes longer = Frame(utils, keys[0], testsupport::RandomBytes(300, 7));
    seeds.Put(target, "dupont-as-is", Join({{0x00}, dupont}));
    seeds.Put(target, "dupont-longer-than-key", Join({{0x00}, longer}));
    // Steered to each key, at a small offset.
    seeds.Put(target, "dupont-offset-5", Join({{0x81 | (5 << 3)}, dupont}));
    // The other keys cannot encrypt (their stored offset lies beyond their material, or they
    // declare none): frames of zero bytes steered to them.
    seeds.Put(target, "solo-offset-0", Join({{0x82}, Bytes(230, 0)}));
    seeds.Put(target, "court-claims-more", Join({{0x03}, Bytes(240, 0)}));
    seeds.Put(target, "vide-no-material", Join({{0x04}, Bytes(230, 0)}));
    // Shorter than a header, and a header alone.
    seeds.Put(target, "short", Join({{0x00}, Bytes(dupont.begin(), dupont.begin() + 100)}));
    seeds.Put(target, "header-only", Join({{0x00}, Bytes(dupont.begin(), dupont.begin() + 224)}));
    utils.Kill();
    fuzzsupport::RemoveFuzzKeyFolder(folder, keys);
}

// Arguments separated by NUL bytes, as GetOptFuzz splits them.
Bytes Arguments(std::initializer_list<std::string> arguments) {
    Bytes bytes;
    bool first = true;
    for (const std::string& argument : arguments) {
        if (!first) {
            bytes.push_back(0);
        }
        first = false;
        bytes.insert(bytes.end(), argument.begin(), argument.end());
    }
    return bytes;
}

void GetOptSeeds(SeedWriter& seeds) {
    const std::string target = "GetOptFuzz";
    seeds.Put(target, "all-options",
              Arguments({"-s", "lettre.txt", "-u", "dupont,durand", "-k", "/home/k/", "-d", "/tmp/",
                         "-o", "out.txt"}));
    seeds.Put(target, "attached-values", Arguments({"-slettre.txt", "-udupont", "-k/k/"}));
    seeds.Put(target, "unknown-and-missing", Arguments({"-x", "-s"}));
    seeds.Put(target, "value-is-option", Arguments({"-s", "-u", "a"}));
    seeds.Put(target, "operands", Arguments({"lettre.txt", "-s", "a", "--", "-u"}));
    seeds.Put(target, "lone-dash", Arguments({"-", "-:", "-su"}));
}

Bytes MessageWith(TypUtils& utils, const Bytes& document, const char* to,
                  const std::string& param) {
    unsigned char* withDest = nullptr;
    uint32_t withDestLength = 0;
    Check(utils.AddDestToMessage(document.data(), static_cast<uint32_t>(document.size()), &withDest,
                                 &withDestLength, to, "", "") == kNoErr);
    unsigned char* message = nullptr;
    uint32_t messageLength = 0;
    Check(utils.AddParamToMessage(withDest, withDestLength, &message, &messageLength,
                                  param.c_str()) == kNoErr);
    Bytes result(message, message + messageLength);
    utils.MyDisposeptr(&withDest, withDestLength);
    utils.MyDisposeptr(&message, messageLength);
    return result;
}

std::string Param(const std::string& name, const std::string& value) {
    return name + "BEGIN#" + value + name + "END#";
}

void MessageParamSeeds(SeedWriter& seeds, TypUtils& utils) {
    const std::string target = "MessageParamsFuzz";
    const Bytes letter = B("Bonjour,\rVoici le compte rendu.\r");
    // name NUL message
    seeds.Put(target, "one-param",
              Join({B("Sujet"),
                    {0},
                    MessageWith(utils, letter, "dupont,durand", Param("Sujet", "Compte rendu"))}));
    seeds.Put(target, "two-params",
              Join({B("Date"),
                    {0},
                    MessageWith(utils, letter, "dupont",
                                Param("Sujet", "CR") + Param("Date", "12/03/2026"))}));
    seeds.Put(
        target, "value-249",
        Join({B("V"), {0}, MessageWith(utils, letter, "a", Param("V", std::string(249, 'v')))}));
    seeds.Put(
        target, "value-250",
        Join({B("V"), {0}, MessageWith(utils, letter, "a", Param("V", std::string(250, 'v')))}));
    seeds.Put(target, "end-before-begin", Join({B("P"), {0}, B("xxPEND#yyPBEGIN#zz")}));
    seeds.Put(target, "overlapping-markers", Join({B("P"), {0}, B("PBEGIN#PEND#")}));
    seeds.Put(target, "name-114",
              Join({B(std::string(114, 'n')),
                    {0},
                    MessageWith(utils, letter, "a", Param(std::string(114, 'n'), "v"))}));
    seeds.Put(target, "name-113",
              Join({B(std::string(113, 'n')),
                    {0},
                    MessageWith(utils, letter, "a", Param(std::string(113, 'n'), "v"))}));
    seeds.Put(target, "marker-in-document",
              Join({B("Sujet"),
                    {0},
                    MessageWith(utils, B("avant#DESTBEGIN#apres"), "a", Param("Sujet", "s"))}));
    seeds.Put(target, "marker-split-at-block", MessageWith(utils, B("texte#DESTBEGIN"), "a,b", ""));
    seeds.Put(target, "empty-name-empty-message", Bytes{0});
    seeds.Put(target, "no-name", B("document sans destinataires"));
}

void TextFilterSeeds(SeedWriter& seeds) {
    const std::string target = "TextFilterFuzz";
    // élève and a line feed in the local form, and the same in the interchange form.
    seeds.Put(target, "eleve-local", Bytes{0xE9, 'l', 0xE8, 'v', 'e', 0x0A});
    seeds.Put(target, "eleve-interchange", Bytes{0x8E, 'l', 0x8F, 'v', 'e', 0x0D});
    seeds.Put(target, "crlf-and-lone-cr", B("un\r\ndeux\rtrois\n"));
    seeds.Put(target, "quote-and-upper-case", Bytes{'l', 0x92, 0xC9, 0xC0, 0xC7, 0xE4, 0xF6, 0xFC});
    Bytes every(256);
    for (size_t i = 0; i < every.size(); ++i) {
        every[i] = static_cast<unsigned char>(i);
    }
    seeds.Put(target, "every-byte", every);
    // Accented text across several 32-byte blocks, for the wide path.
    Bytes french;
    const Bytes line = {'C',  0x27, 'e',  's', 't', ' ',  0xE0, ' ',  'l',  0x92, 0xE9, 't',
                        0xE9, ' ',  0xE7, 'a', ' ', 0xF4, 0x9C, 0xFB, 0xB0, 0x8C, 0x0A};
    for (int i = 0; i < 9; ++i) {
        french.insert(french.end(), line.begin(), line.end());
    }
    seeds.Put(target, "french-lines", french);
    seeds.Put(target, "empty", Bytes{});
}

void MailSeeds(SeedWriter& seeds, TypUtils& utils) {
    const std::string target = "MailFuzz";
    const Bytes armoured = Armour(utils, B("Rendez-vous devant la mairie a midi."));
    const Bytes other = Armour(utils, B("Second message."));
    const Bytes headers =
        B("From: Anne <anne@example.org>\nTo: paul@example.org\n"
          "Subject: =?utf-8?q?r=C3=A9union?=\nMIME-Version: 1.0\n");
    seeds.Put(target, "plain", Join({headers, B("\nBonjour,\n\n"), armoured, B("\n")}));
    seeds.Put(target, "quoted-printable",
              Join({headers,
                    B("Content-Type: text/plain; charset=iso-8859-1\n"
                      "Content-Transfer-Encoding: quoted-printable\n\nCaf=E9 =\nsoft=3D\n"),
                    armoured}));
    seeds.Put(target, "flowed",
              Join({headers, B("Content-Type: text/plain; format=flowed; delsp=yes\n\n> "),
                    armoured, B(" \n>> next\n-- \nsig\n")}));
    seeds.Put(
        target, "alternative-and-forwarded",
        Join({headers,
              B("Content-Type: multipart/alternative; boundary=\"b1\"\n\nprologue\n--b1\n"
                "Content-Type: text/plain\n\n"),
              armoured, B("\n--b1\nContent-Type: text/html\n\n<div>&lt;x&gt;&#36;&nbsp;</div><br>"),
              other, B("\n--b1\nContent-Type: message/rfc822\n\nSubject: inner\n\n"), other,
              B("\n--b1--\nepilogue\n")}));
    seeds.Put(
        target, "attachment",
        Join({headers, B("Content-Type: multipart/mixed; boundary=z\n\n--z\n\nsee attached\n--z\n"
                         "Content-Type: application/octet-stream; name=\"lettre.vlx\"\n"
                         "Content-Disposition: attachment; filename*=utf-8''l%C3%A9ttre.vlx\n"
                         "Content-Transfer-Encoding: base64\n\nIyNCSU5BU0NJSTEj\n--z--\n")}));
    seeds.Put(target, "mbox",
              Join({B("From anne@example.org Thu Jan  1 00:00:00 2026\n"), headers, B("\n"),
                    armoured, B("\n\nFrom paul@example.org Thu Jan  1 00:00:01 2026\n"), headers,
                    B("\n>From here\n"), other, B("\n")}));
    seeds.Put(target, "markers-out-of-order",
              B("Subject: x\n\n#ENDBINASCII1# #BINASCII1# #BINASCII1#\n#ENDBINASCII1#"));
    seeds.Put(target, "empty", Bytes{});
}

// A whole message as decrypterMem3 reads it, both layers made with the fuzz key Dupont: the
// document and its recipient block in the interchange form, framed twice, armoured, behind two
// comment lines.
Bytes Message(TypUtilsUnix& utils, const fuzzsupport::FuzzKey& key, const Bytes& document,
              const char* to) {
    unsigned char* message = nullptr;
    uint32_t messageLength = 0;
    Check(utils.AddDestToMessage(document.data(), static_cast<uint32_t>(document.size()), &message,
                                 &messageLength, to, "", "") == kNoErr);
    Check(utils.FiltrerTexte(&message, &messageLength) == kNoErr);
    const Bytes inner = Frame(utils, key, Bytes(message, message + messageLength));
    utils.MyDisposeptr(&message, messageLength);
    return Join({B("$VELDORAN initial, clef v1 Dupont.126 18\n"), B("$VELDORAN initial\n\n"),
                 Armour(utils, Frame(utils, key, inner))});
}

void DecryptMemSeeds(SeedWriter& seeds) {
    const std::string target = "DecryptMemFuzz";
    std::vector<fuzzsupport::FuzzKey> keys = fuzzsupport::FuzzKeys();
    const std::string folder = fuzzsupport::MakeFuzzKeyFolder(&keys);
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    Check(utils.SetKeyFolderPath(folder.c_str()) == kNoErr);

    // First byte 0x00: the rest is the message.
    const Bytes letter = Message(utils, keys[0], B("Bonjour Durand,\na demain.\n"), "durand");
    seeds.Put(target, "letter", Join({{0x00}, letter}));
    seeds.Put(target, "longer-than-key",
              Join({{0x00}, Message(utils, keys[0], B(std::string(300, 'x')), "a,b")}));
    seeds.Put(target, "empty-document", Join({{0x00}, Message(utils, keys[0], B(""), "")}));
    seeds.Put(target, "marker-in-document",
              Join({{0x00}, Message(utils, keys[0], B("avant#DESTBEGIN#apres"), "a")}));
    Bytes changed = letter;
    changed[changed.size() / 2] = changed[changed.size() / 2] == 'A' ? 'B' : 'A';
    seeds.Put(target, "changed-character", Join({{0x00}, changed}));
    seeds.Put(target, "truncated", Join({{0x00}, Bytes(letter.begin(), letter.end() - 30)}));
    // One layer only: the inner frame is not a frame of a known key.
    seeds.Put(target, "one-layer",
              Join({{0x00}, Armour(utils, Frame(utils, keys[0], B("un seul niveau")))}));
    seeds.Put(target, "no-armour", Join({{0x00}, B("Bonjour, rien de chiffre ici.\n")}));
    // Odd first byte: a document for the round trip; 0x03 adds a parameter text.
    seeds.Put(target, "round-trip-letter", Join({{0x01}, B("Bonjour,\nVoici la liste.\n")}));
    seeds.Put(target, "round-trip-with-param", Join({{0x03}, B("Objet : essai\n")}));
    seeds.Put(target, "round-trip-empty", Bytes{0x01});
    utils.Kill();
    fuzzsupport::RemoveFuzzKeyFolder(folder, keys);
}

// A container block as GetStruct writes it: the sender, the recipient text and the entries.
Bytes Container(TypUtils& utils, int32_t format, const std::vector<Bytes>& files) {
    TypPieceJointe container;
    Check(container.InitCreate2(&utils, format) == kNoErr);
    container.SetExpediteur("dupont");
    container.SetDestinataire("durand,martin");
    int index = 0;
    for (const Bytes& file : files) {
        TypInfo info;
        info.long1 = index;
        unsigned char* data = utils.MyNewPtr(static_cast<uint32_t>(file.size()));
        Check(data != nullptr);
        if (!file.empty()) {
            memcpy(data, file.data(), file.size());
        }
        const std::string name = "piece-" + std::to_string(index++) + ".txt";
        Check(container.AddBlock(&info, data, static_cast<int32_t>(file.size()), name.c_str()) ==
              kNoErr);
    }
    unsigned char* block = nullptr;
    int32_t length = 0;
    Check(container.GetStruct(&block, &length) == kNoErr);
    Bytes result(block, block + length);
    utils.MyDisposeptr(&block, static_cast<uint32_t>(length));
    container.Kill();
    return result;
}

void ContainerSeeds(SeedWriter& seeds, TypUtils& utils) {
    const std::string target = "ContainerFuzz";
    // First byte: the allocation to fail (0: none); the rest is the block.
    const std::vector<Bytes> files = {B("Compte rendu de la reunion.\n"), Bytes{}, Bytes(2000, 'a'),
                                      testsupport::RandomBytes(300, 3)};
    const Bytes plain = Container(utils, kformatnoncompresse, files);
    const Bytes packed = Container(utils, kformatLZOcompresse, files);
    seeds.Put(target, "format-1", Join({{0x00}, plain}));
    seeds.Put(target, "format-2", Join({{0x00}, packed}));
    seeds.Put(target, "format-1-no-files", Join({{0x00}, Container(utils, 1, {})}));
    seeds.Put(target, "format-2-fail-third-allocation", Join({{0x03}, packed}));
    seeds.Put(target, "format-1-fail-first-allocation", Join({{0x01}, plain}));
    // Other content before the magic, as far as it may stand.
    seeds.Put(target, "after-64-bytes", Join({{0x00}, Bytes(64, '-'), plain}));
    seeds.Put(target, "cut-in-data", Join({{0x00}, Bytes(plain.begin(), plain.end() - 100)}));
    seeds.Put(target, "cut-in-stream", Join({{0x00}, Bytes(packed.begin(), packed.end() - 40)}));
    // A file count beyond knbmaxpj.
    Bytes tooMany = plain;
    const size_t countAt = TypPieceJointe::kHeaderSize + strlen("durand,martin");
    testsupport::PutBigEndian32(tooMany.data() + countAt, knbmaxpj + 1);
    seeds.Put(target, "too-many-files", Join({{0x00}, tooMany}));
}

void BinaryDecryptSeeds(SeedWriter& seeds) {
    const std::string target = "BinaryDecryptFuzz";
    std::vector<fuzzsupport::FuzzKey> keys = fuzzsupport::FuzzKeys();
    const std::string folder = fuzzsupport::MakeFuzzKeyFolder(&keys);
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    Check(utils.SetKeyFolderPath(folder.c_str()) == kNoErr);

    // First byte 0x00: the rest is an outer frame, both layers made with the fuzz key Dupont.
    const Bytes data = testsupport::RandomBytes(150, 21);
    const Bytes frame = Frame(utils, keys[0], Frame(utils, keys[0], data));
    seeds.Put(target, "dupont-twice", Join({{0x00}, frame}));
    seeds.Put(target, "dupont-twice-empty",
              Join({{0x00}, Frame(utils, keys[0], Frame(utils, keys[0], Bytes{}))}));
    seeds.Put(target, "one-layer", Join({{0x00}, Frame(utils, keys[0], data)}));
    seeds.Put(target, "one-byte-short-of-two-headers",
              Join({{0x00}, Bytes(frame.begin(), frame.begin() + 447)}));
    // The inner frame's header damaged: its version.
    Bytes badInner = frame;
    badInner[224 + 3] ^= 0x01;
    seeds.Put(target, "inner-version-spoilt", Join({{0x00}, badInner}));
    // Odd first byte: data for the round trip.
    seeds.Put(target, "round-trip-empty", Bytes{0x01});
    seeds.Put(target, "round-trip-marker",
              Join({{0x01}, B("avant#DESTBEGIN#apres"), testsupport::RandomBytes(100, 22)}));
    seeds.Put(target, "round-trip-longer-than-keys",
              Join({{0x01}, testsupport::RandomBytes(5000, 23)}));
    utils.Kill();
    fuzzsupport::RemoveFuzzKeyFolder(folder, keys);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <tests/fuzz-seeds folder>\n", argv[0]);
        return 2;
    }
    SeedWriter seeds(argv[1]);
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    ArmourSeeds(seeds, utils);
    FrameSeeds(seeds);
    GetOptSeeds(seeds);
    MessageParamSeeds(seeds, utils);
    TextFilterSeeds(seeds);
    MailSeeds(seeds, utils);
    DecryptMemSeeds(seeds);
    ContainerSeeds(seeds, utils);
    BinaryDecryptSeeds(seeds);
    printf("%d seeds written under %s\n", seeds.written(), argv[1]);
    return 0;
}
