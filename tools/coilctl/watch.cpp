// `coilctl watch`: coild's events as they happen, one line (or one JSON
// object, or one XML element) each, until SIGINT or SIGTERM.
#include <csignal>

#include <cstdio>

#include "coilctl.h"
#include "mira/control/control_watch.h"
#include "output_json.h"

namespace coilctl {

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

std::string xmlText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20) out += '?';
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

void printEvent(const mira::control::Message& event, Format format) {
    switch (format) {
        case Format::Json: {
            nlohmann::ordered_json j;
            for (const auto& f : event.fields()) {
                const bool number = f.key == "instance" || f.key == "service" || f.key == "hold";
                if (number) j[f.key] = std::strtoull(f.value.c_str(), nullptr, 10);
                else j[f.key] = f.value;
            }
            std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
            break;
        }
        case Format::Xml: {
            std::string line = "<event>";
            for (const auto& f : event.fields()) line += "<" + f.key + ">" + xmlText(f.value) + "</" + f.key + ">";
            std::printf("%s</event>\n", line.c_str());
            break;
        }
        case Format::KeyValue:
        case Format::Table: {
            // time event key=value...
            std::string line = event.get("time") + " " + event.get("event");
            for (const auto& f : event.fields())
                if (f.key != "time" && f.key != "event") line += " " + f.key + "=" + f.value;
            std::printf("%s\n", line.c_str());
            break;
        }
    }
    std::fflush(stdout);
}

}  // namespace

int watchEvents(const std::string& socketPath, Format format) {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    bool opened = false;
    std::string error;
    const mira::control::WatchEnd end = mira::control::controlWatch(
        socketPath,
        [&](const mira::control::Message& event) {
            if (format == Format::Xml && !opened) {
                std::printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<coil status=\"ok\">\n");
                opened = true;
            }
            printEvent(event, format);
        },
        &gStop, &error);
    if (format == Format::Xml) {
        if (!opened) std::printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<coil status=\"ok\">\n");
        std::printf("</coil>\n");
    }
    if (end == mira::control::WatchEnd::Stopped) return kExitOk;
    std::fprintf(stderr, "coilctl: %s\n", error.c_str());
    return end == mira::control::WatchEnd::Refused ? kExitRefused : kExitUnreachable;
}

}  // namespace coilctl
