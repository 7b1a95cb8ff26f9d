// Text from the sensor or a file name on a terminal: control characters
// would be obeyed by the terminal (moving the cursor, retitling the window,
// rewriting what the user sees), so they are written as escapes there.

#include "cli/Cli.h"

#include <cstdio>
#include <unistd.h>

namespace {

void Hex(std::string& out, unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0xF];
}

// Length of the valid UTF-8 sequence at text[at] (0 when it is not one) and
// its code point.
size_t Utf8Sequence(const std::string& text, size_t at, unsigned& code) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if ((c & 0xC0) != 0x80) return 0;
        code = (code << 6) | (c & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string EscapeControls(const std::string& text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            const bool lineEnd = c == '\n' || c == '\t' || (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
            if ((c >= 0x20 && c != 0x7F) || (keepLines && lineEnd))
                out += static_cast<char>(c);
            else
                Hex(out, c);
            ++at;
            continue;
        }
        unsigned code = 0;
        const size_t length = Utf8Sequence(text, at, code);
        // The C1 controls (U+0080..U+009F) act like the C0 ones on many
        // terminals; bytes that are no UTF-8 may be taken as them.
        if (length == 0 || code < 0xA0) {
            Hex(out, c);
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

std::string TerminalText(FILE* out, const std::string& text, bool keepLines) {
    return out && isatty(fileno(out)) ? EscapeControls(text, keepLines) : text;
}
