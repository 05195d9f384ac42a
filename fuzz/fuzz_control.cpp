// Configuration requests as they arrive on the control socket: the payload
// of a request frame, parsed into fields, decoded into a request, looked up
// in the daemon's name table and converted attribute by attribute into the
// object's record, then run. The reply, made in pieces of a size the input's
// first byte chooses and framed as the server frames them, must join again
// into a well-formed list of fields saying ok or error. Every service the input created is removed and the
// global settings put back after it.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clients/coil_service.h"
#include "fuzz_daemon.h"
#include "mira/core/control_dispatch.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_message.h"

using namespace coilfuzz;

namespace {

bool baseline(const coilServiceNode* sr) {
    const std::string_view client(sr->hdr.clientId);
    return (sr->hdr.vlanIfInstance == kBlue && (client == "1" || client == "2")) ||
           (sr->hdr.vlanIfInstance == kRed && (client == "1" || client == "d"));
}

void restore() {
    std::vector<std::pair<std::string, std::string>> extra;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        if (!baseline(sr)) extra.emplace_back(sr->hdr.clientId, sr->target.vlan);
    for (const auto& [client, vlan] : extra)
        mira::cmRun("set", "coilServiceNode",
                    {{"clientIdentifier", client}, {"vlanIfInstance", "0"}, {"vlan", vlan}, {"rowStatus", "destroy"}});
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr;) {
        coilServiceNode* next = coilNextService(sr);
        if (!baseline(sr)) coilNodeCleanup(sr);  // a key the destroy request could not name
        sr = next;
    }
    mira::cmRun("set", "coilGlobalCfg", {{"enable", "true"}, {"disablePortWaitTime", "2"}, {"rowStatus", "active"}});
    ensureFrameServices();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    startDaemon(DM_NODE_STATE_PRIMARY);
    ensureFrameServices();
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    using namespace mira::control;
    std::unique_ptr<ReplyStream> stream = startReply(kTypeCm, payload, "");
    const size_t budget = 1 + size_t(size > 0 ? data[0] : 0) * 97;
    FrameReader frames(kMaxReplyPayload);
    ReplyAssembler joined;
    for (bool more = true; more;) {
        std::string piece;
        more = stream->next(&piece, budget);
        const std::string frame = encodeFrame(more ? kTypeReplyPart : kTypeReply, piece);
        frames.feed(frame.data(), frame.size());
        Frame got;
        std::string why;
        if (frames.next(&got) != FrameReader::Status::Ready) __builtin_trap();
        if ((joined.add(got, &why) == ReplyAssembler::Status::Done) == more) __builtin_trap();
    }
    stream.reset();
    const std::string& reply = joined.payload();
    settle();
    mira::control::Message fields;
    std::string error;
    if (!mira::control::parseMessage(reply, &fields, &error)) __builtin_trap();
    const std::string status = fields.get("status");
    if (status != "ok" && status != "error") __builtin_trap();
    restore();
    return 0;
}
