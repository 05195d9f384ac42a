// Percent escapes of field values.
#include "mira/control/control_text.h"

#include <array>
#include <cstdint>
#include <ctime>

namespace mira::control {

namespace {

// What each byte needs: escaped always, or only with escapeBlank.
constexpr uint8_t kEscaped = 1, kEscapedIfBlank = 2;
constexpr std::array<uint8_t, 256> kEscapes = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 0x20; c++) table[c] = kEscaped;
    table[0x7f] = table['%'] = kEscaped;
    table[' '] = table['='] = kEscapedIfBlank;
    return table;
}();

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void appendEscaped(std::string* out, std::string_view value, bool escapeBlank) {
    static const char kHex[] = "0123456789ABCDEF";
    const uint8_t mask = escapeBlank ? kEscapedIfBlank | kEscaped : kEscaped;
    // Runs of plain characters are appended whole: a listing's reply is one
    // value of megabytes with a few escapes per line.
    size_t run = 0;
    for (size_t i = 0; i < value.size(); i++) {
        const auto c = static_cast<unsigned char>(value[i]);
        if ((kEscapes[c] & mask) == 0) continue;
        out->append(value, run, i - run);
        const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xf]};
        out->append(escaped, sizeof escaped);
        run = i + 1;
    }
    out->append(value, run, value.size() - run);
}

std::string escapeValue(std::string_view value, bool escapeBlank) {
    std::string out;
    out.reserve(value.size());
    appendEscaped(&out, value, escapeBlank);
    return out;
}

bool unescapeValue(std::string_view text, std::string* out) {
    std::string value;
    value.reserve(text.size());
    size_t run = 0;  // start of the plain characters not yet copied
    for (size_t i = 0; i < text.size(); i++) {
        // A NUL is never part of a value, raw or escaped: it would cut the
        // value short wherever it is used as a text, and it cannot be
        // written back.
        if (text[i] == '\0') return false;
        if (text[i] != '%') continue;
        value.append(text, run, i - run);
        if (i + 2 >= text.size()) return false;
        const int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
        value.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
        run = i + 1;
    }
    value.append(text, run, text.size() - run);
    *out = std::move(value);
    return true;
}

size_t utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = b(0);
    size_t length = 0;
    uint32_t code = 0, least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1fu, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0fu, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((b(i) & 0xc0u) != 0x80) return 0;
        code = (code << 6) | (b(i) & 0x3fu);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

bool isPrintableWord(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c <= 0x20 || c == 0x7f) return false;
            i++;
            continue;
        }
        const size_t length = utf8SequenceLength(text.substr(i));
        // C1 controls are U+0080..U+009F: 0xc2 0x80..0x9f.
        if (length == 0 || (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0)) return false;
        i += length;
    }
    return true;
}

std::string isoLocalTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string iso = buf;
    if (iso.size() > 5) iso.insert(iso.size() - 2, ":");  // +0100 -> +01:00
    return iso;
}

}  // namespace mira::control
