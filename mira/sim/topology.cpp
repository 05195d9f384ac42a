// Topology loader: one directive per line, built into a fresh model that
// replaces the current one only when every line was accepted.
#include "mira/sim/topology.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dm.h"
#include "mira/core/platform.h"
#include "mira/sim/switch_model.h"

namespace mira {

namespace {

using sw::Model;

struct LineError {
    std::string what;
};

[[noreturn]] void fail(std::string what) { throw LineError{std::move(what)}; }

uint32_t number(const std::string& text, uint32_t max, const char* what) {
    if (text.empty() || text.size() > 10) fail(std::string("bad ") + what + " \"" + text + "\"");
    uint64_t v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) fail(std::string("bad ") + what + " \"" + text + "\"");
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > max) fail(std::string(what) + " " + text + " out of range (at most " + std::to_string(max) + ")");
    return uint32_t(v);
}

// Six pairs of hex digits separated by colons: "02:00:00:c0:11:01".
sw::Mac mac(const std::string& text) {
    sw::Mac m{};
    if (text.size() != 17) fail("bad MAC address \"" + text + "\"");
    for (size_t i = 0; i < 6; ++i) {
        const char* pair = text.data() + i * 3;
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(pair, pair + 2, value, 16);
        if (ec != std::errc() || end != pair + 2 || (i < 5 && pair[2] != ':'))
            fail("bad MAC address \"" + text + "\"");
        m[i] = uint8_t(value);
    }
    return m;
}

uint32_t port(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) fail("bad port \"" + text + "\" (expected slot:port)");
    return portWord(number(text.substr(0, colon), 65535, "slot"), number(text.substr(colon + 1), 65535, "port"));
}

// No list names more ports than a chassis has (32 slots of 256).
constexpr size_t kMaxListedPorts = size_t{32} * 256;

// "1:1-1:8,1:10,2:3-5": ranges stay within one slot.
std::vector<uint32_t> portList(const std::string& text) {
    std::vector<uint32_t> out;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty()) fail("empty entry in port list \"" + text + "\"");
        const auto dash = item.find('-');
        if (dash == std::string::npos) {
            out.push_back(port(item));
            continue;
        }
        const uint32_t from = port(item.substr(0, dash));
        const std::string rest = item.substr(dash + 1);
        const uint32_t to = rest.find(':') == std::string::npos
                                ? portWord(wordSlot(from), number(rest, 65535, "port"))
                                : port(rest);
        if (wordSlot(to) != wordSlot(from)) fail("port range \"" + item + "\" spans slots");
        if (wordPort(to) < wordPort(from)) fail("port range \"" + item + "\" runs backwards");
        if (out.size() + (wordPort(to) - wordPort(from)) >= kMaxListedPorts)
            fail("port list names more than " + std::to_string(kMaxListedPorts) + " ports");
        for (uint32_t p = wordPort(from); p <= wordPort(to); ++p) out.push_back(portWord(wordSlot(from), p));
    }
    if (out.size() > kMaxListedPorts) fail("port list names more than " + std::to_string(kMaxListedPorts) + " ports");
    if (out.empty()) fail("empty port list");
    return out;
}

// "key value" pairs after a directive's positional words.
std::map<std::string, std::string> pairs(const std::vector<std::string>& words, size_t from,
                                         const std::vector<std::string>& allowed) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < words.size(); i += 2) {
        const std::string& key = words[i];
        bool known = false;
        for (const auto& a : allowed) known = known || a == key;
        if (!known) fail("unknown keyword \"" + key + "\"");
        if (i + 1 >= words.size()) fail("missing value after \"" + key + "\"");
        if (out.count(key)) fail("\"" + key + "\" given twice");
        out[key] = words[i + 1];
    }
    return out;
}

const std::string& need(const std::map<std::string, std::string>& kv, const std::string& key) {
    auto it = kv.find(key);
    if (it == kv.end()) fail("missing \"" + key + "\"");
    return it->second;
}

void positional(const std::vector<std::string>& words, size_t count, const char* usage) {
    if (words.size() < count + 1) fail(std::string("usage: ") + usage);
}

void check(const std::string& why) {
    if (!why.empty()) fail(why);
}

sw::Vlan* vlanNamed(Model& m, const std::string& name) {
    sw::Vlan* v = m.vlanByName(name);
    if (!v) fail("unknown VLAN \"" + name + "\"");
    return v;
}

