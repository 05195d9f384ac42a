// coild: the loop-detection daemon, on the simulated switch or, with
// --linux, on the host's Linux bridges. Loads a chassis (the built-in
// example, or a topology file) or reads the bridges, points the
// event log at its sink (a file, standard error or syslog), opens the trap
// sink and the control socket in the run directory, starts the rest of the
// simulated switch, replays the saved configuration of the state directory
// once the daemon's backend client is up (then tells the service manager it
// is ready), and runs the daemon's main until SIGTERM; SIGHUP reloads the
// saved configuration.
#include <fcntl.h>
#include <getopt.h>
#include <csignal>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "clients/coil_server.h"
#include "frame/coil_main.h"
#include "mira/control/control_client.h"
#include "mira/core/control_server.h"
#include "mira/core/dm_link.h"
#include "mira/sim/pcap.h"
#include "mira/core/platform.h"
#include "mira/core/saved_config.h"
#include "mira/core/saved_config_reload.h"
#include "mira/core/snmp_trap_sink.h"
#include "mira/linux/linux_switch.h"
#include "mira/sim/switch.h"
#include "mira/sim/topology.h"

extern const char mira_example_topology[];
extern const std::size_t mira_example_topology_len;

namespace {

constexpr const char* kUsage =
    "usage: coild [options]\n"
    "\n"
    "Runs the loop-detection daemon on the simulated switch, or with --linux on this\n"
    "host's Linux bridges.\n"
    "\n"
    "  --topology FILE   the chassis to simulate (default: the built-in example chassis)\n"
    "  --linux           watch the host's bridges instead (needs CAP_NET_ADMIN, CAP_NET_RAW)\n"
    "  --bridge NAME[=TAG]  with --linux: watch this bridge (repeatable; default every bridge);\n"
    "                    TAG is the probe's 802.1Q VID on a bridge without VLAN filtering\n"
    "                    (default 0, a priority tag)\n"
    "  --cut-link        with --linux: disable a port by taking its link down instead of\n"
    "                    setting its bridge port state to disabled\n"
    "  --run-dir DIR     directory of the sockets (coild.sock); default /run/coil for root,\n"
    "                    else $XDG_RUNTIME_DIR/coil, else /tmp/coil-UID; created 0700\n"
    "  --state-dir DIR   directory of the saved configuration (coil.conf), kept across\n"
    "                    reboots; default /var/lib/coil for root, else $XDG_STATE_HOME/coil,\n"
    "                    else ~/.local/state/coil; created 0700\n"
    "  --log FILE        append the event log to FILE (default: standard error)\n"
    "  --log syslog      send the event log to syslog (and the journal), severity as level\n"
    "  --trap-sink HOST[:PORT]  also send the loop trap (actions trap, log-trap) as an\n"
    "                    SNMPv2c trap, community public, to HOST (port 162 by default;\n"
    "                    an IPv6 address in brackets); objects named in COIL-MIB\n"
    "  --log-max BYTES   rotate the log FILE when it would grow over BYTES (default 16 MiB):\n"
    "                    FILE.1 keeps the part before; at least 4096\n"
    "  --capture FILE    write every frame entering or leaving a port to FILE (pcap)\n"
    "  --trace           turn on the trace component (every trace message of the daemon)\n"
    "  --debug           turn on the DebugSummary condition (checkpoint and port-control detail)\n"
    "  --role ROLE       this module's redundancy role at start: primary (default), backup or standby\n"
    "  --peer-dir DIR    link with the coild of the other module through DIR (give both the same\n"
    "                    DIR); checkpoints flow to the backup, which takes over when the link drops.\n"
    "                    DIR must be private to this user (created 0700; never /tmp itself)\n"
    "  --clients-share-services\n"
    "                    let a client daemon start, stop and deregister services that\n"
    "                    another client daemon's connection registered (by default each\n"
    "                    acts only on its own; none ever acts on the operator's)\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Every option also takes the form --option=value.\n"
    "coild stops cleanly, with status 0, on SIGTERM or SIGINT; SIGHUP reloads the saved\n"
    "configuration (see coild(8)). Talk to it with coilctl.\n";

// Report lines ("COIL.Report") written per second in all; the count of the
// others is logged once a second. Each service also reports a loop at most
// once every 3 seconds.
constexpr int kReportLinesPerSecond = 20;

struct Options {
    std::string topology, runDir, stateDir, log, capture, role, peerDir, trapSink;
    uint64_t logMax = uint64_t{16} << 20;
    bool trace = false, debug = false, shareServices = false;
    bool onLinux = false;
    mira::lnx::LinuxOptions linuxOptions;
};

[[noreturn]] void usageError(const std::string& what) {
    std::fprintf(stderr, "coild: %s\nrun coild --help for the options\n", what.c_str());
    std::exit(2);
}

// Long options only; each also takes the form --opt=value.
enum OptionId {
    kTopology = 1,
    kRunDir,
    kStateDir,
    kLog,
    kLogMax,
    kTrapSink,
    kCapture,
    kTrace,
    kDebug,
    kRole,
    kPeerDir,
    kShare,
    kHelp,
    kVersion,
    kLinux,
    kBridge,
    kCutLink
};

constexpr option kLongOptions[] = {
    {"topology", required_argument, nullptr, kTopology}, {"run-dir", required_argument, nullptr, kRunDir},
    {"log", required_argument, nullptr, kLog},           {"capture", required_argument, nullptr, kCapture},
    {"log-max", required_argument, nullptr, kLogMax},
    {"trace", no_argument, nullptr, kTrace},             {"debug", no_argument, nullptr, kDebug},
    {"role", required_argument, nullptr, kRole},         {"peer-dir", required_argument, nullptr, kPeerDir},
    {"clients-share-services", no_argument, nullptr, kShare},
    {"help", no_argument, nullptr, kHelp},               {"version", no_argument, nullptr, kVersion},
    {"state-dir", required_argument, nullptr, kStateDir}, {"trap-sink", required_argument, nullptr, kTrapSink},
    {"linux", no_argument, nullptr, kLinux},             {"bridge", required_argument, nullptr, kBridge},
    {"cut-link", no_argument, nullptr, kCutLink},
    {nullptr, 0, nullptr, 0},
};

Options parse(int argc, char** argv) {
    Options o;
    opterr = 0;
    for (;;) {
        const int prev = optind;
        const int id = getopt_long(argc, argv, "+:h", kLongOptions, nullptr);
        if (id == -1) break;
        switch (id) {
            case 'h':
            case kHelp: std::fputs(kUsage, stdout); std::exit(0);
            case kVersion: std::printf("coild %s\n", COIL_VERSION); std::exit(0);
            case kTopology: o.topology = optarg; break;
            case kRunDir: o.runDir = optarg; break;
            case kStateDir: o.stateDir = optarg; break;
            case kLog: o.log = optarg; break;
            case kTrapSink: o.trapSink = optarg; break;
            case kLogMax: {
                char* end = nullptr;
                errno = 0;
                const unsigned long long v = std::strtoull(optarg, &end, 10);
                if (errno != 0 || end == optarg || *end != '\0' || v < 4096 || optarg[0] == '-')
                    usageError(std::string("--log-max needs a number of bytes of at least 4096, not ") + optarg);
                o.logMax = v;
                break;
            }
            case kCapture: o.capture = optarg; break;
            case kRole:
                o.role = optarg;
                if (mira::dmlink::nodeStateByName(o.role) == 0) usageError("unknown role " + o.role);
                break;
            case kPeerDir: o.peerDir = optarg; break;
            case kTrace: o.trace = true; break;
            case kDebug: o.debug = true; break;
            case kLinux: o.onLinux = true; break;
            case kBridge: {
                std::string why;
                if (!mira::lnx::parseWatchedBridge(optarg, &o.linuxOptions.bridges.emplace_back(), &why))
                    usageError("--bridge: " + why);
                break;
            }
            case kCutLink: o.linuxOptions.cutByLinkDown = true; break;
            case kShare: o.shareServices = true; break;
            case ':': usageError(std::string("option ") + argv[prev] + " needs a value");
            default: usageError(std::string("unknown option ") + argv[prev]);
        }
    }
    if (optind < argc) usageError(std::string("unexpected argument ") + argv[optind]);
    if (!o.onLinux && (!o.linuxOptions.bridges.empty() || o.linuxOptions.cutByLinkDown))
        usageError("--bridge and --cut-link need --linux");
    if (o.onLinux && (!o.topology.empty() || !o.capture.empty()))
        usageError("--topology and --capture are for the simulated switch, not --linux");
    return o;
}

// The run and state directories are private to the daemon's user. One that
// exists must be a real directory (not a link someone else could redirect)
// of that user; wider permissions are taken back. Missing parents of a
// state directory (~/.local/state) are made too.
bool makePrivateDir(const std::string& dir, const char* what, bool parents) {
    if (parents) {
        for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
            if (mkdir(dir.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) break;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "coild: cannot create %s %s: %s\n", what, dir.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        std::fprintf(stderr, "coild: %s %s is not a directory of this user\n", what, dir.c_str());
        return false;
    }
    if (chmod(dir.c_str(), 0700) != 0) {
        std::fprintf(stderr, "coild: cannot restrict %s %s: %s\n", what, dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// One coild per run directory. The lock is the kernel's, released with the
// process however it ends, so it never goes stale; the socket files alone
// could be removed under a running coild and let a second one in.
bool lockRunDir(const std::string& dir) {
    const std::string path = dir + "/coild.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "coild: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "coild: another coild runs on %s\n", dir.c_str());
        ::close(fd);
        return false;
    }
    return true;  // the descriptor stays open, and locked, until the process ends
}

// Until the daemon's loop watches SIGTERM and SIGINT, they end start-up at
// once (loading a large topology takes a while), cleanly: nothing is
// created yet that would need removing.
void stopDuringStartUp(int) {
    static const char kStopped[] = "coild: stopped during start-up\n";
    (void)!::write(STDERR_FILENO, kStopped, sizeof kStopped - 1);
    ::_exit(0);
}

void exitOnSignalsDuringStartUp() {
    struct sigaction sa {};
    sa.sa_handler = stopDuringStartUp;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

// From the first socket file on, the signals wait (blocked) for the loop,
// which takes them from a signalfd and stops as usual, removing its files.
void holdSignalsForTheLoop() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // A pipe or socket whose reader went away is an error to handle, never a
    // reason to die (a capture to a FIFO, a client that hung up).
    ::signal(SIGPIPE, SIG_IGN);
    exitOnSignalsDuringStartUp();
    Options o = parse(argc, argv);
    if (o.runDir.empty()) o.runDir = mira::control::defaultRunDir();
    if (o.stateDir.empty()) o.stateDir = mira::control::defaultStateDir();
    if (!makePrivateDir(o.runDir, "run directory", false) || !lockRunDir(o.runDir) ||
        !makePrivateDir(o.stateDir, "state directory", true))
        return 1;
    mira::setRunDir(o.runDir);
    mira::setStateDir(o.stateDir);

    if (o.log == "syslog") {
        mira::logToSyslog();
    } else if (!o.log.empty() && !mira::logToFile(o.log, o.logMax)) {
        std::fprintf(stderr, "coild: cannot open log file %s: %s\n", o.log.c_str(), std::strerror(errno));
        return 1;
    }
    std::string error;
    std::unique_ptr<mira::lnx::LinuxSwitch> linuxSwitch;
    if (o.onLinux) linuxSwitch = mira::lnx::startLinuxSwitch(o.linuxOptions, &error);
    const bool loaded =
        o.onLinux ? linuxSwitch != nullptr
        : o.topology.empty()
            ? mira::loadTopology(std::string(mira_example_topology, mira_example_topology_len), "example chassis",
                                 &error)
            : mira::loadTopologyFile(o.topology, &error);
    if (!loaded) {
        std::fprintf(stderr, "coild: %s\n", error.c_str());
        return 1;
    }
    if (!o.capture.empty() && !mira::startCapture(o.capture, {}, &error)) {
        std::fprintf(stderr, "coild: %s\n", error.c_str());
        return 1;
    }
    if (!o.trapSink.empty() && !mira::startTrapSink(o.trapSink, &error)) {
        std::fprintf(stderr, "coild: %s\n", error.c_str());
        return 1;
    }
    if (o.trace) mira::setConditionEnabled("trace", "*", true);
    if (o.debug) mira::setConditionEnabled("COIL", "DebugSummary", true);
    mira::limitIncidentRate("COIL.Report", kReportLinesPerSecond, "reports");
    gCoilClientsShareServices = o.shareServices;

    // The socket exists from the start (a second coild on the same run
    // directory is refused at once); requests are served once the saved
    // configuration is loaded.
    holdSignalsForTheLoop();
    if (!mira::control::startControlServer(o.runDir, &error, false)) {
        std::fprintf(stderr, "coild: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& name : mira::removeLeftoverSaves(o.stateDir))
        mira::logLine("INFO", "cfgmgr", "removed " + name + ", left by a save that did not finish");
    const std::string savedPath = mira::savedConfigPath(o.stateDir);
    mira::loadConfigWhenReady(savedPath, [] {
        mira::control::serveControlSocket();
        mira::notifyServiceManager("READY=1");
    });
    mira::setReloadHandler([savedPath] { mira::reloadSavedConfigLogged(savedPath); });
    if (!o.role.empty()) mira::dmlink::setStartRole(mira::dmlink::nodeStateByName(o.role));
    if (!o.peerDir.empty() && !mira::dmlink::start(o.peerDir, &error)) {
        std::fprintf(stderr, "coild: %s\n", error.c_str());
        mira::control::stopControlServer();
        return 1;
    }

    mira::startAutostart();
    const int rc = coil_main();
    if (linuxSwitch) linuxSwitch->restore();  // every port state and entry it changed, back
    mira::dmlink::stop();
    mira::control::stopControlServer();
    mira::stopTrapSink();
    std::fflush(stdout);
    return rc;
}
