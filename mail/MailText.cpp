// Flowed and HTML bodies to plain text: one pass each over the body, no copy but the result.
#include "mail/MailText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// One line of a flowed body, without its line end.
struct FlowedLine {
    size_t depth = 0;
    std::string content;
};

FlowedLine ReadFlowedLine(const std::string& text, size_t begin, size_t end) {
    FlowedLine line;
    size_t at = begin;
    while (at < end && text[at] == '>') {
        ++line.depth;
        ++at;
    }
    if (at < end && text[at] == ' ') {
        ++at;  // the stuffing space, or the one a quoting client puts behind its marks
    }
    line.content.assign(text, at, end - at);
    return line;
}

void AppendQuoted(std::string* out, const FlowedLine& line) {
    if (line.depth > 0) {
        out->append(line.depth, '>');
        out->push_back(' ');
    }
    out->append(line.content);
    out->push_back('\n');
}

void AppendUtf8(std::string* out, uint32_t code) {
    if (code == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        code = 0xfffd;
    }
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xc0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xe0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xf0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    }
}

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Decodes the character reference at html[at] ('&'); false, with *next untouched, when it is
// not one (the ampersand then stands for itself).
bool DecodeReference(const std::string& html, size_t at, std::string* out, size_t* next) {
    static const struct {
        const char* name;
        uint32_t code;
    } kNamed[] = {
        {"nbsp", 0x20},  {"lt", '<'},       {"gt", '>'},     {"amp", '&'},    {"quot", '"'},
        {"apos", '\''},  {"num", '#'},      {"dollar", '$'}, {"equals", '='}, {"plus", '+'},
        {"sol", '/'},    {"percnt", '%'},   {"excl", '!'},   {"commat", '@'}, {"ast", '*'},
        {"lowbar", '_'}, {"colon", ':'},    {"semi", ';'},   {"comma", ','},  {"period", '.'},
        {"hyphen", '-'}, {"minus", 0x2212}, {"lpar", '('},   {"rpar", ')'},   {"quest", '?'}};
    // The longest reference taken: "&#x10FFFF;" and the longest name above.
    const size_t kLongest = 10;
    // Looked for within the longest reference only, so that a text of lone ampersands is read
    // once.
    const size_t window = std::min(html.size() - at, kLongest + 1);
    const void* found = memchr(html.data() + at, ';', window);
    if (found == nullptr) {
        return false;
    }
    const size_t semicolon = static_cast<size_t>(static_cast<const char*>(found) - html.data());
    if (semicolon == at + 1) {
        return false;
    }
    const std::string body = html.substr(at + 1, semicolon - at - 1);
    if (body[0] == '#') {
        const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
        const size_t first = hex ? 2 : 1;
        if (first >= body.size()) {
            return false;
        }
        uint32_t code = 0;
        for (size_t i = first; i < body.size(); ++i) {
            const char c = body[i];
            uint32_t digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint32_t>(c - '0');
            } else if (hex && Lower(c) >= 'a' && Lower(c) <= 'f') {
                digit = static_cast<uint32_t>(Lower(c) - 'a' + 10);
            } else {
                return false;
            }
            code = code * (hex ? 16 : 10) + digit;
            if (code > 0x10ffff) {
                code = 0x110000;  // stays out of range whatever digits follow
            }
        }
        AppendUtf8(out, code);
        *next = semicolon + 1;
        return true;
    }
    for (const auto& named : kNamed) {
        if (body == named.name) {
            AppendUtf8(out, named.code);
            *next = semicolon + 1;
            return true;
        }
    }
    return false;
}

// The lower-case name of the tag that starts at html[at] ('<'), "/" in front for an end tag.
std::string TagName(const std::string& html, size_t at) {
    std::string name;
    size_t i = at + 1;
    if (i < html.size() && html[i] == '/') {
        name.push_back('/');
        ++i;
    }
    while (i < html.size() && (IsAsciiAlpha(html[i]) || (html[i] >= '0' && html[i] <= '9')) &&
           name.size() < 16) {
        name.push_back(Lower(html[i]));
        ++i;
    }
    return name;
}

bool EndsLine(const std::string& tag) {
    const std::string name = !tag.empty() && tag[0] == '/' ? tag.substr(1) : tag;
    static const char* const kLineTags[] = {"br", "p",  "div", "tr", "li",  "h1",         "h2",
                                            "h3", "h4", "h5",  "h6", "pre", "blockquote", "table"};
    for (const char* lineTag : kLineTags) {
        if (name == lineTag) {
            return true;
        }
    }
    return false;
}

// Where the raw text element (script, style) that starts behind at ends: past its end tag, or
// the end of the html.
size_t SkipRawText(const std::string& html, size_t at, const std::string& name) {
    const std::string endTag = "</" + name;
    for (size_t i = html.find("</", at); i != std::string::npos; i = html.find("</", i + 2)) {
        if (TagName(html, i) == "/" + name) {
            const size_t close = html.find('>', i);
            return close == std::string::npos ? html.size() : close + 1;
        }
    }
    return html.size();
}

