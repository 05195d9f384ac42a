// Reporting a run's result where the service's client wants it: a message
// to a client daemon; for an operator's service a status text, a
// rate-limited event-log report, an SNMP trap and the port disabling.
#include <cstdio>
#include <cstring>

#include "clients/coil_server.h"
#include "dm.h"
#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "frame/coil_log.h"
#include "snmp.h"
#include "watch.h"

static constexpr const char* coilUnit = "coil_state";

namespace {

constexpr int kReportHoldSeconds = 3;
constexpr const char* kTrapName = "brambleCoilVlanLoopDetected";

bool hasText(uint32_t action) { return action == COIL_ACTION_TEXT || action == COIL_ACTION_TEXT_LOG; }
bool hasLog(uint32_t action) {
    return action == COIL_ACTION_LOG || action == COIL_ACTION_TEXT_LOG || action == COIL_ACTION_LOG_TRAP;
}
bool hasTrap(uint32_t action) { return action == COIL_ACTION_TRAP || action == COIL_ACTION_LOG_TRAP; }

const char* clientName(const char* clientId) {
    if (std::strcmp(clientId, "1") == 0) return "CLI";
    if (std::strcmp(clientId, "2") == 0) return "SNMP";
    return "";
}

// The event-log report, at most one loop report per service in 3 seconds.
void logReport(coilServiceNode* sr, uint32_t event) {
    miraTimeval_t now{};
    getmonotimeofday(&now);
    int32_t sec = now.tv_sec - sr->lastReportTime.tv_sec;
    if (now.tv_usec < sr->lastReportTime.tv_usec) sec -= 1;  // whole seconds elapsed
    if (sr->lastReportTime.tv_sec != 0 && sec < kReportHoldSeconds && event == EV_LOOP_DETECTED) return;
    sr->lastReportTime = now;

    if (!coilEmsGate(_ems_COIL_Report_ComponentHandle, COIL_REPORT_COND_MESSAGE)) return;
    const bool loop = event == EV_LOOP_DETECTED;
    const char* ingress = "nil";
    const char* egress = "nil";
    if (loop) {
        ingress = getPortStr(sr->target.inLif.slot, sr->target.inLif.port);
        egress = getPortStr((sr->target.txPortId >> 16) & 0xff, sr->target.txPortId & 0xffff);
    }
    emsNotifyIncident(coilUnit, __LINE__, __func__, _ems_COIL_Report_ComponentHandle, COIL_REPORT_COND_MESSAGE,
                      clientName(sr->hdr.clientId), sr->target.vlan, int(sr->serviceId),
                      loop ? "LOOP DETECTED" : "NO LOOP DETECTED", int(sr->serviceStats.pollCount),
                      int(sr->serviceStats.detectCount), ingress, egress);
}

// What getPortStr would print for the port, found now; the trace of an
// unknown port is logged now too.
coilPortText_t findPortText(uint32_t slot, uint32_t port) {
    lif_t* lif = nullptr;
    vlanLibGetLifBySlotPort(uint16_t(slot), uint16_t(port), &lif);
    if (lif == nullptr) {
        COIL_TRACE("ERROR: Cannot find pif for %d:%d\n", slot & 0xffff, port & 0xffff);
        return coilPortText_t{COIL_PORT_TEXT_NONE, 0, 0};
    }
    return coilPortText_t{uint8_t(dmConfig.slotCount < 2 ? COIL_PORT_TEXT_PORT : COIL_PORT_TEXT_SLOT_PORT), lif->slot,
                          lif->port};
}

void printPortText(const coilPortText_t& text, char* out, size_t size) {
    if (text.form == COIL_PORT_TEXT_PORT)
        std::snprintf(out, size, "%d", text.port);
    else if (text.form == COIL_PORT_TEXT_SLOT_PORT)
        std::snprintf(out, size, "%d:%d", text.slot, text.port);
}

void writeText(coilServiceNode* sr, const coilOwedText_t& text) {
    char* out = sr->serviceStats.statusString;
    const size_t size = sizeof sr->serviceStats.statusString;
    const char* vlan = sr->target.vlan;
    if (text.event == EV_LOOP_DETECTED) {
        char port[16] = {};
        printPortText(text.ingress, port, sizeof port);
        std::snprintf(out, size,
                      "# LOOP DETECTED # --- vlan \"%s\" coil statistics ---\n%d packets transmitted, %d received, "
                      "ingress port %s\n",
                      vlan, text.pollCount, text.detectCount, port);
    } else if (text.event == EV_LD_TIMER_EXPIRY) {
        std::snprintf(out, size,
                      "# NO LOOP DETECTED # --- vlan \"%s\" coil statistics ---\n%d packets transmitted, %d received, "
                      "ingress port (nil)\n",
                      vlan, text.pollCount, text.detectCount);
    }
}

// The text of this report, owed until it is read.
void oweText(coilServiceNode* sr, uint32_t event) {
    if (event != EV_LOOP_DETECTED && event != EV_LD_TIMER_EXPIRY) return;
    coilOwedText_t& owed = sr->owedText;
    owed.event = uint16_t(event);
    owed.pollCount = sr->serviceStats.pollCount;
    owed.detectCount = sr->serviceStats.detectCount;
    owed.ingress = event == EV_LOOP_DETECTED ? findPortText(sr->target.inLif.slot, sr->target.inLif.port)
                                             : coilPortText_t{};
}

}  // namespace

