// Developer dumps of the global record, the port control list and the
// service list, on standard output.
#include "diag/coil_debug.h"

#include <cstdio>

static void rule(int dashes) {
    char line[64];
    int n = dashes < int(sizeof line) - 1 ? dashes : int(sizeof line) - 1;
    for (int i = 0; i < n; i++) line[i] = '-';
    line[n] = '\0';
    std::puts(line);
}

void debugDumpGlobal(void) {
    const coilGlobal_t& g = coilGlobal;
    std::puts("\nDumping Global Info");
    rule(19);
    std::printf("root1: %p    root2:%p    portControlHead:%p  disablePortWaitTime:%d\n", g.root1, g.root2,
                static_cast<void*>(g.portControlHead), g.disablePortWaitTime);
    std::printf("currSeqNum:%d  gServiceId:%d  gSystemMac: %02x:%02x:%02x:%02x:%02x:%02x\n", int(g.currSeqNum),
                int(g.gServiceId), g.gSystemMac[0], g.gSystemMac[1], g.gSystemMac[2], g.gSystemMac[3],
                g.gSystemMac[4], g.gSystemMac[5]);
    std::printf("gCoilRxTxFd:%d  gCoilDa: %02x:%02x:%02x:%02x:%02x:%02x\n", g.gCoilRxTxFd, g.gCoilDa[0], g.gCoilDa[1],
                g.gCoilDa[2], g.gCoilDa[3], g.gCoilDa[4], g.gCoilDa[5]);
    std::printf("coilClients:%d  coilEnable:%d\n", int(g.coilClients), int(g.coilEnable));
    std::printf("STATS:  numPktsSent:%d     numPktsRcvd:%d\n", int(g.numPktsSent), int(g.numPktsRcvd));
    std::printf("STATS:  txPduFailed:%d   rxPduFailed:%d\n", int(g.txPduFailed), int(g.rxPduFailed));
}

void coilPortControl_dump(const coilPortControl* e) {
    std::printf("inLif: %d:%d inPif:%d:%d txVlanid:%d txPortId:%d id:%d\n%s", e->inLif.slot, e->inLif.port,
                e->inPif.slot, e->inPif.port, int(e->txVlanId), int(e->txPortId), int(e->id),
                miraAsctime(time_t(e->timeDisabled)));
    std::printf("sPtr:%p tPtr:%p  [%p <- %p -> %p]\n\n", static_cast<void*>(e->sPtr), reinterpret_cast<void*>(e->tPtr),
                static_cast<void*>(e->prev), static_cast<const void*>(e), static_cast<void*>(e->next));
}

void debugDumpControlPortList(void) {
    std::puts("\nDumping Control Port List");
    rule(25);
    for (coilPortControl* e = coilPortControlGetFirst(); e != nullptr; e = coilPortControlGetNext(e))
        coilPortControl_dump(e);
}

void coilTarget_dump(const coilTarget_t* t) {
    std::printf("\tTARGET: vlanIfInstance:%d numPorts:%d pollType:%d count:%d\n", int(t->vlanIfInstance),
                int(t->numPorts), int(t->pollType), int(t->count));
    std::printf("\ttimeout:%d action:%d disablePort:%d disablePortDuration:%d\n", int(t->timeout), int(t->action),
                int(t->disablePort), int(t->disablePortDuration));
    std::printf("\tvlan:%s noVpifs:%d extTag:%d\n", t->vlan, t->noVpifs, t->extTag);
    std::printf("\tinPif: %d:%d inLif: %d:%d txVlanId:%d txPortId:%d\n", t->inPif.slot, t->inPif.port, t->inLif.slot,
                t->inLif.port, int(t->txVlanId), int(t->txPortId));
}

void coilService_dump(const coilServiceNode* sr) {
    const coilServiceHeader_t& h = sr->hdr;
    std::printf("SERVICE: KEY clientId:%s  vlanIfInstance:%d clientType:%d msgType:%d\n", h.clientId,
                int(h.vlanIfInstance), h.clientType, int(h.msgType));
    std::printf("             vr:%d seq:%d statusFlag:%d peerId:%d\n", int(h.vr), int(h.seq), int(h.statusFlag),
                int(sr->peerId));
    std::printf("             serviceId:%d pollAction:%d curState:%p state:%d prevState:%d\n", int(sr->serviceId),
                sr->pollAction, reinterpret_cast<void*>(sr->curState), sr->state, sr->prevState);
    coilTarget_dump(&sr->target);
    std::puts("");
}

void debugDumpServiceList(void) {
    std::puts("\nDumping Service Object List");
    rule(27);
    for (coilServiceNode* sr = findCoilServiceFirstNode(); sr != nullptr;
         sr = findCoilServiceNextNode(sr->hdr.clientId, sr->hdr.vlanIfInstance))
        coilService_dump(sr);
    std::fflush(stdout);
}
