// Showing coild's replies: readable tables, the daemon's XML, or JSON.
#include <charconv>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "coilctl.h"
#include "configure.h"
#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_xml.h"
#include "output_json.h"

namespace coilctl {

namespace {

using mira::control::Message;
using mira::control::XmlRecord;
using Json = nlohmann::ordered_json;

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

void showGlobal(const std::vector<XmlRecord>& records) {
    if (records.empty()) return;
    const XmlRecord& r = records[0];
    printPairs({{"loop detection", attr(r, "enable") == "true" ? "enabled" : "disabled"},
                {"port wait time", attr(r, "disablePortWaitTime") + " s"},
                {"services", attr(r, "coilClients")},
                {"probe copies sent", attr(r, "txpkts")},
                {"probe copies received", attr(r, "rxpkts")}});
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
    printTable({"CLIENT", "VLAN", "POLL", "INTERVAL", "PORTS", "ACTION", "DISABLE-PORT", "COPIES-SENT",
                "COPIES-RECEIVED"},
               rows);
}

void showStatus(const std::vector<XmlRecord>& records) {
    for (const XmlRecord& r : records) {
        printPairs({{"VLAN", attr(r, "vlan")},
                    {"client", attr(r, "clientIdentifier")},
                    {"result", attr(r, "statusFlag") == "0" ? "reported" : "pending (probing)"},
                    {"polls sent", attr(r, "pollCount")}});
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
    rows.reserve(records.size());
    for (const XmlRecord& r : records)
        rows.push_back({attr(r, "port"), attr(r, "admin"), attr(r, "link"), attr(r, "wire", ""), attr(r, "trunk", ""),
                        attr(r, "vlans", "")});
    printTable({"PORT", "ADMIN", "LINK", "WIRE", "TRUNK", "VLANS"}, rows);
}

// "S:P" with both numbers and nothing else.
bool slotPort(std::string_view name, int* slot, int* port) {
    const char* end = name.data() + name.size();
    auto [colon, e1] = std::from_chars(name.data(), end, *slot);
    if (e1 != std::errc() || colon == end || *colon != ':') return false;
    auto [rest, e2] = std::from_chars(colon + 1, end, *port);
    return e2 == std::errc() && rest == end;
}

// "1:1,1:2,1:3,2:5" as "1:1-1:3,2:5"; names that are not slot:port stay.
std::string portRanges(const std::string& list) {
    std::string out;
    int slot = -1, first = -1, last = -1;
    auto flush = [&] {
        if (first < 0) return;
        out += (out.empty() ? "" : ",") + std::to_string(slot) + ":" + std::to_string(first);
        if (last != first) out += "-" + std::to_string(slot) + ":" + std::to_string(last);
        first = -1;
    };
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string name = list.substr(start, end - start);
        int s = -1, p = -1;
        if (slotPort(name, &s, &p)) {
            if (first >= 0 && s == slot && p == last + 1) {
                last = p;
            } else {
                flush();
                slot = s, first = last = p;
            }
        } else {
            flush();
            out += (out.empty() ? "" : ",") + name;
        }
        start = end + 1;
    }
    flush();
    return out;
}

void showVlans(const std::vector<XmlRecord>& records) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(records.size());
    for (const XmlRecord& r : records)
        rows.push_back({attr(r, "name"), attr(r, "instance"), attr(r, "tag"), portRanges(attr(r, "ports", ""))});
    printTable({"VLAN", "INSTANCE", "TAG", "PORTS"}, rows);
}

// An ISO 8601 time as "HH:MM:SS" when it is today, else the date and time.
std::string shortTime(const std::string& iso) {
    if (iso.size() < 19) return iso;
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    return iso.compare(0, 10, today) == 0 ? iso.substr(11, 8) : iso.substr(0, 10) + " " + iso.substr(11, 8);
}

void showPorts(const std::vector<XmlRecord>& records) {
    std::vector<std::vector<std::string>> rows;
    for (const XmlRecord& r : records) {
        const std::string until = attr(r, "until", "");
        const std::string coil = attr(r, "disabledNow") != "true" ? "no"
                                 : until == "permanent"            ? "permanent"
                                                                   : "until " + shortTime(until);
        const std::string last = attr(r, "lastLoop", "");
        rows.push_back({attr(r, "name"), attr(r, "link"), attr(r, "admin"), attr(r, "state", "-"),
                        attr(r, "loops"), last.empty() ? "-" : shortTime(last), coil});
    }
    printTable({"PORT", "LINK", "ADMIN", "STATE", "LOOPS", "LAST-LOOP", "COIL-DISABLED"}, rows);
}

// The names of the switch's VLANs, joined, or "" when coild does not say.
std::string vlanNames(const std::string& socketPath) {
    mira::control::Message request, reply;
    request.add("what", "vlans");
    std::string error;
    std::vector<XmlRecord> records;
    if (!mira::control::controlCall(socketPath, mira::control::kTypeShow, request, &reply, &error, 5000) ||
        !mira::control::parseXmlRecords(reply.get("output"), &records, &error))
        return "";
    std::string names;
    for (const XmlRecord& r : records) names += (names.empty() ? "" : ", ") + attr(r, "name");
    return names;
}

// What a refusal's reader can do about it, or "".
std::string remedyFor(const std::string& error, const std::string& socketPath) {
    if (error.find("Invalid Vlan ") != std::string::npos) {
        const std::string names = vlanNames(socketPath);
        return names.empty() ? "" : "the VLANs are: " + names;
    }
    static const std::pair<const char*, const char*> kRemedies[] = {
        {"COIL Client is disabled", "run coilctl enable"},
        {"do not belong to", "coilctl show vlans lists each VLAN's ports"},
        {"No COIL Service configured", "coilctl show services lists the services"},
    };
    for (const auto& [text, remedy] : kRemedies)
        if (error.find(text) != std::string::npos) return remedy;
    return "";
}

// Text for an XML element; control characters, which XML cannot carry,
// become '?'.
std::string xmlText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') out += '?';
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

// The reply as one JSON object.
Json jsonDocument(const Message& reply, const std::vector<XmlRecord>& records, const std::string& error,
                  const std::string& remedy) {
    Json doc;
    doc["status"] = error.empty() ? "ok" : "error";
    if (!error.empty()) doc["error"] = trimmed(error);
    if (!remedy.empty()) doc["remedy"] = remedy;
    for (const char* key : {"result", "records"})
        if (const std::string* v = reply.first(key); v != nullptr && !v->empty()) doc[key] = std::stoll(*v);
    for (const char* key : {"message", "path", "stdout"})
        if (const std::string* v = reply.first(key);
            v != nullptr && !v->empty() && !(std::string(key) == "message" && !error.empty()))
            doc[key] = trimmed(*v);
    Json entries = Json::array();
    for (const XmlRecord& r : records) entries.push_back(typedRecord(r));
    doc["entries"] = std::move(entries);
    return doc;
}

// The reply as one XML document: the daemon's records as they stand, inside
// a root element that carries the status.
std::string xmlDocument(const Message& reply, const std::string& error, const std::string& remedy) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<coil status=\"";
    out += error.empty() ? "ok\">\n" : "error\">\n";
    if (!error.empty()) out += "<error>" + xmlText(trimmed(error)) + "</error>\n";
    if (!remedy.empty()) out += "<remedy>" + xmlText(remedy) + "</remedy>\n";
    if (error.empty()) {
        if (const std::string output = reply.get("output"); !output.empty()) out += output + "\n";
        for (const char* key : {"message", "path", "records", "stdout"})
            if (const std::string v = trimmed(reply.get(key)); !v.empty())
                out += std::string("<") + key + ">" + xmlText(v) + "</" + key + ">\n";
    }
    return out + "</coil>\n";
}

}  // namespace

