// What coil-client asks coild's control socket before a request: the VLANs
// (to take a VLAN by name and to refuse an instance the switch lacks) and
// the services (to say when a request would have no effect). The control
// socket is in the run directory, beside the message server's socket.
#include <cstdio>
#include <cstdlib>

#include "cmbackend.h"
#include "coil_client_tool.h"
#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_request.h"
#include "mira/control/control_xml.h"

namespace coilclient {

namespace {

using mira::control::XmlRecord;

std::string controlSocket(const Options& o) {
    if (!o.socketPath.empty()) {
        const size_t slash = o.socketPath.rfind('/');
        return mira::control::controlSocketPath(slash == std::string::npos ? "." : o.socketPath.substr(0, slash));
    }
    return mira::control::controlSocketPath(o.runDir.empty() ? mira::control::defaultRunDir() : o.runDir);
}

bool ask(const Options& o, uint32_t type, const mira::control::Message& request, std::vector<XmlRecord>* out,
         std::string* error) {
    mira::control::Message reply;
    if (!mira::control::controlCall(controlSocket(o), type, request, &reply, error, 10'000)) return false;
    if (reply.get("status") != "ok") return *error = reply.get("error"), false;
    return mira::control::parseXmlRecords(reply.get("output"), out, error);
}

std::string value(const XmlRecord& r, const char* name) {
    const std::string* v = r.find(name);
    return v ? *v : "";
}

}  // namespace

bool listVlans(const Options& o, std::vector<VlanInfo>* out, std::string* error) {
    std::vector<XmlRecord> records;
    mira::control::Message request;
    request.add("what", "vlans");
    if (!ask(o, mira::control::kTypeShow, request, &records, error)) return false;
    out->clear();
    for (const XmlRecord& r : records)
        out->push_back({value(r, "name"), uint32_t(std::strtoul(value(r, "instance").c_str(), nullptr, 10)),
                        uint32_t(std::strtoul(value(r, "tag").c_str(), nullptr, 10)), value(r, "ports")});
    return true;
}

int serviceExists(const Options& o, std::string* error) {
    std::vector<XmlRecord> records;
    const mira::control::CmSpec walk{"get", "coilServiceNode", CM_FLAG_WALK, {}};
    if (!ask(o, mira::control::kTypeCm, mira::control::encodeCmSpec(walk), &records, error)) return -1;
    for (const XmlRecord& r : records)
        if (value(r, "clientIdentifier") == o.key.clientId &&
            value(r, "vlanIfInstance") == std::to_string(o.key.vlanIfInstance))
            return 1;
    return 0;
}

}  // namespace coilclient
