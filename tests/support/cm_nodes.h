// Helpers for tests of the configuration objects: attribute nodes built from
// text, and the trace log captured line by line.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "clients/coil_objdef.h"
#include "cmbackend.h"
#include "mira/core/platform.h"

namespace coiltest {

// An attribute node as the backend library hands it over: the attribute's
// entry of coilObjectInfoTable and the value text in the record slot.
struct Attr {
    std::string value;
    cmObject_t node{};
    Attr(uint32_t id, std::string text) : value(std::move(text)) {
        node.info = coilObjectInfoEntry(id);
        node.record = value.data();
    }
    cmObject_t* get() { return &node; }
};

// Captures every log line while alive, with the trace component switched on.
class TraceCapture {
public:
    TraceCapture() {
        mira::setConditionEnabled("trace", "*", true);
        mira::captureLog(&lines_);
    }
    ~TraceCapture() { mira::captureLog(nullptr); }
    const std::vector<std::string>& lines() const { return lines_; }
    // True when some line ends with the text.
    bool has(const std::string& text) const {
        for (const std::string& line : lines_)
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

}  // namespace coiltest