int reportCoilStatus(coilServiceNode* sr, uint32_t event) {
    if (event == EV_LOOP_DETECTED)
        coilWatch(WATCH_LOOP, sr, coilPortWord(sr->target.inPif),
                  ((sr->target.txPortId >> 16) & 0xff) << 16 | (sr->target.txPortId & 0xffff));
    else
        coilWatch(WATCH_NO_LOOP, sr);
    if (sr->hdr.clientType == COIL_CLIENT_DAEMON) {
        COIL_TRACE("%s [%s:%s]\n", event == EV_LOOP_DETECTED ? "LOOP DETECTED" : "NO_LOOP_DETECTED",
                   sr->hdr.clientId, sr->target.vlan);
        coilClientMsg msg{};
        msg.hdr = sr->hdr;
        msg.hdr.msgType = event == EV_LOOP_DETECTED ? COIL_REPORT_LOOP : COIL_REPORT_NO_LOOP;
        msg.target = sr->target;
        return coilIpmlSend(&msg, COIL_CLIENT_MSG_SIZE, sr->peerId);
    }
    if (sr->hdr.clientType == COIL_CLIENT_OPERATOR) {
        const uint32_t action = sr->target.action;
        if (hasText(action)) oweText(sr, event);
        if (hasLog(action)) logReport(sr, event);
        if (hasTrap(action) && event == EV_LOOP_DETECTED) generateSnmpTrap(sr, EV_LOOP_DETECTED);
        if (sr->target.disablePort != 0) coilControlPortDisable(sr, event);
    }
    sr->serviceStats.statusFlag = 0;
    return 0;
}

void printCoilReport(coilServiceNode* sr, uint32_t event) {
    oweText(sr, event);
    coilStatusText(sr);
}

const char* coilStatusText(coilServiceNode* sr) {
    if (sr->owedText.event != 0) {
        writeText(sr, sr->owedText);
        coilForgetOwedText(sr);
    }
    return sr->serviceStats.statusString;
}

int generateSnmpTrap(coilServiceNode* sr, uint32_t) {
    uint8_t record[260] = {};
    char name[COIL_VLAN_NAME_SIZE];
    coilCopyText(name, sizeof name, sr->target.vlan);
    const size_t length = std::strlen(name);
    std::memcpy(record, name, length);
    record[31] = 0;
    coilPutBe32(record + 256, uint32_t(length));
    return sendSnmpTrapMsg(kTrapName, record, sizeof record);
}

const char* getPortStr(uint32_t slot, uint32_t port) {
    static char buffers[5][16];
    static unsigned counter = 0;
    char* buffer = buffers[counter % 5];
    std::memset(buffer, 0, sizeof buffers[0]);
    printPortText(findPortText(slot, port), buffer, sizeof buffers[0]);
    counter++;
    return buffer;
}
