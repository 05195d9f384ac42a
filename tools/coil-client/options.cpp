// coil-client's command line.
#include <getopt.h>

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
    "  register CLIENT VLAN [--ports LIST]\n"
    "  start CLIENT VLAN [--ports LIST] [--interval S] [--count N]\n"
    "  stop CLIENT VLAN\n"
    "  deregister CLIENT VLAN\n"
    "  vlans [--json]\n"
    "  watch [--json] [--reports N] [--timeout S]\n"
    "        [--register CLIENT VLAN [--ports LIST] [--interval S] [--count N] [--restart]]\n"
    "\n"
    "A service belongs to the connection that registered it and goes when that\n"
    "connection closes: a service made by 'register' alone ends with that\n"
    "coil-client. Use 'watch --register' to register, start and watch in one\n"
    "invocation. 'start', 'stop' and 'deregister' act on a service by its key\n"
    "(CLIENT and VLAN), whichever connection registered it.\n"
    "\n"
    "Options:\n"
    "  --run-dir DIR     coild's run directory (default /run/coil for root,\n"
    "                    else $XDG_RUNTIME_DIR/coil, else /tmp/coil-UID)\n"
    "  --socket PATH     the message server's socket itself\n"
    "  --wait S          keep trying to connect for up to S seconds\n"
    "  --first-slot N    number of the switch's first slot, for port lists (default 1)\n"
    "  --help            this text; 'coil-client COMMAND --help' for one command\n"
    "  --version         coil-client's version\n"
    "\n"
    "VLAN is a VLAN's name or its instance number.\n"
    "Options also take the form --option=value.\n"
    "\n"
    "Exit status: 0 done; 1 refused, or the request would have no effect (why on\n"
    "standard error); 2 usage error; 3 coild unreachable or gone, or a watch's\n"
    "--timeout ran out before its --reports (the one timeout).\n";

struct CommandHelp {
    const char* name;
    const char* text;
};