int render(const Plan& plan, const Message& reply, Format format, const std::string& socketPath) {
    const bool delivered = reply.get("status") == "ok";
    std::vector<XmlRecord> records;
    std::string error;
    const std::string* output = reply.first("output");  // megabytes for a listing: read in place
    if (delivered && !mira::control::parseXmlRecords(output ? *output : std::string_view(), &records, &error)) {
        std::fprintf(stderr, "coilctl: unreadable reply: %s\n", error.c_str());
        return kExitUnreachable;
    }
    const std::string message = reply.get("message");
    const bool isCm = reply.first("result") != nullptr;
    const bool refused = isCm && (reply.get("result") == "0" || reply.get("rc") == "0");
    const bool notFound = isCm && !refused && !plan.notFound.empty() && records.empty();

    // Why the request was not done, in the daemon's words where it gave some.
    std::string why;
    if (!delivered) why = "coilctl: " + reply.get("error", "coild refused the request");
    else if (refused) why = message.empty() ? "coilctl: coild refused the request" : message;
    else if (notFound) why = "coilctl: " + plan.notFound;
    const std::string remedy = why.empty() ? "" : remedyFor(why, socketPath);
    // The programs' formats carry the daemon's text without coilctl's prefix.
    const std::string bare = why.starts_with("coilctl: ") ? why.substr(9) : why;

    switch (format) {
        case Format::Json:
            // Texts from the daemon that are not UTF-8 are shown with U+FFFD.
            std::printf("%s\n", jsonDocument(reply, records, bare, remedy)
                                    .dump(-1, ' ', false, Json::error_handler_t::replace)
                                    .c_str());
            break;
        case Format::KeyValue: std::fputs(keyValueLines(jsonDocument(reply, records, bare, remedy)).c_str(), stdout); break;
        case Format::Xml: std::fputs(xmlDocument(reply, bare, remedy).c_str(), stdout); break;
        case Format::Table: break;
    }
    if (format != Format::Table) return why.empty() ? kExitOk : kExitRefused;
    if (!why.empty()) {
        std::fputs(why.back() == '\n' ? why.c_str() : (why + "\n").c_str(), stderr);
        if (!remedy.empty()) std::fprintf(stderr, "%s\n", remedy.c_str());
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
        case View::Vlans: showVlans(records); break;
        case View::Ports: showPorts(records); break;
        case View::Watch: break;
    }
    if (isCm && !message.empty() && plan.view != View::Lab)
        std::fputs(message.back() == '\n' ? message.c_str() : (message + "\n").c_str(), stdout);
    return kExitOk;
}

}  // namespace coilctl
