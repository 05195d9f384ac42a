// coild as a separate process in a temporary directory of its own, for
// tests of faults that belong to a process or a socket: start, stop with a
// signal, requests on its control socket, coilctl runs, the message
// server's socket, and the process's memory.
#pragma once
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mira/control/control_message.h"

namespace coiltest {

// True in the sanitizer build, whose programs keep freed memory in
// quarantine for a while: their resident size says little about leaks.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif

// The chassis most process tests run on: blue loops through the cable, red
// (on slot 2) does not.
inline constexpr const char* kLoopChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "vlan red instance 200 tag 200 ports 2:1-2:4\n"
    "cable 1:1 1:2\n";
// The chassis line, then VLANs v1..vN (instance and tag N) on the ports.
std::string vlanChassis(const std::string& chassis, int vlans, const std::string& ports);
int countOf(const std::string& text, const std::string& needle);
// The number in the XML element <tag>, or -1.
long xmlNumber(const std::string& xml, const std::string& tag);

// A program of the build (found through COIL_BUILD_DIR).
std::string buildProgram(const std::string& name);
std::string readFile(const std::string& path);
// Starts argv with standard output and error in the files; the pid or -1.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err);
// A program of the system: the path of the name on PATH, /usr/sbin or
// /sbin, or "" when it is not installed.
std::string findProgram(const std::string& name);
// Waits up to timeoutMs: the exit status, 128 + the signal that ended it,
// or -1 when it had to be killed.
int waitExit(pid_t pid, int timeoutMs);
// Ends the process with SIGTERM, and reaps it, when it goes out of scope.
struct Reaper {
    pid_t pid;
    ~Reaper() {
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) waitExit(pid, 5000);
    }
};
// Polls the condition every 10 ms for up to `seconds`.
bool within(double seconds, const std::function<bool()>& condition);

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs argv to its end (killed after timeoutMs), its output in files of dir.
Outcome runProgram(const std::vector<std::string>& argv, const std::string& dir, int timeoutMs = 60'000);

class CoildProcess {
  public:
    CoildProcess();  // makes the directory; nothing runs yet
    ~CoildProcess();  // kills what still runs, removes the directory
    CoildProcess(const CoildProcess&) = delete;
    CoildProcess& operator=(const CoildProcess&) = delete;

    // Starts coild (on the topology text when given, else the example
    // chassis) and waits until its control socket answers.
    bool start(const std::string& topology = "", const std::vector<std::string>& extra = {});
    // SIGTERM; the exit status as waitExit gives it.
    int terminate(int timeoutMs = 10'000);
    void kill();  // SIGKILL, reaped
    pid_t pid() const { return pid_; }

    // One request frame on the control socket; false with the reason.
    bool request(uint32_t type, const mira::control::Message& fields, mira::control::Message* reply,
                 std::string* error, int timeoutMs = 10'000) const;
    // A program of the build (coilctl, coil-client) with this daemon's run
    // directory, waited for up to 20 s.
    Outcome run(const std::string& program, std::vector<std::string> args) const;
    Outcome ctl(std::vector<std::string> args) const { return run("coilctl", std::move(args)); }
    Outcome client(std::vector<std::string> args) const { return run("coil-client", std::move(args)); }
    std::string output(const std::string& tag) const { return readFile(base + "/" + tag + ".out"); }
    // A configuration request: a get (flag exact) or set of the object with
    // "name=value" attributes; the reply (a failed call is a test failure).
    mira::control::Message cm(const std::string& method, const std::string& object,
                              const std::vector<std::string>& attrs = {}) const;
    // An operator's service made with the attributes; true when made.
    bool createService(std::vector<std::string> attrs) const;
    // The same, started in the background; finish() waits for it.
    pid_t launch(const std::string& program, std::vector<std::string> args, const std::string& tag) const;
    Outcome finish(pid_t pid, const std::string& tag, int timeoutMs = 20'000) const;
    // Polls the log until it holds the text.
    bool logShows(const std::string& text, double seconds = 5) const;

    // The message server's socket (from the port file coild publishes).
    std::string messageSocket() const;
    // A connected Unix stream socket to the path, or -1.
    static int connectTo(const std::string& path);

    long rssKiB() const;  // resident memory now, from /proc
    std::string log() const { return readFile(logPath); }
    std::string errors() const { return readFile(base + "/coild.err"); }

    std::string base, runDir, logPath;

  private:
    pid_t pid_ = -1;
};

// The 1172-byte client message (big-endian), as a client daemon sends it.
std::vector<uint8_t> clientMessage(const std::string& clientId, uint32_t vlanIfInstance, uint32_t msgType,
                                   uint32_t pollType = 2, uint32_t count = 0, uint32_t interval = 1);
// A frame of the message server's stream: 32-bit length, then the body.
std::vector<uint8_t> streamFrame(const std::vector<uint8_t>& body);
bool sendAll(int fd, const void* data, size_t size);
// A Unix socket of the type (SOCK_STREAM, SOCK_DGRAM) bound to the path, or -1.
int bindUnix(const std::string& path, int type = SOCK_STREAM);
// True when the other end has closed the connection (end of stream or reset).
bool peerClosed(int fd);
// The messages as stream frames, in one write.
bool sendMessages(int fd, const std::vector<std::vector<uint8_t>>& messages);

}  // namespace coiltest