// The characters of Windows-1252's bytes 0x80 to 0x9F (0 for the five it leaves undefined);
// the bytes from 0xA0 on are the Unicode characters of the same number.
constexpr uint16_t kWindows1252High[32] = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

// The code point of the UTF-8 sequence at text[*at], *at moved behind it; -1 for a malformed
// one (*at then unchanged).
int32_t ReadUtf8(const std::string& text, size_t* at) {
    const auto lead = static_cast<unsigned char>(text[*at]);
    if (lead < 0x80) {
        ++*at;
        return lead;
    }
    const size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || *at + length > text.size()) {
        return -1;
    }
    uint32_t code = lead & (0x3fu >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[*at + k]);
        if ((next & 0xc0) != 0x80) {
            return -1;
        }
        code = code << 6 | (next & 0x3fu);
    }
    const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return -1;
    }
    *at += length;
    return static_cast<int32_t>(code);
}

}  // namespace

bool veldoran::IsUtf8(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        if (ReadUtf8(text, &at) < 0) {
            return false;
        }
    }
    return true;
}

bool veldoran::Utf8ToWindows1252(const std::string& text, std::string* out, std::string* refused) {
    if (!IsUtf8(text)) {
        *out = text;
        return true;
    }
    out->clear();
    out->reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const auto code = static_cast<uint32_t>(ReadUtf8(text, &at));
        if (code < 0x80 || (code >= 0xa0 && code <= 0xff)) {
            out->push_back(static_cast<char>(code));
            continue;
        }
        const uint16_t* found = std::find(kWindows1252High, kWindows1252High + 32, code);
        if (found == kWindows1252High + 32) {
            char shown[16];
            snprintf(shown, sizeof shown, "U+%04X", static_cast<unsigned>(code));
            *refused = shown;
            return false;
        }
        out->push_back(static_cast<char>(0x80 + (found - kWindows1252High)));
    }
    return true;
}

std::string veldoran::DocumentForReading(const std::string& document) {
    if (IsUtf8(document)) {
        return document;
    }
    std::string out;
    out.reserve(document.size() + document.size() / 2);
    for (const char c : document) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out.push_back(c);
        } else if (byte < 0xa0 && kWindows1252High[byte - 0x80] == 0) {
            AppendUtf8(&out, 0xfffd);
        } else {
            AppendUtf8(&out, byte < 0xa0 ? kWindows1252High[byte - 0x80] : byte);
        }
    }
    return out;
}

std::string veldoran::UnflowText(const std::string& text, bool delSp) {
    std::string out;
    out.reserve(text.size());
    FlowedLine pending;
    bool open = false;  // pending is a flowed line waiting for its continuation
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > begin && text[end - 1] == '\r') {
            --end;
        }
        FlowedLine line = ReadFlowedLine(text, begin, end);
        begin = next;
        if (open && line.depth != pending.depth) {
            // A quote depth change ends a paragraph even after a soft break.
            AppendQuoted(&out, pending);
            open = false;
        }
        if (open) {
            pending.content += line.content;
        } else {
            pending = std::move(line);
        }
        const std::string& content = pending.content;
        const bool signature = !open && content == "-- ";
        const bool flowed = !signature && !content.empty() && content.back() == ' ';
        if (flowed) {
            if (delSp) {
                pending.content.pop_back();
            }
            open = true;
        } else {
            AppendQuoted(&out, pending);
            open = false;
        }
    }
    if (open) {
        AppendQuoted(&out, pending);
    }
    return out;
}

std::string veldoran::HtmlToText(const std::string& html) {
    std::string out;
    out.reserve(html.size());
    size_t at = 0;
    while (at < html.size()) {
        const size_t special = html.find_first_of("<&", at);
        if (special == std::string::npos) {
            out.append(html, at, std::string::npos);
            break;
        }
        out.append(html, at, special - at);
        at = special;
        if (html[at] == '&') {
            if (!DecodeReference(html, at, &out, &at)) {
                out.push_back('&');
                ++at;
            }
            continue;
        }
        if (html.compare(at, 4, "<!--") == 0) {
            const size_t close = html.find("-->", at + 4);
            at = close == std::string::npos ? html.size() : close + 3;
            continue;
        }
        const std::string tag = TagName(html, at);
        const bool isTag = !tag.empty() && tag != "/";
        const bool isDeclaration =
            at + 1 < html.size() && (html[at + 1] == '!' || html[at + 1] == '?');
        if (!isTag && !isDeclaration) {
            out.push_back('<');  // a lone "<" in the text
            ++at;
            continue;
        }
        const size_t close = html.find('>', at);
        at = close == std::string::npos ? html.size() : close + 1;
        if (tag == "script" || tag == "style") {
            at = SkipRawText(html, at, tag);
        } else if (EndsLine(tag)) {
            out.push_back('\n');
        }
    }
    return out;
}