constexpr CommandHelp kCommandHelp[] = {
    {"register",
     "usage: coil-client register CLIENT VLAN [--ports LIST]\n"
     "\n"
     "Registers a service for client identifier CLIENT (1 to 31 characters) on\n"
     "the VLAN (its name or instance number). It stays idle until a Start Poll, and\n"
     "is removed when this coil-client exits; see 'watch --register'.\n"
     "  --ports LIST   ports to probe, e.g. 1:1,1:3-1:5 (default: every port of the VLAN)\n"},
    {"start",
     "usage: coil-client start CLIENT VLAN [--ports LIST] [--interval S] [--count N]\n"
     "\n"
     "Starts (or restarts) the service's polling. Its port list replaces the\n"
     "registered one.\n"
     "  --ports LIST   ports to probe (default: every port of the VLAN)\n"
     "  --interval S   seconds between probes (default 1)\n"
     "  --count N      a counted run of N probes, reported once (default: continuous,\n"
     "                 reported at the first loop)\n"},
    {"stop",
     "usage: coil-client stop CLIENT VLAN\n"
     "\n"
     "Stops the service's polling; the service stays registered.\n"},
    {"deregister",
     "usage: coil-client deregister CLIENT VLAN\n"
     "\n"
     "Stops and removes the service.\n"},
    {"vlans",
     "usage: coil-client vlans [--json]\n"
     "\n"
     "Lists the switch's VLANs: name, instance, tag and ports (from coild's control\n"
     "socket, in the same run directory).\n"
     "  --json         one JSON array of {name, instance, tag, ports}\n"},
    {"watch",
     "usage: coil-client watch [--json] [--reports N] [--timeout S]\n"
     "                         [--register CLIENT VLAN [--ports LIST] [--interval S]\n"
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

// Every option of coil-client, before and after the command; which ones a
// command takes is checked after parsing. Each also takes --opt=value.
enum OptionId {
    kRunDir = 1, kSocket, kWait, kFirstSlot, kPorts, kInterval, kCount, kJson, kRestart, kReports, kTimeout,
    kRegister, kHelp, kVersion
};

constexpr option kGlobalOptions[] = {
    {"run-dir", required_argument, nullptr, kRunDir},     {"socket", required_argument, nullptr, kSocket},
    {"wait", required_argument, nullptr, kWait},          {"first-slot", required_argument, nullptr, kFirstSlot},
    {"help", no_argument, nullptr, kHelp},                {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

constexpr option kCommandOptions[] = {
    {"ports", required_argument, nullptr, kPorts},     {"interval", required_argument, nullptr, kInterval},
    {"count", required_argument, nullptr, kCount},     {"json", no_argument, nullptr, kJson},
    {"restart", no_argument, nullptr, kRestart},       {"reports", required_argument, nullptr, kReports},
    {"timeout", required_argument, nullptr, kTimeout}, {"register", required_argument, nullptr, kRegister},
    {"help", no_argument, nullptr, kHelp},             {nullptr, 0, nullptr, 0},
};

std::string optionName(int id) {
    for (const option& opt : kCommandOptions)
        if (opt.val == id) return opt.name;
    return "?";
}

// The options each command takes (besides --help).
bool commandTakes(const std::string& command, int id) {
    switch (id) {
        case kPorts: return command == "register" || command == "start" || command == "watch";
        case kInterval:
        case kCount: return command == "start" || command == "watch";
        case kJson: return command == "watch" || command == "vlans";
        case kRestart:
        case kReports:
        case kTimeout:
        case kRegister: return command == "watch";
        default: return true;
    }
}

// getopt_long over argv[from..], with its messages our own; returns the
// option's id, -1 at the end, and exits on an unknown option or a missing
// value.
int nextOption(int argc, char** argv, const char* shortOpts, const option* table, const char* help,
               const std::string& context) {
    const int prev = optind;
    const int id = getopt_long(argc, argv, shortOpts, table, nullptr);
    if (id == ':') usageError(std::string(argv[prev]) + " needs a value", help);
    if (id == '?') usageError("unknown option " + std::string(argv[prev]) + context, help);
    return id;
}

void readPorts(const char* text, Options* o, const char* help) {
    const int n = coilClientParsePorts(text, nullptr, 0);
    if (n < 0) usageError(std::string("cannot read the port list '") + text + "'", help);
    o->ports.resize(size_t(n));
    coilClientParsePorts(text, o->ports.data(), o->ports.size());
}

}  // namespace

Options parseCommandLine(int argc, char** argv) {
    Options o;
    opterr = 0;
    // Options before the command ('+': the first other word is the command).
    for (int id; (id = nextOption(argc, argv, "+:h", kGlobalOptions, kUsage, "")) != -1;) {
        switch (id) {
            case 'h':
            case kHelp: std::fputs(kUsage, stdout); std::exit(kExitOk);
            case kVersion: std::printf("coil-client %s\n", COIL_VERSION); std::exit(kExitOk);
            case kRunDir: o.runDir = optarg; break;
            case kSocket: o.socketPath = optarg; break;
            case kWait: o.waitSeconds = secondsArg("--wait", optarg, kUsage); break;
            case kFirstSlot: o.firstSlot = uint16_t(unsignedArg("--first-slot", optarg, 0xffff, kUsage)); break;
        }
    }
    if (optind >= argc) usageError("no command given");
    o.command = argv[optind];
    const char* help = helpOf(o.command);
    if (help == kUsage) usageError("unknown command " + o.command);
    if (!o.runDir.empty() && !o.socketPath.empty()) usageError("give --run-dir or --socket, not both");

    // The command's own options and words, in any order.
    const int cargc = argc - optind;
    char** cargv = argv + optind;
    optind = 0;  // restart getopt on the command's words
    bool sawPollOption = false;
    for (int id; (id = nextOption(cargc, cargv, ":h", kCommandOptions, help, " for " + o.command)) != -1;) {
        if (id != 'h' && id != kHelp && !commandTakes(o.command, id))
            usageError("unknown option --" + optionName(id) + " for " + o.command, help);
        switch (id) {
            case 'h':
            case kHelp: std::fputs(help, stdout); std::exit(kExitOk);
            case kPorts: readPorts(optarg, &o, help); sawPollOption = true; break;
            case kInterval:
                o.interval = uint32_t(unsignedArg("--interval", optarg, 0xffffffffu, help));
                if (o.interval == 0) usageError("--interval is at least 1 second", help);
                sawPollOption = true;
                break;
            case kCount:
                o.count = uint32_t(unsignedArg("--count", optarg, 0xffffffffu, help));
                if (o.count == 0) usageError("--count is at least 1 (leave it out for a continuous poll)", help);
                sawPollOption = true;
                break;
            case kJson: o.json = true; break;
            case kRestart: o.restart = sawPollOption = true; break;
            case kReports: o.reports = long(unsignedArg("--reports", optarg, 1'000'000'000, help)); break;
            case kTimeout: o.timeout = secondsArg("--timeout", optarg, help); break;
            case kRegister:
                if (o.haveKey) usageError("--register is given once", help);
                o.key.clientId = optarg;
                o.haveKey = true;
                break;
        }
    }
    std::vector<std::string> positional(cargv + optind, cargv + cargc);
    const bool keyed = o.command != "watch" && o.command != "vlans";
    if (keyed || o.haveKey) {
        // CLIENT VLAN, or after --register CLIENT the VLAN alone.
        const size_t want = keyed ? 2 : 1;
        if (positional.size() != want)
            usageError(keyed ? o.command + " needs CLIENT and VLAN" : "--register needs CLIENT and VLAN", help);
        if (keyed) o.key.clientId = positional[0];
        o.key.vlan = positional.back();
        o.haveKey = true;
    } else {
        if (!positional.empty()) usageError("unexpected argument " + positional[0], help);
        if (sawPollOption) usageError("--ports, --interval, --count and --restart go with --register", help);
    }
    if (o.haveKey && (o.key.clientId.empty() || o.key.clientId.size() >= COIL_CLIENT_TEXT_SIZE))
        usageError("a client identifier has 1 to 31 characters", help);
    return o;
}

}  // namespace coilclient
