// Reading the flat XML that the configuration objects render: a sequence of
// records "<object><attr>value</attr><attr/>...</object>", a value either
// plain text (with the five predefined entities) or one CDATA section.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mira::control {

struct XmlRecord {
    std::string object;
    std::vector<std::pair<std::string, std::string>> attrs;  // in document order

    // The value of an attribute, or null.
    const std::string* find(std::string_view name) const;
};

// False, with what is wrong and where in *error, when the text is not such
// a sequence.
bool parseXmlRecords(std::string_view text, std::vector<XmlRecord>* out, std::string* error);

// Renders one record in the same form (plain values escaped).
std::string formatXmlRecord(const XmlRecord& record);

}  // namespace mira::control
