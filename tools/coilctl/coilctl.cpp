// coilctl: configures and inspects coild, and changes its simulated switch,
// over the control socket in coild's run directory.
#include "coilctl.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mira/control/control_client.h"
#include "mira/control/control_lab_table.h"

namespace {

using namespace coilctl;

constexpr const char* kGlobalUsage =
    "usage: coilctl [--run-dir DIR] [--xml|--json|-f FORMAT] COMMAND [ARGS...]\n"
    "\n"
    "Talks to coild over <run-dir>/coild.sock (default run directory: /run/coil\n"
    "for root, else $XDG_RUNTIME_DIR/coil, else /tmp/coil-UID). Options:\n"
    "  --run-dir DIR   coild's run directory\n"
    "  --xml           one XML document (-f xml)\n"
    "  --json          one JSON object (-f json)\n"
    "  -f, --format F  plain (default), xml, json or keyvalue (a.b.c=value lines)\n"
    "  --help          this text; COMMAND --help for one command\n"
    "  --version       coilctl's version\n"
    "Options also take the form --option=value.\n"
    "\n"
    "Exit status: 0 done, 1 refused by coild (its message on standard error),\n"
    "2 usage error, 3 coild unreachable or no reply within 30 seconds (a timeout).\n"
    "\n"
    "Commands:\n";

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::string usageLine(const Command& c) {
    return "coilctl " + joined(c.words) + (*c.usage ? std::string(" ") + c.usage : "");
}

void printCommandList(const std::vector<const Command*>& list, FILE* out) {
    size_t w = 0;
    for (const Command* c : list) w = std::max(w, joined(c->words).size());
    for (const Command* c : list) std::fprintf(out, "  %-*s  %s\n", int(w), joined(c->words).c_str(), c->summary);
}

void printHelp(const Command& c) {
    std::printf("usage: %s\n\n%s.\n", usageLine(c).c_str(), c.summary);
    if (*c.help) std::printf("\n%s\n", c.help);
    if (c.words[0] == "lab") {
        std::printf("\nLab commands (PORT is slot:port; a trunk's own slot:port names all its members):\n");
        std::fputs(mira::control::labUsage().c_str(), stdout);
    }
}

// The command whose words the arguments start with (the longest such).
const Command* find(const Args& args, size_t* used) {
    const Command* best = nullptr;
    for (const Command& c : commands()) {
        if (c.words.size() > args.size()) continue;
        bool same = true;
        for (size_t i = 0; i < c.words.size(); i++) same = same && args[i] == c.words[i];
        if (same && (!best || c.words.size() > best->words.size())) best = &c;
    }
    if (best) *used = best->words.size();
    return best;
}

// `COMMAND... --help`: the command's help, or the list of commands that
// start with the words given.
int help(const Args& words) {
    std::vector<const Command*> matching;
    for (const Command& c : commands()) {
        bool prefix = words.size() <= c.words.size();
        for (size_t i = 0; prefix && i < words.size(); i++) prefix = words[i] == c.words[i];
        if (prefix) matching.push_back(&c);
    }
    size_t used = 0;
    const Command* exact = find(words, &used);
    if (exact && (used == words.size() || exact->words[0] == "lab")) {
        printHelp(*exact);
        if (matching.size() > 1) {
            std::printf("\nRelated commands:\n");
            std::vector<const Command*> others;
            for (const Command* c : matching)
                if (c != exact) others.push_back(c);
            printCommandList(others, stdout);
        }
        return kExitOk;
    }
    if (matching.empty()) {
        std::fprintf(stderr, "coilctl: unknown command \"%s\"\n", joined(words).c_str());
        return kExitUsage;
    }
    printCommandList(matching, stdout);
    return kExitOk;
}

int usageError(const std::string& what, const Command* c) {
    std::fprintf(stderr, "coilctl: %s\n", what.c_str());
    if (c) std::fprintf(stderr, "usage: %s\n", usageLine(*c).c_str());
    else std::fprintf(stderr, "run coilctl --help for the commands\n");
    return kExitUsage;
}

// Long options of coilctl itself (before the command); each also takes the
// form --opt=value.
enum OptionId { kRunDir = 1, kXml, kJson, kFormat, kHelp, kVersion };

constexpr option kLongOptions[] = {
    {"run-dir", required_argument, nullptr, kRunDir}, {"xml", no_argument, nullptr, kXml},
    {"json", no_argument, nullptr, kJson},            {"format", required_argument, nullptr, kFormat},
    {"help", no_argument, nullptr, kHelp},            {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

bool formatByName(const std::string& name, Format* out) {
    static const std::pair<const char*, Format> kFormats[] = {
        {"plain", Format::Table}, {"xml", Format::Xml}, {"json", Format::Json}, {"keyvalue", Format::KeyValue}};
    for (const auto& [word, format] : kFormats)
        if (name == word) return *out = format, true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string runDir;
    Format format = Format::Table;
    bool wantHelp = false;
    opterr = 0;
    for (;;) {
        const int prev = optind;
        // '+': the first word that is not an option is the command.
        const int id = getopt_long(argc, argv, "+:hf:", kLongOptions, nullptr);
        if (id == -1) break;
        switch (id) {
            case kRunDir: runDir = optarg; break;
            case kXml: format = Format::Xml; break;
            case kJson: format = Format::Json; break;
            case 'f':
            case kFormat:
                if (!formatByName(optarg, &format))
                    return usageError(std::string("unknown format \"") + optarg + "\" (plain, xml, json, keyvalue)",
                                      nullptr);
                break;
            case 'h':
            case kHelp: wantHelp = true; break;
            case kVersion: std::printf("coilctl %s\n", COIL_VERSION); return kExitOk;
            case ':': return usageError(std::string(argv[prev]) + " needs a value", nullptr);
            default: return usageError(std::string("unknown option ") + argv[prev], nullptr);
        }
    }
    Args args;
    for (int i = optind; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") wantHelp = true;
        else args.push_back(a);
    }
    if (args.empty()) {
        if (!wantHelp) return usageError("command missing", nullptr);
        std::fputs(kGlobalUsage, stdout);
        std::vector<const Command*> all;
        for (const Command& c : commands()) all.push_back(&c);
        printCommandList(all, stdout);
        return kExitOk;
    }
    if (wantHelp) return help(args);

    size_t used = 0;
    const Command* command = find(args, &used);
    if (command == nullptr) return usageError("unknown command \"" + joined(args) + "\"", nullptr);
    Plan plan;
    std::string error;
    if (!command->build(Args(args.begin() + long(used), args.end()), &plan, &error)) return usageError(error, command);

    if (runDir.empty()) runDir = mira::control::defaultRunDir();
    const std::string socketPath = mira::control::controlSocketPath(runDir);
    if (plan.view == View::Watch) return watchEvents(socketPath, format);
    mira::control::Message reply;
    if (!mira::control::controlCall(socketPath, plan.type, plan.request, &reply, &error)) {
        std::fprintf(stderr, "coilctl: %s\n", error.c_str());
        return kExitUnreachable;
    }
    return render(plan, reply, format, socketPath);
}
