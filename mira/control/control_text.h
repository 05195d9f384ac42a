// Escaping of values inside one-line text records (the control protocol's
// fields and the saved configuration's attributes): a value never holds a
// line break, and in the saved file never a blank either.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

namespace mira::control {

// Writes '%', control characters and DEL as %XX (two upper-case hex
// digits); with escapeBlank also ' ' and '='.
std::string escapeValue(std::string_view value, bool escapeBlank = false);
// The same, appended to *out.
void appendEscaped(std::string* out, std::string_view value, bool escapeBlank = false);
// Reverses escapeValue; false on a '%' not followed by two hex digits, or on
// a NUL, raw or escaped.
bool unescapeValue(std::string_view text, std::string* out);

// Length of the well-formed UTF-8 sequence of two to four bytes that starts
// text (no overlong form, no surrogate, nothing above U+10FFFF), else 0.
size_t utf8SequenceLength(std::string_view text);
// A name that is one word of printable text: well-formed UTF-8 without
// blanks or control characters (C0, DEL, C1).
bool isPrintableWord(std::string_view text);

// A time in ISO 8601, local time with the zone offset ("+01:00").
std::string isoLocalTime(std::time_t t);

}  // namespace mira::control
