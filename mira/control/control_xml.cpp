// A reader for the objects' flat XML, and its writer for records that the
// control server makes itself.
#include "mira/control/control_xml.h"

namespace mira::control {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool done() const { return pos_ >= text_.size(); }
    size_t pos() const { return pos_; }

    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r'))
            pos_++;
    }
    bool startsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }
    bool take(std::string_view s) {
        if (!startsWith(s)) return false;
        pos_ += s.size();
        return true;
    }
    // A name of letters, digits, '_' and '-'.
    bool name(std::string* out) {
        size_t start = pos_;
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-'))
                break;
            pos_++;
        }
        if (pos_ == start) return false;
        out->assign(text_.substr(start, pos_ - start));
        return true;
    }
    // Text up to the next '<'.
    std::string_view textRun() {
        size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != '<') pos_++;
        return text_.substr(start, pos_ - start);
    }
    // CDATA content up to "]]>".
    bool cdata(std::string* out) {
        size_t end = text_.find("]]>", pos_);
        if (end == std::string_view::npos) return false;
        out->assign(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
        return true;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

bool decodeEntities(std::string_view in, std::string* out) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    // Most values have no entity: one copy, no growth character by character.
    if (in.find('&') == std::string_view::npos) {
        out->assign(in);
        return true;
    }
    out->clear();
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '&') {
            out->push_back(in[i++]);
            continue;
        }
        bool known = false;
        for (const auto& [entity, ch] : kEntities) {
            if (in.substr(i, entity.size()) == entity) {
                out->push_back(ch);
                i += entity.size();
                known = true;
                break;
            }
        }
        if (!known) return false;
    }
    return true;
}

bool fail(std::string* error, const Reader& r, const std::string& what) {
    *error = what + " at offset " + std::to_string(r.pos());
    return false;
}

// One "<attr>value</attr>" or "<attr/>", the opening '<' already taken.
bool readAttr(Reader& r, XmlRecord* record, std::string* error) {
    std::string name;
    if (!r.name(&name)) return fail(error, r, "malformed element name");
    if (r.take("/>")) {
        record->attrs.emplace_back(std::move(name), std::string());
        return true;
    }
    if (!r.take(">")) return fail(error, r, "'>' expected after <" + name);
    std::string value;
    if (r.take("<![CDATA[")) {
        // Adjacent sections are one text: a "]]>" of the text spans two.
        std::string more;
        do {
            if (!r.cdata(&more)) return fail(error, r, "unterminated CDATA section");
            value += more;
        } while (r.take("<![CDATA["));
    } else if (!decodeEntities(r.textRun(), &value)) {
        return fail(error, r, "unknown entity in <" + name + ">");
    }
    if (!r.take("</") || !r.take(name) || !r.take(">")) return fail(error, r, "</" + name + "> expected");
    record->attrs.emplace_back(std::move(name), std::move(value));
    return true;
}

std::string encodeText(std::string_view in) {
    std::string out;
    for (char c : in) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

}  // namespace

const std::string* XmlRecord::find(std::string_view name) const {
    for (const auto& [key, value] : attrs)
        if (key == name) return &value;
    return nullptr;
}

bool parseXmlRecords(std::string_view text, std::vector<XmlRecord>* out, std::string* error) {
    std::vector<XmlRecord> records;
    Reader r(text);
    // Records of one reply have the same attributes: each record's list is
    // made as long as the last one's at once, not grown step by step.
    size_t attrsOfLast = 0;
    for (r.skipBlanks(); !r.done(); r.skipBlanks()) {
        XmlRecord record;
        record.attrs.reserve(attrsOfLast);
        if (!r.take("<") || !r.name(&record.object)) return fail(error, r, "record element expected");
        if (r.take("/>")) {
            records.push_back(std::move(record));
            continue;
        }
        if (!r.take(">")) return fail(error, r, "'>' expected after <" + record.object);
        for (r.skipBlanks(); !r.startsWith("</"); r.skipBlanks()) {
            if (r.done()) return fail(error, r, "</" + record.object + "> missing");
            if (!r.take("<")) return fail(error, r, "text outside an attribute");
            if (!readAttr(r, &record, error)) return false;
        }
        r.take("</");
        if (!r.take(record.object) || !r.take(">")) return fail(error, r, "</" + record.object + "> expected");
        attrsOfLast = record.attrs.size();
        records.push_back(std::move(record));
    }
    *out = std::move(records);
    return true;
}

std::string formatXmlRecord(const XmlRecord& record) {
    std::string out = "<" + record.object + ">";
    for (const auto& [name, value] : record.attrs) {
        if (value.empty())
            out += "<" + name + "/>";
        else
            out.append("<").append(name).append(">").append(encodeText(value)).append("</").append(name).append(">");
    }
    return out + "</" + record.object + ">";
}

}  // namespace mira::control
