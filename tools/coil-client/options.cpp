// coil-client's command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coil_client_tool.h"

namespace coilclient {

namespace {

constexpr const char* kUsage =
    "usage: coil-client [--run-dir DIR | --socket PATH] [--wait S] [--first-slot N] COMMAND [ARGS...]\n"
    "\n"
    "Uses coild's loop detection as another daemon of the switch does, over the\n"
    "client message server that coild publishes in its run directory.\n"
    "\n"
    "Commands:\n"
    "  register CLIENT VLANINSTANCE [--ports LIST]\n"
    "  start CLIENT VLANINSTANCE [--ports LIST] [--interval S] [--count N]\n"
    "  stop CLIENT VLANINSTANCE\n"
    "  deregister CLIENT VLANINSTANCE\n"
    "  watch [--json] [--reports N] [--timeout S]\n"
    "        [--register CLIENT VLANINSTANCE [--ports LIST] [--interval S] [--count N] [--restart]]\n"
    "\n"
    "A service belongs to the connection that registered it and goes when that\n"
    "connection closes: a service made by 'register' alone ends with that\n"
    "coil-client. Use 'watch --register' to register, start and watch in one\n"
    "invocation. 'start', 'stop' and 'deregister' act on a service by its key\n"
    "(CLIENT and VLANINSTANCE), whichever connection registered it.\n"
    "\n"
    "Options:\n"
    "  --run-dir DIR     coild's run directory (default $XDG_RUNTIME_DIR/coil,\n"
    "                    else /tmp/coil-UID)\n"
    "  --socket PATH     the message server's socket itself\n"
    "  --wait S          keep trying to connect for up to S seconds\n"
    "  --first-slot N    number of the switch's first slot, for port lists (default 1)\n"
    "  --help            this text; 'coil-client COMMAND --help' for one command\n"
    "\n"
    "Exit status: 0 done, 1 failed (or coild closed the connection), 2 usage,\n"
    "3 watch timed out.\n";

struct CommandHelp {
    const char* name;
    const char* text;
};

constexpr CommandHelp kCommandHelp[] = {
    {"register",
     "usage: coil-client register CLIENT VLANINSTANCE [--ports LIST]\n"
     "\n"
     "Registers a service for client identifier CLIENT (1 to 31 characters) on\n"
     "the VLAN with instance VLANINSTANCE. It stays idle until a Start Poll, and\n"
     "is removed when this coil-client exits; see 'watch --register'.\n"
     "  --ports LIST   ports to probe, e.g. 1:1,1:3-1:5 (default: every port of the VLAN)\n"},
    {"start",
     "usage: coil-client start CLIENT VLANINSTANCE [--ports LIST] [--interval S] [--count N]\n"
     "\n"
     "Starts (or restarts) the service's polling. Its port list replaces the\n"
     "registered one.\n"
     "  --ports LIST   ports to probe (default: every port of the VLAN)\n"
     "  --interval S   seconds between probes (default 1)\n"
     "  --count N      a counted run of N probes, reported once (default: continuous,\n"
     "                 reported at the first loop)\n"},
    {"stop",
     "usage: coil-client stop CLIENT VLANINSTANCE\n"
     "\n"
     "Stops the service's polling; the service stays registered.\n"},
    {"deregister",
     "usage: coil-client deregister CLIENT VLANINSTANCE\n"
     "\n"
     "Stops and removes the service.\n"},
    {"watch",
     "usage: coil-client watch [--json] [--reports N] [--timeout S]\n"
     "                         [--register CLIENT VLANINSTANCE [--ports LIST] [--interval S]\n"
     "                          [--count N] [--restart]]\n"
     "\n"
     "Prints each report of this connection's services as it arrives, one line\n"
     "each:\n"
     "  loop client=C vlan=I name=V ingress=S:P ingress-logical=S:P egress=S:P probe-vlan=I\n"
     "  no-loop client=C vlan=I name=V\n"
     "With --register, first registers the service and starts its polling (the\n"
     "options as for 'start'); the service is removed when watch ends.\n"
     "  --json         one JSON object per report instead\n"
     "  --restart      start the poll again after each report (a run stops at\n"
     "                 its first loop)\n"
     "  --reports N    end after N reports\n"
     "  --timeout S    end after S seconds (exit status 3 if fewer than N reports)\n"
     "Ends with status 0 on SIGINT or SIGTERM.\n"},
};

[[noreturn]] void usageError(const std::string& text, const char* help = kUsage) {
    std::fprintf(stderr, "coil-client: %s\n\n%s", text.c_str(), help);
    std::exit(kExitUsage);
}

const char* helpOf(const std::string& command) {
    for (const CommandHelp& h : kCommandHelp)
        if (command == h.name) return h.text;
    return kUsage;
}

unsigned long unsignedArg(const std::string& option, const char* text, unsigned long max, const char* help) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || v > max)
        usageError(option + " wants a number up to " + std::to_string(max) + ", not '" + text + "'", help);
    return v;
}

