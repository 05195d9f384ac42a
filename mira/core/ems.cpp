// Event management: component registration with counters and enable bits,
// the platform's own "trace" and "System" components, incidents formatted
// into one log line each, and the log sink every part of the stand-in uses.
#include "ems.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mira/core/core_internal.h"
#include "mira/core/log_file.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

// ---- The platform's components --------------------------------------------

namespace {

const emsConditionDesc_t kTraceConditions[1] = {
    {"Trace", "%0%", EMS_SEV_TRACE, 1, 0, {{EMS_PARAM_TEXT, 6, 4}}},
};

const emsConditionDesc_t kSystemConditions[1] = {
    {"SystemLog",
     "%0%: %1% %2%:%3% %4%(): %5%",
     EMS_SEV_CRITICAL,
     6,
     0,
     {{EMS_PARAM_TEXT, 6, 2},
      {EMS_PARAM_TEXT, 6, 2},
      {EMS_PARAM_TEXT, 6, 2},
      {EMS_PARAM_INT, 1, 1},
      {EMS_PARAM_TEXT, 6, 2},
      {EMS_PARAM_TEXT, 6, 4}}},
};

const emsComponentDesc_t kSystemDesc = {"System", "Platform system log", 2, 1, 0x7c, 0x7c, 0x0800, 1, kSystemConditions};

// System is registered from program start: static storage, constant-initialised.
uint32_t systemCounters[1];
uint8_t systemEnableBits[1] = {0x01};
emsComponentHandle_t systemHandle = {&kSystemDesc, 1, systemCounters, systemEnableBits};

}  // namespace

const emsComponentDesc_t _ems_trace_ComponentDesc = {"trace", "Platform trace", 2, 1, 0x67, 0x67, 0x0800, 1,
                                                     kTraceConditions};
emsComponentHandle_t* _ems_trace_ComponentHandle = nullptr;
emsComponentHandle_t* _ems_System_ComponentHandle = &systemHandle;

// ---- Registry, enables and sink ---------------------------------------------