void directive(Model& m, const std::vector<std::string>& w) {
    const std::string& d = w[0];
    if (d == "chassis") {
        if (!m.ports.empty()) fail("second chassis line");
        auto kv = pairs(w, 1, {"mac", "slots", "first", "ports"});
        const uint32_t first = kv.count("first") ? number(kv["first"], 255, "first slot") : 1;
        check(m.setChassis(mac(need(kv, "mac")), int(number(need(kv, "slots"), 32, "slot count")), int(first),
                           int(number(need(kv, "ports"), 256, "ports per slot"))));
        return;
    }
    if (m.ports.empty()) fail("\"" + d + "\" before the chassis line");
    if (d == "trunk") {
        positional(w, 1, "trunk <slot:port> members <ports>");
        auto kv = pairs(w, 2, {"members"});
        check(m.addTrunk(port(w[1]), portList(need(kv, "members"))));
    } else if (d == "vlan") {
        positional(w, 1, "vlan <name> instance <n> tag <t> [ports <ports>]");
        auto kv = pairs(w, 2, {"instance", "tag", "ports"});
        const uint32_t instance = number(need(kv, "instance"), 0xffffffffu, "instance");
        const uint32_t tag = number(need(kv, "tag"), 4094, "tag");
        check(m.addVlan(w[1], instance, uint16_t(tag)));
        if (kv.count("ports")) {
            sw::Vlan* v = m.vlanByInstance(instance);
            for (uint32_t p : portList(kv["ports"])) check(m.addMember(v, p));
        }
    } else if (d == "block") {
        if (w.size() != 3) fail("usage: block <vlan> <ports>");
        sw::Vlan* v = vlanNamed(m, w[1]);
        for (uint32_t p : portList(w[2])) check(m.setBlocked(v, p, true));
    } else if (d == "cable") {
        if (w.size() != 3) fail("usage: cable <slot:port> <slot:port>");
        check(m.cable(port(w[1]), port(w[2])));
    } else if (d == "hub") {
        if (w.size() != 3) fail("usage: hub <name> <ports>");
        if (m.hubs.count(w[1])) fail("hub " + w[1] + " already defined");
        auto ports = portList(w[2]);
        if (ports.size() < 2) fail("hub " + w[1] + " needs at least two ports");
        for (uint32_t p : ports) check(m.joinHub(w[1], p));
    } else if (d == "disable") {
        if (w.size() != 2) fail("usage: disable <ports>");
        std::vector<sw::Port*> targets;
        for (uint32_t p : portList(w[1])) check(m.adminTargets(p, &targets));
        for (sw::Port* p : targets) p->enabled = false;
    } else {
        fail("unknown directive \"" + d + "\"");
    }
}

}  // namespace

bool loadTopology(std::string_view text, const std::string& fileName, std::string* error) {
    auto fresh = std::make_unique<Model>();
    size_t lineNo = 0;
    size_t pos = 0;
    try {
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string line(text.substr(pos, end - pos));
            pos = end + 1;
            ++lineNo;
            if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
            std::istringstream in(line);
            std::vector<std::string> words;
            for (std::string word; in >> word;) words.push_back(word);
            if (!words.empty()) directive(*fresh, words);
        }
    } catch (const LineError& e) {
        if (error) *error = fileName + ":" + std::to_string(lineNo) + ": " + e.what;
        return false;
    }
    if (fresh->ports.empty()) {
        if (error) *error = fileName + ": no chassis line";
        return false;
    }
    const ChassisInfo c = fresh->chassis;
    sw::installModel(std::move(fresh));
    dmConfig.slotCount = c.slotCount;
    dmConfig.slotFirst = c.slotFirst;
    setSystemMac(c.mac);
    return true;
}

bool loadTopologyFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot open";
        return false;
    }
    std::string text(kTopologyMaxBytes + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (text.size() > kTopologyMaxBytes) {
        if (error) *error = path + ": larger than " + std::to_string(kTopologyMaxBytes) + " bytes";
        return false;
    }
    if (in.bad()) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    return loadTopology(text, path, error);
}

bool loadExampleTopology(std::string* error) {
    return loadTopology(std::string_view(mira_example_topology, mira_example_topology_len), "chassis.topo", error);
}

}  // namespace mira
