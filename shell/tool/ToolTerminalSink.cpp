// The document escaped for a terminal on its way out. A carriage return is a line end only
// before a line feed; alone it would let a line be written over, so it is escaped.
#include "shell/tool/ToolTerminalSink.h"

namespace tool {

namespace {

bool PassesAsItIs(unsigned char byte) {
    return byte == '\t' || byte == '\n';
}

void AppendEscaped(const unsigned char* data, size_t count, std::string* shown) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        const char escaped[4] = {'\\', 'x', kDigits[data[i] >> 4], kDigits[data[i] & 0xf]};
        shown->append(escaped, sizeof escaped);
    }
}

}  // namespace

void TerminalText::Escape(const unsigned char* data, size_t count, std::string* shown) {
    size_t at = held_.empty() ? 0 : ResolveHeld(data, count, shown);
    size_t runStart = at;
    while (at < count) {
        const unsigned char byte = data[at];
        size_t control = 0;
        if (byte == '\r') {
            if (at + 1 == count) {
                control = TerminalControls::kCut;
            } else {
                control = data[at + 1] == '\n' ? 0 : 1;
            }
        } else if (!PassesAsItIs(byte)) {
            control = controls_.At(data + at, count - at);
        }
        if (control == 0) {
            ++at;
            continue;
        }
        shown->append(reinterpret_cast<const char*>(data + runStart), at - runStart);
        if (control == TerminalControls::kCut) {
            held_.assign(reinterpret_cast<const char*>(data + at), count - at);
            return;
        }
        AppendEscaped(data + at, control, shown);
        at += control;
        runStart = at;
    }
    shown->append(reinterpret_cast<const char*>(data + runStart), count - runStart);
}

// Settles the byte held from the last piece with the first bytes of this one; returns how many
// of them it took.
size_t TerminalText::ResolveHeld(const unsigned char* data, size_t count, std::string* shown) {
    if (count == 0) {
        return 0;
    }
    const auto held = static_cast<unsigned char>(held_[0]);
    held_.clear();
    if (held == '\r') {
        if (data[0] == '\n') {
            *shown += '\r';
        } else {
            AppendEscaped(&held, 1, shown);
        }
        return 0;
    }
    const unsigned char pair[2] = {held, data[0]};
    if (controls_.At(pair, 2) == 2) {
        AppendEscaped(pair, 2, shown);
        return 1;
    }
    *shown += static_cast<char>(held);
    return 0;
}

// A carriage return held back ends no line, and a lead byte held back starts no control
// character.
void TerminalText::Finish(std::string* shown) {
    if (held_.empty()) {
        return;
    }
    const auto held = static_cast<unsigned char>(held_[0]);
    held_.clear();
    if (held == '\r') {
        AppendEscaped(&held, 1, shown);
    } else {
        *shown += static_cast<char>(held);
    }
}

}  // namespace tool