namespace {

struct Registration {
    emsComponentHandle_t handle{};
    std::vector<uint32_t> counters;
    std::vector<uint8_t> enableBits;
};

struct EnableRule {
    std::string component;
    std::string condition;  // "*": all
    bool on;
};

enum class SinkMode { Stderr, File, Syslog, Discard };

struct RateLimit {
    int perSecond = 0;
    std::string what;
    int64_t windowStart = -1;  // monotonic usec; -1: no window open
    int lines = 0;
    uint64_t suppressed = 0;
    uint64_t flushItem = 0;  // work item that says the suppressed count
};

struct Ems {
    std::map<emsComponentHandle_t*, std::unique_ptr<Registration>> registered;
    std::vector<EnableRule> rules;
    SinkMode sink = SinkMode::Stderr;
    mira::RotatingLogFile file;
    std::vector<std::string>* capture = nullptr;
    std::map<std::string, RateLimit, std::less<>> rateLimits;  // by component name
};

Ems& ems() {
    static Ems instance;
    return instance;
}

bool defaultEnabled(const emsComponentDesc_t& comp, const emsConditionDesc_t& cond) {
    if (comp.name && std::strcmp(comp.name, "trace") == 0) return false;
    return (cond.severity & EMS_SEV_DEBUG) == 0;
}

bool ruleMatches(const EnableRule& rule, const emsComponentDesc_t& comp, const emsConditionDesc_t& cond) {
    if (!comp.name || rule.component != comp.name) return false;
    return rule.condition == "*" || (cond.name && rule.condition == cond.name);
}

bool enabledNow(const emsComponentDesc_t& comp, const emsConditionDesc_t& cond) {
    bool on = defaultEnabled(comp, cond);
    for (const EnableRule& rule : ems().rules)
        if (ruleMatches(rule, comp, cond)) on = rule.on;
    return on;
}

void setBit(emsComponentHandle_t& h, unsigned i, bool on) {
    uint8_t mask = uint8_t(1u << (i % 8));
    if (on)
        h.enableBits[i / 8] |= mask;
    else
        h.enableBits[i / 8] &= uint8_t(~mask);
}

void applyDefaults(emsComponentHandle_t& h) {
    for (unsigned i = 0; i < h.conditionCount; ++i) {
        h.counters[i] = 0;
        setBit(h, i, enabledNow(*h.desc, h.desc->conditions[i]));
    }
}

template <typename Fn>
void forEachHandle(Fn fn) {
    fn(systemHandle);
    for (auto& [_, reg] : ems().registered) fn(reg->handle);
}

bool knownHandle(const emsComponentHandle_t* h) {
    if (!h) return false;
    if (h == &systemHandle) return true;
    return ems().registered.count(const_cast<emsComponentHandle_t*>(h)) > 0;
}

const char* severityWord(uint8_t severity) {
    static const char* const words[] = {"CRITICAL", "ERROR", "WARNING", "INFO", "NOTICE", "DEBUG", "TRACE"};
    for (int bit = 0; bit < 7; ++bit)
        if (severity & (1u << bit)) return words[bit];
    return "INFO";
}

std::string formatVa(const char* format, va_list* args) {
    if (!format) return "(null)";
    if (!args) return format;
    // The analyzer does not follow a list that arrives by pointer through
    // the caller's varargs, and takes it for uninitialised.
    // NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
    va_list copy;
    va_copy(copy, *args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string text(size_t(n), '\0');
    va_copy(copy, *args);
    std::vsnprintf(text.data(), text.size() + 1, format, copy);
    // NOLINTEND(clang-analyzer-valist.Uninitialized)
    va_end(copy);
    return text;
}

// Replaces each "%n%" whose n names a parameter; anything else is kept as is.
std::string substitute(const char* format, const std::string* params, int count) {
    std::string out;
    if (!format) return out;
    for (const char* p = format; *p;) {
        if (*p == '%') {
            const char* q = p + 1;
            int n = 0;
            bool digits = false;
            while (*q >= '0' && *q <= '9' && n < 1000) {
                n = n * 10 + (*q - '0');
                ++q;
                digits = true;
            }
            if (digits && *q == '%' && n < count) {
                out += params[n];
                p = q + 1;
                continue;
            }
        }
        out += *p++;
    }
    return out;
}

// One line per incident: trailing newlines dropped, inner ones shown as " | ".
std::string oneLine(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    std::string out;
    out.reserve(end);
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n')
            out += " | ";
        else if (text[i] != '\r')
            out += text[i];
    }
    return out;
}

void flushSuppressed(const std::string& component, RateLimit& r) {
    if (r.flushItem != 0) mira::removeWorkItem(r.flushItem);
    r.flushItem = 0;
    if (r.suppressed == 0) return;
    const uint64_t n = r.suppressed;
    r.suppressed = 0;
    mira::logLine("WARNING", component, std::to_string(n) + " " + r.what + " suppressed");
}

// The global rate limit of a component's lines: one-second windows; the
// count of what a window held back is said when the window ends.
bool admitIncident(const std::string& component) {
    auto it = ems().rateLimits.find(component);
    if (it == ems().rateLimits.end()) return true;
    RateLimit& r = it->second;
    const int64_t now = mira::monoUsec();
    if (r.windowStart < 0 || now - r.windowStart >= 1'000'000) {
        flushSuppressed(component, r);
        r.windowStart = now;
        r.lines = 0;
    }
    if (r.lines < r.perSecond) {
        r.lines++;
        return true;
    }
    if (r.suppressed++ == 0)
        r.flushItem = mira::addWorkItem(r.windowStart + 1'000'000 - now, false, [component] {
            auto again = ems().rateLimits.find(component);
            if (again == ems().rateLimits.end()) return;
            again->second.flushItem = 0;  // this one-shot item is done
            flushSuppressed(component, again->second);
            again->second.windowStart = -1;
        });
    return false;
}

}  // namespace

int emsRegisterComponent(int, const emsComponentDesc_t* desc, emsComponentHandle_t** handle) {
    if (!desc || !handle || (desc->conditionCount > 0 && !desc->conditions)) return -1;
    if (knownHandle(*handle) && (*handle)->desc == desc) return 0;  // already registered
    auto reg = std::make_unique<Registration>();
    reg->counters.assign(desc->conditionCount + 1u, 0);
    reg->enableBits.assign(desc->conditionCount / 8u + 1u, 0);
    reg->handle.desc = desc;
    reg->handle.conditionCount = desc->conditionCount;
    reg->handle.counters = reg->counters.data();
    reg->handle.enableBits = reg->enableBits.data();
    applyDefaults(reg->handle);
    emsComponentHandle_t* h = &reg->handle;
    ems().registered.emplace(h, std::move(reg));
    *handle = h;
    return 0;
}

int emsUnregisterComponent(emsComponentHandle_t** handle) {
    if (!handle || !*handle) return -1;
    if (ems().registered.erase(*handle) == 0) return -1;  // unknown, or the static System component
    *handle = nullptr;
    return 0;
}

