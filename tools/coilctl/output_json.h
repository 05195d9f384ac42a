// coilctl's output for programs: one JSON object per command, or the same
// object as key=value lines. Values are typed (numbers, booleans, times in
// ISO 8601), and codes carry their words beside them.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mira/control/control_xml.h"

namespace coilctl {

// One record: {"object": NAME, attribute: typed value, ...}.
nlohmann::ordered_json typedRecord(const mira::control::XmlRecord& record);
// An asctime() text ("Sun Dec  6 00:31:06 2026\n", local time) in ISO 8601
// with the zone offset; the text itself when it is not such a time.
std::string isoTime(const std::string& asctimeText);
// "a.b.c=value" lines: object keys and array indexes joined by dots; a
// newline or backslash in a value is written \n or \\.
std::string keyValueLines(const nlohmann::ordered_json& document);

}  // namespace coilctl
