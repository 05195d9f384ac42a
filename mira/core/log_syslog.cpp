// The event log's syslog sink: one syslog message per log line, at the
// level of the line's severity word. journald reads the same socket.
#include <syslog.h>

#include <string>
#include <string_view>

#include "mira/core/core_internal.h"

namespace mira::core {

int syslogLevel(std::string_view severity) {
    if (severity == "CRITICAL") return LOG_CRIT;
    if (severity == "ERROR") return LOG_ERR;
    if (severity == "WARNING") return LOG_WARNING;
    if (severity == "NOTICE") return LOG_NOTICE;
    if (severity == "DEBUG" || severity == "TRACE") return LOG_DEBUG;
    return LOG_INFO;
}

void openSyslog() { ::openlog("coild", LOG_PID | LOG_NDELAY, LOG_DAEMON); }

void closeSyslog() { ::closelog(); }

// syslog adds the time and the program; the line keeps its severity word,
// so a reader of the plain file and of the journal sees the same text.
void syslogLine(std::string_view severity, std::string_view source, std::string_view text) {
    std::string line;
    line.append(severity).append(" ").append(source).append(": ").append(text);
    ::syslog(syslogLevel(severity), "%s", line.c_str());
}

}  // namespace mira::core