int emsNotifyIncident(const char*, int, const char*, emsComponentHandle_t* handle, uint32_t conditionId, ...) {
    if (!knownHandle(handle)) return -1;
    uint32_t index = conditionId & 0xffffu;
    if (index >= handle->conditionCount) return -1;
    const emsComponentDesc_t& comp = *handle->desc;
    const emsConditionDesc_t& cond = comp.conditions[index];

    std::string params[10];
    int count = 0;
    va_list ap;
    va_start(ap, conditionId);
    // As in formatVa: started above, ended below.
    // NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
    for (int i = 0; i < cond.paramCount && i < 10; ++i) {
        const emsParamDesc_t& p = cond.params[i];
        if (p.type == EMS_PARAM_INT) {
            params[i] = std::to_string(va_arg(ap, int));
        } else if (p.type == EMS_PARAM_TEXT && p.attr2 == 4) {
            const char* format = va_arg(ap, const char*);
            va_list* args = va_arg(ap, va_list*);
            params[i] = formatVa(format, args);
        } else if (p.type == EMS_PARAM_TEXT) {
            const char* text = va_arg(ap, const char*);
            params[i] = text ? text : "(null)";
        } else {
            break;  // unknown slot: its size is unknown, so nothing after it can be read
        }
        count = i + 1;
    }
    // NOLINTEND(clang-analyzer-valist.Uninitialized)
    va_end(ap);

    if (comp.name && !admitIncident(comp.name)) return 0;
    std::string source = std::string(comp.name ? comp.name : "?") + "." + (cond.name ? cond.name : "?");
    mira::logLine(severityWord(cond.severity), source, oneLine(substitute(cond.format, params, count)));
    return 0;
}

namespace mira {

void logToStderr() {
    Ems& e = ems();
    e.file.close();
    if (e.sink == SinkMode::Syslog) core::closeSyslog();
    e.sink = SinkMode::Stderr;
}

bool logToFile(const std::string& path, uint64_t maxBytes) {
    RotatingLogFile& file = ems().file;
    if (!file.open(path, maxBytes)) return false;
    if (ems().sink == SinkMode::Syslog) core::closeSyslog();
    ems().sink = SinkMode::File;
    return true;
}

void logToSyslog() {
    logToStderr();
    core::openSyslog();
    ems().sink = SinkMode::Syslog;
}

void limitIncidentRate(std::string_view component, int linesPerSecond, std::string_view what) {
    auto& limits = ems().rateLimits;
    if (auto it = limits.find(component); it != limits.end()) {
        flushSuppressed(it->first, it->second);
        limits.erase(it);
    }
    if (linesPerSecond > 0) limits[std::string(component)] = RateLimit{linesPerSecond, std::string(what)};
}

void logDiscard() {
    logToStderr();
    ems().sink = SinkMode::Discard;
}

void captureLog(std::vector<std::string>* lines) { ems().capture = lines; }

void logLine(std::string_view severity, std::string_view source, std::string_view text) {
    time_t now = time_t(wallUsec() / 1'000'000);
    tm parts{};
    char stamp[32] = "0000-00-00 00:00:00";
    if (localtime_r(&now, &parts)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::string line = std::string(stamp) + " ";
    line.append(severity).append(" ").append(source).append(": ").append(text);

    Ems& e = ems();
    if (e.capture) e.capture->push_back(line);
    line += '\n';
    if (e.sink == SinkMode::Stderr) {
        std::fwrite(line.data(), 1, line.size(), stderr);
    } else if (e.sink == SinkMode::Syslog) {
        core::syslogLine(severity, source, text);
    } else if (e.sink == SinkMode::File) {
        e.file.write(line);
    }
}

int setConditionEnabled(std::string_view component, std::string_view condition, bool on) {
    EnableRule rule{std::string(component), std::string(condition), on};
    ems().rules.push_back(rule);
    int changed = 0;
    forEachHandle([&](emsComponentHandle_t& h) {
        for (unsigned i = 0; i < h.conditionCount; ++i) {
            if (!ruleMatches(rule, *h.desc, h.desc->conditions[i])) continue;
            setBit(h, i, on);
            ++changed;
        }
    });
    return changed;
}

namespace core {
void resetEms() {
    Ems& e = ems();
    e.rules.clear();
    e.registered.clear();  // as in a fresh process: nothing registered
    for (auto& [component, limit] : e.rateLimits)
        if (limit.flushItem != 0) removeWorkItem(limit.flushItem);
    e.rateLimits.clear();
    logToStderr();
    e.capture = nullptr;
    forEachHandle([](emsComponentHandle_t& h) { applyDefaults(h); });
}
}  // namespace core

}  // namespace mira
