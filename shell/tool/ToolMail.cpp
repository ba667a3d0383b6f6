// Whole mails for decrypt: the mail layer finds the armours, the library's decrypterMem3
// decrypts each, and the documents go out in the order found. The display filter works on the
// text as the mail client shows it and changes nothing but the armours it can decrypt.
#include "shell/tool/ToolMail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mail/MailArmours.h"
#include "mail/MailShape.h"
#include "mail/MailText.h"
#include "platform/OwnedBlock.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolMailLayer.h"
#include "shell/tool/ToolSenderLine.h"
#include "shell/tool/ToolTerminalSink.h"
#include "veldoran.h"

namespace tool {

namespace {

// Why the armour whose decryption has just failed with code did not decrypt, naming the key
// file it needed where the library's failure report names one.
std::string WhyNotDecrypted(int32_t code) {
    std::string words = DescribeResult(code, Activity::kDecryptText);
    VeldoranFailure failure{};
    if (veldoranLastFailure(&failure) == code && failure.role == kVeldoranRoleFrameKey &&
        failure.path[0] != '\0') {
        // A name from the message's own frame header.
        words += " (" + EscapeForTerminal(failure.path) + ")";
    }
    return words;
}

// One armour decrypted: 0 with the document (and the tail) to free, or the library's code.
struct Decrypted {
    int32_t result = kNoErr;
    char* document = nullptr;
    char* tail = nullptr;
    Decrypted() = default;
    Decrypted(const Decrypted&) = delete;
    Decrypted& operator=(const Decrypted&) = delete;
    ~Decrypted() {
        veldoran::OwnedBlock released;
        released.AdoptText(&document);
        released.AdoptText(&tail);
    }
};

// A document in the system's Windows-1252 (as sendmail sends letters) made UTF-8, as a mail
// reader shows text; one already in UTF-8 stays as it is.
void ForReading(Decrypted* out) {
    if (out->result != kNoErr || veldoran::IsUtf8(out->document)) {
        return;
    }
    const std::string readable = veldoran::DocumentForReading(out->document);
    veldoran::OwnedBlock copy;
    if (readable.size() >= UINT32_MAX || copy.Allocate(readable.size() + 1) != kNoErr) {
        return;  // shown as it came
    }
    memcpy(copy.data(), readable.c_str(), readable.size() + 1);
    veldoran::OwnedBlock replaced;
    replaced.AdoptText(&out->document);
    out->document = reinterpret_cast<char*>(copy.Release());
}

// Decrypts the armour text[begin, end) where it stands: the byte behind it becomes the NUL
// that ends the message for the library while it runs, so that the library reads the armour
// alone and nothing is copied.
void DecryptArmour(std::string* text, size_t begin, size_t end, const std::string& keyPrefix,
                   Decrypted* out) {
    if (memchr(text->data() + begin, '\0', end - begin) != nullptr) {
        out->result = kPbErr;  // a NUL cuts the armour short for the library
        return;
    }
    if (end == text->size()) {
        out->result =
            decrypterMem3(text->c_str() + begin, &out->document, keyPrefix.c_str(), &out->tail);
        ForReading(out);
        return;
    }
    const char behind = (*text)[end];
    (*text)[end] = '\0';
    out->result =
        decrypterMem3(text->c_str() + begin, &out->document, keyPrefix.c_str(), &out->tail);
    (*text)[end] = behind;
    ForReading(out);
}

// Writes a document to output as it is, or escaped for a terminal through terminal when set
// (into shown, kept for the run).
int32_t WriteDocument(OutputFile* output, TerminalText* terminal, const unsigned char* document,
                      size_t length, std::string* shown) {
    if (terminal == nullptr) {
        return output->Write(document, length);
    }
    shown->clear();
    terminal->Escape(document, length, shown);
    terminal->Finish(shown);
    return output->Write(*shown);
}

bool IsQuoting(const std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (text[i] != '>' && text[i] != ' ' && text[i] != '\t') {
            return false;
        }
    }
    return true;
}

// The start of the line that holds text[at], or floor when the line begins before it: the
// search never goes back over text already looked at.
size_t LineStart(const std::string& text, size_t at, size_t floor) {
    while (at > floor && text[at - 1] != '\n') {
        --at;
    }
    return at;
}

// Whether the line [from, to) (without its line end) is a key comment line behind quoting.
bool IsCommentLine(const std::string& text, size_t from, size_t to) {
    size_t at = from;
    while (at < to && (text[at] == '>' || text[at] == ' ' || text[at] == '\t')) {
        ++at;
    }
    return text.compare(at, sizeof veldoran::kKeyCommentStart - 1, veldoran::kKeyCommentStart) == 0;
}

// Where the armour at place begins once the key comment lines above it and the empty line
// between are taken with it, no earlier than floor.
size_t RegionBegin(const std::string& text, size_t markerLine, size_t floor) {
    size_t begin = markerLine;
    size_t line = markerLine;
    bool passedEmpty = false;
    int comments = 0;
    while (line > floor && comments < 2) {
        const size_t end = line - 1;  // the '\n' of the line above
        const size_t start = LineStart(text, end, floor);
        if (start > 0 && text[start - 1] != '\n') {
            break;  // the rest of a line whose start went out with the armour before
        }
        const size_t content = end > start && text[end - 1] == '\r' ? end - 1 : end;
        if (IsCommentLine(text, start, content)) {
            ++comments;
            begin = start;
        } else if (!passedEmpty && comments == 0 && IsQuoting(text, start, content)) {
            passedEmpty = true;
        } else {
            break;
        }
        line = start;
    }
    return begin;
}

}  // namespace

