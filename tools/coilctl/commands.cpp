// The command table of coilctl: each command's words, usage, help and the
// request it sends.
#include <climits>
#include <cstdlib>
#include <unistd.h>

#include "cmbackend.h"
#include "coilctl.h"
#include "configure.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_lab_table.h"
#include "mira/control/control_request.h"

namespace coilctl {

namespace {

using mira::CmAttr;
using mira::control::CmSpec;

Plan cmPlan(const std::string& method, const std::string& object, std::vector<CmAttr> attrs, uint32_t flags,
            View view) {
    CmSpec spec{method, object, flags, std::move(attrs)};
    Plan p;
    p.type = mira::control::kTypeCm;
    p.request = mira::control::encodeCmSpec(spec);
    p.view = view;
    return p;
}

bool noArgs(const Args& a, std::string* error) {
    if (!a.empty()) *error = "unexpected argument \"" + a[0] + "\"";
    return a.empty();
}

bool oneArg(const Args& a, const char* what, std::string* error) {
    if (a.size() != 1) *error = a.empty() ? std::string(what) + " missing" : "unexpected argument \"" + a[1] + "\"";
    return a.size() == 1;
}

// Changes of coilGlobalCfg.
Command globalSet(std::vector<std::string> words, const char* summary, const std::vector<CmAttr>& attrs,
                  const std::string& done) {
    return {std::move(words), "", summary, "",
            [attrs, done](const Args& a, Plan* p, std::string* e) {
                if (!noArgs(a, e)) return false;
                auto all = attrs;
                all.push_back({"rowStatus", "active"});
                *p = cmPlan("set", "coilGlobalCfg", all, 0, View::Done);
                p->doneText = done;
                return true;
            }};
}

Command debugDump(const char* what, const char* cmd, const char* summary) {
    return {{"debug", "dump", what}, "", summary,
            "The dump is printed on coild's standard output; coilctl shows it too.",
            [cmd](const Args& a, Plan* p, std::string* e) {
                if (!noArgs(a, e)) return false;
                *p = cmPlan("set", "coilDebug", {{"cmd", cmd}}, 0, View::Dump);
                return true;
            }};
}

// attr=value words of get and set, and their --flags.
bool objectArgs(const Args& a, bool isSet, std::string* object, std::vector<CmAttr>* attrs, uint32_t* flags,
                std::string* error) {
    if (a.empty()) return *error = "OBJECT missing", false;
    *object = a[0];
    *flags = isSet ? 0u : uint32_t(CM_FLAG_EXACT);
    uint32_t count = 1;
    for (size_t i = 1; i < a.size(); i++) {
        const std::string& w = a[i];
        if (!isSet && w == "--next") {
            *flags = (*flags & ~CM_FLAG_EXACT) | CM_FLAG_NEXT;
        } else if (!isSet && w == "--walk") {
            *flags = (*flags & ~CM_FLAG_EXACT) | CM_FLAG_WALK;
        } else if (!isSet && (w == "--count" || w.starts_with("--count="))) {
            const std::string countText = w == "--count" ? (i + 1 < a.size() ? a[++i] : "") : w.substr(8);
            char* end = nullptr;
            unsigned long n = std::strtoul(countText.c_str(), &end, 10);
            if (countText.empty() || *end != '\0' || n > 0xffff) return *error = "--count takes 0 to 65535", false;
            count = uint32_t(n);
        } else if (isSet && w == "--implied") {
            *flags |= CM_FLAG_IMPLIED_ROW_STATUS;
        } else if (w == "--row-status") {
            *flags |= CM_FLAG_ROW_STATUS_OUTPUT;
        } else if (w.size() > 1 && w[0] != '-' && w.find('=') != std::string::npos && w[0] != '=') {
            const size_t eq = w.find('=');
            attrs->push_back({w.substr(0, eq), w.substr(eq + 1)});
        } else {
            return *error = "\"" + w + "\" is neither attribute=value nor an option of this command", false;
        }
    }
    if (!isSet) *flags |= count;
    if (isSet && attrs->empty()) return *error = "attribute=value missing", false;
    return true;
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

std::vector<Command> build() {
    std::vector<Command> c;
    c.push_back(globalSet({"enable"}, "turn loop detection on for operator services", {{"enable", "true"}},
                          "loop detection enabled"));
    c.push_back(globalSet({"disable"}, "turn loop detection off for operator services (they stop probing)",
                          {{"enable", "false"}}, "loop detection disabled"));
    c.push_back({{"configure"},
                 "VLAN [interval SECONDS] [count N] [ports PORTLIST] [action WORD] [disable-port SECONDS|permanent]",
                 "watch a VLAN for loops (as the command line, client 1)",
                 "  interval SECONDS       seconds between probes, 1..600 (default 5)\n"
                 "  count N                send N probes (1..255), report once, then stop;\n"
                 "                         without count the VLAN is probed until unconfigured\n"
                 "  ports PORTLIST         probe only these ports, e.g. 1:1-1:4,2:3 (default: all)\n"
                 "  action WORD            report | log | report-log | trap | log-trap (default report-log):\n"
                 "                         report text (show status), event log, SNMP trap\n"
                 "  disable-port SECONDS   disable the port a probe came back on for SECONDS;\n"
                 "  disable-port permanent ... until it is enabled again\n"
                 "Loop detection must be enabled first (coilctl enable).",
                 [](const Args& a, Plan* p, std::string* e) {
                     std::vector<CmAttr> attrs;
                     if (!configureAttrs(a, &attrs, e)) return false;
                     *p = cmPlan("set", "coilServiceNode", attrs, 0, View::Done);
                     p->doneText = "VLAN " + a[0] + " configured";
                     return true;
                 }});
    c.push_back({{"unconfigure"}, "VLAN", "stop watching a VLAN (enables the ports its loops disabled)", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!oneArg(a, "VLAN", e)) return false;
                     *p = cmPlan("set", "coilServiceNode",
                                 {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", a[0]},
                                  {"rowStatus", "destroy"}},
                                 0, View::Done);
                     p->doneText = "VLAN " + a[0] + " unconfigured";
                     return true;
                 }});
    c.push_back({{"show"}, "", "global settings and counters", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     *p = cmPlan("get", "coilGlobalCfg", {}, CM_FLAG_EXACT, View::Global);
                     return true;
                 }});
    c.push_back({{"show", "services"}, "", "every service, of operators and of client daemons", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     *p = cmPlan("get", "coilServiceNode", {}, CM_FLAG_WALK, View::Services);
                     return true;
                 }});
    c.push_back({{"show", "status"}, "VLAN", "the last result of the operator service on a VLAN",
                 "Reading the result of a finished counted run (count N) removes that run.",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!oneArg(a, "VLAN", e)) return false;
                     *p = cmPlan("get", "coilServiceStatus",
                                 {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", a[0]}}, CM_FLAG_EXACT,
                                 View::Status);
                     p->notFound = "no operator service on VLAN " + a[0];
                     return true;
                 }});
    c.push_back({{"show", "disabled-ports"}, "", "ports disabled because of a loop", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     *p = cmPlan("get", "coilDisabledPortStatus", {}, CM_FLAG_WALK | 1, View::DisabledPorts);
                     return true;
                 }});
    c.push_back({{"show", "vlans"}, "", "every VLAN of the switch with its instance, tag and ports", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     p->type = mira::control::kTypeShow;
                     p->request.add("what", "vlans");
                     p->view = View::Vlans;
                     return true;
                 }});
    c.push_back({{"show", "ports"}, "", "every port: link, state, loops found on it, disabled by coil until when",
                 "LOOPS counts the probes that came back in through the port since coild started;\n"
                 "COIL-DISABLED says whether coil disabled the port and until when it stays so.",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     p->type = mira::control::kTypeShow;
                     p->request.add("what", "ports");
                     p->view = View::Ports;
                     return true;
                 }});
    c.push_back({{"watch"}, "", "print coild's events as they happen, until interrupted",
                 "One line per event: the time, then loop, no-loop, port-disabled, port-enabled,\n"
                 "service-added or service-removed, then client=, vlan=, instance=, service=,\n"
                 "and port=, egress= (the port a loop's probe left by), hold= (seconds, 0 permanent)\n"
                 "where they apply. With --json one object per line; with --xml one <event>\n"
                 "element per line inside a <coil> document that ends when watch does.\n"
                 "Ends with status 0 on SIGINT or SIGTERM, 3 when coild goes away.",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     p->type = mira::control::kTypeWatch;
                     p->view = View::Watch;
                     return true;
                 }});
    c.push_back(globalSet({"clear", "counters"}, "zero the probe counters", {{"clearCounter", "true"}},
                          "counters cleared"));
    c.push_back({{"save"}, "", "store the configuration in the state directory; coild replays it at start and on SIGHUP",
                 "The enable switch and every operator service that probes continuously are stored\n"
                 "in <state-dir>/coil.conf (written atomically).",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!noArgs(a, e)) return false;
                     p->type = mira::control::kTypeSave;
                     p->view = View::Saved;
                     return true;
                 }});
    c.push_back(debugDump("global", "3", "dump the global record"));
    c.push_back(debugDump("ports", "1", "dump the port control list (disabled ports)"));
    c.push_back(debugDump("services", "2", "dump every service"));
    c.push_back({{"debug", "wait-time"}, "SECONDS",
                 "set the guard window after a port is disabled (disablePortWaitTime)", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     if (!oneArg(a, "SECONDS", e)) return false;
                     *p = cmPlan("set", "coilDebug", {{"cmd", "4"}, {"disablePortWaitTime", a[0]}}, 0, View::Done);
                     p->doneText = "wait time set to " + a[0] + " seconds";
                     return true;
                 }});
    c.push_back({{"get"}, "OBJECT [attribute=value...] [--next|--walk] [--count N] [--row-status]",
                 "get request on any object, as the configuration manager sends it",
                 "Objects: coilGlobalCfg coilServiceNode coilServiceStatus coilDisabledPortStatus coilDebug.\n"
                 "Without --next the request carries the exact flag; --walk repeats next requests\n"
                 "from the given key to the end. --count sets the entries asked for (default 1).",
                 [](const Args& a, Plan* p, std::string* e) {
                     std::string object;
                     std::vector<CmAttr> attrs;
                     uint32_t flags = 0;
                     if (!objectArgs(a, false, &object, &attrs, &flags, e)) return false;
                     *p = cmPlan("get", object, attrs, flags, View::Records);
                     p->notFound = "no such entry";
                     return true;
                 }});
    c.push_back({{"set"}, "OBJECT attribute=value... [--implied] [--row-status]",
                 "set request on any object, as the configuration manager sends it",
                 "coilGlobalCfg and coilServiceNode act only with rowStatus=active|createAndGo|destroy\n"
                 "(or --implied, the flag of a replay of stored configuration).",
                 [](const Args& a, Plan* p, std::string* e) {
                     std::string object;
                     std::vector<CmAttr> attrs;
                     uint32_t flags = 0;
                     if (!objectArgs(a, true, &object, &attrs, &flags, e)) return false;
                     *p = cmPlan("set", object, attrs, flags, View::Records);
                     return true;
                 }});
    c.push_back({{"lab"}, "COMMAND ...", "change or show the simulated switch (see coilctl lab --help)", "",
                 [](const Args& a, Plan* p, std::string* e) {
                     std::string problem = mira::control::checkLabCommand(a);
                     if (!problem.empty()) return *e = problem, false;
                     Args words = a;
                     // The file is opened by coild, whose directory may differ.
                     if (words[0] == "capture" && words.size() > 1 && words[1] != "stop")
                         words[1] = absolutePath(words[1]);
                     p->type = mira::control::kTypeLab;
                     for (const std::string& w : words) p->request.add("arg", w);
                     p->view = words[0] == "ports" ? View::LabPorts : View::Lab;
                     return true;
                 }});
    return c;
}

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = build();
    return table;
}

}  // namespace coilctl