double secondsArg(const std::string& option, const char* text, const char* help) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || !(v >= 0) || v > 1e7)
        usageError(option + " wants a number of seconds, not '" + text + "'", help);
    return v;
}

}  // namespace

Options parseCommandLine(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const char* help) -> const char* {
        if (i + 1 >= argc) usageError(std::string(argv[i]) + " needs a value", help);
        return argv[++i];
    };
    // Options before the command.
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(kExitOk);
        } else if (a == "--run-dir") {
            o.runDir = value(kUsage);
        } else if (a == "--socket") {
            o.socketPath = value(kUsage);
        } else if (a == "--wait") {
            o.waitSeconds = secondsArg(a, value(kUsage), kUsage);
        } else if (a == "--first-slot") {
            o.firstSlot = uint16_t(unsignedArg(a, value(kUsage), 0xffff, kUsage));
        } else {
            usageError("unknown option " + a);
        }
    }
    if (i >= argc) usageError("no command given");
    o.command = argv[i++];
    const char* help = helpOf(o.command);
    if (help == kUsage) usageError("unknown command " + o.command);
    if (!o.runDir.empty() && !o.socketPath.empty()) usageError("give --run-dir or --socket, not both");

    const bool keyed = o.command != "watch";
    std::vector<std::string> positional;
    bool sawPorts = false, sawInterval = false, sawCount = false, sawRestart = false;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(help, stdout);
            std::exit(kExitOk);
        } else if (a == "--ports" && o.command != "stop" && o.command != "deregister") {
            const char* text = value(help);
            const int n = coilClientParsePorts(text, nullptr, 0);
            if (n < 0) usageError(std::string("cannot read the port list '") + text + "'", help);
            o.ports.resize(size_t(n));
            coilClientParsePorts(text, o.ports.data(), o.ports.size());
            sawPorts = true;
        } else if (a == "--interval" && (o.command == "start" || o.command == "watch")) {
            o.interval = uint32_t(unsignedArg(a, value(help), 0xffffffffu, help));
            if (o.interval == 0) usageError("--interval is at least 1 second", help);
            sawInterval = true;
        } else if (a == "--count" && (o.command == "start" || o.command == "watch")) {
            o.count = uint32_t(unsignedArg(a, value(help), 0xffffffffu, help));
            if (o.count == 0) usageError("--count is at least 1 (leave it out for a continuous poll)", help);
            sawCount = true;
        } else if (o.command == "watch" && a == "--json") {
            o.json = true;
        } else if (o.command == "watch" && a == "--restart") {
            o.restart = sawRestart = true;
        } else if (o.command == "watch" && a == "--reports") {
            o.reports = long(unsignedArg(a, value(help), 1'000'000'000, help));
        } else if (o.command == "watch" && a == "--timeout") {
            o.timeout = secondsArg(a, value(help), help);
        } else if (o.command == "watch" && a == "--register") {
            if (o.haveKey) usageError("--register is given once", help);
            if (i + 2 >= argc) usageError("--register needs CLIENT and VLANINSTANCE", help);
            o.key.clientId = argv[++i];
            o.key.vlanIfInstance = uint32_t(unsignedArg("VLANINSTANCE", argv[++i], 0xffffffffu, help));
            o.haveKey = true;
        } else if (!a.empty() && a[0] == '-') {
            usageError("unknown option " + a + " for " + o.command, help);
        } else {
            positional.push_back(a);
        }
    }
    if (keyed) {
        if (positional.size() != 2) usageError(o.command + " needs CLIENT and VLANINSTANCE", help);
        o.key.clientId = positional[0];
        o.key.vlanIfInstance = uint32_t(unsignedArg("VLANINSTANCE", positional[1].c_str(), 0xffffffffu, help));
        o.haveKey = true;
    } else {
        if (!positional.empty()) usageError("unexpected argument " + positional[0], help);
        if (!o.haveKey && (sawPorts || sawInterval || sawCount || sawRestart))
            usageError("--ports, --interval, --count and --restart go with --register", help);
    }
    if (o.haveKey && (o.key.clientId.empty() || o.key.clientId.size() >= COIL_CLIENT_TEXT_SIZE))
        usageError("a client identifier has 1 to 31 characters", help);
    return o;
}

}  // namespace coilclient
