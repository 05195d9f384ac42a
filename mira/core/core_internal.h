// Seams between the stand-in's own libraries (not for the daemon or tests).
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

struct bmPacket_t;

namespace mira::core {

// Each library's part of resetPlatform().
void resetCommon();
void resetEms();
void resetDm();
void resetLm();
void resetVok();
void resetIpml();
void resetDs();
void resetSnmp();
void resetCli();
void resetTimers();
void resetAutostart();
void resetWatch();

// The event log's syslog sink (log_syslog.cpp).
int syslogLevel(std::string_view severity);
void openSyslog();
void closeSyslog();
void syslogLine(std::string_view severity, std::string_view source, std::string_view text);

// Messaging servers for the dispatcher: a server connection's descriptor
// becomes readable when it has something to deliver; servicing it hands each
// received message (a packet the receiver owns) to `deliver` and each peer
// event to the server's peer callback. False when fd is no server's.
using ServerDeliver = std::function<void(uint32_t peer, bmPacket_t* packet, int length)>;
bool ipmlServerService(int fd, const ServerDeliver& deliver);
bool ipmlIsServerFd(int fd);
// The descriptor of a live connection handle, or -2 when it is none.
int ipmlConnFd(const void* handle);

}  // namespace mira::core