bool IsMailText(const std::string& text) {
    return veldoran::IsReceivedMail(text.data(), text.size());
}

bool IsMailFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    std::string head(veldoran::kShapeLook, '\0');
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t count = read(fd, &head[got], head.size() - got);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        got += static_cast<size_t>(count);
    }
    close(fd);
    return veldoran::IsReceivedMail(head.data(), got);
}

int32_t DecryptMail(const MailDecryptOptions& options, MailSource source,
                    const std::function<bool(veldoran::MailPart&)>& attachment) {
    veldoran::MailArmours armours;
    size_t encryptedAttachments = 0;
    const veldoran::MailPartSink sink = [&](veldoran::MailPart& part) {
        // A part without a start marker holds no armour: a file sent along.
        if (attachment && part.attachment &&
            part.content.find(veldoran::armour::kStartMarker) == std::string::npos &&
            attachment(part)) {
            ++encryptedAttachments;
        }
        armours.Search(std::move(part.content), part.letter);
    };
    const veldoran::MailNoticeSink notice = [&](const std::string& words) {
        Warn(options.shownInput, words);
    };
    size_t letters = 1;
    if (source.text != nullptr && !IsMailText(*source.text)) {
        armours.Search(std::move(*source.text), 1);  // a bare message: the text is its body
    } else {
        std::string why;
        const veldoran::MailLayer* layer = LoadMailLayer(&why);
        if (layer == nullptr) {
            if (source.fd >= 0) {
                close(source.fd);
            }
            return Fail(kOtherErr, options.shownInput,
                        "cannot be read: the mail reader cannot be loaded (" + why + ")");
        }
        letters = source.text != nullptr ? layer->readMail(source.text, sink, notice)
                                         : layer->readMailFile(source.fd, sink, notice);
    }
    if (letters == 0) {
        return Fail(kPbErr, options.shownInput, "not a mail that can be read");
    }
    std::vector<veldoran::MailArmour>& found = armours.Found();
    if (found.empty() && encryptedAttachments > 0) {
        return kNoErr;
    }
    if (found.empty()) {
        return FailWithResult(kPbErr, options.shownInput, Activity::kDecryptText);
    }
    const size_t count = options.first ? 1 : found.size();
    OutputFile output;
    int32_t result = output.Open(options.output, options.keyPrefix);
    if (result != kNoErr) {
        return result;
    }
    std::unique_ptr<TerminalText> terminal;
    std::string shown;
    if (output.ToTerminal()) {
        terminal = std::make_unique<TerminalText>(
            options.common != nullptr ? UserCharset(*options.common) : veldoran::LocaleCharset());
    }
    int32_t firstFailure = kNoErr;
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
        Decrypted decrypted;
        DecryptArmour(found[i].text.get(), found[i].begin, found[i].end, options.keyPrefix,
                      &decrypted);
        const std::string number =
            "message " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (decrypted.result != kNoErr) {
            Fail(decrypted.result, count > 1 ? number : options.shownInput,
                 WhyNotDecrypted(decrypted.result));
            firstFailure = firstFailure == kNoErr ? decrypted.result : firstFailure;
            continue;
        }
        WarnReadFindings(count > 1 ? number : options.shownInput);
        const std::string sender =
            count > 1 ? SenderWords(found[i].text->data() + found[i].begin,
                                    found[i].end - found[i].begin, found[i].comment)
                      : "";
        found[i].text.reset();  // the text goes once its last armour is done
        if (count > 1) {
            result = output.Write("--- " + number + ": " + sender + " ---\n");
        }
        if (result == kNoErr) {
            result = WriteDocument(&output, terminal.get(),
                                   reinterpret_cast<const unsigned char*>(decrypted.document),
                                   strlen(decrypted.document), &shown);
        }
        if (result != kNoErr) {
            return result;
        }
        if (options.tail) {
            options.tail(decrypted.tail);
        }
        ++written;
    }
    if (written > 0) {
        result = output.Commit();
    }
    return result != kNoErr ? result : firstFailure;
}

