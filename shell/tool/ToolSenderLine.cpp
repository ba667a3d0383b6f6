// A comment line reads "$VELDORAN initial, clef v<version> <name>.<year> MID <uses>"; it agrees
// with the frame when all but its use count is the line the frame's sender key makes, since
// the count is the only part a later use of the same key changes.
#include "shell/tool/ToolSenderLine.h"

#include <stdint.h>

#include "platform/OwnedBlock.h"
#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace tool {

namespace {

constexpr char kUseCount[] = " MID ";

// The header of the sender key in the armour's frame; false when the armour does not decode to
// a frame that starts with a key header.
bool FrameSender(const char* armour, size_t length, TypKeyHeader* header) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypBinASCII decoder;
    decoder.InitCreate(&utils);
    veldoran::OwnedBlock frame(&utils);
    if (length > UINT32_MAX ||
        decoder.ASCIIToBin(reinterpret_cast<const unsigned char*>(armour),
                           static_cast<uint32_t>(length), frame.Pointer(),
                           frame.Length()) != kNoErr ||
        frame.length() < kKeyHeaderSize) {
        return false;
    }
    veldoran::DecodeKeyHeader(frame.data(), header);
    return veldoran::IsKeyHeader(*header);
}

// The comment line the key of header makes, up to its use count.
std::string CommentLineOf(const TypKeyHeader& header) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    char comment[128] = {};  // MakeKeyComment writes at most 107 bytes
    crypto.MakeKeyComment(header, comment);
    const std::string line = comment;
    return line.substr(0, line.rfind(kUseCount));
}

// The key file name of header: <name>.<year text>.
std::string KeyFileName(const TypKeyHeader& header) {
    char yearText[16] = {};
    TypUtilsUnix::FormatYearText(header.year - 1900, yearText);
    const auto nameLength = static_cast<size_t>(header.nameLen);
    return std::string(reinterpret_cast<const char*>(header.name), nameLength) + "." + yearText;
}

}  // namespace

std::string SenderWords(const char* armour, size_t length, const std::string& comment) {
    TypKeyHeader sender{};
    if (!FrameSender(armour, length, &sender)) {
        return comment.empty() ? "no key comment" : EscapeForTerminal(comment);
    }
    const size_t useCount = comment.rfind(kUseCount);
    if (useCount != std::string::npos && comment.substr(0, useCount) == CommentLineOf(sender)) {
        return EscapeForTerminal(comment);
    }
    const std::string name = EscapeForTerminal(std::string(
        reinterpret_cast<const char*>(sender.name), static_cast<size_t>(sender.nameLen)));
    const std::string words = "key " + EscapeForTerminal(KeyFileName(sender));
    if (comment.empty()) {
        return words + " (no key comment line above it)";
    }
    return words + " (the comment line above it says \"" + EscapeForTerminal(comment) +
           "\"; the key is " + name + "'s)";
}

}  // namespace tool
