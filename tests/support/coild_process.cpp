#include "support/coild_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "mira/control/control_client.h"
#include "mira/core/ipml_wire.h"

extern char** environ;

namespace coiltest {

std::string buildProgram(const std::string& name) {
    const char* dir = std::getenv("COIL_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

std::string vlanChassis(const std::string& chassis, int vlans, const std::string& ports) {
    std::string text = chassis;
    for (int v = 1; v <= vlans; v++) {
        const std::string n = std::to_string(v);
        text += "vlan v" + n + " instance " + n + " tag " + n + " ports " + ports + "\n";
    }
    return text;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

long xmlNumber(const std::string& xml, const std::string& tag) {
    const size_t at = xml.find("<" + tag + ">");
    return at == std::string::npos ? -1 : std::atol(xml.c_str() + at + tag.size() + 2);
}

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

namespace {

// Waits for the program, then reads what it wrote to files.out and files.err.
Outcome collect(pid_t pid, const std::string& files, int timeoutMs) {
    Outcome r;
    if (pid <= 0) return r;
    r.status = waitExit(pid, timeoutMs);
    r.out = readFile(files + ".out");
    r.err = readFile(files + ".err");
    return r;
}

}  // namespace

Outcome runProgram(const std::vector<std::string>& argv, const std::string& dir, int timeoutMs) {
    return collect(spawnProgram(argv, dir + "/run.out", dir + "/run.err"), dir + "/run", timeoutMs);
}

int waitExit(pid_t pid, int timeoutMs) {
    if (pid <= 0) return -1;  // never waitpid/kill(-1): that is every child, or every process
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool within(double seconds, const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

CoildProcess::CoildProcess() {
    char pattern[] = "/tmp/coil-proc-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) base = pattern;
    runDir = base + "/run";
    logPath = base + "/coild.log";
}

CoildProcess::~CoildProcess() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}

bool CoildProcess::start(const std::string& topology, const std::vector<std::string>& extra) {
    // The saved configuration beside the sockets, where these tests look for it.
    std::vector<std::string> argv{buildProgram("coild"), "--run-dir", runDir, "--state-dir", runDir, "--log", logPath};
    if (!topology.empty()) {
        std::ofstream(base + "/chassis.topo") << topology;
        argv.insert(argv.end(), {"--topology", base + "/chassis.topo"});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = spawnProgram(argv, base + "/coild.out", base + "/coild.err");
    if (pid_ <= 0) return false;
    mira::control::Message get;
    get.add("method", "get").add("object", "coilGlobalCfg").add("flag", "exact");
    return within(10, [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;  // ended: start() says false
        }
        mira::control::Message reply;
        std::string error;
        return request(1, get, &reply, &error, 1000);
    }) && pid_ > 0;
}

int CoildProcess::terminate(int timeoutMs) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    const int status = waitExit(pid_, timeoutMs);
    pid_ = -1;
    return status;
}

void CoildProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool CoildProcess::request(uint32_t type, const mira::control::Message& fields, mira::control::Message* reply,
                           std::string* error, int timeoutMs) const {
    return mira::control::controlCall(mira::control::controlSocketPath(runDir), type, fields, reply, error,
                                      timeoutMs);
}

Outcome CoildProcess::run(const std::string& program, std::vector<std::string> args) const {
    return finish(launch(program, std::move(args), program), program);
}

pid_t CoildProcess::launch(const std::string& program, std::vector<std::string> args, const std::string& tag) const {
    args.insert(args.begin(), {buildProgram(program), "--run-dir", runDir});
    return spawnProgram(args, base + "/" + tag + ".out", base + "/" + tag + ".err");
}

Outcome CoildProcess::finish(pid_t pid, const std::string& tag, int timeoutMs) const {
    return collect(pid, base + "/" + tag, timeoutMs);
}

mira::control::Message CoildProcess::cm(const std::string& method, const std::string& object,
                                        const std::vector<std::string>& attrs) const {
    mira::control::Message request, reply;
    request.add("method", method).add("object", object);
    if (method == "get") request.add("flag", "exact");
    for (const std::string& a : attrs) request.add("attr", a);
    std::string error;
    EXPECT_TRUE(this->request(1, request, &reply, &error)) << error;
    return reply;
}

bool CoildProcess::createService(std::vector<std::string> attrs) const {
    attrs.push_back("rowStatus=createAndGo");
    const mira::control::Message reply = cm("set", "coilServiceNode", attrs);
    EXPECT_EQ(reply.get("result"), "1") << reply.get("message") << reply.get("error");
    return reply.get("result") == "1";
}

bool CoildProcess::logShows(const std::string& text, double seconds) const {
    return within(seconds, [&] { return log().find(text) != std::string::npos; });
}

std::string CoildProcess::messageSocket() const {
    const std::string port = readFile(runDir + "/" + mira::dsRecordName("coil_server"));
    if (port.empty()) return "";
    return runDir + "/" + mira::ipmlSocketName(uint16_t(std::atoi(port.c_str())));
}

namespace {

// A Unix socket of the type bound to the path, or connected to it; -1 on failure.
int unixSocket(const std::string& path, int type, bool bind) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    if (fd >= 0 && (bind ? ::bind(fd, a, sizeof addr) : ::connect(fd, a, sizeof addr)) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

int CoildProcess::connectTo(const std::string& path) { return unixSocket(path, SOCK_STREAM, false); }

int bindUnix(const std::string& path, int type) { return unixSocket(path, type, true); }

long CoildProcess::rssKiB() const {
    std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

namespace {

void putBe32(std::vector<uint8_t>& m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) m[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

}  // namespace

std::vector<uint8_t> clientMessage(const std::string& clientId, uint32_t vlanIfInstance, uint32_t msgType,
                                   uint32_t pollType, uint32_t count, uint32_t interval) {
    std::vector<uint8_t> m(1172, 0);
    std::memcpy(m.data(), clientId.data(), std::min<size_t>(clientId.size(), 31));
    putBe32(m, 32, vlanIfInstance);
    m[36] = 1;
    putBe32(m, 40, msgType);
    putBe32(m, 56, vlanIfInstance);
    putBe32(m, 1092, pollType);
    putBe32(m, 1096, count);
    putBe32(m, 1100, interval);
    putBe32(m, 1104, 1);  // action: report
    return m;
}

std::vector<uint8_t> streamFrame(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> f(4 + body.size());
    putBe32(f, 0, uint32_t(body.size()));
    if (!body.empty()) std::memcpy(f.data() + 4, body.data(), body.size());
    return f;
}

bool sendAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, size -= size_t(n);
    }
    return true;
}

bool peerClosed(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool sendMessages(int fd, const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<uint8_t> bytes;
    for (const auto& m : messages) {
        const std::vector<uint8_t> frame = streamFrame(m);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return sendAll(fd, bytes.data(), bytes.size());
}

}  // namespace coiltest