int32_t DecryptInline(const std::string& keyPrefix) {
    std::string text;
    if (ReadWholeInput("-", &text) != kNoErr) {
        return kOtherErr;
    }
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    veldoran::FindArmours(text.data(), text.size(), [&](const veldoran::ArmourPlace& place) {
        const size_t markerLine = LineStart(text, place.begin, copied);
        const bool atLineStart = markerLine == 0 || text[markerLine - 1] == '\n';
        const bool quotedLine = atLineStart && IsQuoting(text, markerLine, place.begin);
        const std::string prefix =
            quotedLine ? text.substr(markerLine, place.begin - markerLine) : std::string();
        const size_t begin = quotedLine ? RegionBegin(text, markerLine, copied) : place.begin;
        // The rest of the end marker's line goes with the armour when it is only its line end.
        size_t end = place.end;
        std::string lineEnd = "\n";
        if (text.compare(end, 2, "\r\n") == 0) {
            lineEnd = "\r\n";
            end += 2;
        } else if (end < text.size() && text[end] == '\n') {
            end += 1;
        } else {
            lineEnd.clear();
        }
        Decrypted decrypted;
        DecryptArmour(&text, place.begin, place.end, keyPrefix, &decrypted);
        WarnReadFindings(DisplayName("-", false));
        out.append(text, copied, begin - copied);
        if (decrypted.result != kNoErr) {
            out.append(text, begin, end - begin);
            if (lineEnd.empty()) {
                out += "\n";
            }
            out += prefix + "[veldoran-tool: not decrypted: " + WhyNotDecrypted(decrypted.result) +
                   "]" + (lineEnd.empty() ? "\n" : lineEnd);
        } else {
            const std::string document = decrypted.document;
            size_t at = 0;
            while (at < document.size()) {
                size_t stop = document.find('\n', at);
                const bool last = stop == std::string::npos;
                stop = last ? document.size() : stop;
                out += prefix;
                out.append(document, at, stop - at);
                if (!last || !lineEnd.empty()) {
                    out += lineEnd.empty() ? "\n" : lineEnd;
                }
                at = stop + 1;
            }
        }
        copied = end;
    });
    out.append(text, copied, std::string::npos);
    if (WriteFully(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(out.data()), out.size()) !=
        0) {
        return Fail(kOtherErr, "standard output", "cannot be written");
    }
    return kNoErr;
}

}  // namespace tool
