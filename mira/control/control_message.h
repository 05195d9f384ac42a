// The payload of a control frame: a list of fields, one per line,
// "key=value\n", the value escaped (control_text.h). Keys are lower-case
// words with dashes; a key may repeat (attributes, arguments).
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace mira::control {

struct Field {
    std::string key;
    std::string value;
};

class Message {
public:
    Message& add(std::string key, std::string value);
    // The first value of a key, or null.
    const std::string* first(std::string_view key) const;
    std::string get(std::string_view key, std::string_view fallback = "") const;
    std::vector<std::string> all(std::string_view key) const;
    const std::vector<Field>& fields() const { return fields_; }

private:
    std::vector<Field> fields_;
};

std::string encodeMessage(const Message& message);
// False, with "line N: what is wrong" in *error, when the payload is not a
// list of well-formed fields.
bool parseMessage(std::string_view payload, Message* out, std::string* error);
// False, with the first unknown key named in *error, when a field's key is
// not in the list.
bool checkKeys(const Message& message, std::initializer_list<std::string_view> known, std::string* error);

}  // namespace mira::control
