// Percent escapes of field values.
#include "mira/control/control_text.h"

namespace mira::control {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string escapeValue(std::string_view value, bool escapeBlank) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool escape = c < 0x20 || c == 0x7f || c == '%' || (escapeBlank && (c == ' ' || c == '='));
        if (!escape) {
            out.push_back(ch);
            continue;
        }
        out.push_back('%');
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xf]);
    }
    return out;
}

bool unescapeValue(std::string_view text, std::string* out) {
    std::string value;
    value.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        // A NUL is never part of a value, raw or escaped: it would cut the
        // value short wherever it is used as a text, and it cannot be
        // written back.
        if (text[i] == '\0') return false;
        if (text[i] != '%') {
            value.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
        value.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    *out = std::move(value);
    return true;
}

}  // namespace mira::control
