// Showing coild's replies: readable tables, the daemon's XML, or JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "coilctl.h"
#include "configure.h"
#include "mira/control/control_xml.h"

namespace coilctl {

namespace {

using mira::control::Message;
using mira::control::XmlRecord;

std::string attr(const XmlRecord& r, const char* name, const char* fallback = "-") {
    const std::string* v = r.find(name);
    return v ? *v : fallback;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

void printTable(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(head.size());
    for (size_t i = 0; i < head.size(); i++) width[i] = head[i].size();
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size() && i < width.size(); i++) width[i] = std::max(width[i], row[i].size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t i = 0; i < cells.size(); i++) {
            out += cells[i];
            if (i + 1 < cells.size()) out += std::string(width[i] - cells[i].size() + 2, ' ');
        }
        std::printf("%s\n", out.c_str());
    };
    line(head);
    for (const auto& row : rows) line(row);
}

void printPairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
    size_t w = 0;
    for (const auto& [k, v] : pairs) w = std::max(w, k.size());
    for (const auto& [k, v] : pairs) std::printf("%-*s  %s\n", int(w), k.c_str(), v.c_str());
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(char(c));
                }
        }
    }
    return out + "\"";
}

void printJson(const Message& reply, const std::vector<XmlRecord>& records) {
    std::string out = "{";
    bool first = true;
    auto field = [&](const std::string& key, const std::string& rendered) {
        out += (first ? "" : ",") + jsonString(key) + ":" + rendered;
        first = false;
    };
    for (const char* key : {"status", "error", "result", "message", "path", "records", "stdout"}) {
        const std::string* v = reply.first(key);
        if (v == nullptr) continue;
        const bool number = std::string(key) == "result" || std::string(key) == "records";
        field(key, number && !v->empty() ? *v : jsonString(*v));
    }
    std::string list = "[";
    for (size_t i = 0; i < records.size(); i++) {
        list += (i ? "," : "") + std::string("{\"object\":") + jsonString(records[i].object) + ",\"attributes\":{";
        for (size_t k = 0; k < records[i].attrs.size(); k++)
            list += (k ? "," : "") + jsonString(records[i].attrs[k].first) + ":" + jsonString(records[i].attrs[k].second);
        list += "}}";
    }
    field("entries", list + "]");
    std::printf("%s}\n", out.c_str());
}

void showGlobal(const std::vector<XmlRecord>& records) {
    if (records.empty()) return;
    const XmlRecord& r = records[0];
    printPairs({{"loop detection", attr(r, "enable") == "true" ? "enabled" : "disabled"},
                {"port wait time", attr(r, "disablePortWaitTime") + " s"},
                {"services", attr(r, "coilClients")},
                {"PDUs sent", attr(r, "txpkts")},
                {"PDUs received", attr(r, "rxpkts")}});
}

std::string disableText(const XmlRecord& r) {
    if (attr(r, "disablePort", "0") == "0") return "no";
    const std::string d = attr(r, "disablePortDuration", "0");
    return d == "0" ? "permanent" : d + " s";
}

void showServices(const std::vector<XmlRecord>& records) {
    if (records.empty()) {
        std::printf("no services\n");
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const XmlRecord& r : records) {
        const std::string pollType = attr(r, "pollType");
        const char* action = actionWord(attr(r, "action"));
        const std::string ports = attr(r, "ports", "");
        rows.push_back({attr(r, "clientIdentifier"), attr(r, "vlan"),
                        pollType == "1" ? "count " + attr(r, "retry") : pollType == "2" ? "continuous" : pollType,
                        attr(r, "interval") + " s", ports.empty() ? "all" : ports,
                        action ? action : attr(r, "action") == "0" ? "none" : attr(r, "action"), disableText(r),
                        attr(r, "txpkts"), attr(r, "rxpkts")});
    }
    printTable({"CLIENT", "VLAN", "POLL", "INTERVAL", "PORTS", "ACTION", "DISABLE-PORT", "SENT", "RECEIVED"}, rows);
}

void showStatus(const std::vector<XmlRecord>& records) {
    for (const XmlRecord& r : records) {
        printPairs({{"VLAN", attr(r, "vlan")},
                    {"client", attr(r, "clientIdentifier")},
                    {"result", attr(r, "statusFlag") == "0" ? "reported" : "pending (probing)"},
                    {"PDUs sent", attr(r, "pollCount")}});
        const std::string report = trimmed(attr(r, "statusString", ""));
        std::printf("%s\n", report.empty() ? "(no report yet)" : report.c_str());
    }
}

