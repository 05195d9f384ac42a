#include "fuzz_daemon.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "clients/coil_client_msg.h"
#include "engine/coil_bytes.h"
#include "events/coil_dm.h"
#include "frame/coil_main.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "mira/sim/topology.h"
#include "nup.h"

namespace coilfuzz {

const char* const kChassis = R"(# fuzz chassis
chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8
trunk 3:1 members 1:5-1:7
vlan blue instance 100 tag 100 ports 1:1-1:4,3:1
vlan red instance 200 tag 200 ports 1:1,1:2,2:1,2:2
cable 1:1 2:3
cable 1:2 2:4
cable 1:5 2:5
)";

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz set-up failed: %s\n", what.c_str());
    std::abort();
}

}  // namespace

void startDaemon(uint32_t nodeState) {
    static bool started = false;
    if (started) return;
    started = true;

    mira::useVirtualTime();
    mira::resetPlatform();
    // COIL_FUZZ_LOG=1 shows the daemon's log, for replaying one input.
    if (const char* log = std::getenv("COIL_FUZZ_LOG"); log != nullptr && *log == '1')
        mira::logToStderr();
    else
        mira::logDiscard();
    std::string error;
    if (!mira::loadTopology(kChassis, "fuzz.topo", &error)) fail(error);
    mira::startAutostart();
    coil_main();
    advanceSeconds(1);  // the start chain runs in the first milliseconds
    mira::setConditionEnabled("trace", "*", true);
    mira::setConditionEnabled("COIL", "*", true);
    mira::setConditionEnabled("COIL.Report", "*", true);
    // Reports to client daemons go nowhere.
    mira::setSendSink([](uint32_t, std::span<const uint8_t>) {});
    if (nodeState != DM_NODE_STATE_PRIMARY) {
        mira::setNodeRole(nodeState);
        settle();
    }
    auto r = mira::cmRun("set", "coilGlobalCfg", {{"enable", "true"}, {"rowStatus", "active"}});
    if (r.result != 1) fail("enable: " + r.message);
}

void settle() { mira::drain(); }
void advanceSeconds(int64_t seconds) { mira::advanceSeconds(seconds); }

bool configure(std::string_view vlan, std::string_view client, const std::vector<mira::CmAttr>& extra) {
    std::vector<mira::CmAttr> attrs{{"clientIdentifier", std::string(client)},
                                    {"vlanIfInstance", "0"},
                                    {"vlan", std::string(vlan)},
                                    {"rowStatus", "createAndGo"}};
    attrs.insert(attrs.end(), extra.begin(), extra.end());
    return mira::cmRun("set", "coilServiceNode", attrs).result == 1;
}

void sendClientMessage(uint32_t peer, const coilClientMsg& message) {
    bmPacket_t* packet = bmAllocPacket(COIL_CLIENT_MSG_SIZE, 32, 1);
    if (packet == nullptr) fail("no packet");
    coilClientMsgEncode(&message, packet->data);
    packet->length = COIL_CLIENT_MSG_SIZE;
    coilServerReceive(nullptr, peer, packet, COIL_CLIENT_MSG_SIZE);
}

void startDaemonService(uint32_t peer, const char* clientId, uint32_t vlanIfInstance, uint32_t disablePortDuration) {
    coilClientMsg m{};
    coilCopyText(m.hdr.clientId, sizeof m.hdr.clientId, clientId);
    m.hdr.vlanIfInstance = vlanIfInstance;
    m.hdr.msgType = COIL_MSG_REGISTER;
    m.target.vlanIfInstance = vlanIfInstance;
    m.target.pollType = COIL_POLL_PERIODIC;
    m.target.timeout = 1;
    m.target.action = COIL_ACTION_TEXT;
    m.target.disablePort = 1;
    m.target.disablePortDuration = disablePortDuration;
    sendClientMessage(peer, m);
    m.hdr.msgType = COIL_MSG_START_POLL;
    sendClientMessage(peer, m);
}

void ensureFrameServices() {
    if (findCoilServiceNode("1", kBlue) == nullptr)
        configure("blue", "1", {{"interval", "1"}, {"action", "3"}, {"disablePort", "1"}, {"disablePortDuration", "2"}});
    if (findCoilServiceNode("2", kBlue) == nullptr)
        configure("blue", "2", {{"interval", "1"}, {"retry", "3"}, {"action", "2"}});
    if (findCoilServiceNode("1", kRed) == nullptr) configure("red", "1", {{"interval", "2"}, {"action", "5"}});
    if (findCoilServiceNode("d", kRed) == nullptr) startDaemonService(kDaemonPeer, "d", kRed, 2);
    settle();
}

std::vector<uint8_t> portControlAdd(uint32_t inPif, uint32_t secondsAgo) {
    std::vector<uint8_t> r(84, 0);
    r[0] = 3, r[1] = 1;
    coilPutBe16(&r[2], 84);
    coilPutBe32(&r[4], inPif);
    coilPutBe32(&r[8], inPif);
    coilPutBe32(&r[12], kBlue);
    coilPutBe32(&r[16], port(1, 1));
    r[24] = '1';
    coilPutBe32(&r[56], kBlue);
    coilPutBe32(&r[80], uint32_t(miraTime(nullptr)) - secondsAgo);
    return r;
}

void ensureBackupState() {
    if (findCoilServiceNode("1", kBlue) == nullptr)
        configure("blue", "1", {{"interval", "2"}, {"action", "3"}, {"disablePort", "1"}, {"disablePortDuration", "300"}});
    if (findCoilServiceNode("1", kRed) == nullptr) configure("red", "1", {{"interval", "5"}});
    if (findCoilServiceNode("2", kBlue) == nullptr) configure("blue", "2", {{"retry", "3"}, {"action", "2"}});
    // Entries the previous input added go, so the list does not grow from
    // input to input; the two standard ones come back.
    while (coilPortControl* rec = coilPortControlGetFirst()) coilPortControlDestroy(rec);
    std::vector<uint8_t> m = portControlAdd(port(1, 2), 100);
    const std::vector<uint8_t> old = portControlAdd(port(1, 3), 400);
    m.insert(m.end(), old.begin(), old.end());
    coil_dm_Checkpoint_CB(nullptr, 1, m.data(), uint32_t(m.size()));
    settle();
}

std::vector<uint8_t> returningPdu(const coilServiceNode* sr, uint32_t egress) {
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    const uint16_t built = coilGetBe16(pdu.frame + 30);
    coilPutBe32(pdu.frame + 54, egress);
    coilPutBe16(pdu.frame + 30, nupChecksumIncremental(built, 0, egress));
    return std::vector<uint8_t>(pdu.frame, pdu.frame + pdu.length);
}

}  // namespace coilfuzz
