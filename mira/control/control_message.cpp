// Encoding and parsing of a control frame's field list.
#include "mira/control/control_message.h"

#include <algorithm>

#include "mira/control/control_text.h"

namespace mira::control {

namespace {

bool validKey(std::string_view key) {
    if (key.empty() || key.size() > 32) return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
}

}  // namespace

Message& Message::add(std::string key, std::string value) {
    fields_.push_back({std::move(key), std::move(value)});
    return *this;
}

const std::string* Message::first(std::string_view key) const {
    for (const Field& f : fields_)
        if (f.key == key) return &f.value;
    return nullptr;
}

std::string Message::get(std::string_view key, std::string_view fallback) const {
    const std::string* v = first(key);
    return v ? *v : std::string(fallback);
}

std::vector<std::string> Message::all(std::string_view key) const {
    std::vector<std::string> out;
    for (const Field& f : fields_)
        if (f.key == key) out.push_back(f.value);
    return out;
}

std::string encodeMessage(const Message& message) {
    std::string out;
    for (const Field& f : message.fields()) {
        out += f.key;
        out += '=';
        appendEscaped(&out, f.value);
        out += '\n';
    }
    return out;
}

bool parseMessage(std::string_view payload, Message* out, std::string* error) {
    Message parsed;
    int line = 0;
    while (!payload.empty()) {
        line++;
        const size_t end = payload.find('\n');
        if (end == std::string_view::npos) {
            *error = "line " + std::to_string(line) + ": not ended by a newline";
            return false;
        }
        const std::string_view text = payload.substr(0, end);
        payload.remove_prefix(end + 1);
        const size_t eq = text.find('=');
        if (eq == std::string_view::npos) {
            *error = "line " + std::to_string(line) + ": no '=' between key and value";
            return false;
        }
        const std::string_view key = text.substr(0, eq);
        if (!validKey(key)) {
            *error = "line " + std::to_string(line) + ": malformed key";
            return false;
        }
        std::string value;
        if (!unescapeValue(text.substr(eq + 1), &value)) {
            *error = "line " + std::to_string(line) + ": malformed %-escape in the value of " + std::string(key);
            return false;
        }
        parsed.add(std::string(key), std::move(value));
    }
    *out = std::move(parsed);
    return true;
}

bool checkKeys(const Message& message, std::initializer_list<std::string_view> known, std::string* error) {
    for (const Field& f : message.fields()) {
        if (std::find(known.begin(), known.end(), f.key) == known.end()) {
            *error = "unknown field \"" + f.key + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace mira::control