void showDisabledPorts(const std::vector<XmlRecord>& records) {
    if (records.empty()) {
        std::printf("no disabled ports\n");
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const XmlRecord& r : records) {
        const std::string d = attr(r, "disablePortDuration");
        rows.push_back({attr(r, "disabledPort"), attr(r, "vlan"), d == "0" ? "permanent" : d + " s",
                        trimmed(attr(r, "timeDisabled"))});
    }
    printTable({"PORT", "VLAN", "HOLD", "DISABLED AT"}, rows);
}

void showRecords(const std::vector<XmlRecord>& records) {
    for (size_t i = 0; i < records.size(); i++) {
        if (i) std::printf("\n");
        std::printf("%s\n", records[i].object.c_str());
        std::vector<std::pair<std::string, std::string>> pairs;
        for (const auto& [k, v] : records[i].attrs) pairs.emplace_back("  " + k, trimmed(v));
        printPairs(pairs);
    }
}

void showLabPorts(const std::vector<XmlRecord>& records) {
    std::vector<std::vector<std::string>> rows;
    for (const XmlRecord& r : records)
        rows.push_back({attr(r, "port"), attr(r, "admin"), attr(r, "link"), attr(r, "wire", ""), attr(r, "trunk", ""),
                        attr(r, "vlans", "")});
    printTable({"PORT", "ADMIN", "LINK", "WIRE", "TRUNK", "VLANS"}, rows);
}

}  // namespace

int render(const Plan& plan, const Message& reply, Format format) {
    if (reply.get("status") != "ok") {
        if (format == Format::Json) printJson(reply, {});
        else std::fprintf(stderr, "coilctl: %s\n", reply.get("error", "coild refused the request").c_str());
        return kExitRefused;
    }
    const std::string output = reply.get("output");
    std::vector<XmlRecord> records;
    std::string error;
    if (!mira::control::parseXmlRecords(output, &records, &error)) {
        std::fprintf(stderr, "coilctl: unreadable reply: %s\n", error.c_str());
        return kExitUnreachable;
    }
    const std::string message = reply.get("message");
    const bool isCm = reply.first("result") != nullptr;
    const bool refused = isCm && (reply.get("result") == "0" || reply.get("rc") == "0");
    const bool notFound = isCm && !refused && !plan.notFound.empty() && records.empty();

    if (format == Format::Json) {
        printJson(reply, records);
        return refused || notFound ? kExitRefused : kExitOk;
    }
    if (refused) {
        // The daemon's own words, as it wrote them.
        if (!message.empty()) std::fputs(message.back() == '\n' ? message.c_str() : (message + "\n").c_str(), stderr);
        else std::fprintf(stderr, "coilctl: coild refused the request\n");
        return kExitRefused;
    }
    if (format == Format::Xml) {
        if (!output.empty()) std::printf("%s\n", output.c_str());
        if (plan.view == View::Dump) std::fputs(reply.get("stdout").c_str(), stdout);
        return notFound ? kExitRefused : kExitOk;
    }
    if (notFound) {
        std::fprintf(stderr, "coilctl: %s\n", plan.notFound.c_str());
        return kExitRefused;
    }
    switch (plan.view) {
        case View::Done: std::printf("%s\n", plan.doneText.c_str()); break;
        case View::Global: showGlobal(records); break;
        case View::Services: showServices(records); break;
        case View::Status: showStatus(records); break;
        case View::DisabledPorts: showDisabledPorts(records); break;
        case View::Records:
            if (records.empty()) std::printf("ok\n");
            showRecords(records);
            break;
        case View::Dump: std::fputs(reply.get("stdout").c_str(), stdout); break;
        case View::Saved:
            std::printf("configuration saved to %s (%s records)\n", reply.get("path").c_str(),
                        reply.get("records").c_str());
            break;
        case View::Lab: std::printf("%s\n", message.c_str()); break;
        case View::LabPorts: showLabPorts(records); break;
    }
    if (isCm && !message.empty() && plan.view != View::Lab)
        std::fputs(message.back() == '\n' ? message.c_str() : (message + "\n").c_str(), stdout);
    return kExitOk;
}

}  // namespace coilctl
